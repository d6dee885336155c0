#pragma once

#include "ui/dashboard/DashboardPage.h"
#include "ui/pages/settings/SettingsPageState.h"

#include <QPointer>

class AppState;
class FeatureSwitchesCard;
class PolishingCard;
class SpeechEnginesCard;
class TriggerCard;

// The engine settings page: the header and four cards (trigger keys, speech engines, polishing models,
// feature switches). Everything it shows or changes lives in AppState; the page keeps only which engine card
// and which model card is open. Leaving the page, or hiding the window, ends a running shortcut capture.
class EngineSettingsSection final : public DashboardPage {
    Q_OBJECT
public:
    explicit EngineSettingsSection(AppState& state, QWidget* parent = nullptr);

    void refresh() override;
    const SettingsPageState& pageState() const { return m_page; }
    void toggleASRCard(ASRProviderOption provider);
    void toggleLLMCard(LLMProviderOption provider);

protected:
    void hideEvent(QHideEvent* event) override;

private:
    AppState& m_state;
    // The window may be torn down (and hide the page) after the state is gone.
    QPointer<AppState> m_stateAlive;
    SettingsPageState m_page;
    TriggerCard* m_trigger;
    SpeechEnginesCard* m_speech;
    PolishingCard* m_polishing;
    FeatureSwitchesCard* m_switches;
};
