#include "lexicon/TermKeyCache.h"

#include "lexicon/LexiconText.h"
#include "lexicon/PhoneticIndexer.h"
#include "util/Text.h"

#include <algorithm>

namespace {
constexpr int kSkeletonHeadMinimumLength = 6;
constexpr int kSkeletonHeadTrim = 2;
constexpr int kSkeletonHeadFloor = 4;

using LexiconText::foldCase;
using LexiconText::utf8;
} // namespace

TermKeys TermKeys::derive(const LexiconEntry& entry)
{
    TermKeys keys;
    keys.id = entry.id;
    keys.term = entry.term;
    keys.aliases = entry.aliases;
    keys.phoneticKey = entry.phoneticKey;

    keys.foldedTerm = utf8(foldCase(entry.term));
    keys.lowerTerm = utf8(entry.term.toLower());
    keys.phoneticKeyUtf8 = utf8(entry.phoneticKey);
    keys.phoneticKeyLength = Text::graphemeCount(entry.phoneticKey);

    const QString skeleton = PhoneticIndexer::fuzzySkeleton(entry.term);
    keys.termSkeleton = utf8(skeleton);
    keys.termSkeletonLength = Text::graphemeCount(skeleton);
    if (keys.termSkeletonLength >= kSkeletonHeadMinimumLength) {
        const int headLength = std::max(keys.termSkeletonLength - kSkeletonHeadTrim, kSkeletonHeadFloor);
        keys.termSkeletonHead = utf8(Text::graphemePrefix(skeleton, headLength));
    }

    for (const QString& alias : entry.aliases) {
        if (alias.isEmpty())
            continue;
        const QString aliasSkeleton = PhoneticIndexer::fuzzySkeleton(alias);
        keys.aliasKeys.push_back(
            {utf8(foldCase(alias)), utf8(aliasSkeleton), Text::graphemeCount(aliasSkeleton)});
    }
    return keys;
}

bool TermKeys::isDerivedFrom(const LexiconEntry& entry) const
{
    return term == entry.term && phoneticKey == entry.phoneticKey && aliases == entry.aliases;
}

void TermKeyCache::beginPass(qsizetype entryCount)
{
    m_byPosition.resize(static_cast<size_t>(entryCount));
    // Entries that were removed or changed leave keys behind in the id map; rebuild it from the live
    // positions once they clearly outnumber the list.
    if (m_byId.size() > 2 * entryCount + 64) {
        m_byId.clear();
        for (const auto& keys : m_byPosition) {
            if (keys)
                m_byId.insert(keys->id, keys);
        }
    }
}

const TermKeys& TermKeyCache::keysFor(const LexiconEntry& entry, qsizetype position)
{
    std::shared_ptr<const TermKeys>& slot = m_byPosition[static_cast<size_t>(position)];
    if (slot && slot->isDerivedFrom(entry))
        return *slot;
    // The entry moved (an insertion at the front shifts every position) or changed.
    const auto found = m_byId.constFind(entry.id);
    if (found != m_byId.constEnd() && (*found)->isDerivedFrom(entry)) {
        slot = *found;
    } else {
        slot = std::make_shared<const TermKeys>(TermKeys::derive(entry));
        m_byId.insert(entry.id, slot);
    }
    return *slot;
}

void TermKeyCache::adopt(KeysById derived)
{
    if (m_byId.isEmpty()) {
        m_byId = std::move(derived);
        return;
    }
    for (auto it = derived.cbegin(); it != derived.cend(); ++it) {
        if (!m_byId.contains(it.key()))
            m_byId.insert(it.key(), it.value());
    }
}

void TermKeyCache::clear()
{
    m_byPosition.clear();
    m_byId.clear();
}
