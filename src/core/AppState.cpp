#include "core/AppState.h"

#include "core/Insights.h"
#include "core/KeychainHelper.h"
#include "lexicon/PersonalLexiconStore.h"
#include "llm/PolishEngine.h"
#include "platform/Accessibility.h"
#include "platform/Permissions.h"
#include "platform/Workspace.h"
#include "system/ContextInjector.h"
#include "system/HotkeyMonitor.h"
#include "system/LiveInputSession.h"
#include "system/SystemAudioDucker.h"
#include "util/DataFolder.h"
#include "util/FileIO.h"
#include "util/QueueTask.h"
#include "util/Text.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QPointer>
#include <QSettings>

namespace {
const QString kKeyReadFailedPrefix = QStringLiteral("❌ 密钥读取失败：");
// "❌ 保存 history.json 失败：" and the reason: which file did not save, and why.
const QString kDataFileSaveFailedPrefix = QStringLiteral("❌ 保存 %1 失败：");
} // namespace

AppState::AppState(AppServices services, QObject* parent)
    : QObject(parent), m_services(std::move(services)), m_scheduler(*m_services.scheduler),
      m_defaults(*m_services.defaults), m_keychain(*m_services.keychain), m_levelBus(*m_services.levelBus)
{
    // Components, in their fixed order.
    // The store loads its file as it is built; what it reports of that load arrives through the event loop,
    // after these connections.
    m_lexiconStore = std::make_unique<PersonalLexiconStore>(QString(), &m_scheduler.clock());
    connect(m_lexiconStore.get(), &PersonalLexiconStore::saveFinished, this,
            [this](const Status& saved) { reportDataFileSave(PersonalLexiconStore::kFileName, saved); });
    connect(m_lexiconStore.get(), &PersonalLexiconStore::fileKeptAside, this, &AppState::reportKeptAside);
    connect(m_lexiconStore.get(), &PersonalLexiconStore::additionRefused, this,
            [this](const QString& reason) { setStatusBanner(QStringLiteral("❌ ") + reason); });
    m_asrEngine = std::move(m_services.speechEngine);
    m_polishEngine = std::make_unique<PolishEngine>(m_scheduler);
    m_hotkeyMonitor = std::make_unique<HotkeyMonitor>(m_scheduler, *m_services.keySource, *m_services.hotKeys,
                                                      *m_services.localKeys, m_services.keyLedger);
    m_modelDownloader = std::make_unique<OfflineModelDownloader>(m_scheduler, m_services.downloaderOptions);
    m_audioDucker = std::make_unique<SystemAudioDucker>(*m_services.audioOutput);
    m_contextInjector = std::make_unique<ContextInjector>(*m_services.accessibility, *m_services.inputSynth,
                                                          *m_services.clipboard, *m_services.workspace,
                                                          m_scheduler, *m_services.keyLedger);
    m_contextInjector->setDictationTrace(m_services.trace);
    m_contextInjector->setClipboardNotKeptHandler([this](const QString& reason, bool nothingKept) {
        setStatusBanner((nothingKept ? QStringLiteral("⚠️ 无法保留之前的剪贴板内容：")
                                     : QStringLiteral("⚠️ 之前的剪贴板内容未能完整保留："))
                        + reason);
    });
    m_activeContext = ActiveScreenContext::empty();

    m_configPath = DataFolder::filePath(kConfigFileName);
    m_historyPath = DataFolder::filePath(kHistoryFileName);

    loadConfig();
    loadHistory();
    // The keys, trust and microphone come from other processes: they are loaded off the main thread below,
    // and until then the fields and flags show what the caches hold.
    publishKeyInputs();
    refreshSavedKeyFlags();
    syncASREngineConfig();
    refreshPermissionStatus();
    readTriggerDefaults();
    setupCallbacks();

    // The monitor gets the trigger settings once more, whatever the defaults held.
    m_hotkeyMonitor->setCustomSpec(m_customHotkey);
    m_hotkeyMonitor->setTriggerOption(m_triggerKey);
    m_hotkeyMonitor->setBehavior(m_triggerBehavior);

    QPointer<AppState> self(this);
    m_scheduler.schedule(Duration::zero(), [self] {
        if (self)
            self->runStartupBlock();
    });
    loadAtStart();
}

AppState::~AppState()
{
    // A pacer tick types through the injector and the desktop's services: it ends before any of them goes.
    m_contextInjector->stopLiveTyping();
    m_permissionPoll.cancel();
    // An edit typed just before quitting is kept; nothing is warmed any more, and with no window left to
    // show it in, a failed save goes to the log.
    if (m_configBeforeEdit) {
        m_configEditSettle.cancel();
        if (const Status saved = saveConfig(); !saved)
            qWarning("%s could not be saved: %s", qPrintable(kConfigFileName), qPrintable(saved.error));
    }
    // A round in flight asks the engine; it ends before the engine goes.
    m_permissionQueue.stop();
    if (m_services.workspace)
        m_services.workspace->setActivationHandler({});
}

// --- published members -------------------------------------------------------------------------------------

void AppState::setPhase(PipelinePhase phase)
{
    m_phase = std::move(phase);
    Q_EMIT changed();
    // Every assignment shows or hides the pill, also when the phase did not change.
    Q_EMIT phaseChanged(m_phase);
}

void AppState::setHistory(QList<DictationRecord> history)
{
    publish(m_history, std::move(history));
}
void AppState::setSelectedTab(SidebarTab tab)
{
    publish(m_selectedTab, tab);
}
void AppState::setApiKeyInput(QString text)
{
    publish(m_apiKeyInput, std::move(text));
}
void AppState::setVolcSpeechKeyInput(QString text)
{
    publish(m_volcSpeechKeyInput, std::move(text));
}
void AppState::setOpenAIASRKeyInput(QString text)
{
    publish(m_openAIASRKeyInput, std::move(text));
}
void AppState::setStatusBanner(QString text)
{
    publish(m_statusBanner, std::move(text));
}
void AppState::setSandboxText(QString text)
{
    publish(m_sandboxText, std::move(text));
}
void AppState::setShowOnboardingSheet(bool show)
{
    publish(m_showOnboardingSheet, show);
}

void AppState::setLLMConfig(LLMConfig config)
{
    const LLMConfig previous = std::exchange(m_llmConfig, std::move(config));
    Q_EMIT changed();
    applyLLMConfigChange(previous);
    // Settles a pending edit too: what is warmed is decided against the record from before that edit.
    m_configEditSettle.cancel();
    const std::optional<LLMConfig> beforeEdit = std::exchange(m_configBeforeEdit, std::nullopt);
    warmAndSaveLLMConfig(beforeEdit.value_or(previous));
}

void AppState::editLLMConfig(LLMConfig config)
{
    if (!m_configBeforeEdit)
        m_configBeforeEdit = m_llmConfig;
    const LLMConfig previous = std::exchange(m_llmConfig, std::move(config));
    Q_EMIT changed();
    applyLLMConfigChange(previous);
    // Each keystroke moves the settle point: one save and one warm-up per pause in the typing.
    m_configEditSettle = ScheduledWork(
        &m_scheduler, m_scheduler.schedule(kConfigEditSettleDelay, [this] { settleConfigEdit(); }));
}

void AppState::settleConfigEdit()
{
    m_configEditSettle.cancel();
    if (const std::optional<LLMConfig> beforeEdit = std::exchange(m_configBeforeEdit, std::nullopt))
        warmAndSaveLLMConfig(*beforeEdit);
}

void AppState::setTriggerKey(TriggerKeyOption key)
{
    publish(m_triggerKey, key);
    m_hotkeyMonitor->setTriggerOption(key);
    m_defaults.setValue(kTriggerKeyKey, key.rawValue());
    if (m_hotkeyMonitor->isStarted())
        refreshTriggerKeyProblem();
}

void AppState::setCustomHotkey(CustomHotkeySpec shortcut)
{
    publish(m_customHotkey, std::move(shortcut));
    m_hotkeyMonitor->setCustomSpec(m_customHotkey);
    m_defaults.setValue(kCustomHotkeySpecKey,
                        QJsonDocument(m_customHotkey.toJson().toObject()).toJson(QJsonDocument::Compact));
    if (m_hotkeyMonitor->isStarted())
        refreshTriggerKeyProblem();
}

void AppState::setTriggerBehavior(TriggerBehavior behavior)
{
    publish(m_triggerBehavior, behavior);
    m_hotkeyMonitor->setBehavior(behavior);
    m_defaults.setValue(kTriggerBehaviorKey, behavior.rawValue());
}

// --- settings propagation ----------------------------------------------------------------------------------

void AppState::applyLLMConfigChange(const LLMConfig& previous)
{
    syncASREngineConfig();
    if (previous.asrProvider != m_llmConfig.asrProvider ||
        previous.openAIASRBaseURL != m_llmConfig.openAIASRBaseURL)
        publish(m_lastOpenAIASRProbeSummary, QString());
    if (previous.selectedProvider != m_llmConfig.selectedProvider) {
        publish(m_apiKeyInput, m_keychain.loadAPIKey(m_llmConfig.selectedProvider));
        publish(m_lastBenchmarkSummary, QString());
    }
    if (previous.showInDock != m_llmConfig.showInDock)
        applyDockVisibilityPolicy();
}

void AppState::warmAndSaveLLMConfig(const LLMConfig& previous)
{
    if (previous.asrProvider != m_llmConfig.asrProvider ||
        previous.openAIASRBaseURL != m_llmConfig.openAIASRBaseURL)
        m_asrEngine->prewarmCloudSocketIfReady();
    if (previous.selectedProvider != m_llmConfig.selectedProvider)
        m_polishEngine->prewarmConnection(m_llmConfig.baseURL, m_apiKeyInput);
    queueConfigSave();
}

void AppState::syncASREngineConfig()
{
    SpeechEngine::Settings settings;
    settings.enableWhisperAGC = m_llmConfig.enableWhisperAGC;
    settings.asrProvider = m_llmConfig.asrProvider;
    settings.volcSpeechAPIKey = m_keychain.loadVolcSpeechAPIKey();
    settings.openAIASRBaseURL = m_llmConfig.openAIASRBaseURL;
    settings.openAIASRModel = m_llmConfig.openAIASRModel;
    settings.openAIASRAPIKey = effectiveOpenAIASRKey();
    m_asrEngine->applySettings(settings);
}

void AppState::applyDockVisibilityPolicy()
{
    Q_EMIT dockVisibilityRequested(m_llmConfig.showInDock);
}

void AppState::loadConfig()
{
    const FileIO::ReadResult read = FileIO::readFile(m_configPath, kMaxConfigBytes);
    std::optional<LLMConfig> decoded;
    QString what; // what was wrong with an existing file, for the banner
    if (read.unreadable()) {
        what = QStringLiteral("%1 无法读取（%2），设置已恢复为默认值").arg(kConfigFileName, read.reason);
    } else if (read.kind == FileIO::ReadResult::Kind::read) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(read.bytes, &error);
        QStringList unusable;
        if (error.error == QJsonParseError::NoError && document.isObject())
            decoded = LLMConfig::fromJson(document.object(), m_defaults.value(kArkEndpointKey).toString(),
                                          &unusable);
        if (!decoded)
            what = QStringLiteral("%1 不是完整的设置文件（%2），设置已恢复为默认值")
                       .arg(kConfigFileName, error.error == QJsonParseError::NoError
                                                 ? QStringLiteral("内容不是 JSON 对象")
                                                 : error.errorString());
        else if (!unusable.isEmpty())
            what = QStringLiteral("%1 中的 %2 无法使用，已改用默认值")
                       .arg(kConfigFileName, unusable.join(QStringLiteral("、")));
    }
    // Kept aside before the first save below can write over it. Read with fallbacks, the settings are
    // written back once the copy is kept: left in place, the damaged file would be copied and reported again
    // at every start.
    if (!what.isEmpty())
        keepDamagedFile(
            m_configPath, what, decoded ? std::function<void()>() : [this] { queueConfigSave(); });
    const bool migrated = m_defaults.value(kInlineOffMigrationKey).toBool();
    m_defaults.setValue(kInlineOffMigrationKey, true);
    if (!decoded)
        return;
    if (migrated) {
        setLLMConfig(std::move(*decoded));
        return;
    }
    // A settings file from before live typing was switched off by default: switch it off once.
    decoded->enableLiveInlineTyping = false;
    setLLMConfig(std::move(*decoded)); // saves the migrated record
}

FileWriteQueue::Save AppState::configSave() const
{
    return {m_configPath,
            [config = m_llmConfig.toJson()] { return QJsonDocument(config).toJson(QJsonDocument::Compact); },
            kMaxConfigBytes};
}

Status AppState::saveConfig()
{
    if (const Status ready = readyToSave(m_configPath); !ready)
        return ready;
    return m_fileWrites.saveAndWait(configSave());
}

void AppState::queueConfigSave()
{
    queueSave(kConfigFileName, configSave());
}

void AppState::queueSave(const QString& fileName, FileWriteQueue::Save save)
{
    if (const Status ready = readyToSave(save.path); !ready) {
        reportDataFileSave(fileName, ready);
        return;
    }
    m_fileWrites.save(std::move(save), this,
                      [this, fileName](const Status& saved) { reportDataFileSave(fileName, saved); });
}

void AppState::loadHistory()
{
    const FileIO::ReadResult read =
        m_historyPath.isEmpty() ? FileIO::ReadResult{} : FileIO::readFile(m_historyPath, kMaxHistoryBytes);
    if (read.kind == FileIO::ReadResult::Kind::missing)
        return;
    if (read.unreadable()) {
        keepDamagedFile(m_historyPath,
                        QStringLiteral("%1 无法读取（%2）").arg(kHistoryFileName, read.reason));
        return;
    }
    HistoryDecodeResult decoded = decodeHistory(read.bytes);
    if (decoded.unreadable) {
        keepDamagedFile(m_historyPath, QStringLiteral("%1 不是记录列表，无法读取").arg(kHistoryFileName));
        return;
    }
    // Records that did not read are skipped, not the whole file, and the file is kept aside before it is
    // rewritten, as it is when records were changed or cut at the cap.
    QStringList parts;
    if (decoded.skippedRecords > 0)
        parts.append(QStringLiteral("有 %1 处记录无法读取").arg(decoded.skippedRecords));
    if (decoded.adjustedRecords > 0)
        parts.append(
            QStringLiteral("%1 条记录的录音时长或耗时超出范围，已重置").arg(decoded.adjustedRecords));
    if (decoded.salvagedRecords > 0)
        parts.append(QStringLiteral("%1 条记录的编号或模式无法识别，已换用新编号、按口述成稿保留")
                         .arg(decoded.salvagedRecords));
    if (decoded.records.size() > kHistoryCap) {
        parts.append(
            QStringLiteral("共 %1 条记录，只保留最新的 %2 条").arg(decoded.records.size()).arg(kHistoryCap));
        decoded.records.resize(kHistoryCap);
    }
    if (decoded.skippedRecords > 0)
        parts.append(QStringLiteral("已保留可读的 %1 条记录").arg(decoded.records.size()));
    if (!parts.isEmpty())
        keepDamagedFile(m_historyPath,
                        kHistoryFileName + QLatin1Char(' ') + parts.join(QStringLiteral("，")));
    setHistory(std::move(decoded.records));
}

FileWriteQueue::Save AppState::historySave() const
{
    // The list is shared, not copied, until the main thread changes it.
    return {m_historyPath, [history = m_history] { return encodeHistory(history); }, kMaxHistoryBytes};
}

Status AppState::saveHistory()
{
    if (const Status ready = readyToSave(m_historyPath); !ready)
        return ready;
    return m_fileWrites.saveAndWait(historySave());
}

void AppState::queueHistorySave()
{
    queueSave(kHistoryFileName, historySave());
}

Status AppState::readyToSave(const QString& path)
{
    if (path.isEmpty())
        return Status::failure(QStringLiteral("数据文件夹不可用"));
    return Status::success();
}

void AppState::keepDamagedFile(const QString& path, const QString& what, std::function<void()> onceKept)
{
    m_fileWrites.keepAside(path, this,
                           [this, what, onceKept = std::move(onceKept)](const Result<QString>& copy) {
                               reportKeptAside(what, copy ? copy.value() : QString(),
                                               copy ? QString() : copy.error().description);
                               if (copy && onceKept)
                                   onceKept();
                           });
}

void AppState::reportKeptAside(const QString& what, const QString& copyPath, const QString& error)
{
    QString line;
    if (!error.isEmpty())
        line = QStringLiteral("❌ %1；原文件未能另存（%2），在另存成功前不会覆盖它").arg(what, error);
    else if (!copyPath.isEmpty())
        line = QStringLiteral("⚠️ %1；原文件已另存为 %2").arg(what, copyPath);
    else
        line = QStringLiteral("⚠️ %1").arg(what);
    qWarning("%s", qPrintable(line));
    // Several files found damaged at one start are reported together, until something else is shown.
    if (m_statusBanner != m_keptAsideLines.join(QLatin1Char('\n')))
        m_keptAsideLines.clear();
    m_keptAsideLines.append(line);
    setStatusBanner(m_keptAsideLines.join(QLatin1Char('\n')));
}

void AppState::reportDataFileSave(const QString& fileName, const Status& saved)
{
    // The data stays in memory and the next change saves it again; a later successful save takes the line
    // away, unless something else has been shown since.
    const QString prefix = kDataFileSaveFailedPrefix.arg(fileName);
    if (!saved) {
        qWarning("%s could not be saved: %s", qPrintable(fileName), qPrintable(saved.error));
        m_keptAsideLines.clear();
        setStatusBanner(prefix + saved.error);
    } else if (m_statusBanner.startsWith(prefix)) {
        setStatusBanner(QString());
    }
}

void AppState::readTriggerDefaults()
{
    const QByteArray storedShortcut = m_defaults.value(kCustomHotkeySpecKey).toByteArray();
    if (auto shortcut = CustomHotkeySpec::fromJson(QJsonDocument::fromJson(storedShortcut).object()))
        setCustomHotkey(*shortcut);
    const QVariant storedKey = m_defaults.value(kTriggerKeyKey);
    if (storedKey.typeId() == QMetaType::QString) {
        if (auto key = TriggerKeyOption::fromRawValue(storedKey.toString()))
            setTriggerKey(*key);
    }
    const QVariant storedBehavior = m_defaults.value(kTriggerBehaviorKey);
    if (storedBehavior.typeId() == QMetaType::QString) {
        if (auto behavior = TriggerBehavior::fromRawValue(storedBehavior.toString()))
            setTriggerBehavior(*behavior);
    }
}

// --- keys --------------------------------------------------------------------------------------------------

void AppState::publishKeyInputs()
{
    publish(m_apiKeyInput, m_keychain.loadAPIKey(m_llmConfig.selectedProvider));
    publish(m_volcSpeechKeyInput, m_keychain.readSlot(KeychainHelper::kVolcSpeechSlot).value_or(QString()));
    publish(m_openAIASRKeyInput, m_keychain.readSlot(KeychainHelper::kOpenAIASRSlot).value_or(QString()));
}

void AppState::refreshSavedKeyFlags()
{
    QMap<LLMProviderOption, bool> flags;
    for (LLMProviderOption provider : LLMProviderOption::allCases())
        flags.insert(provider, m_keychain.hasSavedAPIKey(provider));
    publish(m_savedProviderKeyFlags, std::move(flags));
}

bool AppState::isGroqASRSelected() const
{
    return KeychainHelper::isGroqURL(m_llmConfig.openAIASRBaseURL);
}

QString AppState::effectiveOpenAIASRKey() const
{
    const QString typed = Text::trimmed(m_openAIASRKeyInput);
    if (!typed.isEmpty())
        return typed;
    const QString stored = m_keychain.loadEffectiveOpenAIASRAPIKey(m_llmConfig.openAIASRBaseURL);
    if (!stored.isEmpty())
        return stored;
    if (!isGroqASRSelected() && m_llmConfig.selectedProvider == LLMProviderOption::openai)
        return Text::trimmed(m_apiKeyInput);
    return {};
}

bool AppState::isOpenAIASRReusingLLMKey() const
{
    if (!Text::isBlank(m_openAIASRKeyInput) || !Text::isBlank(m_keychain.loadOpenAIASROverrideKey()) ||
        isGroqASRSelected())
        return false;
    if (m_savedProviderKeyFlags.value(LLMProviderOption::openai, false))
        return true;
    if (m_llmConfig.selectedProvider != LLMProviderOption::openai)
        return false;
    return !Text::isBlank(m_apiKeyInput);
}

bool AppState::hasEffectiveOpenAIASRKey() const
{
    return !effectiveOpenAIASRKey().isEmpty() ||
           PolishEngine::isKeylessLocalEndpoint(m_llmConfig.openAIASRBaseURL);
}

// --- callbacks and start-up
// ----------------------------------------------------------------------------------

void AppState::setupCallbacks()
{
    QPointer<AppState> self(this);
    m_asrEngine->onModelReady = [self] {
        if (self)
            self->refreshPermissionStatus();
    };
    m_asrEngine->onCloudFailoverNotice = [self](const QString& reason) {
        if (self)
            self->setStatusBanner(QStringLiteral("✈️ 离线满血热备已接管：") + reason);
    };
    m_asrEngine->onCloudRecognitionFailed = [self](const QString& reason) {
        if (self)
            self->handleCloudRecognitionFailure(reason);
    };
    m_asrEngine->onTranscriptMayBeIncomplete = [self](const QString& reason) {
        if (self)
            self->setStatusBanner(QStringLiteral("⚠️ ") + reason +
                                  QStringLiteral("，已送出最后识别到的文字，可能不完整，请核对"));
    };
    m_asrEngine->onError = [self](const AppError& error) {
        if (self)
            self->handleEngineError(error.description);
    };
    m_asrEngine->onCaptureLost = [self](const QString& reason) {
        if (self)
            self->handleCaptureLost(reason);
    };
    m_asrEngine->onPartialResult = [self](const QString& text, bool settled) {
        if (self)
            self->handlePartialResult(text, settled);
    };
    m_modelDownloader->onProgress = [self](double fraction, const QString& message) {
        if (!self)
            return;
        self->publish(self->m_offlineDownloadProgress, fraction);
        self->publish(self->m_offlineDownloadStatusText, message);
    };
    m_modelDownloader->onCompletion = [self](bool success, const QString& message) {
        if (!self)
            return;
        self->publish(self->m_isDownloadingOfflineModel, false);
        self->publish(self->m_offlineDownloadStatusText, message);
        self->setStatusBanner(message);
        if (success)
            self->m_asrEngine->reloadSenseVoiceModelAsync();
    };
    m_hotkeyMonitor->onPrewarmMic = [self] {
        if (self)
            self->m_asrEngine->prewarmHotMicAsync();
    };
    m_hotkeyMonitor->onTriggerStart = [self] {
        if (self)
            self->beginDictationSession();
    };
    m_hotkeyMonitor->onTriggerStop = [self] {
        if (self)
            self->finishDictationSessionDetached();
    };
    m_hotkeyMonitor->onCancel = [self] {
        if (self)
            self->cancelDictationSession();
    };
    m_hotkeyMonitor->onHotKeyUnavailable = [self](const HotKeyRegistration&, const QString&) {
        if (self)
            self->refreshTriggerKeyProblem();
    };
}

QCoro::Task<> AppState::loadAtStart()
{
    // The warm-up, the permission request and the first-run check need the keys (a cloud key makes speech
    // usable and opens the engine's socket), trust and the microphone as the desktop reports them, so they
    // wait for the load; the trigger key is live before, from the start-up block.
    m_isRefreshingStatus = true;
    QPointer<AppState> self(this);
    co_await refreshStatusOffMainThread(/*askDesktop=*/true);
    if (!self)
        co_return;
    m_asrEngine->warmUp(m_llmConfig.speechLocale);
    if (!m_micAuthorized || !m_speechAuthorized) {
        m_asrEngine->requestPermissions([self](bool microphone, bool speech) {
            if (self)
                self->applyPermissionAnswer(microphone, speech);
        });
    }
    runFirstRunCheck();
    m_isRefreshingStatus = false;
    m_hasDesktopStatus = true;
    // A trigger pressed before the answers is begun now, with them.
    if (std::exchange(m_startAwaitsStatus, false))
        beginDictationSession();
}

void AppState::runStartupBlock()
{
    applyDockVisibilityPolicy();
    m_polishEngine->prewarmConnection(m_llmConfig.baseURL, QString());
    m_hotkeyMonitor->start();
    refreshTriggerKeyProblem();
    startPermissionWatcher();

    QPointer<AppState> self(this);
    m_services.workspace->setActivationHandler([self](const FrontmostApplication&) {
        if (self && !self->m_isSessionActive)
            self->m_asrEngine->prewarmCloudSocketIfReady();
    });
    if (QCoreApplication* app = QCoreApplication::instance()) {
        // System audio muted by a dictation comes back at quit, and a dictation still being polished is
        // recorded (SIGTERM quits through the same path).
        connect(app, &QCoreApplication::aboutToQuit, this, [self] {
            if (!self)
                return;
            self->m_audioDucker->restoreIfNeeded();
            self->recordUnfinishedDictation();
        });
    }
    m_hasStarted = true;
    Q_EMIT started();
}

void AppState::runFirstRunCheck()
{
    if (m_defaults.value(kOnboardingDoneKey).toBool())
        return;
    const bool usableEngine =
        !m_volcSpeechKeyInput.isEmpty() || hasEffectiveOpenAIASRKey() || m_asrEngine->hasLocalModel();
    if (m_micAuthorized && usableEngine && m_accessibilityGranted) {
        m_defaults.setValue(kOnboardingDoneKey, true);
        return;
    }
    setShowOnboardingSheet(true);
}

void AppState::startPermissionWatcher()
{
    QPointer<AppState> self(this);
    m_permissionPoll =
        ScheduledWork(&m_scheduler, m_scheduler.scheduleRepeating(kPermissionPollInterval, [self] {
            if (self)
                self->pollPermissions();
        }));
}

void AppState::pollPermissions()
{
    // A round never overlaps the previous one: a slow desktop only spaces the rounds out.
    if (m_isSessionActive || m_isRefreshingStatus)
        return;
    const bool allGranted =
        m_micAuthorized && m_speechAuthorized && m_accessibilityGranted && m_senseVoiceLoaded;
    m_isRefreshingStatus = true;
    [](QPointer<AppState> self, bool askDesktop) -> QCoro::Task<> {
        co_await self->refreshStatusOffMainThread(askDesktop);
        if (self)
            self->m_isRefreshingStatus = false;
    }(this, !allGranted || m_showOnboardingSheet);
}

QCoro::Task<> AppState::refreshStatusOffMainThread(bool askDesktop)
{
    QPointer<AppState> self(this);
    const bool wasLoaded = m_keychain.isLoaded();
    const KeychainHelper::Refresh keys = co_await m_keychain.refresh();
    if (!self)
        co_return;
    applyKeyRefresh(keys.status, keys.changed, wasLoaded);
    if (!askDesktop)
        co_return;

    struct DesktopAnswer {
        bool trusted = false;
        bool microphone = false;
        bool speech = false;
    };
    Accessibility* accessibility = m_services.accessibility;
    Permissions* permissions = m_services.permissions;
    SpeechEngine* engine = m_asrEngine.get();
    const DesktopAnswer answer = co_await runOnQueue(m_permissionQueue, [accessibility, permissions, engine] {
        DesktopAnswer asked;
        asked.trusted = accessibility->refreshTrust();
        permissions->refreshMicrophoneStatus();
        // The engine reads the statuses just refreshed, the keys' cache and the model folder.
        asked.microphone = engine->isMicrophoneAuthorized();
        asked.speech = engine->isSpeechAuthorized();
        return asked;
    });
    if (!self)
        co_return;
    // Each flag is assigned whatever it was, so observers hear about every refresh.
    publish(m_micAuthorized, answer.microphone);
    publish(m_speechAuthorized, answer.speech);
    publish(m_accessibilityGranted, answer.trusted);
    refreshAccessibilityReason();
    publish(m_senseVoiceLoaded, m_asrEngine->isUsingSenseVoice());
    publish(m_senseVoiceFullFP32, m_asrEngine->isFullPrecisionFP32());
}

void AppState::applyKeyRefresh(const Status& status, bool changed, bool wasLoaded)
{
    if (!status) {
        // Reported once per failure, not every round, also when it starts while the app runs (a keyring
        // locked again); the keys last read stay in use.
        if (status.error != m_keyReadFailure) {
            m_keyReadFailure = status.error;
            qWarning("Keyring could not be read: %s", qPrintable(status.error));
            setStatusBanner(kKeyReadFailedPrefix + status.error);
        }
    } else {
        m_keyReadFailure.clear();
    }
    // The fields show the stored keys once they are first read; later they belong to the user's editing.
    if (!wasLoaded && m_keychain.isLoaded())
        publishKeyInputs();
    if (changed) {
        refreshSavedKeyFlags();
        syncASREngineConfig();
    }
}

// --- insight figures
// -------------------------------------------------------------------------------------------

qint64 AppState::totalCharactersDictated() const
{
    return Insights::totalCharactersDictated(m_history);
}
double AppState::totalDictationMinutes() const
{
    return Insights::totalDictationMinutes(m_history);
}
qint64 AppState::averageCharactersPerMinute() const
{
    return Insights::averageCharactersPerMinute(m_history);
}
qint64 AppState::timeSavedMinutes() const
{
    return Insights::timeSavedMinutes(m_history);
}
qint64 AppState::averagePolishLatencyMs() const
{
    return Insights::averagePolishLatencyMs(m_history);
}
qint64 AppState::activeDaysCount() const
{
    return Insights::activeDaysCount(m_history);
}
QMap<QDate, qint64> AppState::dailyCountMap() const
{
    return Insights::dailyCountMap(m_history);
}
