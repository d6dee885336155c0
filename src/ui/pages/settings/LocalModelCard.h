#pragma once

#include <QObject>

class AppState;
class QBButton;
class QBExpandableCard;
class QBInlineBanner;
class QBPill;
class QLabel;
class QProgressBar;
class QWidget;
struct SettingsPageState;

// The local SenseVoice card: the pack pill and chip, the download with its progress and cancel (shown
// whether or not the card is open), the ready text or the download offer, and check-and-switch.
class LocalModelCard final : public QObject {
    Q_OBJECT
public:
    LocalModelCard(AppState& state, const SettingsPageState& page, QWidget* parent);
    QBExpandableCard* card() const { return m_card; }
    void refresh();

private:
    AppState& m_state;
    const SettingsPageState& m_page;
    QBExpandableCard* m_card;
    QBPill* m_packPill;
    QWidget* m_progressBlock;
    QProgressBar* m_progress;
    QLabel* m_progressText;
    QLabel* m_readyText;
    QLabel* m_missingText;
    QBButton* m_downloadButton;
    QBButton* m_activateButton;
    QBInlineBanner* m_errorBanner;
};
