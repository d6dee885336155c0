// Speech engines: choosing, verifying and activating them, their keys and endpoints, the connection probes,
// the offline model download and the end of the first-run wizard.

#include "audio/OpenAITranscriptionClient.h"
#include "audio/VolcSeedASRClient.h"
#include "core/AppState.h"
#include "core/KeychainHelper.h"
#include "lexicon/PersonalLexiconStore.h"
#include "util/Text.h"

#include <QPointer>
#include <QSettings>

#include <algorithm>

namespace {

// Hotwords the services take at most: the personal lexicon is cut to these counts in the texts.
constexpr int kSeedASRHotwordCap = 65;
constexpr int kOpenAIASRHotwordCap = 40;

const QString kGroqDefaultModel = QStringLiteral("whisper-large-v3-turbo");
const QString kKeySaveFailedPrefix = QStringLiteral("❌ 密钥保存失败：");
const QString kActivationFailedPrefix = QStringLiteral("❌ 校验未通过，未生效：");

QString seedResourceID()
{
    return VolcSeedASRClient::defaultResourceID();
}

QString transcriptionTitle(bool groq)
{
    return groq ? QStringLiteral("Groq Whisper") : QStringLiteral("OpenAI 语音大模型");
}

QString transcriptionProbeTitle(bool groq)
{
    return groq ? QStringLiteral("Groq Whisper") : QStringLiteral("OpenAI 语音");
}

QString keySourceText(bool reusingLLMKey)
{
    return reusingLLMKey ? QStringLiteral("自动复用 OpenAI Key") : QStringLiteral("独立密钥");
}

} // namespace

int AppState::lexiconHotwordCount(int cap) const
{
    return std::min(static_cast<int>(m_lexiconStore->entries().size()), cap);
}

void AppState::refreshSpeechAuthorized()
{
    publish(m_speechAuthorized, m_asrEngine->isSpeechAuthorized());
}

void AppState::resolveOpenAIASREndpoint()
{
    LLMConfig config = m_llmConfig;
    config.openAIASRBaseURL = Text::trimmed(config.openAIASRBaseURL);
    if (config.openAIASRBaseURL.isEmpty())
        config.openAIASRBaseURL = LLMProviderOption(LLMProviderOption::openai).defaultBaseURL();
    config.openAIASRModel = Text::trimmed(config.openAIASRModel);
    if (config.openAIASRModel.isEmpty()) {
        // The Groq test looks at the settled base URL.
        config.openAIASRModel = KeychainHelper::isGroqURL(config.openAIASRBaseURL)
                                    ? kGroqDefaultModel
                                    : OpenAITranscriptionClient::defaultModel();
    }
    if (config != m_llmConfig)
        setLLMConfig(std::move(config));
}

void AppState::watchLocalModelLoad()
{
    // A model reported ready that then fails to load must say so, not leave dictation silently on another
    // recognizer.
    QPointer<AppState> self(this);
    m_asrEngine->onModelLoadFailed = [self](const QString& reason) {
        if (!self || self->m_llmConfig.asrProvider != ASRProviderOption::localSenseVoice)
            return;
        const QString message = QStringLiteral("❌ 本机 SenseVoice 离线模型加载失败：") + reason;
        QMap<ASRProviderOption, QString> errors = self->m_asrActivationErrors;
        errors.insert(ASRProviderOption::localSenseVoice, message);
        self->publish(self->m_asrActivationErrors, std::move(errors));
        self->setStatusBanner(message);
        self->refreshPermissionStatus();
    };
}

void AppState::selectASRProvider(ASRProviderOption provider)
{
    if (m_llmConfig.asrProvider == provider)
        return;
    LLMConfig config = m_llmConfig;
    config.selectASRProvider(provider);
    setLLMConfig(std::move(config));
}

QCoro::Task<bool> AppState::activateASRProvider(ASRProviderOption provider)
{
    if (m_activatingASRProvider)
        co_return false;
    publish(m_activatingASRProvider, std::optional<ASRProviderOption>(provider));
    {
        QMap<ASRProviderOption, QString> errors = m_asrActivationErrors;
        errors.remove(provider);
        publish(m_asrActivationErrors, std::move(errors));
    }

    auto fail = [this, provider](const QString& message) {
        QMap<ASRProviderOption, QString> errors = m_asrActivationErrors;
        errors.insert(provider, message);
        publish(m_asrActivationErrors, std::move(errors));
        setStatusBanner(message);
        publish(m_activatingASRProvider, std::optional<ASRProviderOption>());
    };
    auto makeActive = [this, provider] {
        LLMConfig config = m_llmConfig;
        config.selectASRProvider(provider);
        setLLMConfig(std::move(config));
        syncASREngineConfig();
        refreshSpeechAuthorized();
    };
    QPointer<AppState> self(this);

    if (provider == ASRProviderOption::volcSeedASR) {
        if (!Text::isBlank(m_volcSpeechKeyInput)) {
            const Status saved = co_await m_keychain.saveVolcSpeechAPIKey(m_volcSpeechKeyInput);
            if (!self)
                co_return false;
            setVolcSpeechKeyInput(m_keychain.loadVolcSpeechAPIKey());
            syncASREngineConfig();
            if (!saved) {
                fail(kKeySaveFailedPrefix + saved.error);
                co_return false;
            }
        }
        const QString key = Text::trimmed(m_keychain.loadVolcSpeechAPIKey());
        if (key.isEmpty()) {
            fail(QStringLiteral("❌ 无法生效：请先填入火山豆包语音 API Key（当前配置未生效）"));
            co_return false;
        }
        const Result<qint64> probe = co_await m_asrEngine->probeSeedASRHandshake(key, seedResourceID());
        if (!self)
            co_return false;
        if (!probe) {
            fail(kActivationFailedPrefix + probe.error().description);
            co_return false;
        }
        makeActive();
        publish(m_lastSeedASRProbeSummary,
                QStringLiteral("⚡ 校验通过并已生效（") + seedResourceID() +
                    QStringLiteral("）：国内直连首帧 ") + QString::number(probe.value()) +
                    QStringLiteral("ms · 已挂载 ") +
                    QString::number(lexiconHotwordCount(kSeedASRHotwordCap)) + QStringLiteral(" 个专属热词"));
        setStatusBanner(QStringLiteral("✅ 豆包流式语音大模型 2.0 校验通过，已切换为当前唯一生效引擎"));
        publish(m_activatingASRProvider, std::optional<ASRProviderOption>());
        co_return true;
    }

    if (provider == ASRProviderOption::openAIWhisper) {
        resolveOpenAIASREndpoint();
        const QString typed = Text::trimmed(m_openAIASRKeyInput);
        if (!typed.isEmpty()) {
            const Status saved = co_await m_keychain.saveOpenAIASRAPIKey(typed);
            if (!self)
                co_return false;
            setOpenAIASRKeyInput(m_keychain.loadOpenAIASROverrideKey());
            if (!saved) {
                syncASREngineConfig();
                fail(kKeySaveFailedPrefix + saved.error);
                co_return false;
            }
        }
        syncASREngineConfig();
        const bool groq = isGroqASRSelected();
        if (!hasEffectiveOpenAIASRKey()) {
            fail(groq
                     ? QStringLiteral("❌ 无法生效：缺少 Groq API Key，请先填入有效密钥（当前配置未生效）")
                     : QStringLiteral("❌ 无法生效：缺少 OpenAI API Key，请先填入有效密钥（当前配置未生效）"));
            co_return false;
        }
        const Result<qint64> probe = co_await OpenAITranscriptionClient::probeLatency(
            m_llmConfig.openAIASRBaseURL, m_llmConfig.openAIASRModel, effectiveOpenAIASRKey(), m_scheduler);
        if (!self)
            co_return false;
        if (!probe) {
            fail(kActivationFailedPrefix + probe.error().description);
            co_return false;
        }
        makeActive();
        publish(m_lastOpenAIASRProbeSummary,
                QStringLiteral("⚡ 校验通过并已生效（") + m_llmConfig.openAIASRModel +
                    QStringLiteral("）：音频上传+转写 ") + QString::number(probe.value()) +
                    QStringLiteral("ms · ") + keySourceText(isOpenAIASRReusingLLMKey()) +
                    QStringLiteral(" · 将注入 Top-") +
                    QString::number(lexiconHotwordCount(kOpenAIASRHotwordCap)) + QStringLiteral(" 词库提示"));
        setStatusBanner(QStringLiteral("✅ ") + transcriptionTitle(groq) +
                        QStringLiteral(" 校验通过，已切换为当前唯一生效引擎"));
        publish(m_activatingASRProvider, std::optional<ASRProviderOption>());
        co_return true;
    }

    // The local model: no network, only its files.
    if (!m_asrEngine->hasLocalModel()) {
        fail(QStringLiteral("❌ 无法生效：本机 SenseVoice 离线模型尚未下载就绪，请先下载离线模型包"));
        co_return false;
    }
    if (!m_senseVoiceLoaded) {
        watchLocalModelLoad();
        m_asrEngine->reloadSenseVoiceModelAsync();
        refreshPermissionStatus();
    }
    makeActive();
    setStatusBanner(QStringLiteral("✅ 纯本机 SenseVoice 离线模型已校验就绪并设为当前唯一生效引擎"));
    publish(m_activatingASRProvider, std::optional<ASRProviderOption>());
    co_return true;
}

QCoro::Task<> AppState::saveVolcSpeechAPIKey()
{
    QPointer<AppState> self(this);
    const Status saved = co_await m_keychain.saveVolcSpeechAPIKey(m_volcSpeechKeyInput);
    if (!self)
        co_return;
    setVolcSpeechKeyInput(m_keychain.loadVolcSpeechAPIKey());
    syncASREngineConfig();
    refreshSpeechAuthorized();
    publish(m_lastSeedASRProbeSummary, QString());
    QMap<ASRProviderOption, QString> errors = m_asrActivationErrors;
    errors.remove(ASRProviderOption::volcSeedASR);
    publish(m_asrActivationErrors, std::move(errors));

    if (!saved)
        setStatusBanner(kKeySaveFailedPrefix + saved.error);
    else if (m_volcSpeechKeyInput.isEmpty())
        setStatusBanner(QStringLiteral("已清空豆包语音密钥"));
    else if (m_llmConfig.asrProvider == ASRProviderOption::volcSeedASR)
        setStatusBanner(QStringLiteral("✅ 豆包 Seed-ASR 2.0 语音密钥已保存"));
    else
        setStatusBanner(QStringLiteral("💾 豆包语音密钥已保存（尚未设为当前生效，点击「校验并生效」启用）"));
}

QCoro::Task<> AppState::saveOpenAIASRConfig()
{
    resolveOpenAIASREndpoint();
    // Always stored: a blank field deletes the dedicated key and transcription falls back to the OpenAI key.
    QPointer<AppState> self(this);
    const Status saved = co_await m_keychain.saveOpenAIASRAPIKey(m_openAIASRKeyInput);
    if (!self)
        co_return;
    setOpenAIASRKeyInput(m_keychain.loadOpenAIASROverrideKey());
    syncASREngineConfig();
    refreshSpeechAuthorized();
    publish(m_lastOpenAIASRProbeSummary, QString());
    QMap<ASRProviderOption, QString> errors = m_asrActivationErrors;
    errors.remove(ASRProviderOption::openAIWhisper);
    publish(m_asrActivationErrors, std::move(errors));
    m_asrEngine->prewarmCloudSocketIfReady();

    const QString title = transcriptionTitle(isGroqASRSelected());
    const QString note = isOpenAIASRReusingLLMKey() ? QStringLiteral("（自动复用 OpenAI 密钥）") : QString();
    if (!saved)
        setStatusBanner(kKeySaveFailedPrefix + saved.error);
    else if (!hasEffectiveOpenAIASRKey())
        setStatusBanner(QStringLiteral("⚠️ 已保存 ") + title +
                        QStringLiteral(" 接口设置，但当前尚未填入有效 API Key"));
    else if (m_llmConfig.asrProvider == ASRProviderOption::openAIWhisper)
        setStatusBanner(QStringLiteral("✅ ") + title + QStringLiteral("（") + m_llmConfig.openAIASRModel +
                        QStringLiteral("）已保存") + note);
    else
        setStatusBanner(QStringLiteral("💾 ") + title + QStringLiteral("（") + m_llmConfig.openAIASRModel +
                        QStringLiteral("）已保存") + note + QStringLiteral("（点击「校验并生效」启用）"));
}

void AppState::applyOpenAIASRPreset(QString baseURL, QString model)
{
    LLMConfig config = m_llmConfig;
    config.openAIASRBaseURL = std::move(baseURL);
    setLLMConfig(config);
    config = m_llmConfig;
    config.openAIASRModel = std::move(model);
    setLLMConfig(std::move(config));
    publish(m_lastOpenAIASRProbeSummary, QString());
    syncASREngineConfig();
}

QCoro::Task<> AppState::runSeedASRProbe()
{
    if (m_isProbingSeedASR)
        co_return;
    publish(m_isProbingSeedASR, true);
    publish(m_lastSeedASRProbeSummary, QStringLiteral("正在通过国内直连通道实测豆包 Seed-ASR 2.0 双向流…"));
    QPointer<AppState> self(this);
    if (!Text::isBlank(m_volcSpeechKeyInput)) {
        const Status saved = co_await m_keychain.saveVolcSpeechAPIKey(m_volcSpeechKeyInput);
        if (!self)
            co_return;
        setVolcSpeechKeyInput(m_keychain.loadVolcSpeechAPIKey());
        syncASREngineConfig(); // hands the stored key to the engine
        if (!saved) {
            // The probe would check the key stored before, not the one typed.
            publish(m_lastSeedASRProbeSummary, kKeySaveFailedPrefix + saved.error);
            setStatusBanner(kKeySaveFailedPrefix + saved.error);
            publish(m_isProbingSeedASR, false);
            co_return;
        }
    }

    // No key check here: the client reports a missing key as its own error.
    const Result<qint64> probe =
        co_await m_asrEngine->probeSeedASRHandshake(m_keychain.loadVolcSpeechAPIKey(), seedResourceID());
    if (!self)
        co_return;
    if (probe) {
        const QString ms = QString::number(probe.value());
        publish(m_lastSeedASRProbeSummary,
                QStringLiteral("⚡ 实测通过（") + seedResourceID() + QStringLiteral("）：国内直连握手+首帧 ") +
                    ms + QStringLiteral("ms · 已挂载 ") +
                    QString::number(lexiconHotwordCount(kSeedASRHotwordCap)) + QStringLiteral(" 个专属热词"));
        setStatusBanner(QStringLiteral("⚡ 豆包 Seed-ASR 2.0 连通成功：首帧 ") + ms + QStringLiteral("ms"));
    } else {
        publish(m_lastSeedASRProbeSummary,
                QStringLiteral("❌ 豆包语音连通未通过：") + probe.error().description);
    }
    publish(m_isProbingSeedASR, false);
}

QCoro::Task<> AppState::runOpenAIASRProbe()
{
    if (m_isProbingOpenAIASR)
        co_return;
    publish(m_isProbingOpenAIASR, true);
    const QString title = transcriptionProbeTitle(isGroqASRSelected());
    publish(m_lastOpenAIASRProbeSummary, QStringLiteral("正在向 ") + m_llmConfig.openAIASRModel +
                                             QStringLiteral(" 发送 0.35s 音频实测端到端延迟…"));
    QPointer<AppState> self(this);
    const Status saved = co_await m_keychain.saveOpenAIASRAPIKey(m_openAIASRKeyInput);
    if (!self)
        co_return;
    setOpenAIASRKeyInput(m_keychain.loadOpenAIASROverrideKey());
    syncASREngineConfig();
    if (!saved) {
        // The probe would check the key stored before, not the one typed.
        publish(m_lastOpenAIASRProbeSummary, kKeySaveFailedPrefix + saved.error);
        setStatusBanner(kKeySaveFailedPrefix + saved.error);
        publish(m_isProbingOpenAIASR, false);
        co_return;
    }

    // The endpoint goes as it is: a blank base URL or model is the client's to report.
    const Result<qint64> probe = co_await OpenAITranscriptionClient::probeLatency(
        m_llmConfig.openAIASRBaseURL, m_llmConfig.openAIASRModel, effectiveOpenAIASRKey(), m_scheduler);
    if (!self)
        co_return;
    if (probe) {
        const QString ms = QString::number(probe.value());
        publish(m_lastOpenAIASRProbeSummary,
                QStringLiteral("⚡ 实测通过（") + m_llmConfig.openAIASRModel +
                    QStringLiteral("）：音频上传+转写 ") + ms + QStringLiteral("ms · ") +
                    keySourceText(isOpenAIASRReusingLLMKey()) + QStringLiteral(" · 将注入 Top-") +
                    QString::number(lexiconHotwordCount(kOpenAIASRHotwordCap)) + QStringLiteral(" 词库提示"));
        setStatusBanner(QStringLiteral("⚡ ") + title + QStringLiteral(" 连通成功：实测 ") + ms +
                        QStringLiteral("ms"));
    } else {
        publish(m_lastOpenAIASRProbeSummary,
                QStringLiteral("❌ ") + title + QStringLiteral(" 连通未通过：") + probe.error().description);
    }
    publish(m_isProbingOpenAIASR, false);
}

void AppState::startOfflineModelDownload()
{
    if (m_isDownloadingOfflineModel)
        return;
    publish(m_isDownloadingOfflineModel, true);
    publish(m_offlineDownloadProgress, 0.01);
    publish(m_offlineDownloadStatusText, QStringLiteral("正在初始化 886MB 离线满血包下载…"));
    m_modelDownloader->startDownload();
}

void AppState::cancelOfflineModelDownload()
{
    m_modelDownloader->cancelDownload();
    publish(m_isDownloadingOfflineModel, false);
}

void AppState::completeOnboarding()
{
    m_defaults.setValue(kOnboardingDoneKey, true);
    setShowOnboardingSheet(false);
}
