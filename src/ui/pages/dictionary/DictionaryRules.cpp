#include "ui/pages/dictionary/DictionaryRules.h"

#include "lexicon/LexiconText.h"
#include "util/Text.h"

namespace DictionaryRules {

namespace {

bool isAliasSeparator(QChar c)
{
    return c == u',' || c == u'，' || c == u'/' || c == u'、' || c == u';' || c == u'；';
}

bool isCorpusSeparator(QChar c)
{
    return c == u'\n' || c == u',' || c == u'，' || c == u'、' || c == u';' || c == u'；';
}

bool isSpaceOrTab(QChar c)
{
    return c == u' ' || c == u'\t';
}

// Trims spaces and tabs, and line breaks too when asked.
QString trimmedPiece(QStringView piece, bool lineBreaks)
{
    const auto trims = [lineBreaks](QChar c) {
        return isSpaceOrTab(c) ||
               (lineBreaks && (c == u'\n' || c == u'\r' || c == u'\u2028' || c == u'\u2029' ||
                               c == u'\u0085' || c == u'\v' || c == u'\f'));
    };
    qsizetype start = 0;
    qsizetype end = piece.size();
    while (start < end && trims(piece[start]))
        ++start;
    while (end > start && trims(piece[end - 1]))
        --end;
    return piece.sliced(start, end - start).toString();
}

template <typename Separator>
QStringList splitTrimmed(const QString& text, Separator isSeparator, bool lineBreaks)
{
    QStringList pieces;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !isSeparator(text[i]))
            continue;
        QString piece = trimmedPiece(QStringView(text).sliced(start, i - start), lineBreaks);
        if (!piece.isEmpty())
            pieces.append(std::move(piece));
        start = i + 1;
    }
    return pieces;
}

constexpr QChar kFieldEnd = u'\u0001';

} // namespace

bool isPinned(const LexiconEntry& entry)
{
    return entry.weight > kPinnedAboveWeight;
}

QStringList splitAliases(const QString& text, AliasSource source)
{
    return splitTrimmed(text, isAliasSeparator, source == AliasSource::inlineEditor);
}

QString editorAliasText(const QStringList& aliases)
{
    return aliases.join(u'，');
}

QStringList corpusLineTerms(const QString& corpus)
{
    QStringList terms;
    for (QString& piece : splitTrimmed(corpus, isCorpusSeparator, true)) {
        if (Text::graphemeCount(piece) > 1)
            terms.append(std::move(piece));
    }
    return terms;
}

AliasChips aliasChips(const QStringList& aliases, int shown)
{
    AliasChips chips;
    chips.shown = aliases.mid(0, shown);
    chips.more = int(aliases.size() - chips.shown.size());
    return chips;
}

CategoryCounts categoryCounts(const QList<LexiconEntry>& entries)
{
    CategoryCounts counts{};
    for (const LexiconEntry& entry : entries)
        ++counts[size_t(entry.category.value)];
    return counts;
}

QList<FilterPill> filterPills(const CategoryCounts& counts, qsizetype total,
                              std::optional<LexiconCategory> current)
{
    QList<FilterPill> pills;
    pills.append({std::nullopt, QStringLiteral("全部 (%1)").arg(total), !current});
    for (LexiconCategory category : LexiconCategory::allCases()) {
        const int count = counts[size_t(category.value)];
        const bool isCurrent = current == category;
        // An empty category has no pill, except while it is the filter: it must stay there to be tapped off.
        if (count == 0 && !isCurrent)
            continue;
        pills.append({category, QStringLiteral("%1 (%2)").arg(category.rawValue()).arg(count), isCurrent});
    }
    return pills;
}

std::optional<LexiconCategory> filterAfterTap(std::optional<LexiconCategory> tapped,
                                              std::optional<LexiconCategory> current)
{
    if (!tapped || tapped == current)
        return std::nullopt;
    return tapped;
}

namespace {

SearchIndex::Item indexed(const LexiconEntry& entry)
{
    QString text = entry.term;
    text += kFieldEnd;
    text += entry.phoneticKey;
    text += kFieldEnd;
    for (const QString& alias : entry.aliases) {
        text += alias;
        text += kFieldEnd;
    }
    return {entry.category, LexiconText::foldCase(text), entry.term, entry.phoneticKey, entry.aliases};
}

// Whether the entry still makes the item. Copies of an unchanged entry share their texts, which settles
// nearly every comparison without reading them.
bool stillIndexed(const SearchIndex::Item& item, const LexiconEntry& entry)
{
    return item.category == entry.category &&
           (item.term.isSharedWith(entry.term) || item.term == entry.term) &&
           (item.phoneticKey.isSharedWith(entry.phoneticKey) || item.phoneticKey == entry.phoneticKey) &&
           (item.aliases.isSharedWith(entry.aliases) || item.aliases == entry.aliases);
}

} // namespace

SearchIndex::SearchIndex(const QList<LexiconEntry>& entries)
{
    m_items.reserve(entries.size());
    for (const LexiconEntry& entry : entries)
        m_items.append(indexed(entry));
    m_counts = categoryCounts(entries);
}

void SearchIndex::update(const QList<LexiconEntry>& entries)
{
    // The entries at either end that still make the same items keep them; only those between are indexed.
    const qsizetype shorter = std::min(m_items.size(), entries.size());
    qsizetype head = 0;
    while (head < shorter && stillIndexed(m_items.at(head), entries[head]))
        ++head;
    qsizetype tail = 0;
    while (tail < shorter - head &&
           stillIndexed(m_items.at(m_items.size() - 1 - tail), entries[entries.size() - 1 - tail]))
        ++tail;
    replace(entries, head, m_items.size() - head - tail, entries.size() - head - tail);
}

void SearchIndex::update(const QList<LexiconEntry>& entries, qsizetype first, qsizetype removed,
                         qsizetype inserted)
{
    // A run that does not fit these entries is not the change they had: they are compared instead.
    if (first < 0 || removed < 0 || inserted < 0 || first + removed > m_items.size() ||
        m_items.size() - removed + inserted != entries.size()) {
        update(entries);
        return;
    }
    replace(entries, first, removed, inserted);
}

void SearchIndex::replace(const QList<LexiconEntry>& entries, qsizetype head, qsizetype removed,
                          qsizetype added)
{
    for (qsizetype i = head; i < head + removed; ++i)
        --m_counts[size_t(m_items.at(i).category.value)];
    m_items.remove(head, removed);
    m_items.insert(head, added, Item{});
    for (qsizetype i = 0; i < added; ++i) {
        m_items[head + i] = indexed(entries[head + i]);
        ++m_counts[size_t(entries[head + i].category.value)];
    }
}

QList<qsizetype> SearchIndex::filter(std::optional<LexiconCategory> category, const QString& search) const
{
    const QString needle = LexiconText::foldCase(search);
    QList<qsizetype> passed;
    passed.reserve(m_items.size());
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        const Item& item = m_items[i];
        if (category && item.category != *category)
            continue;
        if (!needle.isEmpty() && !item.folded.contains(needle))
            continue;
        passed.append(i);
    }
    return passed;
}

QString headerBadge(qsizetype total)
{
    return QStringLiteral("FUZZY PHONETIC INDEX · %1 TERMS").arg(total);
}

QString batchDeleteTitle(qsizetype selected)
{
    return QStringLiteral("删除已选 (%1)").arg(selected);
}

QString updatedBanner(const QString& term)
{
    return QStringLiteral("✅ 已更新词条「") + term + QStringLiteral("」并同步纠偏映射");
}

QString batchRemovedBanner(qsizetype removed)
{
    return QStringLiteral("🗑️ 已批量清理 %1 个词条").arg(removed);
}

QString folderImportBanner(int added)
{
    return QStringLiteral("扫描文件夹完成：新增 %1 个高频词条").arg(added);
}

QString browserImportBanner(int added)
{
    return QStringLiteral("已从本机浏览历史只读提取 %1 个高频专有词").arg(added);
}

QString lineImportBanner(int added)
{
    return QStringLiteral("直接批量导入 %1 个词条").arg(added);
}

QString folderImportFailedBanner(const QString& reason)
{
    return QStringLiteral("扫描文件夹失败：") + reason;
}

QString browserImportFailedBanner(const QString& reason)
{
    return QStringLiteral("提取浏览高频词失败：") + reason;
}

} // namespace DictionaryRules
