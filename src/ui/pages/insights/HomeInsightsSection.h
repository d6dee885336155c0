#pragma once

#include "model/Records.h"
#include "ui/dashboard/DashboardPage.h"

#include <QList>

class ActivityHeatmapGrid;
class AppState;
class EditorialStatColumn;
class QBButton;
class QBTextLabel;
class QLabel;
class SandboxEditor;

// The first page: four running totals of the history, the 26-week heat map of dictated characters and the
// try-out box, where a dictation started from the window lands in the window. Everything shown is read from
// the state; the figures are recomputed only when the history changed, the phase and the try-out text on
// every refresh.
class HomeInsightsSection final : public DashboardPage {
    Q_OBJECT
public:
    static constexpr int kHeatmapWeeks = 26;
    static constexpr int kHeatmapDaysPerWeek = 7;

    explicit HomeInsightsSection(AppState& state, QWidget* parent = nullptr);

    void refresh() override;

private:
    QWidget* buildStatsCard();
    QWidget* buildHeatmapCard();
    QWidget* buildTryOutCard();
    void refreshFigures();
    void refreshTryOut();
    void toggleTryOut();

    AppState& m_state;
    QList<EditorialStatColumn*> m_columns;
    QBTextLabel* m_heatmapLine = nullptr;
    ActivityHeatmapGrid* m_heatmap = nullptr;
    QWidget* m_listeningDot = nullptr;
    QBButton* m_clearButton = nullptr;
    QBButton* m_tryOutButton = nullptr;
    QLabel* m_hint = nullptr;
    SandboxEditor* m_editor = nullptr;
    // The history the figures were computed from, held to see in O(1) whether it was replaced since.
    QList<DictationRecord> m_figuresHistory;
    qint64 m_activeDays = 0;
    bool m_figuresShown = false;
};
