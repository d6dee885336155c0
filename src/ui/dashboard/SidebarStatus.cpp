#include "ui/dashboard/SidebarStatus.h"

#include "core/AppState.h"

namespace SidebarStatus {

SpeechInputs SpeechInputs::from(const AppState& state)
{
    return {state.llmConfig().asrProvider, state.volcSpeechKeyInput(), state.hasEffectiveOpenAIASRKey(),
            state.isGroqASRSelected(),     state.senseVoiceLoaded(),   state.senseVoiceFullFP32()};
}

namespace {
enum class Case { seedASR, openAI, local };

Case decide(const SpeechInputs& in)
{
    if (in.provider == ASRProviderOption::volcSeedASR && !in.volcSpeechKey.trimmed().isEmpty())
        return Case::seedASR;
    if (in.provider == ASRProviderOption::openAIWhisper && in.hasEffectiveOpenAIASRKey)
        return Case::openAI;
    return Case::local;
}
} // namespace

QString asrStatusText(const SpeechInputs& in)
{
    switch (decide(in)) {
    case Case::seedASR:
        return in.senseVoiceFullFP32 ? QStringLiteral("SEED-ASR 2.0 + FP32")
                                     : QStringLiteral("SEED-ASR 2.0 · CLOUD");
    case Case::openAI: {
        const QString base =
            in.isGroqASRSelected ? QStringLiteral("GROQ WHISPER") : QStringLiteral("OPENAI ASR");
        return base + (in.senseVoiceFullFP32 ? QStringLiteral(" + FP32") : QStringLiteral(" · CLOUD"));
    }
    case Case::local:
        break;
    }
    if (!in.senseVoiceLoaded)
        return QStringLiteral("LOADING ENGINE…");
    return in.senseVoiceFullFP32 ? QStringLiteral("SENSEVOICE FP32 · FULL")
                                 : QStringLiteral("SENSEVOICE INT8 · LOCAL");
}

bool asrStatusReady(const SpeechInputs& in)
{
    return decide(in) != Case::local || in.senseVoiceLoaded;
}

QString activeEngineShortLabel(const LLMConfig& config)
{
    if (config.formattingStyle == FormattingStyle::verbatimLocal)
        return QStringLiteral("纯原声不排版");
    switch (config.selectedProvider.value) {
    case LLMProviderOption::deepseek:
        return QStringLiteral("DeepSeek 4 Flash");
    case LLMProviderOption::volcengine:
        return QStringLiteral("火山 Doubao-Seed");
    case LLMProviderOption::dashscope:
        return QStringLiteral("百炼 Qwen-Flash");
    case LLMProviderOption::openai:
        return QStringLiteral("OpenAI ") + config.modelName;
    case LLMProviderOption::gemini:
        return QStringLiteral("Gemini ") + config.modelName;
    case LLMProviderOption::anthropic:
        return QStringLiteral("Claude ") + config.modelName;
    case LLMProviderOption::custom:
        break;
    }
    return config.modelName;
}

bool showsLatency(qint64 averageMs)
{
    return averageMs >= 1;
}

QString latencyText(qint64 averageMs)
{
    return QString::number(averageMs) + QStringLiteral(" ms");
}

} // namespace SidebarStatus
