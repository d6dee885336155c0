#pragma once

#include <QList>
#include <QString>

// Word segmentation as the learning rules see it: ICU's word break rules (with its dictionary for Chinese and
// Japanese), keeping only segments that are words, numbers or ideographs, never spaces or punctuation.
namespace WordTokenizer {

// One word as a half-open range of character (grapheme cluster) offsets.
struct Range {
    int start = 0;
    int end = 0;
    int length() const { return end - start; }
    bool operator==(const Range&) const = default;
};

QList<Range> wordRanges(const QString& text);
// The words themselves, in text order.
QStringList words(const QString& text);

} // namespace WordTokenizer
