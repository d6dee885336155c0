#include "util/Json.h"

#include <cmath>

namespace Json {

std::optional<QString> string(const QJsonValue& value)
{
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<bool> boolean(const QJsonValue& value)
{
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

std::optional<double> number(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    return value.toDouble();
}

std::optional<qint64> integer(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    // toInteger() answers its default for non-integral values; two defaults tell that case apart.
    const qint64 a = value.toInteger(0);
    const qint64 b = value.toInteger(1);
    if (a != b)
        return std::nullopt;
    return a;
}

std::optional<QStringList> stringList(const QJsonValue& value)
{
    if (!value.isArray())
        return std::nullopt;
    QStringList result;
    const QJsonArray array = value.toArray();
    result.reserve(array.size());
    for (const QJsonValue& element : array) {
        if (!element.isString())
            return std::nullopt;
        result.append(element.toString());
    }
    return result;
}

std::optional<Timestamp> timestamp(const QJsonValue& value)
{
    const auto seconds = number(value);
    if (!seconds || !std::isfinite(*seconds))
        return std::nullopt;
    return Timestamp{*seconds};
}

std::optional<QUuid> uuid(const QJsonValue& value)
{
    const auto text = string(value);
    if (!text || text->size() != 36)
        return std::nullopt;
    for (qsizetype i = 0; i < 36; ++i) {
        const QChar c = text->at(i);
        const bool hyphenPosition = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (hyphenPosition ? c != u'-' : !hex)
            return std::nullopt;
    }
    return QUuid::fromString(*text);
}

QJsonValue fromTimestamp(Timestamp t) { return QJsonValue(t.secondsSinceReferenceDate); }

QString uuidText(const QUuid& id) { return id.toString(QUuid::WithoutBraces).toUpper(); }

QJsonArray fromStringList(const QStringList& list) { return QJsonArray::fromStringList(list); }

} // namespace Json
