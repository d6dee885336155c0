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

const QString kSeedASRCloud = QStringLiteral("SEED-ASR 2.0 · CLOUD");
const QString kSeedASRWithFP32 = QStringLiteral("SEED-ASR 2.0 + FP32");
const QString kGroq = QStringLiteral("GROQ WHISPER");
const QString kOpenAI = QStringLiteral("OPENAI ASR");
const QString kCloudSuffix = QStringLiteral(" · CLOUD");
const QString kFP32Suffix = QStringLiteral(" + FP32");
const QString kLoading = QStringLiteral("LOADING ENGINE…");
const QString kLocalFull = QStringLiteral("SENSEVOICE FP32 · FULL");
const QString kLocalInt8 = QStringLiteral("SENSEVOICE INT8 · LOCAL");

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
        return in.senseVoiceFullFP32 ? kSeedASRWithFP32 : kSeedASRCloud;
    case Case::openAI:
        return (in.isGroqASRSelected ? kGroq : kOpenAI) +
               (in.senseVoiceFullFP32 ? kFP32Suffix : kCloudSuffix);
    case Case::local:
        break;
    }
    if (!in.senseVoiceLoaded)
        return kLoading;
    return in.senseVoiceFullFP32 ? kLocalFull : kLocalInt8;
}

QStringList asrStatusTexts()
{
    return {kSeedASRCloud,
            kSeedASRWithFP32,
            kGroq + kCloudSuffix,
            kGroq + kFP32Suffix,
            kOpenAI + kCloudSuffix,
            kOpenAI + kFP32Suffix,
            kLoading,
            kLocalFull,
            kLocalInt8};
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
