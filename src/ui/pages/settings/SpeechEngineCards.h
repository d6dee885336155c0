#pragma once

#include "model/Models.h"
#include "ui/widgets/QBCard.h"

#include <QObject>

class AppState;
class LocalModelCard;
class QBButton;
class QBExpandableCard;
class QBInlineBanner;
class QBPill;
class QLineEdit;
struct SettingsPageState;

// The rows of one cloud engine card, over a QBExpandableCard: the key field with save, speed test and
// check-and-switch, and the one banner below. The OpenAI-compatible card adds its presets and endpoint.
class CloudEngineCard final : public QObject {
    Q_OBJECT
public:
    CloudEngineCard(AppState& state, const SettingsPageState& page, ASRProviderOption provider,
                    QWidget* parent);
    QBExpandableCard* card() const { return m_card; }
    void refresh();

private:
    void buildPresetAndEndpointRows();
    void buildKeyRow();
    void save();
    void probe();
    void activate();

    AppState& m_state;
    const SettingsPageState& m_page;
    ASRProviderOption m_provider;
    QBExpandableCard* m_card;
    QBPill* m_keyPill;
    QLineEdit* m_keyField = nullptr;
    QBButton* m_probeButton = nullptr;
    QBButton* m_activateButton = nullptr;
    QBInlineBanner* m_probeBanner = nullptr;
    QBInlineBanner* m_warnBanner = nullptr;
    QList<QBPill*> m_presets;
    QLineEdit* m_baseURLField = nullptr;
    QLineEdit* m_modelField = nullptr;
};

// Card 2 of the settings page: the three speech engines, of which only a checked one becomes the active one.
class SpeechEnginesCard final : public QBCard {
    Q_OBJECT
public:
    SpeechEnginesCard(AppState& state, const SettingsPageState& page, QWidget* parent = nullptr);
    void refresh();

Q_SIGNALS:
    void headerClicked(ASRProviderOption provider);

private:
    CloudEngineCard* m_seed;
    CloudEngineCard* m_openAI;
    LocalModelCard* m_local;
};
