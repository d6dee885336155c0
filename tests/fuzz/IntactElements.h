#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <optional>

// The records of a damaged list file whose bytes are whole: from a '{' to the first '}' outside a string,
// text that reads as a record and that the writer would write byte for byte. However the damage around them
// lies, the reader must keep every one. A file that reads whole has none here: its elements are the array's
// own, and an object nested in one of them is not an element.
template <typename Record, typename Read> QList<Record> intactRecords(const QByteArray& input, Read read)
{
    QList<Record> records;
    QJsonParseError whole{};
    (void)QJsonDocument::fromJson(input, &whole);
    if (whole.error == QJsonParseError::NoError)
        return records;
    for (qsizetype open = input.indexOf('{'); open >= 0; open = input.indexOf('{', open + 1)) {
        qsizetype close = open + 1;
        bool inString = false;
        for (; close < input.size(); ++close) {
            const char c = input[close];
            if (inString && c == '\\')
                ++close;
            else if (c == '"')
                inString = !inString;
            else if (!inString && c == '}')
                break;
        }
        if (close >= input.size())
            break; // no later '{' closes either
        const QByteArray text = input.mid(open, close - open + 1);
        QJsonParseError error{};
        const QJsonDocument element = QJsonDocument::fromJson(text, &error);
        if (error.error != QJsonParseError::NoError || !element.isObject())
            continue;
        const std::optional<Record> record = read(element.object());
        if (record && QJsonDocument(record->toJson()).toJson(QJsonDocument::Compact) == text)
            records.append(*record);
    }
    return records;
}
