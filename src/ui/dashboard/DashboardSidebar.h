#pragma once

#include "model/Models.h"

#include <QAbstractButton>
#include <QWidget>

class QBDot;
class AppState;
class QBButton;
class QBPill;
class QBTextLabel;
class QLabel;
class QVariantAnimation;

// One tab of the sidebar: icon, title and, for the dictionary, the term count; the whole row takes clicks.
// On screen, a change of selection eases into its new look.
class SidebarTabRow final : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int kSelectionMs = 150;

    SidebarTabRow(SidebarTab tab, QWidget* parent = nullptr);

    SidebarTab tab() const { return m_tab; }
    void setSelected(bool selected);
    bool isSelected() const { return m_selected; }
    // How far the row is drawn selected: 0 not at all, 1 fully; between the two while the change eases.
    qreal selectionProgress() const { return m_progress; }
    QVariantAnimation* selectionAnimation() const { return m_selection; }
    // The count badge's text; empty for rows without a badge.
    void setCount(qsizetype count);
    const QString& countText() const { return m_count; }

    static QString title(SidebarTab tab);
    // A Latin name for object names and file names ("home", "history", "dictionary", "settings").
    static QString id(SidebarTab tab);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    SidebarTab m_tab;
    bool m_selected = false;
    qreal m_progress = 0;
    QVariantAnimation* m_selection;
    QString m_count;
};

// The sidebar: the brand with the speech status, the four tabs and the status card with the engine, the
// trigger key, the average latency, what keeps Accessibility or the trigger key from working and the
// permission button.
class DashboardSidebar final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 226;

    explicit DashboardSidebar(AppState& state, QWidget* parent = nullptr);

    // Reads the state; changes only what differs.
    void refresh();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* buildBrand();
    QWidget* buildStatusCard();

    AppState& m_state;
    QBTextLabel* m_asrStatus = nullptr;
    QList<SidebarTabRow*> m_tabs;
    QBDot* m_engineDot = nullptr;
    QBTextLabel* m_engineLabel = nullptr;
    QLabel* m_accessibilityReason = nullptr;
    QLabel* m_triggerProblem = nullptr;
    QBPill* m_triggerChip = nullptr;
    QWidget* m_latencyRow = nullptr;
    QBTextLabel* m_latencyValue = nullptr;
    QBButton* m_permissionButton = nullptr;
};
