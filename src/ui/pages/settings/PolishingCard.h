#pragma once

#include "model/LLMConfig.h"
#include "model/Models.h"
#include "ui/widgets/QBCard.h"

class AppState;
class CompactSwitchRow;
class LLMProviderUnifiedCard;
class QBInlineBanner;
class QBSegmentBar;
struct SettingsPageState;

// Card 3 of the settings page: the polishing strength, the note while polishing is off, and one card per
// language-model provider.
class PolishingCard final : public QBCard {
    Q_OBJECT
public:
    PolishingCard(AppState& state, const SettingsPageState& page, QWidget* parent = nullptr);
    void refresh();
    const QList<LLMProviderUnifiedCard*>& providerCards() const { return m_providers; }

Q_SIGNALS:
    void toggleRequested(LLMProviderOption provider);

private:
    AppState& m_state;
    QBSegmentBar* m_strength;
    QBInlineBanner* m_verbatimNote;
    QList<LLMProviderUnifiedCard*> m_providers;
};

// Card 4: the seven feature switches and the maintenance buttons.
class FeatureSwitchesCard final : public QBCard {
    Q_OBJECT
public:
    explicit FeatureSwitchesCard(AppState& state, QWidget* parent = nullptr);
    void refresh();

private:
    struct Switch {
        CompactSwitchRow* row;
        bool LLMConfig::*field;
    };
    AppState& m_state;
    QList<Switch> m_switches;
};
