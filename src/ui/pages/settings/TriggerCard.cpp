#include "ui/pages/settings/TriggerCard.h"

#include "core/AppState.h"
#include "ui/pages/settings/EngineSettingsText.h"
#include "ui/pages/settings/SettingsParts.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBHotkeyPresetGrid.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBSegmentBar.h"
#include "ui/widgets/SettingsControls.h"

#include <QHBoxLayout>
#include <QLabel>

using namespace SettingsParts;

namespace {
const QString kRecordingPrompt = QStringLiteral("● 请按下左/右修饰键或组合键（Esc 取消）");

QBPill::Look currentTriggerLook()
{
    QBPill::Look look;
    look.font = QBTheme::font(11.5, QFont::DemiBold);
    look.text = QBTheme::violet();
    look.fill = QBTheme::lilacTint();
    look.dot = QBTheme::violet();
    look.dotSize = 6;
    look.spacing = 5;
    look.paddingH = 9;
    look.paddingV = 3;
    return look;
}

QBPill::Look recordingPromptLook()
{
    QBPill::Look look;
    look.font = QBTheme::font(11.5, QFont::DemiBold);
    look.text = Qt::white;
    look.fill = QBTheme::violet();
    look.paddingH = 10;
    look.paddingV = 4.5;
    return look;
}
} // namespace

TriggerCard::TriggerCard(AppState& state, QWidget* parent) : QBCard(14, 16, parent), m_state(state)
{
    setObjectName(QStringLiteral("triggerCard"));
    QVBoxLayout* column = contentLayout();
    column->setSpacing(11);

    auto* title = new QWidget(this);
    QHBoxLayout* titleRow = row(title, 8);
    titleRow->addWidget(label(QStringLiteral("1. 快捷键与输入方式"), QBTheme::font(14, QFont::DemiBold),
                              QBTheme::inkPrimary(), title, QStringLiteral("sectionTitle")));
    titleRow->addStretch(1);
    m_micBadge = SettingsPills::permissionBadge(QStringLiteral("麦克风"), false, title);
    m_micBadge->setObjectName(QStringLiteral("micBadge"));
    titleRow->addWidget(m_micBadge);
    m_accessibilityBadge = SettingsPills::permissionBadge(QStringLiteral("辅助功能上屏"), false, title);
    m_accessibilityBadge->setObjectName(QStringLiteral("accessibilityBadge"));
    titleRow->addWidget(m_accessibilityBadge);
    column->addWidget(title);
    column->addWidget(hairline(this));

    // The trigger-key block: the shortcut row over the preset grid, 2 pt of air above and below.
    auto* block = new QWidget(this);
    auto* blockColumn = new QVBoxLayout(block);
    blockColumn->setContentsMargins(0, 2, 0, 2);
    blockColumn->setSpacing(8);
    auto* shortcut = new QWidget(block);
    QHBoxLayout* shortcutRow = row(shortcut, 8);
    shortcutRow->addWidget(label(QStringLiteral("全局快捷键"), QBTheme::font(12.5, QFont::Medium),
                                 QBTheme::inkSecondary(), shortcut));
    m_currentTrigger = new QBPill(QString(), currentTriggerLook(), shortcut);
    m_currentTrigger->setObjectName(QStringLiteral("currentTrigger"));
    shortcutRow->addWidget(m_currentTrigger);
    shortcutRow->addStretch(1);

    m_recording = new QWidget(shortcut);
    m_recording->setObjectName(QStringLiteral("recordingControls"));
    QHBoxLayout* recordingRow = row(m_recording, 6);
    auto* prompt = new QBPill(kRecordingPrompt, recordingPromptLook(), m_recording);
    prompt->setObjectName(QStringLiteral("recordingPrompt"));
    recordingRow->addWidget(prompt);
    QBButton* cancel =
        compactButton(false, QStringLiteral("取消"), m_recording, QStringLiteral("cancelCapture"));
    connect(cancel, &QAbstractButton::clicked, this, [this] { m_state.cancelShortcutCapture(); });
    recordingRow->addWidget(cancel);
    shortcutRow->addWidget(m_recording);

    m_recordButton = compactButton(false, QString(), shortcut, QStringLiteral("recordShortcut"));
    m_recordButton->setLeadingIcon(QBIcon::keyboard, 11);
    connect(m_recordButton, &QAbstractButton::clicked, this, [this] { m_state.startShortcutCapture(); });
    shortcutRow->addWidget(m_recordButton);
    blockColumn->addWidget(shortcut);

    m_grid = new QBHotkeyPresetGrid(state, QBHotkeyPresetGrid::fiveFlexibleColumns(), block);
    m_grid->setObjectName(QStringLiteral("presetGrid"));
    blockColumn->addWidget(m_grid);
    column->addWidget(block);
    column->addWidget(hairline(this));

    // Each click writes through the setter, the selected value too: its observer runs and stores it again.
    m_behavior = new QBSegmentBar;
    m_behavior->setObjectName(QStringLiteral("behaviorBar"));
    column->addWidget(new QBMatrixControlRow(QStringLiteral("触发方式"), m_behavior, this));
    column->addWidget(hairline(this));
    m_output = new QBSegmentBar;
    m_output->setObjectName(QStringLiteral("outputBar"));
    column->addWidget(new QBMatrixControlRow(QStringLiteral("上屏模式"), m_output, this));
    refresh();
}

void TriggerCard::refresh()
{
    const bool mic = m_state.micAuthorized();
    if (m_micBadge->look().fill != QBPillLooks::permissionBadge(mic).fill)
        m_micBadge->setLook(QBPillLooks::permissionBadge(mic));
    const bool accessibility = m_state.accessibilityGranted();
    if (m_accessibilityBadge->look().fill != QBPillLooks::permissionBadge(accessibility).fill)
        m_accessibilityBadge->setLook(QBPillLooks::permissionBadge(accessibility));

    setText(m_currentTrigger, QStringLiteral("当前生效：") + m_state.activeTriggerDisplayName());
    const bool recording = m_state.isRecordingShortcut();
    // The one going away first: the row never asks for room for both.
    SettingsParts::setVisible(recording ? static_cast<QWidget*>(m_recordButton) : m_recording, false);
    SettingsParts::setVisible(recording ? m_recording : static_cast<QWidget*>(m_recordButton), true);
    setText(m_recordButton,
            EngineSettingsText::recordButtonTitle(m_state.triggerKey(), m_state.customHotkey()));
    m_grid->refresh();

    AppState* state = &m_state;
    const TriggerBehavior behavior = m_state.triggerBehavior();
    m_behavior->setItems(
        {{QStringLiteral("点按启停（免按住）"), behavior == TriggerBehavior::tapToggle,
          [state] { state->setTriggerBehavior(TriggerBehavior::tapToggle); }, QStringLiteral("behaviorTap")},
         {QStringLiteral("按住说话 · 松开上屏"), behavior == TriggerBehavior::holdToTalk,
          [state] { state->setTriggerBehavior(TriggerBehavior::holdToTalk); },
          QStringLiteral("behaviorHold")}});
    const bool live = m_state.llmConfig().enableLiveInlineTyping;
    const auto setLive = [state](bool on) {
        LLMConfig config = state->llmConfig();
        config.enableLiveInlineTyping = on;
        state->setLLMConfig(std::move(config));
    };
    m_output->setItems({{QStringLiteral("胶囊跳符 · 松手瞬贴（默认）"), !live, [setLive] { setLive(false); },
                         QStringLiteral("outputPaste")},
                        {QStringLiteral("开启前端输入框逐字跳出"), live, [setLive] { setLive(true); },
                         QStringLiteral("outputLive")}});
}
