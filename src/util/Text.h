#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

// Text helpers shared by every layer. Lengths are user-perceived characters (extended grapheme clusters).
namespace Text {

int graphemeCount(QStringView text);
// The first `count` grapheme clusters of text (all of it when it is shorter).
QString graphemePrefix(QStringView text, int count);
// The last `count` grapheme clusters of text.
QString graphemeSuffix(QStringView text, int count);
// The UTF-16 offsets where each grapheme cluster starts, plus text.size() at the end.
QList<qsizetype> graphemeBoundaries(QStringView text);
QStringList graphemes(QStringView text);

// Unicode white space and line breaks (general category Z*, U+0009..U+000D, U+0085).
bool isWhitespaceOrNewline(char32_t c);
QString trimmed(QStringView text);
bool isBlank(QStringView text);

} // namespace Text
