#include "ui/onboarding/OnboardingTexts.h"

#include "core/AppState.h"
#include "util/Text.h"

namespace OnboardingTexts {

EngineInputs EngineInputs::from(const AppState& state)
{
    return {state.llmConfig().asrProvider, state.volcSpeechKeyInput(), state.hasEffectiveOpenAIASRKey(),
            state.senseVoiceLoaded()};
}

bool engineReady(const EngineInputs& in)
{
    switch (in.provider.value) {
    case ASRProviderOption::volcSeedASR:
        return !in.volcSpeechKeyInput.isEmpty();
    case ASRProviderOption::openAIWhisper:
        return in.hasEffectiveOpenAIASRKey;
    case ASRProviderOption::localSenseVoice:
        return in.senseVoiceLoaded;
    }
    return false;
}

bool showsEnginesReadyBadge(const EngineInputs& in, const QString& apiKeyInput)
{
    return engineReady(in) && !apiKeyInput.isEmpty();
}

QList<SpeechEntry> speechEntries()
{
    return {{ASRProviderOption::volcSeedASR, QStringLiteral("豆包语音")},
            {ASRProviderOption::openAIWhisper, QStringLiteral("OpenAI语音")},
            {ASRProviderOption::localSenseVoice, QStringLiteral("仅本机离线")}};
}

QList<ModelEntry> modelEntries()
{
    return {{LLMProviderOption::deepseek, QStringLiteral("DeepSeek")},
            {LLMProviderOption::openai, QStringLiteral("OpenAI")},
            {LLMProviderOption::gemini, QStringLiteral("Gemini")},
            {LLMProviderOption::anthropic, QStringLiteral("Claude")},
            {LLMProviderOption::volcengine, QStringLiteral("火山方舟")},
            {LLMProviderOption::dashscope, QStringLiteral("阿里百炼")}};
}

int speechIndex(ASRProviderOption provider)
{
    const QList<SpeechEntry> entries = speechEntries();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (entries[i].provider == provider)
            return int(i);
    }
    return -1;
}

int modelIndex(LLMProviderOption provider)
{
    const QList<ModelEntry> entries = modelEntries();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (entries[i].provider == provider)
            return int(i);
    }
    return -1;
}

QString speechKeyPlaceholder(ASRProviderOption provider, bool reusingLLMKey)
{
    switch (provider.value) {
    case ASRProviderOption::volcSeedASR:
        return QStringLiteral("粘贴火山豆包语音 API Key");
    case ASRProviderOption::openAIWhisper:
        return reusingLLMKey ? QStringLiteral("已自动复用下方 OpenAI Key（留空即可）")
                             : QStringLiteral("粘贴 OpenAI / Groq Key（与下方 OpenAI Key 可共用）");
    case ASRProviderOption::localSenseVoice:
        break;
    }
    return {};
}

QString modelKeyPlaceholder(LLMProviderOption provider)
{
    const int index = modelIndex(provider);
    const QString name = index >= 0 ? modelEntries()[index].label : QStringLiteral("自定义接口");
    return QStringLiteral("粘贴 ") + name + QStringLiteral(" API Key");
}

DownloadArea downloadArea(bool isDownloading, bool fullModelInstalled)
{
    if (isDownloading)
        return DownloadArea::progress;
    return fullModelInstalled ? DownloadArea::none : DownloadArea::button;
}

bool isEntered(const QString& key)
{
    return !Text::isBlank(key);
}

} // namespace OnboardingTexts
