#pragma once

#include "model/Models.h"
#include "ui/pages/settings/EngineSettingsText.h"

#include <QObject>

class AppState;
class QBButton;
class QBExpandableCard;
class QBInlineBanner;
class QBPill;
class QLineEdit;
class QWidget;
struct SettingsPageState;

// One language-model card of the polishing list. Its drafts of key, model and (custom) address are its own
// until saved: filled from the store when the card is shown and each time it opens, and kept following the
// store while it is closed. Save, speed test and check-and-switch send the drafts as typed.
class LLMProviderUnifiedCard final : public QObject {
    Q_OBJECT
public:
    LLMProviderUnifiedCard(AppState& state, const SettingsPageState& page, LLMProviderOption provider,
                           QWidget* parent);
    QBExpandableCard* card() const { return m_card; }
    LLMProviderOption provider() const { return m_provider; }
    const EngineSettingsText::ProviderDrafts& drafts() const { return m_drafts; }
    void refresh();

Q_SIGNALS:
    // The header was clicked: the page opens this card or closes it.
    void toggleRequested(LLMProviderOption provider);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void syncDraftFromStore();
    void showDrafts();

    AppState& m_state;
    const SettingsPageState& m_page;
    LLMProviderOption m_provider;
    EngineSettingsText::ProviderDrafts m_drafts;
    bool m_wasExpanded = false;
    QBExpandableCard* m_card;
    QBPill* m_keyPill;
    QLineEdit* m_baseURLField = nullptr;
    QLineEdit* m_modelField;
    QLineEdit* m_keyField;
    QBButton* m_benchmarkButton;
    QBButton* m_activateButton;
    QBInlineBanner* m_probeBanner;
    QBInlineBanner* m_warnBanner;
};
