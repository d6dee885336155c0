#include "ui/pages/settings/SpeechEngineCards.h"

#include "core/AppState.h"
#include "llm/PolishEngine.h"
#include "ui/pages/settings/EngineSettingsText.h"
#include "ui/pages/settings/LocalModelCard.h"
#include "ui/pages/settings/SettingsPageState.h"
#include "ui/pages/settings/SettingsParts.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBExpandableCard.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/SettingsControls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>

using namespace SettingsParts;
using Banner = EngineSettingsText::Banner;

namespace {
const QString kSeedSubtitle =
    QStringLiteral("字节双向流国内直连 · 挂载专属词库热词 · 断网自动无损切回本机热备");
const QString kOpenAISubtitle = QStringLiteral(
    "支持 OpenAI gpt-4o-mini-transcribe 与 Groq whisper-large-v3-turbo · 自动复用 OpenAI Key · 注入专属热词");
const QString kSeedKeyPlaceholder =
    QStringLiteral("粘贴火山豆包语音 API Key（绑定 volc.seedasr.sauc.duration）");
const QString kSeedMissingKey = QStringLiteral("⚠️ 尚未填入火山语音 API "
                                               "Key；填入后点击「校验并切换」通过验证才会点亮生效。");
const QString kReuseText = QStringLiteral("复用 OpenAI 密钥");
} // namespace

CloudEngineCard::CloudEngineCard(AppState& state, const SettingsPageState& page, ASRProviderOption provider,
                                 QWidget* parent)
    : QObject(parent), m_state(state), m_page(page), m_provider(provider)
{
    const bool seed = provider == ASRProviderOption::volcSeedASR;
    m_card = new QBExpandableCard(provider.title(), seed ? QStringLiteral("Seed-ASR 2.0") : QString(),
                                  seed ? kSeedSubtitle : kOpenAISubtitle, parent);
    m_card->setObjectName(QStringLiteral("engineCard-") + provider.rawValue());
    m_keyPill = SettingsPills::keyStatusPill(false, false, true, m_card);
    m_keyPill->setObjectName(QStringLiteral("keyPill"));
    m_card->addTrailing(m_keyPill);
    if (!seed)
        buildPresetAndEndpointRows();
    buildKeyRow();
    m_probeBanner = new QBInlineBanner(QBInlineBanner::Kind::probe, QString(), m_card);
    m_probeBanner->setObjectName(QStringLiteral("probeBanner"));
    m_card->bodyLayout()->addWidget(m_probeBanner);
    m_warnBanner = new QBInlineBanner(QBInlineBanner::Kind::warn, QString(), m_card);
    m_warnBanner->setObjectName(QStringLiteral("warnBanner"));
    m_card->bodyLayout()->addWidget(m_warnBanner);
    setParent(m_card);
}

void CloudEngineCard::buildPresetAndEndpointRows()
{
    auto* presets = new QWidget(m_card);
    QHBoxLayout* presetRow = row(presets, 6);
    presetRow->addWidget(fieldLabel(QStringLiteral("快捷预设"), presets));
    AppState* state = &m_state;
    for (const EngineSettingsText::ASRPreset& preset : EngineSettingsText::asrPresets()) {
        QBPill* pill = SettingsPills::presetPill(preset.title, false, presets);
        pill->setObjectName(preset.objectName);
        connect(pill, &QAbstractButton::clicked, this,
                [state, preset] { state->applyOpenAIASRPreset(preset.baseURL, preset.model); });
        presetRow->addWidget(pill);
        m_presets.append(pill);
    }
    presetRow->addStretch(1);
    m_card->bodyLayout()->addWidget(presets);

    // Both fields write the record on every key; the state saves and warms once the typing pauses.
    const EndpointRow endpoint = endpointRow(EngineSettingsText::openAIBaseURL() + QStringLiteral(" 或 ") +
                                                 EngineSettingsText::groqBaseURL(),
                                             QStringLiteral("gpt-4o-mini-transcribe"), 185, m_card);
    m_baseURLField = endpoint.baseURLField;
    m_modelField = endpoint.modelField;
    connect(m_baseURLField, &QLineEdit::textEdited, this, [state](const QString& text) {
        LLMConfig config = state->llmConfig();
        config.openAIASRBaseURL = text;
        state->editLLMConfig(std::move(config));
    });
    connect(m_modelField, &QLineEdit::textEdited, this, [state](const QString& text) {
        LLMConfig config = state->llmConfig();
        config.openAIASRModel = text;
        state->editLLMConfig(std::move(config));
    });
    m_card->bodyLayout()->addWidget(endpoint.holder);
}

void CloudEngineCard::buildKeyRow()
{
    const bool seed = m_provider == ASRProviderOption::volcSeedASR;
    auto* keys = new QWidget(m_card);
    QHBoxLayout* keyRow = row(keys, 8);
    keyRow->addWidget(fieldLabel(QStringLiteral("API Key"), keys));
    m_keyField = compactField(seed ? kSeedKeyPlaceholder : QString(), true, keys, QStringLiteral("keyField"));
    AppState* state = &m_state;
    connect(m_keyField, &QLineEdit::textEdited, this, [state, seed](const QString& text) {
        if (seed)
            state->setVolcSpeechKeyInput(text);
        else
            state->setOpenAIASRKeyInput(text);
    });
    connect(m_keyField, &QLineEdit::returnPressed, this, &CloudEngineCard::save);
    keyRow->addWidget(m_keyField, 1);
    QBButton* saveButton = compactButton(false, QStringLiteral("保存"), keys, QStringLiteral("saveButton"));
    connect(saveButton, &QAbstractButton::clicked, this, &CloudEngineCard::save);
    keyRow->addWidget(saveButton);
    m_probeButton = compactButton(false, QString(), keys, QStringLiteral("probeButton"));
    connect(m_probeButton, &QAbstractButton::clicked, this, &CloudEngineCard::probe);
    keyRow->addWidget(m_probeButton);
    m_activateButton = compactButton(true, QString(), keys, QStringLiteral("activateButton"));
    connect(m_activateButton, &QAbstractButton::clicked, this, &CloudEngineCard::activate);
    keyRow->addWidget(m_activateButton);
    m_card->bodyLayout()->addWidget(keys);
}

// The actions start their work and return; the state's flags show it running.
void CloudEngineCard::save()
{
    if (m_provider == ASRProviderOption::volcSeedASR)
        m_state.saveVolcSpeechAPIKey();
    else
        m_state.saveOpenAIASRConfig();
}

void CloudEngineCard::probe()
{
    if (m_provider == ASRProviderOption::volcSeedASR)
        m_state.runSeedASRProbe();
    else
        m_state.runOpenAIASRProbe();
}

void CloudEngineCard::activate()
{
    m_state.activateASRProvider(m_provider);
}

void CloudEngineCard::refresh()
{
    const bool seed = m_provider == ASRProviderOption::volcSeedASR;
    const LLMConfig& config = m_state.llmConfig();
    const bool selected = config.asrProvider == m_provider;
    const bool expanded = m_page.expandedASR == m_provider;
    const bool activatingAny = m_state.activatingASRProvider().has_value();
    const bool activatingHere = m_state.activatingASRProvider() == m_provider;
    const bool isGroq = m_state.isGroqASRSelected();
    const bool reusing = !seed && m_state.isOpenAIASRReusingLLMKey();
    const bool hasKey = seed ? EngineSettingsText::hasSeedASRKey(m_state.volcSpeechKeyInput())
                             : m_state.hasEffectiveOpenAIASRKey();
    const bool keyless = !seed && PolishEngine::isKeylessLocalEndpoint(config.openAIASRBaseURL);

    m_card->setSelected(selected);
    m_card->setExpanded(expanded);
    if (!seed)
        m_card->setTag(config.openAIASRModel);
    if (reusing) {
        setText(m_keyPill, kReuseText);
        m_keyPill->setLook(EngineSettingsText::reusePillLook(selected));
    } else {
        SettingsPills::updateKeyStatusPill(m_keyPill, hasKey, keyless, !selected);
    }
    if (!expanded)
        return; // the rows are hidden; they catch up when the card opens

    setText(m_keyField, seed ? m_state.volcSpeechKeyInput() : m_state.openAIASRKeyInput());
    if (!seed) {
        setPlaceholder(m_keyField, EngineSettingsText::openAIASRKeyPlaceholder(isGroq, reusing));
        setText(m_baseURLField, config.openAIASRBaseURL);
        setText(m_modelField, config.openAIASRModel);
        const QList<EngineSettingsText::ASRPreset> presets = EngineSettingsText::asrPresets();
        for (qsizetype i = 0; i < presets.size(); ++i) {
            const bool active =
                EngineSettingsText::isASRPresetActive(presets[i], isGroq, config.openAIASRModel);
            if (m_presets[i]->look().text != QBPillLooks::presetPill(active).text)
                m_presets[i]->setLook(QBPillLooks::presetPill(active));
        }
    }
    const bool probing = seed ? m_state.isProbingSeedASR() : m_state.isProbingOpenAIASR();
    setText(m_probeButton, probing ? QStringLiteral("测速中…") : QStringLiteral("⚡ 测速"));
    setEnabled(m_probeButton, !probing && !activatingAny);
    setVisible(m_activateButton, !selected);
    setText(m_activateButton, activatingHere ? QStringLiteral("校验中…") : QStringLiteral("校验并切换"));
    setEnabled(m_activateButton, !activatingAny);

    const Banner banner = EngineSettingsText::cardBanner(
        m_state.asrActivationErrors().value(m_provider),
        seed ? m_state.lastSeedASRProbeSummary() : m_state.lastOpenAIASRProbeSummary(), hasKey,
        seed ? kSeedMissingKey : EngineSettingsText::openAIASRMissingKeyText(isGroq));
    setVisible(m_probeBanner, banner.kind == Banner::Kind::probe);
    setVisible(m_warnBanner, banner.kind == Banner::Kind::warn);
    if (banner.kind == Banner::Kind::probe)
        m_probeBanner->setMessage(banner.text);
    else if (banner.kind == Banner::Kind::warn)
        m_warnBanner->setMessage(banner.text);
}

SpeechEnginesCard::SpeechEnginesCard(AppState& state, const SettingsPageState& page, QWidget* parent)
    : QBCard(14, 16, parent)
{
    setObjectName(QStringLiteral("speechCard"));
    QVBoxLayout* column = contentLayout();
    column->setSpacing(11);
    column->addWidget(sectionHeader(QStringLiteral("2. 语音识别引擎与密钥"), 14,
                                    QStringLiteral("点开配置并校验通过后才生效 · 唯一生效引擎"), 11.5, this));
    m_seed = new CloudEngineCard(state, page, ASRProviderOption::volcSeedASR, this);
    m_openAI = new CloudEngineCard(state, page, ASRProviderOption::openAIWhisper, this);
    m_local = new LocalModelCard(state, page, this);
    for (QBExpandableCard* card : {m_seed->card(), m_openAI->card(), m_local->card()})
        column->addWidget(card);
    connect(m_seed->card(), &QBExpandableCard::headerClicked, this,
            [this] { Q_EMIT headerClicked(ASRProviderOption::volcSeedASR); });
    connect(m_openAI->card(), &QBExpandableCard::headerClicked, this,
            [this] { Q_EMIT headerClicked(ASRProviderOption::openAIWhisper); });
    connect(m_local->card(), &QBExpandableCard::headerClicked, this,
            [this] { Q_EMIT headerClicked(ASRProviderOption::localSenseVoice); });
    refresh();
}

void SpeechEnginesCard::refresh()
{
    m_seed->refresh();
    m_openAI->refresh();
    m_local->refresh();
}
