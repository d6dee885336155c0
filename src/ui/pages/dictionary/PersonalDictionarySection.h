#pragma once

#include "lexicon/TermImporter.h"
#include "model/Records.h"
#include "ui/dashboard/DashboardPage.h"
#include "ui/pages/dictionary/DictionaryEntryList.h"
#include "ui/pages/dictionary/DictionaryRules.h"
#include "util/Status.h"

#include <QCoroTask>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

class AppState;
class DictionaryInlineEditor;
class FolderPicker;
class LexiconChangeReport;
class QBButton;
class QBEditorialHeader;
class QBPill;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QAbstractButton;

// The personal dictionary: bulk import (a folder of notes, the browser's history, a pasted corpus by lines or
// distilled by the language model), the add form, category filters with counts, search, batch deletion and
// the entries with their inline editor. Imports and distillation run off the main thread; the page shows
// that they run, and their results reach the status banner.
class PersonalDictionarySection final : public DashboardPage {
    Q_OBJECT
public:
    explicit PersonalDictionarySection(AppState& state, QWidget* parent = nullptr);
    ~PersonalDictionarySection() override;

    void refresh() override;

    // The folder chooser of the note import: a folder dialog unless replaced.
    void setFolderPicker(std::unique_ptr<FolderPicker> picker);
    // Where the browser history is looked for: the user's home unless replaced.
    void setImportLocations(TermImportLocations locations);

    // The store's entries that pass the category filter and the search, in store order.
    QList<LexiconEntry> filteredEntries() const;
    void beginInlineEdit(const LexiconEntry& entry);
    void commitInlineEdit(QUuid id);

    DictionaryEntryList* entryList() const { return m_list; }
    DictionaryInlineEditor* inlineEditor() const { return m_editor; }
    bool isBatchMode() const { return m_batchMode; }
    const QSet<QUuid>& selectedIDs() const { return m_selected; }
    bool isDistilling() const { return m_isDistilling; }

private:
    QWidget* buildImportCard();
    QWidget* buildAddCard();
    QWidget* buildFilterBlock();

    void reloadEntries();
    // Runs a change of the store that the page asks for. The store changes its list in place only while
    // nothing else holds it: the page lets go of its copies meanwhile (copying a large lexicon and freeing
    // the old list would take more than a frame) and takes the changed list at once.
    void changeEntries(const std::function<void()>& change);
    void applyFilter();
    void syncPills();
    void syncBatchControls();
    void syncImportControls();
    void closeInlineEdit();
    // Shows how an import ended. The import outlives a page rebuilt meanwhile, and its result is shown all
    // the same; a failed save is the state's to show.
    static void reportImport(const QPointer<AppState>& state, const QPointer<LexiconChangeReport>& report,
                             const TermImportResult& result, const QString& doneLine,
                             const QString& failedLine);

    void addTerm();
    void onEntryClicked(const QUuid& id, DictionaryEntryList::Part part);
    void toggleSelection(const QUuid& id);
    void removeEntry(QUuid id);
    void toggleBatchMode();
    void removeSelected();
    void importCorpusLines();
    QCoro::Task<> importFolder();
    QCoro::Task<> importBrowserHistory();
    QCoro::Task<> distillCorpus();

    AppState& m_state;
    std::unique_ptr<FolderPicker> m_folderPicker;
    TermImportLocations m_importLocations;

    // What the store holds, and what is derived from it once per change.
    QList<LexiconEntry> m_entries;
    DictionaryRules::SearchIndex m_index;
    // The store's revision that m_index shows.
    quint64 m_indexedRevision = 0;
    bool m_entriesStale = true;

    std::optional<LexiconCategory> m_categoryFilter;
    std::optional<QUuid> m_editingID;
    bool m_batchMode = false;
    QSet<QUuid> m_selected;
    bool m_isDistilling = false;
    bool m_isImportingFolder = false;
    bool m_isImportingBrowser = false;

    QBEditorialHeader* m_header = nullptr;
    QBButton* m_folderButton = nullptr;
    QBButton* m_browserButton = nullptr;
    QPlainTextEdit* m_corpus = nullptr;
    QBButton* m_lineImportButton = nullptr;
    QBButton* m_distillButton = nullptr;
    QLineEdit* m_newTerm = nullptr;
    QLineEdit* m_newAliases = nullptr;
    QComboBox* m_newCategory = nullptr;
    // "全部" first, then one per category in the enum's order.
    QList<QBPill*> m_pills;
    QBButton* m_deleteSelectedButton = nullptr;
    QBButton* m_batchButton = nullptr;
    QLineEdit* m_search = nullptr;
    QAbstractButton* m_clearSearch = nullptr;
    DictionaryEntryList* m_list = nullptr;
    DictionaryInlineEditor* m_editor = nullptr;
};
