#pragma once

#include "model/Models.h"
#include "ui/widgets/QBPaint.h"

#include <QAbstractButton>
#include <QList>
#include <QWidget>

class AppState;

// One preset of the grid: the key's short label on a soft well, lifted onto a card with a violet border
// while it is the active trigger. A label too long for its cell shrinks to 85 % before it is cut.
class QBHotkeyPresetCell final : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr qreal kFontSize = 11.5;
    static constexpr qreal kMinimumScale = 0.85;

    QBHotkeyPresetCell(TriggerKeyOption option, QWidget* parent = nullptr);

    TriggerKeyOption option() const { return m_option; }
    void setActive(bool active);
    bool isActive() const { return m_active; }

    // The label's font at the current width: the active or resting weight, shrunk to fit down to 85 %.
    QFont shownFont() const;
    // The label as drawn at the current width (elided once shrinking is not enough).
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The label fitted to the cell, measured again only when the width, the weight or the text changed:
    // the cells are painted in every frame of a settings page that moves.
    struct Fitted {
        int width = -1;
        bool active = false;
        QString text;
        QFont font;
        QString shown;
    };
    const Fitted& fitted() const;
    qreal labelWidth() const;

    TriggerKeyOption m_option;
    bool m_active = false;
    mutable Fitted m_fitted;
};

// The ten preset trigger keys in their fixed grid order, on a sand well. A click makes the key the active
// trigger at once (ending a running custom-key capture first); the active look follows AppState::triggerKey
// through refresh(). The grid keeps no state of its own.
class QBHotkeyPresetGrid final : public QWidget {
    Q_OBJECT
public:
    // A flexible column: at least `minimumWidth` wide, sharing the rest equally, `spacing` before the next.
    struct Column {
        qreal minimumWidth = 10;
        qreal spacing = 6;
    };
    // What both the settings page and the first-run wizard pass: five flexible columns, two rows of five.
    static QList<Column> fiveFlexibleColumns();

    QBHotkeyPresetGrid(AppState& state, QList<Column> columns, QWidget* parent = nullptr);

    // Shows the state's trigger key as the active cell; changes only the cells that differ.
    void refresh();
    QBHotkeyPresetCell* cell(TriggerKeyOption option) const;
    const QList<QBHotkeyPresetCell*>& cells() const { return m_cells; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void pick(TriggerKeyOption option);
    void layoutCells();
    int rowCount() const;
    int cellHeight() const;
    qreal spacingTotal() const;

    AppState& m_state;
    QList<Column> m_columns;
    QList<QBHotkeyPresetCell*> m_cells;
    QBPaint::ShadowCache m_lift;
};
