#include "ui/pages/settings/EngineSettingsSection.h"

#include "core/AppState.h"
#include "ui/pages/settings/PolishingCard.h"
#include "ui/pages/settings/SpeechEngineCards.h"
#include "ui/pages/settings/TriggerCard.h"
#include "ui/widgets/QBEditorialHeader.h"

#include <QVBoxLayout>

EngineSettingsSection::EngineSettingsSection(AppState& state, QWidget* parent)
    : DashboardPage(parent), m_state(state), m_stateAlive(&state)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);
    column->addWidget(new QBEditorialHeader(
        QStringLiteral("STUDIO PREFERENCES"), QStringLiteral("引擎与快捷键设置"),
        QStringLiteral("左右侧全套修饰键与自定义组合键一键绑定 ｜ 点开配置并校验通过后才切换唯一生效引擎"),
        this));
    m_trigger = new TriggerCard(state, this);
    column->addWidget(m_trigger);
    m_speech = new SpeechEnginesCard(state, m_page, this);
    connect(m_speech, &SpeechEnginesCard::headerClicked, this, &EngineSettingsSection::toggleASRCard);
    column->addWidget(m_speech);
    m_polishing = new PolishingCard(state, m_page, this);
    connect(m_polishing, &PolishingCard::toggleRequested, this, &EngineSettingsSection::toggleLLMCard);
    column->addWidget(m_polishing);
    m_switches = new FeatureSwitchesCard(state, this);
    column->addWidget(m_switches);
    column->addStretch(1);
}

void EngineSettingsSection::refresh()
{
    m_trigger->refresh();
    m_speech->refresh();
    m_polishing->refresh();
    m_switches->refresh();
}

void EngineSettingsSection::toggleASRCard(ASRProviderOption provider)
{
    // Opening one engine card closes the other.
    m_page.expandedASR = m_page.expandedASR == provider ? std::nullopt : std::optional(provider);
    m_speech->refresh();
}

void EngineSettingsSection::toggleLLMCard(LLMProviderOption provider)
{
    m_page.expandedLLM = m_page.expandedLLM == provider ? std::nullopt : std::optional(provider);
    m_polishing->refresh();
}

void EngineSettingsSection::hideEvent(QHideEvent* event)
{
    DashboardPage::hideEvent(event);
    // The shell hides the page before it drops it, and a hidden window hides it too: a capture left running
    // would take the next key press as the new trigger. Here, not in a destructor, and only while the state
    // still exists.
    if (m_stateAlive && m_state.isRecordingShortcut())
        m_state.cancelShortcutCapture();
}
