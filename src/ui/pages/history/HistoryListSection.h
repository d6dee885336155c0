#pragma once

#include "model/Records.h"
#include "ui/dashboard/DashboardPage.h"
#include "util/Scheduler.h"

#include <optional>

class AppState;
class HistoryRecordList;
class QBButton;
class QBCard;
class QBEditorialHeader;
class QLabel;
class QLineEdit;

// The second page: the archive header, the quick fix that adds a misheard word to the lexicon, and every
// record of the history, newest first, or the empty card naming the trigger key. The "已复制" marker of a
// copied record is the page's own state; its timer goes with the page.
class HistoryListSection final : public DashboardPage {
    Q_OBJECT
public:
    // How long a copied record shows "已复制".
    static constexpr Duration kCopiedMarkerDuration = seconds(1.4);
    static constexpr qint64 kQuickFixWeight = 9;

    explicit HistoryListSection(AppState& state, QWidget* parent = nullptr);

    void refresh() override;

    HistoryRecordList* list() const { return m_list; }
    const std::optional<QUuid>& copiedRecordID() const { return m_copiedRecordID; }

private:
    QWidget* buildQuickFixCard();
    QWidget* buildEmptyCard();
    void applyQuickFix();
    void copyRecord(const DictationRecord& record);

    AppState& m_state;
    QBEditorialHeader* m_header = nullptr;
    QLineEdit* m_quickFixTerm = nullptr;
    QLineEdit* m_quickFixAlias = nullptr;
    HistoryRecordList* m_list = nullptr;
    QBCard* m_emptyCard = nullptr;
    QLabel* m_emptyLine = nullptr;
    std::optional<QUuid> m_copiedRecordID;
    ScheduledWork m_copiedRevert;
    // The history the list shows, held to see in O(1) whether it was replaced since.
    QList<DictationRecord> m_shownHistory;
    bool m_listShown = false;
};
