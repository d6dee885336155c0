#include "util/Json.h"

#include <QJsonDocument>
#include <algorithm>
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

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Parses one element's text on its own.
std::optional<QJsonValue> element(const QByteArray& text, qsizetype begin, qsizetype end)
{
    QByteArray wrapped;
    wrapped.reserve(end - begin + 2);
    wrapped.append('[').append(text.constData() + begin, end - begin).append(']');
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(wrapped, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray() || document.array().size() != 1)
        return std::nullopt;
    return document.array().first();
}

} // namespace

ArrayElements readArray(const QByteArray& text)
{
    ArrayElements result;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error == QJsonParseError::NoError) {
        result.isArray = document.isArray();
        result.elements = document.array();
        return result;
    }

    // Split the top-level array at its commas, minding strings and nesting, and read each piece alone. A
    // piece that does not read is counted, and the split goes on afresh from the nearer of its end and the
    // next
    // "}, {" after its start: one stray quote turns every later string inside out, and the boundary between
    // two objects is where the quoting can be trusted again. Rescans are bounded, so the pass stays linear.
    qsizetype i = 0;
    const qsizetype size = text.size();
    if (text.startsWith("\xEF\xBB\xBF"))
        i = 3;
    while (i < size && isSpace(text[i]))
        ++i;
    if (i >= size || text[i] != '[')
        return result;
    result.isArray = true;
    ++i;
    qsizetype begin = i;
    int depth = 0;
    bool inString = false;
    bool ended = false;
    qsizetype budget = 4 * size + 4096; // characters the scans may pass over in all
    // The '{' of the next object after a "}" and a comma, searched from just after `from`; -1 when none.
    auto nextBoundary = [&](qsizetype from) -> qsizetype {
        for (qsizetype j = from + 1; j < size && budget > 0; ++j, --budget) {
            if (text[j] != ',')
                continue;
            qsizetype before = j - 1;
            while (before > from && isSpace(text[before]))
                --before;
            if (text[before] != '}')
                continue;
            qsizetype after = j + 1;
            while (after < size && isSpace(text[after]))
                ++after;
            if (after < size && text[after] == '{')
                return after;
        }
        return -1;
    };
    // The piece [begin, end): read, or counted and the split resumed at the boundary found. False when the
    // split starts again before `end`.
    auto finishElement = [&](qsizetype end) {
        qsizetype b = begin;
        while (b < end && isSpace(text[b]))
            ++b;
        begin = end + 1;
        if (b >= end)
            return true;
        if (auto value = element(text, b, end)) {
            result.elements.append(*value);
            return true;
        }
        ++result.lost;
        const qsizetype boundary = nextBoundary(b);
        if (boundary < 0 || boundary > end)
            return true;
        begin = boundary;
        i = boundary - 1; // the loop steps onto the '{'
        depth = 0;
        inString = false;
        return false;
    };
    for (;;) {
        for (; i < size && !ended && budget > 0; ++i, --budget) {
            const char c = text[i];
            if (inString) {
                if (c == '\\')
                    ++i;
                else if (c == '"')
                    inString = false;
                continue;
            }
            switch (c) {
            case '"':
                inString = true;
                break;
            case '[':
            case '{':
                ++depth;
                break;
            case ']':
            case '}':
                if (depth > 0)
                    --depth;
                else if (c == ']')
                    ended = finishElement(i);
                break;
            case ',':
                if (depth == 0)
                    finishElement(i);
                break;
            default:
                break;
            }
        }
        if (ended || budget <= 0 || begin >= size)
            break;
        // Cut short: the last piece is incomplete, and whole elements may follow a boundary inside it.
        if (finishElement(size))
            break;
        ++i; // onto the '{' of the boundary
    }
    if (!ended && budget <= 0 && begin < size)
        ++result.lost; // too damaged to split further: the rest counts as one loss
    // The whole did not parse, so something was lost even when every piece read.
    result.lost = std::max<qsizetype>(result.lost, 1);
    return result;
}

QJsonValue fromTimestamp(Timestamp t)
{
    return QJsonValue(t.secondsSinceReferenceDate);
}

QString uuidText(const QUuid& id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QJsonArray fromStringList(const QStringList& list)
{
    return QJsonArray::fromStringList(list);
}

} // namespace Json
