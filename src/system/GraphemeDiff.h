#pragma once

#include <QString>
#include <QStringView>

// Comparing texts character by character (grapheme clusters), as typed text is compared with what the field
// should show: a prefix never ends inside a character.
namespace GraphemeDiff {

struct CommonPrefix {
    int characters = 0;      // grapheme clusters
    qsizetype codeUnits = 0; // UTF-16 length of the common part
};

CommonPrefix commonPrefix(QStringView a, QStringView b);
// Whether `text` begins with the characters of `prefix` (an empty prefix always).
bool hasPrefix(QStringView text, QStringView prefix);

} // namespace GraphemeDiff
