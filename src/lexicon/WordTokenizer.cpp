#include "lexicon/WordTokenizer.h"

#include "util/Text.h"

#include <algorithm>
#include <memory>
#include <unicode/brkiter.h>
#include <unicode/ubrk.h>
#include <unicode/unistr.h>

namespace {

// Creating a word iterator loads the break rules and dictionaries: keep one per thread.
icu::BreakIterator* wordIterator()
{
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status))
            it.reset();
        return it;
    }();
    return iterator.get();
}

} // namespace

namespace WordTokenizer {

QList<Range> wordRanges(const QString& text)
{
    QList<Range> ranges;
    icu::BreakIterator* it = wordIterator();
    if (text.isEmpty() || !it)
        return ranges;

    // Word boundaries are UTF-16 offsets; the rules that use the ranges count characters.
    const QList<qsizetype> clusters = Text::graphemeBoundaries(text);
    const auto clusterAtOrBefore = [&](int32_t offset) {
        const auto found = std::upper_bound(clusters.cbegin(), clusters.cend(), qsizetype(offset));
        return int(found - clusters.cbegin()) - 1;
    };
    const auto clusterAtOrAfter = [&](int32_t offset) {
        const auto found = std::lower_bound(clusters.cbegin(), clusters.cend(), qsizetype(offset));
        return int(found - clusters.cbegin());
    };

    const icu::UnicodeString alias(false, reinterpret_cast<const char16_t*>(text.utf16()),
                                   static_cast<int32_t>(text.size()));
    it->setText(alias);
    int32_t start = it->first();
    for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
        if (it->getRuleStatus() == UBRK_WORD_NONE)
            continue;
        const Range range{clusterAtOrBefore(start), clusterAtOrAfter(end)};
        if (range.end > range.start)
            ranges.append(range);
    }
    return ranges;
}

QStringList words(const QString& text)
{
    const QStringList characters = Text::graphemes(text);
    QStringList result;
    for (const Range& range : wordRanges(text))
        result.append(characters.mid(range.start, range.length()).join(QString()));
    return result;
}

} // namespace WordTokenizer
