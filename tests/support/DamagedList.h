#pragma once

#include <QByteArray>
#include <QList>
#include <set>

// A list file as the writer makes it (a compact JSON array of flat objects whose strings hold no "}"), with
// some of its elements damaged as hand edits and failing disks damage them.
namespace DamagedList {

enum class Damage {
    noClosingBrace,    // the element's own bytes are cut
    extraOpeningBrace, // one byte more before the element, whose bytes stay whole
};

inline QList<QByteArray> elements(const QByteArray& compactArray)
{
    const QByteArray inner = compactArray.mid(1, compactArray.size() - 2);
    QList<QByteArray> result = inner.split('}');
    result.removeLast(); // after the last element's brace
    for (qsizetype i = 0; i < result.size(); ++i) {
        if (i > 0)
            result[i].remove(0, 1); // the comma
        result[i].append('}');
    }
    return result;
}

inline QByteArray damaged(const QByteArray& compactArray, const std::set<int>& at, Damage damage)
{
    QList<QByteArray> parts = elements(compactArray);
    for (int index : at)
        parts[index] = damage == Damage::noClosingBrace ? parts[index].chopped(1) : "{" + parts[index];
    return "[" + parts.join(',') + "]";
}

} // namespace DamagedList
