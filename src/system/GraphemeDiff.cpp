#include "system/GraphemeDiff.h"

#include "util/Text.h"

#include <algorithm>

namespace GraphemeDiff {

CommonPrefix commonPrefix(QStringView a, QStringView b)
{
    const qsizetype limit = std::min(a.size(), b.size());
    qsizetype same = 0;
    while (same < limit && a[same] == b[same])
        ++same;
    if (same == 0)
        return {};
    // A boundary before the first differing code unit is a boundary in both texts; one at it must be checked
    // in both, since the next code unit decides whether a character ends there.
    const QList<qsizetype> boundsA = Text::graphemeBoundaries(a);
    const QList<qsizetype> boundsB = Text::graphemeBoundaries(b);
    CommonPrefix result;
    for (qsizetype i = 1; i < boundsA.size(); ++i) {
        const qsizetype end = boundsA[i];
        if (end > same)
            break;
        if (end == same && !std::binary_search(boundsB.cbegin(), boundsB.cend(), end))
            break;
        result.characters = static_cast<int>(i);
        result.codeUnits = end;
    }
    return result;
}

bool hasPrefix(QStringView text, QStringView prefix)
{
    if (prefix.isEmpty())
        return true;
    if (!text.startsWith(prefix))
        return false;
    if (prefix.size() == text.size())
        return true;
    const QList<qsizetype> bounds = Text::graphemeBoundaries(text);
    return std::binary_search(bounds.cbegin(), bounds.cend(), prefix.size());
}

} // namespace GraphemeDiff
