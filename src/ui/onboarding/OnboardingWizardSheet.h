#pragma once

#include <QWidget>

class AppState;
class QBButton;
class QBCard;
class QBHotkeyPresetGrid;
class QBPill;
class QBTextLabel;
class QComboBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QProgressBar;

// The three-step first-run wizard, all steps on one page: permissions, the speech engine and the polishing
// model with their keys, the trigger key and the offline model. It keeps no state of its own: every control
// shows and writes AppState. Finish stores the typed keys, marks the first run done and lets the sheet close;
// closing the sheet any other way (Escape) only clears the sheet's flag.
class OnboardingWizardSheet final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 590;

    explicit OnboardingWizardSheet(AppState& state, QWidget* parent = nullptr);

    // Reads the state; changes only what differs.
    void refresh();
    // "完成配置，开始体验".
    void finish();

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* buildHeader();
    QBCard* buildStep1();
    QBCard* buildStep2();
    QBCard* buildStep3();
    QWidget* buildFooter();
    QBCard* stepCard(const QString& objectName, const QString& title, QHBoxLayout** badges);
    QLineEdit* keyField(const QString& objectName);
    void refreshStep1();
    void refreshStep2();
    void refreshStep3();

    AppState& m_state;

    QBPill* m_micBadge = nullptr;
    QBPill* m_accessibilityBadge = nullptr;
    QLabel* m_accessibilityReason = nullptr;

    QBPill* m_enginesReadyBadge = nullptr;
    QComboBox* m_speechPicker = nullptr;
    QLineEdit* m_volcKeyField = nullptr;
    QLineEdit* m_openAIKeyField = nullptr;
    QBButton* m_speechSaveButton = nullptr;
    QLabel* m_localEngineNote = nullptr;
    QComboBox* m_modelPicker = nullptr;
    QLineEdit* m_modelKeyField = nullptr;

    QBPill* m_fullModelBadge = nullptr;
    QBHotkeyPresetGrid* m_presetGrid = nullptr;
    QLabel* m_triggerKeyProblem = nullptr;
    QWidget* m_progressRow = nullptr;
    QProgressBar* m_progress = nullptr;
    QBTextLabel* m_downloadStatus = nullptr;
    QWidget* m_downloadRow = nullptr;

    bool m_micOk = false;
    bool m_accessibilityOk = false;
};
