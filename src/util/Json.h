#pragma once

#include "util/Timestamp.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>
#include <QUuid>
#include <optional>

// Typed reads of JSON values for our file formats. Each returns nothing when the value has another type, so
// strict readers fail the record and lenient readers take their fallback.
namespace Json {

std::optional<QString> string(const QJsonValue& value);
std::optional<bool> boolean(const QJsonValue& value);
std::optional<double> number(const QJsonValue& value);
// A number with no fraction that fits a signed 64-bit integer.
std::optional<qint64> integer(const QJsonValue& value);
// An array whose elements are all strings.
std::optional<QStringList> stringList(const QJsonValue& value);
// A JSON number of seconds since 2001-01-01.
std::optional<Timestamp> timestamp(const QJsonValue& value);
// The canonical 36-character hyphenated form, in either case.
std::optional<QUuid> uuid(const QJsonValue& value);

// A file holding a JSON array, read element by element where it does not parse whole (cut short, damaged
// elements): every element whose bytes are whole is kept, however close together the damage is. Our list
// files hold flat objects (values are strings, numbers, literals or arrays of them), and only those are
// recovered from a damaged file. Linear in the file's size.
struct [[nodiscard]] ArrayElements {
    QJsonArray elements;
    qsizetype lost = 0;   // elements, or parts of the text, that did not read
    bool isArray = false; // false: not an array at all, nothing was read
    // Bytes the recovery of a damaged file passed over: a few times the file's size at most.
    qsizetype scanned = 0;
};
ArrayElements readArray(const QByteArray& text);

// Records (anything with toJson()) as one compact JSON array: the form of our list files.
template <typename Record> QByteArray compactArray(const QList<Record>& records)
{
    QJsonArray array;
    for (const Record& record : records)
        array.append(record.toJson());
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QJsonValue fromTimestamp(Timestamp t);
// Upper-case hyphenated text without braces.
QString uuidText(const QUuid& id);
QJsonArray fromStringList(const QStringList& list);

} // namespace Json
