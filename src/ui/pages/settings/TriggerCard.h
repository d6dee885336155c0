#pragma once

#include "ui/widgets/QBCard.h"

class AppState;
class QBButton;
class QBHotkeyPresetGrid;
class QBPill;
class QBSegmentBar;

// Card 1 of the settings page: the two permission badges, the current trigger with the shortcut recorder,
// the preset grid, and the trigger-behaviour and output segments.
class TriggerCard final : public QBCard {
    Q_OBJECT
public:
    explicit TriggerCard(AppState& state, QWidget* parent = nullptr);
    void refresh();

private:
    AppState& m_state;
    QBPill* m_micBadge;
    QBPill* m_accessibilityBadge;
    QBPill* m_currentTrigger;
    QWidget* m_recording;
    QBButton* m_recordButton;
    QBHotkeyPresetGrid* m_grid;
    QBSegmentBar* m_behavior;
    QBSegmentBar* m_output;
};
