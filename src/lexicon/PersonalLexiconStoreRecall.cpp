// Recall and hotword ranking: the read-only selections over the lexicon made around each dictation.
#include "lexicon/LexiconFile.h"
#include "lexicon/LexiconText.h"
#include "lexicon/PersonalLexiconStore.h"
#include "lexicon/PhoneticIndexer.h"
#include "util/Text.h"

#include <QMetaObject>
#include <QRegularExpression>
#include <algorithm>
#include <vector>

namespace {

using LexiconText::Haystack;
using LexiconText::utf8;

// Recall scores.
constexpr qint64 kTermInText = 85;
constexpr qint64 kAliasInText = 140;
constexpr qint64 kAliasSoundsAlike = 105;
constexpr int kAliasSkeletonMinimumLength = 3;
constexpr qint64 kPhoneticKeyInText = 110;
constexpr int kPhoneticKeyMinimumLength = 4;
constexpr qint64 kTermSoundsAlike = 98;
constexpr int kTermSkeletonMinimumLength = 4;
constexpr qint64 kTermHeadSoundsAlike = 58;
constexpr qint64 kTermInWindowTitle = 70;
constexpr qint64 kWeightBonusFactor = 4;
constexpr qint64 kWeightBonusCap = 40;

// Recall result shape: scored entries leave ten places for pinned ones, but never fewer than twelve; heavy
// entries are pinned; a short result is topped up to ten.
constexpr int kPinnedSlots = 10;
constexpr int kMinimumScoredEntries = 12;
constexpr qint64 kPinnedMinimumWeight = 9;
constexpr int kPinnedCandidates = 12;
constexpr int kFallbackThreshold = 9;
constexpr int kFallbackTarget = 10;

// Hotword ranking.
constexpr qint64 kHotwordWeightFactor = 10;
constexpr qint64 kHotwordInHint = 100;
constexpr qint64 kHotwordHitFactor = 2;
constexpr qint64 kHotwordHitCap = 35;
constexpr int kHotwordMinimumLength = 2;
constexpr int kHotwordMaximumLength = 24;
constexpr int kHotwordHintMatchLimit = 12;

// Weights and hit counts come from a file anyone can edit; clamping keeps the score arithmetic from
// overflowing while ordering every realistic value as it is.
constexpr qint64 kScoreInputLimit = qint64(1) << 40;

qint64 clampedInput(qint64 value)
{
    return std::clamp(value, -kScoreInputLimit, kScoreInputLimit);
}

qint64 weightBonus(qint64 weight)
{
    return std::min(kWeightBonusFactor * clampedInput(weight), kWeightBonusCap);
}

const QSet<QString>& commonCapitalizedStarters()
{
    static const QSet<QString> words = [] {
        QSet<QString> set;
        for (const char* word :
             {"the",  "this", "that", "these", "those", "when",   "what",  "where", "which", "while",
              "with", "from", "into", "over",  "after", "before", "under", "about", "there", "their"})
            set.insert(QString::fromLatin1(word));
        return set;
    }();
    return words;
}

// Capitalised words and acronyms: likely names on the user's screen.
const QRegularExpression& hintWordPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("(?<![A-Za-z])(?:[A-Z]{2,10}|[A-Z][A-Za-z0-9.-]{2,15})(?![A-Za-z])"));
    return pattern;
}

// The lower-cased UTF-8 of a text into a reused buffer: rankHotwords does this for every entry, and most
// terms are plain ASCII.
void lowerCaseUtf8(const QString& text, std::string& out)
{
    out.clear();
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x80) {
            out = utf8(text.toLower());
            return;
        }
        out.push_back(static_cast<char>(u >= u'A' && u <= u'Z' ? u + (u'a' - u'A') : u));
    }
}

struct Ranked {
    qint64 score;
    qsizetype index; // store order breaks ties, exactly as a stable sort would
};

bool rankedBefore(const Ranked& a, const Ranked& b)
{
    return a.score != b.score ? a.score > b.score : a.index < b.index;
}

// Visits the items best first until `visit` returns false, sorting only as far as it reads: callers usually
// need a dozen or so of thousands.
template <typename Visit> void visitBestFirst(std::vector<Ranked>& items, size_t firstBatch, Visit visit)
{
    size_t sorted = 0;
    size_t batch = std::max<size_t>(firstBatch, 1);
    while (sorted < items.size()) {
        const size_t end = std::min(items.size(), sorted + batch);
        std::partial_sort(items.begin() + static_cast<std::ptrdiff_t>(sorted),
                          items.begin() + static_cast<std::ptrdiff_t>(end), items.end(), rankedBefore);
        for (size_t i = sorted; i < end; ++i) {
            if (!visit(items[i]))
                return;
        }
        sorted = end;
        batch *= 4;
    }
}

} // namespace

QList<LexiconEntry> PersonalLexiconStore::recallRelevantTerms(const QString& text,
                                                              const QString& activeWindowTitle,
                                                              int limit) const
{
    if (text.isEmpty() || m_entries.isEmpty())
        return {};

    // One transliteration of the transcript serves both of its keys.
    const QStringList syllables = PhoneticIndexer::syllables(text);
    const Haystack normalizedText(utf8(syllables.join(QString())));
    const Haystack textSkeleton(utf8(PhoneticIndexer::fuzzySkeletonOfSyllables(syllables)));
    const Haystack foldedText(utf8(LexiconText::foldCase(text)));
    const Haystack lowerTitle(utf8(activeWindowTitle.toLower()));

    std::vector<Ranked> candidates;
    candidates.reserve(static_cast<size_t>(std::min<qsizetype>(m_entries.size(), 64)));
    m_keyCache.beginPass(m_entries.size());
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const LexiconEntry& entry = m_entries[i];
        const TermKeys& keys = m_keyCache.keysFor(entry, i);
        qint64 score = 0;
        if (foldedText.contains(keys.foldedTerm))
            score += kTermInText;
        for (const TermKeys::Alias& alias : keys.aliasKeys) {
            if (foldedText.contains(alias.folded))
                score += kAliasInText;
            else if (alias.skeletonLength >= kAliasSkeletonMinimumLength &&
                     textSkeleton.contains(alias.skeleton))
                score += kAliasSoundsAlike;
        }
        if (keys.phoneticKeyLength >= kPhoneticKeyMinimumLength &&
            normalizedText.contains(keys.phoneticKeyUtf8))
            score += kPhoneticKeyInText;
        else if (keys.termSkeletonLength >= kTermSkeletonMinimumLength &&
                 textSkeleton.contains(keys.termSkeleton))
            score += kTermSoundsAlike;
        else if (!keys.termSkeletonHead.empty() && textSkeleton.contains(keys.termSkeletonHead))
            score += kTermHeadSoundsAlike;
        if (lowerTitle.contains(keys.lowerTerm))
            score += kTermInWindowTitle;
        if (score > 0)
            candidates.push_back({score + weightBonus(entry.weight), i});
    }

    QList<LexiconEntry> result;
    QSet<QUuid> chosen;
    const auto take = [&](qsizetype index) {
        result.append(m_entries[index]);
        chosen.insert(m_entries[index].id);
    };

    const qint64 scoredSlots = std::max<qint64>(qint64(limit) - kPinnedSlots, kMinimumScoredEntries);
    visitBestFirst(candidates, static_cast<size_t>(scoredSlots), [&](const Ranked& r) {
        if (result.size() >= scoredSlots)
            return false;
        take(r.index);
        return true;
    });

    // Heavy entries are pinned whatever the transcript says.
    std::vector<Ranked> heavy;
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].weight >= kPinnedMinimumWeight)
            heavy.push_back({clampedInput(m_entries[i].weight), i});
    }
    int visitedPinned = 0;
    visitBestFirst(heavy, kPinnedCandidates, [&](const Ranked& r) {
        if (visitedPinned++ >= kPinnedCandidates)
            return false;
        if (!chosen.contains(m_entries[r.index].id) && result.size() < limit)
            take(r.index);
        return true;
    });

    // A short result is topped up with the heaviest entries, whatever the limit.
    if (result.size() <= kFallbackThreshold) {
        std::vector<Ranked> all;
        all.reserve(static_cast<size_t>(m_entries.size()));
        for (qsizetype i = 0; i < m_entries.size(); ++i)
            all.push_back({clampedInput(m_entries[i].weight), i});
        visitBestFirst(all, kFallbackTarget + static_cast<size_t>(result.size()), [&](const Ranked& r) {
            if (result.size() >= kFallbackTarget)
                return false;
            if (!chosen.contains(m_entries[r.index].id))
                take(r.index);
            return true;
        });
    }
    return result;
}

QStringList PersonalLexiconStore::rankHotwords(const QList<LexiconEntry>& entries, const QString& contextHint,
                                               int limit)
{
    QStringList result;
    QSet<QString> seen;
    const auto accept = [&](const QString& word) {
        const int length = Text::graphemeCount(word);
        if (length < kHotwordMinimumLength || length > kHotwordMaximumLength)
            return false;
        const QString lower = word.toLower();
        if (seen.contains(lower) || commonCapitalizedStarters().contains(lower))
            return false;
        seen.insert(lower);
        result.append(word);
        return true;
    };

    // Names on screen come first and are not held to the limit.
    if (!contextHint.isEmpty() && hintWordPattern().isValid()) {
        QRegularExpressionMatchIterator matches = hintWordPattern().globalMatch(contextHint);
        for (int taken = 0; taken < kHotwordHintMatchLimit && matches.hasNext(); ++taken)
            accept(Text::trimmed(matches.next().capturedView()));
    }

    const Haystack lowerHint(utf8(contextHint.toLower()));
    std::vector<Ranked> ranked;
    ranked.reserve(static_cast<size_t>(entries.size()));
    std::string lowerTerm;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const LexiconEntry& entry = entries[i];
        qint64 score = kHotwordWeightFactor * clampedInput(entry.weight) +
                       std::min(kHotwordHitFactor * clampedInput(entry.hitCount), kHotwordHitCap);
        if (!lowerHint.empty()) {
            lowerCaseUtf8(entry.term, lowerTerm);
            if (lowerHint.contains(lowerTerm))
                score += kHotwordInHint;
        }
        ranked.push_back({score, i});
    }
    visitBestFirst(ranked, static_cast<size_t>(std::max(limit, 0)) + 8, [&](const Ranked& r) {
        if (result.size() >= limit)
            return false;
        accept(Text::trimmed(entries[r.index].term));
        return true;
    });
    return result;
}

QStringList PersonalLexiconStore::topAcousticContextualStrings(const QString& contextHint, int limit) const
{
    return rankHotwords(m_entries, contextHint, limit);
}

void PersonalLexiconStore::warmRecallKeys()
{
    // Deriving the keys runs the Mandarin transform for every term: done by the first recall, it would hold
    // up the first dictation's text (some 170 ms for 5,000 terms, and the transform's first use builds it,
    // some 240 ms, even for the two seeds). Phonetic keys missing from the file are filled in the same pass.
    // The pass keys a copy of its own, made here: sharing the list, it would make the main thread's first
    // change copy every entry, until the pass got round to copying them itself.
    QList<LexiconEntry> copy(m_entries.cbegin(), m_entries.cend());
    backgroundQueue().async(
        [this, entries = std::move(copy), stopping = m_stopping, revision = m_entriesRevision]() mutable {
            QHash<QUuid, QString> filled;
            TermKeyCache::KeysById derived;
            derived.reserve(entries.size());
            qint64 fileBytes = 0;
            for (LexiconEntry& entry : entries) {
                if (stopping->load())
                    return;
                if (entry.phoneticKey.isEmpty()) {
                    PhoneticIndexer::fillPhoneticKey(entry);
                    filled.insert(entry.id, entry.phoneticKey);
                }
                derived.insert(entry.id, std::make_shared<const TermKeys>(TermKeys::derive(entry)));
                fileBytes += LexiconFile::encodedSizeBound(entry);
            }
            makeRoomAtFront(entries); // here, not in the main thread's turn that adopts the list
            // The store outlives this work (its queue is joined first), and what is posted to it is dropped
            // with it. Unless the entries changed meanwhile, the keyed list replaces them whole: for a large
            // lexicon a pass over it on the main thread would stall the window.
            QMetaObject::invokeMethod(
                this,
                [this, revision, fileBytes, entries = std::move(entries), filled = std::move(filled),
                 derived = std::move(derived)]() mutable {
                    if (!filled.isEmpty() && revision == m_entriesRevision) {
                        m_entries = std::move(entries);
                        m_fileBytes = fileBytes + LexiconFile::kArrayBytes;
                        Q_EMIT entriesChanged();
                    } else {
                        applyFilledKeys(filled);
                    }
                    m_keyCache.adopt(std::move(derived));
                    Q_EMIT recallKeysWarmed();
                },
                Qt::QueuedConnection);
        });
}
