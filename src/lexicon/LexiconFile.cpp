#include "lexicon/LexiconFile.h"

#include "lexicon/LexiconText.h"
#include "util/Json.h"
#include "util/Text.h"

#include <QHash>
#include <algorithm>

namespace LexiconFile {

namespace {

// The JSON writer escapes quotes, backslashes and control characters, writes a surrogate pair as the four
// bytes of its UTF-8 and a lone surrogate half as a six-byte "\uXXXX" escape, and the rest as UTF-8.
qint64 stringBound(const QString& text)
{
    qint64 bytes = 2;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u == u'"' || u == u'\\')
            bytes += 2;
        else if (u < 0x20 || u == 0x7f)
            bytes += 6;
        else if (u < 0x80)
            bytes += 1;
        else if (u < 0x800)
            bytes += 2;
        else if (QChar::isHighSurrogate(u) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            bytes += 4;
            ++i;
        } else if (QChar::isSurrogate(u))
            bytes += 6;
        else
            bytes += 3;
    }
    return bytes;
}

// {"id":"…","term":…,"aliases":[…],"phoneticKey":…,"category":…,"weight":…,"hitCount":…,"createdAt":…} and
// a comma: the key names, quotes, colons, commas and braces.
constexpr qint64 kFixedBytes = 55 + 8 * 3 + 7 + 2 + 1;
constexpr qint64 kUuidBytes = 38;
constexpr qint64 kDateBytes = 26; // the shortest round-trip form of a double, sign and exponent included
// Any 64-bit integer, so a count that grows never changes the bound.
constexpr qint64 kIntegerBytes = 20;

} // namespace

bool isTooLong(const QString& term)
{
    // A cluster is at least one UTF-16 unit: only a term longer in units than the limit can be too long.
    return term.size() > kMaximumTermLength && Text::graphemeCount(term) > kMaximumTermLength;
}

Decoded decode(const QByteArray& bytes, Timestamp now)
{
    Decoded result;
    const Json::ArrayElements read = Json::readArray(bytes);
    result.isArray = read.isArray;
    result.lost = read.lost;
    QHash<QUuid, qsizetype> byId;
    for (const QJsonValue& element : read.elements) {
        if (!element.isObject()) {
            ++result.lost;
            continue;
        }
        // Only elements with a term survive; checking that first keeps a file of thousands of empty objects
        // from minting an id for each.
        const QJsonValue term = element.toObject().value(QStringLiteral("term"));
        if (!term.isString() || Text::isBlank(term.toString())) {
            ++result.blankTerms;
            continue;
        }
        if (isTooLong(Text::trimmed(term.toString()))) {
            ++result.longTerms;
            continue;
        }
        bool unusable = false;
        std::optional<LexiconEntry> entry = LexiconEntry::fromJson(element, now, &unusable);
        if (!entry) {
            ++result.lost;
            continue;
        }
        if (unusable)
            ++result.unusableValues;
        auto earlier = byId.constFind(entry->id);
        if (earlier != byId.constEnd() &&
            !LexiconText::sameTerm(entry->term, result.entries[*earlier].term)) {
            // One id on two different terms (a hand edit, a copied entry): both stay, the second under an id
            // of its own.
            entry->id = QUuid::createUuid();
            ++result.reassignedIds;
            earlier = byId.constEnd();
        }
        if (earlier == byId.constEnd()) {
            byId.insert(entry->id, result.entries.size());
            result.entries.append(std::move(*entry));
            continue;
        }
        // One id, the same term twice: the first absorbs the second.
        LexiconEntry& kept = result.entries[*earlier];
        for (const QString& alias : entry->aliases) {
            if (!alias.isEmpty() && !kept.aliases.contains(alias))
                kept.aliases.append(alias);
        }
        kept.weight = std::max(kept.weight, entry->weight);
        kept.hitCount = std::max(kept.hitCount, entry->hitCount);
        ++result.mergedEntries;
    }
    return result;
}

QByteArray encode(const QList<LexiconEntry>& entries)
{
    return Json::compactArray(entries);
}

qint64 encodedSizeBound(const LexiconEntry& entry)
{
    qint64 bytes = kFixedBytes + kUuidBytes + kDateBytes + stringBound(entry.term) +
                   stringBound(entry.phoneticKey) + stringBound(entry.category.rawValue()) +
                   2 * kIntegerBytes + 2;
    for (const QString& alias : entry.aliases)
        bytes += stringBound(alias) + 1;
    return bytes;
}

} // namespace LexiconFile
