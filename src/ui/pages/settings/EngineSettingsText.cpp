#include "ui/pages/settings/EngineSettingsText.h"

#include "llm/PolishEngine.h"
#include "ui/theme/QBTheme.h"
#include "util/Text.h"

namespace EngineSettingsText {

namespace {
const QString kGroqBaseURL = QStringLiteral("https://api.groq.com/openai/v1");
} // namespace

QString openAIBaseURL()
{
    return LLMProviderOption(LLMProviderOption::openai).defaultBaseURL();
}

QString groqBaseURL()
{
    return kGroqBaseURL;
}

QString recordButtonTitle(TriggerKeyOption key, const CustomHotkeySpec& custom)
{
    if (key == TriggerKeyOption::custom)
        return QStringLiteral("重录快捷键 (") + custom.label + QLatin1Char(')');
    return QStringLiteral("点击录制自定义键");
}

Banner cardBanner(const QString& error, const QString& summary, bool keyReady, const QString& missingKeyText)
{
    if (!error.isEmpty())
        return {Banner::Kind::probe, error};
    if (!summary.isEmpty())
        return {Banner::Kind::probe, summary};
    if (!keyReady)
        return {Banner::Kind::warn, missingKeyText};
    return {};
}

bool hasSeedASRKey(const QString& keyInput)
{
    return !Text::isBlank(keyInput);
}

QString openAIASRKeyPlaceholder(bool isGroq, bool reusingLLMKey)
{
    if (isGroq)
        return QStringLiteral("粘贴 Groq API Key (gsk_...)");
    if (reusingLLMKey)
        return QStringLiteral("已自动复用下方 OpenAI 密钥（留空即可，或填入独立覆盖 Key）");
    return QStringLiteral("粘贴 OpenAI API Key（若下方已填 OpenAI 排版 Key 将自动复用）");
}

QString openAIASRMissingKeyText(bool isGroq)
{
    return isGroq ? QStringLiteral("⚠️ 尚未填入 Groq API "
                                   "Key；填入后点击「校验并切换」通过验证才会点亮生效。")
                  : QStringLiteral("⚠️ 尚未检测到 OpenAI API "
                                   "Key；请在此填入后点击「校验并切换」（无密钥时不会生效）。");
}

QList<ASRPreset> asrPresets()
{
    return {{QStringLiteral("OpenAI Mini"), openAIBaseURL(), QStringLiteral("gpt-4o-mini-transcribe"),
             QStringLiteral("presetOpenAIMini")},
            {QStringLiteral("OpenAI Full"), openAIBaseURL(), QStringLiteral("gpt-4o-transcribe"),
             QStringLiteral("presetOpenAIFull")},
            {QStringLiteral("Groq 极速 Whisper"), groqBaseURL(), QStringLiteral("whisper-large-v3-turbo"),
             QStringLiteral("presetGroq")}};
}

bool isASRPresetActive(const ASRPreset& preset, bool isGroq, const QString& model)
{
    // The Groq preset stands for the host whatever the model; the OpenAI ones for their exact model.
    if (preset.baseURL == groqBaseURL())
        return isGroq;
    return !isGroq && model == preset.model;
}

QBPill::Look reusePillLook(bool selected)
{
    QBPill::Look look = QBPillLooks::keyStatusPill(true, false, false);
    look.text = selected ? QBTheme::activeGreen() : QBTheme::inkMuted();
    look.fill = selected ? QBTheme::activeGreenBg() : QBTheme::faded(QBTheme::softWell(), 0.8);
    look.border =
        selected ? QBTheme::faded(QBTheme::activeGreen(), 0.28) : QBTheme::faded(QBTheme::hairline(), 0.8);
    return look;
}

QString packStatusText(bool loaded, bool fullFP32)
{
    if (fullFP32)
        return QStringLiteral("满血包已就绪");
    return loaded ? QStringLiteral("基础包已就绪") : QStringLiteral("待下载模型");
}

QBPill::Look packStatusLook(bool loaded, bool selected)
{
    // The key pill's build; only the not-loaded shades differ from it.
    QBPill::Look look = QBPillLooks::keyStatusPill(loaded, false, !selected);
    if (!loaded) {
        look.text = selected ? QBTheme::amber() : QBTheme::faded(QBTheme::amber(), 0.72);
        look.fill = selected ? QBTheme::amberTint() : QBTheme::faded(QBTheme::amberTint(), 0.55);
        look.border = QBTheme::faded(QBTheme::amber(), 0.2);
    }
    return look;
}

QString localChipText(bool fullFP32)
{
    return fullFP32 ? QStringLiteral("886MB FP32") : QStringLiteral("本机引擎");
}

QString providerDefaultBaseURL(LLMProviderOption provider, const LLMConfig& config)
{
    if (provider == LLMProviderOption::custom && !config.customBaseURL.isEmpty())
        return config.customBaseURL;
    return provider.defaultBaseURL();
}

ProviderDrafts draftsFromStore(LLMProviderOption provider, const LLMConfig& config, const QString& storedKey)
{
    ProviderDrafts drafts;
    drafts.apiKey = storedKey;
    if (config.selectedProvider == provider) {
        drafts.modelName = config.modelName;
        drafts.baseURL = config.baseURL;
    } else {
        drafts.modelName = config.providerModels.value(provider.rawValue(), provider.defaultModelName());
        drafts.baseURL = providerDefaultBaseURL(provider, config);
    }
    drafts.loaded = true;
    return drafts;
}

ProviderCardState providerCardState(LLMProviderOption provider, const LLMConfig& config,
                                    const ProviderDrafts& drafts,
                                    const QMap<LLMProviderOption, bool>& savedKeys, bool environmentKey,
                                    const QMap<LLMProviderOption, QString>& errors,
                                    const QMap<LLMProviderOption, QString>& summaries,
                                    const QString& lastBenchmarkSummary)
{
    ProviderCardState card;
    card.selected = config.selectedProvider == provider;
    card.shownModel = card.selected
                          ? config.modelName
                          : config.providerModels.value(provider.rawValue(), provider.defaultModelName());
    if (drafts.loaded)
        card.effectiveBaseURL = drafts.baseURL;
    else if (card.selected)
        card.effectiveBaseURL = config.baseURL;
    else
        card.effectiveBaseURL = providerDefaultBaseURL(provider, config);
    card.keyless = PolishEngine::isKeylessLocalEndpoint(card.effectiveBaseURL);
    card.keyReady = card.keyless || (drafts.loaded ? !Text::isBlank(drafts.apiKey) || environmentKey
                                                   : savedKeys.value(provider, false));
    card.error = errors.value(provider);
    if (const auto found = summaries.find(provider); found != summaries.end())
        card.summary = *found;
    else if (card.selected)
        card.summary = lastBenchmarkSummary;
    return card;
}

QString providerKeyPlaceholder(LLMProviderOption provider)
{
    if (provider == LLMProviderOption::custom)
        return QStringLiteral("粘贴 API Key（本地 Ollama / LM Studio 可留空）");
    return QStringLiteral("粘贴 ") + provider.shortName() + QStringLiteral(" API Key");
}

QString providerMissingKeyText(LLMProviderOption provider)
{
    return QStringLiteral("⚠️ 尚未填入「") + provider.shortName() +
           QStringLiteral("」API Key；填入后点击「校验并切换」通过验证才会点亮生效。");
}

} // namespace EngineSettingsText
