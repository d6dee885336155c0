// Language-model providers: choosing, saving, verifying and activating them, and measuring their latency.

#include "core/AppState.h"
#include "core/KeychainHelper.h"
#include "llm/PolishEngine.h"
#include "util/Text.h"

#include <QPointer>
#include <QSettings>

namespace {

const QString kArkEndpointPrefix = QStringLiteral("ep-");
// Shown instead of a success text when the keyring refused to store a key.
const QString kKeySaveFailedPrefix = QStringLiteral("❌ 密钥保存失败：");

struct ResolvedDraft {
    QString model;
    QString baseURL;
    QString key;
};

ResolvedDraft resolveDraft(LLMProviderOption provider, const QString& baseURL, const QString& modelName,
                           const QString& apiKey)
{
    ResolvedDraft draft;
    draft.model = Text::trimmed(modelName);
    if (draft.model.isEmpty())
        draft.model = provider.defaultModelName();
    draft.baseURL = Text::trimmed(baseURL);
    if (draft.baseURL.isEmpty())
        draft.baseURL = provider.defaultBaseURL();
    draft.key = Text::trimmed(apiKey);
    // An empty field stands for the key a dictation would use: the environment's, where it is set.
    if (draft.key.isEmpty())
        draft.key = Text::trimmed(KeychainHelper::environmentKey());
    return draft;
}

// The sample answer kept on one line.
QString oneLine(const QString& sample)
{
    QString text = sample;
    return text.replace(QStringLiteral("\n"), QStringLiteral(" ↵ "));
}

QString benchmarkRunningText(const QString& model)
{
    return QStringLiteral("正在预热连接并实测 ") + model + QStringLiteral(" 首包延迟…");
}

QString benchmarkDoneText(const QString& model, const PolishEngine::BenchmarkResult& result)
{
    return QStringLiteral("⚡ 实测通过（") + model + QStringLiteral("）：首字 TTFT ") +
           QString::number(result.ttftMs) + QStringLiteral("ms · 总耗时 ") + QString::number(result.totalMs) +
           QStringLiteral("ms · 样例：「") + oneLine(result.sampleOutput) + QStringLiteral("」");
}

QString benchmarkFailedText(const AppError& error)
{
    return QStringLiteral("❌ 测速未通过：") + error.description;
}

QString benchmarkBanner(LLMProviderOption provider, const PolishEngine::BenchmarkResult& result)
{
    return QStringLiteral("⚡ ") + provider.shortName() + QStringLiteral(" 实测成功：首字 TTFT ") +
           QString::number(result.ttftMs) + QStringLiteral("ms");
}

// The key field shows the environment's key when one is set; that key is never written to the keyring.
bool isEnvironmentKey(const QString& key)
{
    const QString environment = KeychainHelper::environmentKey();
    return !environment.isEmpty() &&
           KeychainHelper::normalizeKey(key, true) == KeychainHelper::normalizeKey(environment, true);
}

QString clearedKeyBanner(LLMProviderOption provider)
{
    return QStringLiteral("已清空「") + provider.shortName() + QStringLiteral("」API Key");
}

} // namespace

void AppState::rememberArkEndpoint(LLMProviderOption provider, const QString& model)
{
    if (provider == LLMProviderOption::volcengine && model.startsWith(kArkEndpointPrefix))
        m_defaults.setValue(kArkEndpointKey, model);
}

void AppState::endBenchmarkWithSaveFailure(LLMProviderOption provider, const Status& saved)
{
    // A measurement after a failed save would check a key the keyring does not hold.
    const QString message = kKeySaveFailedPrefix + saved.error;
    QMap<LLMProviderOption, QString> summaries = m_llmProviderBenchmarkSummaries;
    summaries.insert(provider, message);
    publish(m_llmProviderBenchmarkSummaries, std::move(summaries));
    if (m_llmConfig.selectedProvider == provider)
        publish(m_lastBenchmarkSummary, message);
    setStatusBanner(message);
    publish(m_isBenchmarkingLLM, false);
}

void AppState::selectLLMProvider(LLMProviderOption provider)
{
    if (m_llmConfig.selectedProvider == provider)
        return;
    LLMConfig config = m_llmConfig;
    config.selectProvider(provider);
    setLLMConfig(std::move(config));
    refreshSavedKeyFlags();
}

QCoro::Task<> AppState::saveLLMProviderDraft(LLMProviderOption provider, QString baseURL, QString modelName,
                                             QString apiKey)
{
    const ResolvedDraft draft = resolveDraft(provider, baseURL, modelName, apiKey);
    const bool isSelected = m_llmConfig.selectedProvider == provider;

    // The draft's fields go into the record in one assignment: one engine sync, one save.
    LLMConfig config = m_llmConfig;
    config.providerModels[provider.rawValue()] = draft.model;
    if (provider == LLMProviderOption::custom)
        config.customBaseURL = draft.baseURL;
    if (isSelected) {
        config.modelName = draft.model;
        config.baseURL = draft.baseURL;
    }
    setLLMConfig(std::move(config));
    rememberArkEndpoint(provider, draft.model);

    // Always stored: a blank key field deletes the stored key.
    QPointer<AppState> self(this);
    QCoro::Task<Status> save = saveDraftKey(apiKey, provider);
    const Status saved = co_await save;
    if (!self)
        co_return;
    if (isSelected) {
        setApiKeyInput(m_keychain.loadAPIKey(provider));
        m_polishEngine->prewarmConnection(m_llmConfig.baseURL, m_apiKeyInput);
    }
    refreshSavedKeyFlags();
    syncASREngineConfig();
    refreshSpeechAuthorized();

    QMap<LLMProviderOption, QString> errors = m_llmActivationErrors;
    errors.remove(provider);
    publish(m_llmActivationErrors, std::move(errors));
    QMap<LLMProviderOption, QString> summaries = m_llmProviderBenchmarkSummaries;
    summaries.remove(provider);
    publish(m_llmProviderBenchmarkSummaries, std::move(summaries));
    if (isSelected)
        publish(m_lastBenchmarkSummary, QString());

    if (!saved) {
        setStatusBanner(kKeySaveFailedPrefix + saved.error);
    } else if (m_keychain.loadAPIKey(provider).isEmpty() &&
               !PolishEngine::isKeylessLocalEndpoint(draft.baseURL)) {
        setStatusBanner(clearedKeyBanner(provider));
    } else if (!isSelected) {
        setStatusBanner(QStringLiteral("💾 「") + provider.title() +
                        QStringLiteral("」配置已保存（尚未设为当前生效，点击「校验并生效」启用）"));
    } else {
        setStatusBanner(QStringLiteral("✅ 「") + provider.title() + QStringLiteral("」密钥与模型已保存"));
    }
}

QCoro::Task<bool> AppState::activateLLMProvider(LLMProviderOption provider, QString baseURL,
                                                QString modelName, QString apiKey)
{
    if (m_activatingLLMProvider)
        co_return false;
    publish(m_activatingLLMProvider, std::optional<LLMProviderOption>(provider));
    QMap<LLMProviderOption, QString> errors = m_llmActivationErrors;
    errors.remove(provider);
    publish(m_llmActivationErrors, std::move(errors));

    auto fail = [this, provider](const QString& message) {
        QMap<LLMProviderOption, QString> failed = m_llmActivationErrors;
        failed.insert(provider, message);
        publish(m_llmActivationErrors, std::move(failed));
        setStatusBanner(message);
        publish(m_activatingLLMProvider, std::optional<LLMProviderOption>());
    };

    const ResolvedDraft draft = resolveDraft(provider, baseURL, modelName, apiKey);
    if (draft.key.isEmpty() && !PolishEngine::isKeylessLocalEndpoint(draft.baseURL)) {
        fail(QStringLiteral("❌ 无法生效：请先填入「") + provider.shortName() +
             QStringLiteral("」API Key（当前配置未生效）"));
        co_return false;
    }

    // The active provider keeps working with its old key if the new one does not pass the check.
    const bool wasActive = m_llmConfig.selectedProvider == provider;
    const std::optional<QString> previousKey =
        wasActive ? m_keychain.readSlot(KeychainHelper::providerSlot(provider)) : std::nullopt;
    QPointer<AppState> self(this);
    QCoro::Task<Status> save = saveDraftKey(draft.key, provider);
    const Status saved = co_await save;
    if (!self)
        co_return false;
    if (!saved) {
        // Activating would run on a key the keyring does not hold.
        refreshSavedKeyFlags();
        fail(kKeySaveFailedPrefix + saved.error);
        co_return false;
    }

    LLMConfig drafted = m_llmConfig;
    drafted.providerModels[provider.rawValue()] = draft.model;
    if (provider == LLMProviderOption::custom)
        drafted.customBaseURL = draft.baseURL;
    setLLMConfig(std::move(drafted));
    rememberArkEndpoint(provider, draft.model);
    refreshSavedKeyFlags();

    LLMConfig candidate = m_llmConfig;
    candidate.selectedProvider = provider;
    candidate.baseURL = draft.baseURL;
    candidate.modelName = draft.model;

    const Result<PolishEngine::BenchmarkResult> result =
        co_await m_polishEngine->benchmarkLatency(std::move(candidate), draft.key);
    if (!self)
        co_return false; // the state went away meanwhile: nothing left to report to

    if (!result) {
        QString message = QStringLiteral("❌ 校验未通过，未生效：") + result.error().description;
        if (wasActive) {
            const Status restored = co_await m_keychain.saveAPIKey(previousKey.value_or(QString()), provider);
            if (!self)
                co_return false;
            refreshSavedKeyFlags();
            // The keyring now holds the key that failed the check: the user must know.
            if (!restored)
                message += QStringLiteral("；") + kKeySaveFailedPrefix + restored.error;
        }
        fail(message);
        co_return false;
    }

    // One assignment built from the live record as it is now, so edits made during the check survive; the
    // observer saves once and warms the new host when the provider changed.
    const bool providerChanges = m_llmConfig.selectedProvider != provider;
    LLMConfig activated = m_llmConfig;
    activated.selectProvider(provider);
    activated.baseURL = draft.baseURL;
    activated.modelName = draft.model;
    activated.syncActiveEndpointEdits();
    setLLMConfig(std::move(activated));
    setApiKeyInput(m_keychain.loadAPIKey(provider));
    refreshSavedKeyFlags();
    syncASREngineConfig();
    if (!providerChanges)
        m_polishEngine->prewarmConnection(m_llmConfig.baseURL, m_apiKeyInput);

    const PolishEngine::BenchmarkResult& figures = result.value();
    const QString summary =
        QStringLiteral("⚡ 校验通过并已生效（") + draft.model + QStringLiteral("）：首字 TTFT ") +
        QString::number(figures.ttftMs) + QStringLiteral("ms · 总耗时 ") + QString::number(figures.totalMs) +
        QStringLiteral("ms · 样例：「") + oneLine(figures.sampleOutput) + QStringLiteral("」");
    QMap<LLMProviderOption, QString> summaries = m_llmProviderBenchmarkSummaries;
    summaries.insert(provider, summary);
    publish(m_llmProviderBenchmarkSummaries, std::move(summaries));
    publish(m_lastBenchmarkSummary, summary);
    setStatusBanner(QStringLiteral("✅ 「") + provider.title() +
                    QStringLiteral("」校验通过，已切换为当前唯一生效排版模型"));
    publish(m_activatingLLMProvider, std::optional<LLMProviderOption>());
    co_return true;
}

QCoro::Task<> AppState::saveAPIKey()
{
    LLMConfig config = m_llmConfig;
    config.syncActiveEndpointEdits();
    setLLMConfig(std::move(config));
    const LLMProviderOption provider = m_llmConfig.selectedProvider;
    rememberArkEndpoint(provider, m_llmConfig.modelName);

    QPointer<AppState> self(this);
    QCoro::Task<Status> save = saveTypedAPIKey(provider);
    const Status saved = co_await save;
    if (!self)
        co_return;
    syncASREngineConfig();
    refreshSpeechAuthorized();
    m_polishEngine->prewarmConnection(m_llmConfig.baseURL, m_apiKeyInput);
    publish(m_lastBenchmarkSummary, QString());

    if (!saved)
        setStatusBanner(kKeySaveFailedPrefix + saved.error);
    else if (!m_apiKeyInput.isEmpty())
        setStatusBanner(QStringLiteral("✅ 「") + provider.title() +
                        QStringLiteral("」密钥与模型已保存并立即生效"));
    else
        setStatusBanner(clearedKeyBanner(provider));
}

QCoro::Task<> AppState::runLLMProviderBenchmark(LLMProviderOption provider, QString baseURL,
                                                QString modelName, QString apiKey)
{
    if (m_isBenchmarkingLLM)
        co_return;
    publish(m_isBenchmarkingLLM, true);
    QMap<LLMProviderOption, QString> errors = m_llmActivationErrors;
    errors.remove(provider);
    publish(m_llmActivationErrors, std::move(errors));

    const ResolvedDraft draft = resolveDraft(provider, baseURL, modelName, apiKey);
    const QString running = benchmarkRunningText(draft.model);
    QMap<LLMProviderOption, QString> summaries = m_llmProviderBenchmarkSummaries;
    summaries.insert(provider, running);
    publish(m_llmProviderBenchmarkSummaries, std::move(summaries));
    if (m_llmConfig.selectedProvider == provider)
        publish(m_lastBenchmarkSummary, running);

    // A blank field measures with no key and leaves the stored one alone.
    QPointer<AppState> self(this);
    if (!draft.key.isEmpty()) {
        QCoro::Task<Status> save = saveDraftKey(draft.key, provider);
        const Status saved = co_await save;
        if (!self)
            co_return;
        refreshSavedKeyFlags();
        if (!saved) {
            endBenchmarkWithSaveFailure(provider, saved);
            co_return;
        }
    }

    LLMConfig candidate = m_llmConfig;
    candidate.selectedProvider = provider;
    candidate.baseURL = draft.baseURL;
    candidate.modelName = draft.model;

    const Result<PolishEngine::BenchmarkResult> result =
        co_await m_polishEngine->benchmarkLatency(std::move(candidate), draft.key);
    if (!self)
        co_return;

    const QString summary =
        result ? benchmarkDoneText(draft.model, result.value()) : benchmarkFailedText(result.error());
    summaries = m_llmProviderBenchmarkSummaries;
    summaries.insert(provider, summary);
    publish(m_llmProviderBenchmarkSummaries, std::move(summaries));
    // The user may have switched providers meanwhile: the summary shows only with its own provider.
    if (m_llmConfig.selectedProvider == provider)
        publish(m_lastBenchmarkSummary, summary);
    if (result)
        setStatusBanner(benchmarkBanner(provider, result.value()));
    publish(m_isBenchmarkingLLM, false);
}

QCoro::Task<> AppState::runLiveEngineBenchmark()
{
    if (m_isBenchmarkingLLM)
        co_return;
    publish(m_isBenchmarkingLLM, true);

    LLMConfig config = m_llmConfig;
    config.syncActiveEndpointEdits();
    setLLMConfig(std::move(config));
    publish(m_lastBenchmarkSummary, benchmarkRunningText(m_llmConfig.modelName));

    const LLMProviderOption provider = m_llmConfig.selectedProvider;
    QPointer<AppState> self(this);
    if (!Text::isBlank(m_apiKeyInput)) {
        QCoro::Task<Status> save = saveTypedAPIKey(provider);
        const Status saved = co_await save;
        if (!self)
            co_return;
        if (!saved) {
            endBenchmarkWithSaveFailure(provider, saved);
            co_return;
        }
    }
    // Read back, so a key set in the environment is the one measured.
    const QString key = m_keychain.loadAPIKey(provider);

    const Result<PolishEngine::BenchmarkResult> result =
        co_await m_polishEngine->benchmarkLatency(m_llmConfig, key);
    if (!self)
        co_return;

    if (result) {
        publish(m_lastBenchmarkSummary, benchmarkDoneText(m_llmConfig.modelName, result.value()));
        setStatusBanner(benchmarkBanner(m_llmConfig.selectedProvider, result.value()));
    } else {
        publish(m_lastBenchmarkSummary, benchmarkFailedText(result.error()));
    }
    publish(m_isBenchmarkingLLM, false);
}

bool AppState::hasEnvironmentAPIKey() const
{
    return !Text::isBlank(KeychainHelper::environmentKey());
}

QString AppState::storedAPIKey(LLMProviderOption provider) const
{
    return m_keychain.readSlot(KeychainHelper::providerSlot(provider)).value_or(QString());
}

QCoro::Task<Status> AppState::saveDraftKey(QString key, LLMProviderOption provider)
{
    if (isEnvironmentKey(key)) // the environment's key is used where it is set, never stored
        co_return Status::success();
    QCoro::Task<Status> save = m_keychain.saveAPIKey(std::move(key), provider);
    co_return co_await save;
}

QCoro::Task<Status> AppState::saveTypedAPIKey(LLMProviderOption provider)
{
    QPointer<AppState> self(this);
    Status saved = Status::success();
    if (!isEnvironmentKey(m_apiKeyInput)) { // a key from the environment is never stored
        QCoro::Task<Status> save = m_keychain.saveAPIKey(m_apiKeyInput, provider);
        saved = co_await save;
        if (!self)
            co_return saved;
    }
    setApiKeyInput(m_keychain.loadAPIKey(provider));
    refreshSavedKeyFlags();
    co_return saved;
}
