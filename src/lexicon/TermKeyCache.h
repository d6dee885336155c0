#pragma once

#include "model/Records.h"

#include <QHash>
#include <QUuid>
#include <memory>
#include <string>
#include <vector>

// What recall derives from one entry: its texts case-folded and its fuzzy skeletons, in UTF-8 for fast
// substring search. A skeleton runs the Mandarin transform, far too slow to repeat for thousands of entries
// on every dictation, so the keys are kept until the entry's term, aliases or phonetic key change.
struct TermKeys {
    struct Alias {
        std::string folded;
        std::string skeleton;
        int skeletonLength = 0; // characters
    };

    QUuid id;
    // What the keys were derived from.
    QString term;
    QStringList aliases;
    QString phoneticKey;

    std::string foldedTerm;
    std::string lowerTerm;
    std::string phoneticKeyUtf8;
    int phoneticKeyLength = 0;
    std::string termSkeleton;
    int termSkeletonLength = 0;
    // The first max(n - 2, 4) characters of a skeleton of n >= 6 characters: enough of a long name to count
    // as a partial match. Empty for shorter skeletons.
    std::string termSkeletonHead;
    // The non-empty aliases, in order.
    std::vector<Alias> aliasKeys;

    static TermKeys derive(const LexiconEntry& entry);
    bool isDerivedFrom(const LexiconEntry& entry) const;
};

class TermKeyCache {
public:
    using KeysById = QHash<QUuid, std::shared_ptr<const TermKeys>>;

    // Call before asking for the keys of a list of `entryCount` entries.
    void beginPass(qsizetype entryCount);
    // The keys of the entry at `position`. Reused while the entry is unchanged, also after it moved within
    // the list; derived again once it changed.
    const TermKeys& keysFor(const LexiconEntry& entry, qsizetype position);
    // Keys derived elsewhere (off the main thread); ones for entries that changed meanwhile are simply never
    // used, as keysFor() checks what they were derived from. Taken over whole when the cache is empty, so a
    // large lexicon's keys cost the main thread nothing.
    void adopt(KeysById derived);
    void clear();

private:
    std::vector<std::shared_ptr<const TermKeys>> m_byPosition;
    KeysById m_byId;
};
