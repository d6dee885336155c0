#include "ui/pages/settings/PolishingCard.h"

#include "core/AppState.h"
#include "ui/pages/settings/LLMProviderUnifiedCard.h"
#include "ui/pages/settings/SettingsPageState.h"
#include "ui/pages/settings/SettingsParts.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBExpandableCard.h"
#include "ui/widgets/QBSegmentBar.h"
#include "ui/widgets/SettingsControls.h"

#include <QHBoxLayout>
#include <QLabel>

using namespace SettingsParts;

namespace {
const QString kVerbatimNote = QStringLiteral(
    "💡 当前整理力度为「纯原声直出」，听写经本地词库修词后直接上屏，暂不调用下方云端排版模型。");
} // namespace

PolishingCard::PolishingCard(AppState& state, const SettingsPageState& page, QWidget* parent)
    : QBCard(14, 16, parent), m_state(state)
{
    setObjectName(QStringLiteral("polishingCard"));
    QVBoxLayout* column = contentLayout();
    column->setSpacing(11);
    column->addWidget(sectionHeader(QStringLiteral("3. 排版大模型与密钥"), 14,
                                    QStringLiteral("点开配置并校验通过后才生效 · 唯一生效模型"), 11.5, this));
    m_strength = new QBSegmentBar;
    m_strength->setObjectName(QStringLiteral("strengthBar"));
    column->addWidget(new QBMatrixControlRow(QStringLiteral("整理力度"), m_strength, this));
    m_verbatimNote = new QBInlineBanner(QBInlineBanner::Kind::warn, kVerbatimNote, this);
    m_verbatimNote->setObjectName(QStringLiteral("verbatimNote"));
    column->addWidget(m_verbatimNote);

    auto* list = new QWidget(this);
    auto* listColumn = new QVBoxLayout(list);
    listColumn->setContentsMargins(0, 0, 0, 0);
    listColumn->setSpacing(6);
    for (LLMProviderOption provider : LLMProviderOption::allCases()) {
        auto* card = new LLMProviderUnifiedCard(state, page, provider, list);
        connect(card, &LLMProviderUnifiedCard::toggleRequested, this, &PolishingCard::toggleRequested);
        listColumn->addWidget(card->card());
        m_providers.append(card);
    }
    column->addWidget(list);
    refresh();
}

void PolishingCard::refresh()
{
    const FormattingStyle style = m_state.llmConfig().formattingStyle;
    AppState* state = &m_state;
    const auto item = [state, style](const QString& title, FormattingStyle value, const QString& name) {
        return QBSegmentBar::Item{title, style == value,
                                  [state, value] {
                                      LLMConfig config = state->llmConfig();
                                      config.formattingStyle = value;
                                      state->setLLMConfig(std::move(config));
                                  },
                                  name};
    };
    m_strength->setItems(
        {item(QStringLiteral("结构化分点分段"), FormattingStyle::structured,
              QStringLiteral("styleStructured")),
         item(QStringLiteral("轻度去口癖纠错"), FormattingStyle::lightPolish, QStringLiteral("styleLight")),
         item(QStringLiteral("纯原声直出（不调大模型）"), FormattingStyle::verbatimLocal,
              QStringLiteral("styleVerbatim"))});
    SettingsParts::setVisible(m_verbatimNote, style == FormattingStyle::verbatimLocal);
    for (LLMProviderUnifiedCard* card : m_providers)
        card->refresh();
}

FeatureSwitchesCard::FeatureSwitchesCard(AppState& state, QWidget* parent)
    : QBCard(14, 15, parent), m_state(state)
{
    setObjectName(QStringLiteral("switchesCard"));
    QVBoxLayout* column = contentLayout();
    column->setSpacing(11);
    column->addWidget(sectionHeader(QStringLiteral("4. 智能细节开关与系统维护"), 13.5,
                                    QStringLiteral("录音中按 Esc 随时取消并撤回已上屏草稿"), 11, this));
    column->addWidget(hairline(this));

    struct Entry {
        QBIcon icon;
        const char* title;
        bool LLMConfig::*field;
        const char* name;
    };
    const QList<Entry> left{
        {QBIcon::volumeOff, "听写时自动静音外放（说完自动恢复）", &LLMConfig::enableAutoMuteDuringDictation,
         "switchAutoMute"},
        {QBIcon::hare, "28 字内干净短句免检直通", &LLMConfig::enableFastBypassForShortPhrases,
         "switchFastBypass"},
        {QBIcon::microphone, "25dB 气声耳语自动增益", &LLMConfig::enableWhisperAGC, "switchWhisperAGC"},
        {QBIcon::typography, "中英文盘古留白与数字规整", &LLMConfig::enablePanguSpacing, "switchPangu"},
    };
    const QList<Entry> right{
        {QBIcon::brain, "改字无感自学习词库", &LLMConfig::enableAutoLearn, "switchAutoLearn"},
        {QBIcon::messages, "聊天与终端去句末句号", &LLMConfig::stripTrailingPeriodInChatApps,
         "switchStripPeriod"},
        {QBIcon::taskbar, "在任务栏显示图标", &LLMConfig::showInDock, "switchShowInDock"},
    };
    auto* columns = new QWidget(this);
    QHBoxLayout* columnsRow = row(columns, 24);
    for (const QList<Entry>& entries : {left, right}) {
        auto* holder = new QWidget(columns);
        auto* stack = new QVBoxLayout(holder);
        stack->setContentsMargins(0, 0, 0, 0);
        stack->setSpacing(0);
        for (qsizetype i = 0; i < entries.size(); ++i) {
            if (i > 0)
                stack->addWidget(hairline(holder));
            const Entry& entry = entries[i];
            auto* switchRow = new CompactSwitchRow(entry.icon, QString::fromUtf8(entry.title), holder);
            switchRow->setObjectName(QString::fromLatin1(entry.name));
            // Each switch writes its own field of the live record and nothing else.
            bool LLMConfig::*field = entry.field;
            AppState* target = &m_state;
            connect(switchRow, &CompactSwitchRow::toggled, this, [target, field](bool on) {
                LLMConfig config = target->llmConfig();
                config.*field = on;
                target->setLLMConfig(std::move(config));
            });
            stack->addWidget(switchRow);
            m_switches.append({switchRow, field});
        }
        stack->addStretch(1);
        columnsRow->addWidget(holder, 1, Qt::AlignTop);
    }
    column->addWidget(columns);
    column->addWidget(hairline(this));

    auto* maintenance = new QWidget(this);
    QHBoxLayout* buttons = row(maintenance, 8);
    QBButton* permissions = compactButton(false, QStringLiteral("请求系统权限"), maintenance,
                                          QStringLiteral("requestPermissions"));
    connect(permissions, &QAbstractButton::clicked, this, [this] { m_state.requestAllPermissions(); });
    buttons->addWidget(permissions);
    QBButton* reset = compactButton(false, QStringLiteral("重置辅助功能缓存"), maintenance,
                                    QStringLiteral("resetAccessibility"));
    connect(reset, &QAbstractButton::clicked, this, [this] { m_state.resetStaleTCCAndOpenSettings(); });
    buttons->addWidget(reset);
    buttons->addStretch(1);
    QBButton* onboarding =
        compactButton(false, QStringLiteral("新手引导"), maintenance, QStringLiteral("openOnboarding"));
    connect(onboarding, &QAbstractButton::clicked, this, [this] { m_state.setShowOnboardingSheet(true); });
    buttons->addWidget(onboarding);
    column->addWidget(maintenance);
    refresh();
}

void FeatureSwitchesCard::refresh()
{
    const LLMConfig& config = m_state.llmConfig();
    for (const Switch& entry : m_switches)
        if (entry.row->isOn() != config.*(entry.field))
            entry.row->setOn(config.*(entry.field));
}
