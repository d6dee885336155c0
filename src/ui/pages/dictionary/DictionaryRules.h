#pragma once

#include "model/Records.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

// What the dictionary page shows and how it reads what the user types, as pure functions of the lexicon's
// entries and the page's inputs; the widgets only paint the results.
namespace DictionaryRules {

// An entry of this weight or more is pinned: it is always among the hotwords.
constexpr qint64 kPinnedAboveWeight = 8;
constexpr qint64 kAddedWeight = 8;
constexpr qint64 kSavedPinnedWeight = 10;
constexpr qint64 kSavedUnpinnedWeight = 7;
constexpr int kShownAliasChips = 4;
constexpr int kFolderImportMaxEntries = 120;
constexpr int kBrowserImportMaxEntries = 60;

bool isPinned(const LexiconEntry& entry);

// Alias text of the add form or the inline editor, split at , ， / 、 ; ； and trimmed, empty pieces dropped,
// order and repeats kept. The add form trims spaces and tabs only; the editor also line breaks.
enum class AliasSource { addForm, inlineEditor };
QStringList splitAliases(const QString& text, AliasSource source);
// The aliases as the inline editor shows them.
QString editorAliasText(const QStringList& aliases);

// The terms of a pasted corpus imported line by line: split at line feeds and , ， 、 ; ； (not the slash),
// trimmed, pieces of two or more characters kept in order, repeats included.
QStringList corpusLineTerms(const QString& corpus);

// The first aliases shown as chips, and how many more there are.
struct AliasChips {
    QStringList shown;
    int more = 0;
};
AliasChips aliasChips(const QStringList& aliases, int shown = kShownAliasChips);

// Entries per category, in the enum's order, over the whole lexicon.
using CategoryCounts = std::array<int, 6>;
CategoryCounts categoryCounts(const QList<LexiconEntry>& entries);

// One filter pill: "全部 (n)" first, then one per category that has entries or is the current filter.
struct FilterPill {
    std::optional<LexiconCategory> category; // none: the "全部" pill
    QString title;
    bool isActive = false;
};
QList<FilterPill> filterPills(const CategoryCounts& counts, qsizetype total,
                              std::optional<LexiconCategory> current);
// Tapping a category pill toggles its filter; the "全部" pill clears it.
std::optional<LexiconCategory> filterAfterTap(std::optional<LexiconCategory> tapped,
                                              std::optional<LexiconCategory> current);

// The entries' searchable texts, case-folded once, so each keystroke is a plain substring search.
class SearchIndex {
public:
    SearchIndex() = default;
    explicit SearchIndex(const QList<LexiconEntry>& entries);
    // Makes this the index of `entries`, indexing again only the entries between the unchanged ones at
    // either end: one edit, addition or removal costs what one entry does. Holds no copy of the list, so
    // the store changes its own in place.
    void update(const QList<LexiconEntry>& entries);
    // The same, told where the change was: from `first` on, `removed` entries became `inserted` ones.
    void update(const QList<LexiconEntry>& entries, qsizetype first, qsizetype removed, qsizetype inserted);

    // Indices of the entries that pass the category filter and contain `search` (untested when empty; never
    // trimmed, so spaces are searched for) in the term, the phonetic key or one alias, ignoring case; in
    // store order.
    QList<qsizetype> filter(std::optional<LexiconCategory> category, const QString& search) const;
    // The entries of each category, kept with the index.
    const CategoryCounts& counts() const { return m_counts; }

    struct Item {
        LexiconCategory category;
        // Term, phonetic key and aliases, folded, each followed by a separator no typed text holds.
        QString folded;
        // The texts indexed, shared with the entry: an unchanged entry is told without reading them.
        QString term;
        QString phoneticKey;
        QStringList aliases;
        bool operator==(const Item&) const = default;
    };
    bool operator==(const SearchIndex&) const = default;

private:
    void replace(const QList<LexiconEntry>& entries, qsizetype first, qsizetype removed, qsizetype inserted);

    QList<Item> m_items;
    CategoryCounts m_counts{};
};

// Texts of the page.
QString headerBadge(qsizetype total);
QString batchDeleteTitle(qsizetype selected);
QString updatedBanner(const QString& term);
QString batchRemovedBanner(qsizetype removed);
QString folderImportBanner(int added);
QString browserImportBanner(int added);
QString lineImportBanner(int added);
QString folderImportFailedBanner(const QString& reason);
QString browserImportFailedBanner(const QString& reason);

} // namespace DictionaryRules
