#pragma once

#include "model/Records.h"

#include <QByteArray>
#include <QList>

// The lexicon file's form: a JSON array of entries. Reading keeps what it can of a damaged file and counts
// what it could not keep, so the store can copy the file aside before it is rewritten.
namespace LexiconFile {

// About 190 bytes an entry: some 150,000 terms. The writer keeps to the same limit, so a file the app wrote
// always loads.
inline constexpr qint64 kMaxFileBytes = 32 * 1024 * 1024;
// The brackets around the file's array.
inline constexpr qint64 kArrayBytes = 2;
// Characters (grapheme clusters) of the longest term the store takes, from the user or from a file.
inline constexpr int kMaximumTermLength = 64;

struct [[nodiscard]] Decoded {
    QList<LexiconEntry> entries;  // in file order, phonetic keys as stored (empty where missing)
    bool isArray = false;         // false: nothing could be read
    qsizetype lost = 0;           // elements that did not read (cut off, damaged, not objects)
    qsizetype blankTerms = 0;     // dropped: no term, or only blanks
    qsizetype longTerms = 0;      // dropped: a term over kMaximumTermLength
    qsizetype unusableValues = 0; // kept with defaults for values of a wrong type or an unknown category
    qsizetype mergedEntries = 0;  // merged into the earlier entry with the same id and the same term
    qsizetype reassignedIds = 0;  // kept under a new id: an earlier entry of another term had theirs

    // Anything was dropped or changed: the file no longer says what the entries say.
    bool changed() const
    {
        return lost || blankTerms || longTerms || unusableValues || mergedEntries || reassignedIds;
    }
};

// `now` dates entries without a creation date.
Decoded decode(const QByteArray& bytes, Timestamp now);
QByteArray encode(const QList<LexiconEntry>& entries);
// At least the bytes the entry takes in the file, its separating comma included; close to them.
qint64 encodedSizeBound(const LexiconEntry& entry);
// Whether a term (trimmed) is longer than the store takes.
bool isTooLong(const QString& term);

} // namespace LexiconFile
