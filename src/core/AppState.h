#pragma once

#include "audio/OfflineModelDownloader.h"
#include "model/ActiveScreenContext.h"
#include "model/LLMConfig.h"
#include "model/Models.h"
#include "model/PipelinePhase.h"
#include "model/Records.h"
#include "model/SpeechEngine.h"
#include "util/AppIdentity.h"
#include "util/FileWriteQueue.h"
#include "util/Scheduler.h"
#include "util/SerialQueue.h"
#include "util/Status.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class Accessibility;
class AudioLevelBus;
class ContextInjector;
class DictationTrace;
class LiveInputSession;
class AudioOutput;
class Clipboard;
class GlobalKeySource;
class HotKeyRegistrar;
class HotkeyMonitor;
class InputSynth;
class KeychainHelper;
class LocalKeyCapture;
class Permissions;
class PersonalLexiconStore;
struct RecordedShortcutResult;
class PolishEngine;
class QSettings;
class SoundPlayer;
class SyntheticKeyLedger;
class SystemAudioDucker;
class Workspace;

// The services the application state runs on: the desktop's (real backends in the app, fakes in tests), the
// scheduler every delay goes through, the defaults store, the keys, the level bus the pill reads and the
// speech engine. All but the engine must outlive the state.
struct AppServices {
    Scheduler* scheduler = nullptr;
    Accessibility* accessibility = nullptr;
    Workspace* workspace = nullptr;
    Permissions* permissions = nullptr;
    Clipboard* clipboard = nullptr;
    InputSynth* inputSynth = nullptr;
    SoundPlayer* soundPlayer = nullptr;
    AudioOutput* audioOutput = nullptr;
    GlobalKeySource* keySource = nullptr;
    HotKeyRegistrar* hotKeys = nullptr;
    LocalKeyCapture* localKeys = nullptr;
    SyntheticKeyLedger* keyLedger = nullptr;
    QSettings* defaults = nullptr;
    KeychainHelper* keychain = nullptr;
    AudioLevelBus* levelBus = nullptr;
    DictationTrace* trace = nullptr; // only when tracing is switched on
    std::unique_ptr<SpeechEngine> speechEngine;
    OfflineModelDownloader::Options downloaderOptions;
};

// The one observable state of the application: settings, history, key fields, permission flags and the
// dictation pipeline, with the components it owns. Main thread only. Every assignment to a published member
// emits changed() (also when the value is equal), so views redraw; phase assignments also emit phaseChanged.
class AppState final : public QObject {
    Q_OBJECT
public:
    // Defaults keys.
    static inline const QString kCustomHotkeySpecKey = QStringLiteral("qb_custom_hotkey_spec");
    static inline const QString kTriggerKeyKey = QStringLiteral("qb_trigger_key");
    static inline const QString kTriggerBehaviorKey = QStringLiteral("qb_trigger_behavior");
    static inline const QString kInlineOffMigrationKey = QStringLiteral("qb_default_inline_off_v2");
    static inline const QString kOnboardingDoneKey = QStringLiteral("qb_onboarding_done_v1");
    static inline const QString kArkEndpointKey = QStringLiteral("qb_ark_ep_id");

    static constexpr Duration kPermissionPollInterval = seconds(2.2);
    // The fn key cannot be seen through X11, so a first run starts on the right Control key.
    static constexpr TriggerKeyOption::Value kFirstRunTriggerKey = TriggerKeyOption::rightControl;

    explicit AppState(AppServices services, QObject* parent = nullptr);
    ~AppState() override;

    // --- published members -------------------------------------------------------------------------------
    const PipelinePhase& phase() const { return m_phase; }
    void setPhase(PipelinePhase phase);
    const QList<DictationRecord>& history() const { return m_history; }
    void setHistory(QList<DictationRecord> history);
    const LLMConfig& llmConfig() const { return m_llmConfig; }
    // Runs the settings observer: pushes speech settings, warms what changed, saves config.json.
    void setLLMConfig(LLMConfig config);
    // The same for fields written on every keystroke (the transcription endpoint and model): the record, the
    // views and the speech engine follow at once; the file is saved and the changed host warmed once the
    // typing has paused for kConfigEditSettleDelay. Any other write of the record settles a pending edit.
    void editLLMConfig(LLMConfig config);
    static constexpr Duration kConfigEditSettleDelay = seconds(0.8);
    SidebarTab selectedTab() const { return m_selectedTab; }
    void setSelectedTab(SidebarTab tab);
    TriggerKeyOption triggerKey() const { return m_triggerKey; }
    void setTriggerKey(TriggerKeyOption key);
    const CustomHotkeySpec& customHotkey() const { return m_customHotkey; }
    void setCustomHotkey(CustomHotkeySpec shortcut);
    TriggerBehavior triggerBehavior() const { return m_triggerBehavior; }
    void setTriggerBehavior(TriggerBehavior behavior);
    bool isRecordingShortcut() const { return m_isRecordingShortcut; }

    const QString& apiKeyInput() const { return m_apiKeyInput; }
    void setApiKeyInput(QString text);
    const QString& volcSpeechKeyInput() const { return m_volcSpeechKeyInput; }
    void setVolcSpeechKeyInput(QString text);
    const QString& openAIASRKeyInput() const { return m_openAIASRKeyInput; }
    void setOpenAIASRKeyInput(QString text);
    const QMap<LLMProviderOption, bool>& savedProviderKeyFlags() const { return m_savedProviderKeyFlags; }

    bool micAuthorized() const { return m_micAuthorized; }
    bool speechAuthorized() const { return m_speechAuthorized; }
    bool accessibilityGranted() const { return m_accessibilityGranted; }
    // Why Accessibility is not granted (a Wayland session, the accessibility bus off, no XTest), for the
    // user; empty while it is granted.
    const QString& accessibilityReason() const { return m_accessibilityReason; }
    // Why the trigger key cannot work (another application holds it, keys cannot be watched in this session,
    // X11 cannot see the key); empty while it works.
    const QString& triggerKeyProblem() const { return m_triggerKeyProblem; }
    // The start-up block has run: the trigger key is watched and the permission poll runs.
    bool hasStarted() const { return m_hasStarted; }
    bool senseVoiceLoaded() const { return m_senseVoiceLoaded; }
    bool senseVoiceFullFP32() const { return m_senseVoiceFullFP32; }

    const QString& statusBanner() const { return m_statusBanner; }
    void setStatusBanner(QString text);
    const QString& sandboxText() const { return m_sandboxText; }
    void setSandboxText(QString text);
    bool showOnboardingSheet() const { return m_showOnboardingSheet; }
    void setShowOnboardingSheet(bool show);

    bool isDownloadingOfflineModel() const { return m_isDownloadingOfflineModel; }
    double offlineDownloadProgress() const { return m_offlineDownloadProgress; }
    const QString& offlineDownloadStatusText() const { return m_offlineDownloadStatusText; }
    const QString& lastOpenAIASRProbeSummary() const { return m_lastOpenAIASRProbeSummary; }
    const QString& lastBenchmarkSummary() const { return m_lastBenchmarkSummary; }

    // The scheduler every delay goes through; views take "now" and their timers from it.
    Scheduler& scheduler() const { return m_scheduler; }

    // --- owned components ---------------------------------------------------------------------------------
    PersonalLexiconStore& lexiconStore() const { return *m_lexiconStore; }
    HotkeyMonitor& hotkeyMonitor() const { return *m_hotkeyMonitor; }
    OfflineModelDownloader& modelDownloader() const { return *m_modelDownloader; }
    PolishEngine& polishEngine() const { return *m_polishEngine; }
    SpeechEngine& asrEngine() const { return *m_asrEngine; }
    ContextInjector& contextInjector() const { return *m_contextInjector; }
    SystemAudioDucker& audioDucker() const { return *m_audioDucker; }

    // --- keys ---------------------------------------------------------------------------------------------
    // Recomputed from the keychain's cache: after each save or delete and when a refresh changed a slot.
    void refreshSavedKeyFlags();
    bool isGroqASRSelected() const;
    // The key transcription uses: a typed but unsaved key first, then the stored ones.
    QString effectiveOpenAIASRKey() const;
    bool isOpenAIASRReusingLLMKey() const;
    bool hasEffectiveOpenAIASRKey() const;
    // The key stored for the provider, from the keychain's cache: what a card's key field shows. Never the
    // environment's key, which only stands in for it when a request is made.
    QString storedAPIKey(LLMProviderOption provider) const;
    // QUORBELL_API_KEY is set: it is every provider's key, and a card's empty key field stands for it.
    bool hasEnvironmentAPIKey() const;

    // --- settings propagation -----------------------------------------------------------------------------
    void syncASREngineConfig();
    void applyDockVisibilityPolicy();

    // --- the dictation pipeline ----------------------------------------------------------------------------
    // Opens the microphone at once; the session begins when the front window and the clipboard have been
    // read, off the main thread. A stop or cancel meanwhile drops the begin. Pressed while the previous
    // dictation is finishing, the begin waits for that one to end and then starts; a stop before then drops
    // it and says so.
    void beginDictationSession();
    // Stops the running session and carries it through recognition, polishing, delivery and the history.
    QCoro::Task<> finishDictationSession();
    void cancelDictationSession();
    bool isSessionActive() const { return m_isSessionActive; }
    // A begin waits for the first permission answers of the desktop or for the front window and clipboard.
    bool isStartingSession() const { return m_startAwaitsStatus || m_pendingStart != 0; }
    bool isFinalizingSession() const { return m_isFinalizingSession; }
    // A begin waits for the dictation being finished to end.
    bool isStartAwaitingFinish() const { return m_startAwaitsFinish; }
    // Distils terms from pasted text into the lexicon; reports in the status banner.
    QCoro::Task<> distillPastedCorpus(QString text);

    // --- permissions and the trigger --------------------------------------------------------------------
    // Publishes the permission flags from what the services last saw; never waits.
    void refreshPermissionStatus();
    QCoro::Task<> requestAllPermissions();
    QCoro::Task<> resetStaleTCCAndOpenSettings();
    // A refresh of trust, microphone and keys runs off the main thread and its answers are not published yet:
    // from construction until the start-up checks that need them have run, then during each poll round.
    bool isRefreshingStatus() const { return m_isRefreshingStatus; }
    QString activeTriggerDisplayName() const;
    QString activeTriggerCompactLabel() const;
    void startShortcutCapture();
    void cancelShortcutCapture();

    // --- insight figures
    // ------------------------------------------------------------------------------------
    qint64 totalCharactersDictated() const;
    double totalDictationMinutes() const;
    qint64 averageCharactersPerMinute() const;
    qint64 timeSavedMinutes() const;
    qint64 averagePolishLatencyMs() const;
    qint64 activeDaysCount() const;
    QMap<QDate, qint64> dailyCountMap() const;

    // --- files
    // ----------------------------------------------------------------------------------------------
    static inline const QString kConfigFileName = QStringLiteral("config.json");
    static inline const QString kHistoryFileName = QStringLiteral("history.json");
    // The history keeps the newest records only.
    static constexpr qsizetype kHistoryCap = 1000;
    // The largest files read; the writer keeps to them, so a file the app wrote always loads.
    static constexpr qint64 kMaxConfigBytes = 1 << 20;
    static constexpr qint64 kMaxHistoryBytes = 64 << 20;
    QString configPath() const { return m_configPath; }
    QString historyPath() const { return m_historyPath; }
    // Write the settings and the history whole, after any save still under way, and wait for it; an
    // unreadable file found at start is kept aside first, or nothing is written. The app's own changes are
    // saved off the main thread instead (queueConfigSave, queueHistorySave).
    Status saveConfig();
    Status saveHistory();
    // Returns once every save asked for so far has ended.
    void waitForSaves() { m_fileWrites.waitForSaves(); }

    // --- providers, benchmarks and engines ----------------------------------------------------------------
    const std::optional<LLMProviderOption>& activatingLLMProvider() const { return m_activatingLLMProvider; }
    const QMap<LLMProviderOption, QString>& llmActivationErrors() const { return m_llmActivationErrors; }
    const QMap<LLMProviderOption, QString>& llmProviderBenchmarkSummaries() const
    {
        return m_llmProviderBenchmarkSummaries;
    }
    bool isBenchmarkingLLM() const { return m_isBenchmarkingLLM; }
    const std::optional<ASRProviderOption>& activatingASRProvider() const { return m_activatingASRProvider; }
    const QMap<ASRProviderOption, QString>& asrActivationErrors() const { return m_asrActivationErrors; }
    bool isProbingSeedASR() const { return m_isProbingSeedASR; }
    const QString& lastSeedASRProbeSummary() const { return m_lastSeedASRProbeSummary; }
    bool isProbingOpenAIASR() const { return m_isProbingOpenAIASR; }

    void selectLLMProvider(LLMProviderOption provider);
    QCoro::Task<> saveLLMProviderDraft(LLMProviderOption provider, QString baseURL, QString modelName,
                                       QString apiKey);
    // Makes the provider the active polishing model only after a live streamed request to it succeeded.
    QCoro::Task<bool> activateLLMProvider(LLMProviderOption provider, QString baseURL, QString modelName,
                                          QString apiKey);
    QCoro::Task<> saveAPIKey();
    QCoro::Task<> runLLMProviderBenchmark(LLMProviderOption provider, QString baseURL, QString modelName,
                                          QString apiKey);
    QCoro::Task<> runLiveEngineBenchmark();

    void selectASRProvider(ASRProviderOption provider);
    // Makes the engine the only active one after a live round trip (cloud) or once its model is on disk.
    QCoro::Task<bool> activateASRProvider(ASRProviderOption provider);
    QCoro::Task<> saveVolcSpeechAPIKey();
    QCoro::Task<> saveOpenAIASRConfig();
    void applyOpenAIASRPreset(QString baseURL, QString model);
    QCoro::Task<> runSeedASRProbe();
    QCoro::Task<> runOpenAIASRProbe();
    void startOfflineModelDownload();
    void cancelOfflineModelDownload();
    void completeOnboarding();

Q_SIGNALS:
    void changed();
    // Once, when the start-up block has run.
    void started();
    void phaseChanged(const PipelinePhase& phase);
    // The window layer shows or hides the main window's taskbar entry.
    void dockVisibilityRequested(bool showInDock);

private:
    template <typename T> void publish(T& field, T value)
    {
        field = std::move(value);
        Q_EMIT changed();
    }

    void loadConfig();
    // A failed save of a data file shows one banner line naming the file and the reason.
    void reportDataFileSave(const QString& fileName, const Status& saved);
    // No data folder: nothing may be written.
    static Status readyToSave(const QString& path);
    // A data file found at start was not taken in whole (`what` says how): it is copied aside on the writer's
    // thread before anything is written over it, and the banner says where the copy is. onceKept runs on the
    // main thread after the copy is made, never when it could not be.
    void keepDamagedFile(const QString& path, const QString& what, std::function<void()> onceKept = {});
    void reportKeptAside(const QString& what, const QString& copyPath, const QString& error);
    FileWriteQueue::Save configSave() const;
    FileWriteQueue::Save historySave() const;
    // Saved on the writer's thread; the result reaches the banner.
    void queueConfigSave();
    void queueHistorySave();
    void queueSave(const QString& fileName, FileWriteQueue::Save save);
    void loadHistory();
    void readTriggerDefaults();
    void setupCallbacks();
    void runStartupBlock();
    QCoro::Task<> loadAtStart();
    void startPermissionWatcher();
    void pollPermissions();
    // Refreshes the keys and, when asked, trust, microphone and speech off the main thread, then publishes.
    QCoro::Task<> refreshStatusOffMainThread(bool askDesktop);
    void applyKeyRefresh(const Status& status, bool changed, bool wasLoaded);
    void publishKeyInputs();
    void runFirstRunCheck();
    // The settings observer in two halves: what views and the engine see at once, and the save and warm-ups.
    void applyLLMConfigChange(const LLMConfig& previous);
    void warmAndSaveLLMConfig(const LLMConfig& previous);
    void settleConfigEdit();
    void applyPermissionAnswer(bool microphone, bool speech);
    void applyRecordedShortcut(const RecordedShortcutResult& result);
    void refreshAccessibilityReason();
    void refreshTriggerKeyProblem();
    void handleCaptureLost(const QString& reason);
    void handleEngineError(const QString& message);
    // The cloud failed mid-dictation with no local model to take over: the recording ends at once.
    void handleCloudRecognitionFailure(const QString& reason);
    void handlePartialResult(const QString& text, bool settled);
    void scheduleIdleReset(double afterSeconds);
    // `endedByItself`: the app ends the recording (a failure), not the user's stop; the user's next trigger
    // press is then that stop, and no audio after the end is taken.
    void finishDictationSessionDetached(bool endedByItself = false);
    QCoro::Task<> finishSession(bool endedByItself);
    // The finish is over: a begin that waited for it starts now.
    void endFinalizing();
    // Drops a begin waiting for the finish to end; whether there was one.
    bool abandonStartAwaitingFinish();
    QCoro::Task<> startDictationSession(quint64 start);
    // Drops a begin still waiting for its answers; whether there was one.
    bool abandonPendingStart();
    void startBackgroundContextCapture(quint64 generation);
    QCoro::Task<> closePolishedDictation(QString text, qint64 latencyMs, QString raw, double duration,
                                         QList<LexiconEntry> terms, bool streamed);
    void scheduleAutoLearnObservation(const QString& injectedText, const QString& expectedBundleID,
                                      bool wasInsideSandbox);
    DictationRecord dictationRecord(const QString& raw, const QString& text, double duration,
                                    qint64 latencyMs, const QList<LexiconEntry>& terms) const;
    // Keeps the newest records within the cap.
    void prependToHistory(DictationRecord record);
    // Quitting while a transcript is being polished or delivered: the dictation is recorded as it stands.
    void recordUnfinishedDictation();

    AppServices m_services;
    Scheduler& m_scheduler;
    QSettings& m_defaults;
    KeychainHelper& m_keychain;
    AudioLevelBus& m_levelBus;

    // Published members, in the order the design declares them.
    PipelinePhase m_phase = PipelinePhase::idle();
    QList<DictationRecord> m_history;
    LLMConfig m_llmConfig = LLMConfig::defaults();
    SidebarTab m_selectedTab = SidebarTab::home;
    TriggerKeyOption m_triggerKey = kFirstRunTriggerKey;
    CustomHotkeySpec m_customHotkey = CustomHotkeySpec::defaults();
    bool m_isRecordingShortcut = false;
    TriggerBehavior m_triggerBehavior = TriggerBehavior::tapToggle;
    QString m_apiKeyInput;
    QString m_volcSpeechKeyInput;
    QString m_openAIASRKeyInput;
    QMap<LLMProviderOption, bool> m_savedProviderKeyFlags;
    bool m_micAuthorized = false;
    bool m_speechAuthorized = false;
    bool m_accessibilityGranted = false;
    QString m_accessibilityReason;
    QString m_triggerKeyProblem;
    bool m_senseVoiceLoaded = false;
    bool m_senseVoiceFullFP32 = false;
    QString m_statusBanner;
    QString m_sandboxText;
    bool m_isBenchmarkingLLM = false;
    QString m_lastBenchmarkSummary;
    bool m_isProbingSeedASR = false;
    QString m_lastSeedASRProbeSummary;
    bool m_isProbingOpenAIASR = false;
    QString m_lastOpenAIASRProbeSummary;
    bool m_showOnboardingSheet = false;
    bool m_isDownloadingOfflineModel = false;
    double m_offlineDownloadProgress = 0;
    QString m_offlineDownloadStatusText;

    // Owned components, built in this order.
    std::unique_ptr<PersonalLexiconStore> m_lexiconStore;
    std::unique_ptr<SpeechEngine> m_asrEngine;
    std::unique_ptr<PolishEngine> m_polishEngine;
    std::unique_ptr<HotkeyMonitor> m_hotkeyMonitor;
    std::unique_ptr<OfflineModelDownloader> m_modelDownloader;
    std::unique_ptr<SystemAudioDucker> m_audioDucker;
    std::unique_ptr<ContextInjector> m_contextInjector;

    // Session fields of the dictation pipeline.
    ActiveScreenContext m_activeContext;
    DictationMode m_activeMode = DictationMode::dictate;
    bool m_isSessionActive = false;
    bool m_isFinalizingSession = false;
    // The record of a dictation whose transcript is in hand but not yet recorded (the corrected raw text,
    // then the polished text once it is known), written at once if the app quits before the finish does.
    std::optional<DictationRecord> m_unfinishedRecord;
    // The banner of a cloud failure, for the session it ended; its finish says what was kept.
    struct CloudFailure {
        quint64 generation = 0;
        QString banner;
    };
    std::optional<CloudFailure> m_cloudFailure;
    // Bumped by every begin and cancel: work of an older session (a capture, a pending finish) does nothing.
    quint64 m_sessionGeneration = 0;
    // The begin waiting for the front window and the clipboard (0: none), and the last one handed out.
    quint64 m_pendingStart = 0;
    quint64 m_lastStart = 0;
    // Until the start-up load has answered, the permission flags are only the defaults: a trigger pressed
    // then waits for the answers instead of being refused for nothing.
    bool m_hasDesktopStatus = false;
    bool m_startAwaitsStatus = false;
    // A begin came while a dictation was finishing: it starts once that one has ended.
    bool m_startAwaitsFinish = false;
    bool m_hasStarted = false;
    std::shared_ptr<LiveInputSession> m_liveInputSession;
    QString m_sandboxBaseBeforeSession;
    bool m_isTypingInsideOwnApp = false;
    // The target's accessibility context is read here, off the main thread.
    SerialQueue m_captureQueue{AppIdentity::queueLabel(QStringLiteral("context.capture"))};
    // Trust and microphone are asked of the desktop here, one round at a time.
    SerialQueue m_permissionQueue{AppIdentity::queueLabel(QStringLiteral("permissions"))};
    bool m_isRefreshingStatus = false;
    // The keyring failure last reported, so a keyring that stays locked is reported once.
    QString m_keyReadFailure;

    ScheduledWork m_permissionPoll;
    // The record as it was before the keystroke edits not yet settled; empty when none are pending.
    std::optional<LLMConfig> m_configBeforeEdit;
    ScheduledWork m_configEditSettle;
    QString m_configPath;
    QString m_historyPath;
    // The banner lines about data files kept aside at start, shown together.
    QStringList m_keptAsideLines;
    FileWriteQueue m_fileWrites{AppIdentity::queueLabel(QStringLiteral("files"))};

    // --- providers, benchmarks and engines --------------------------------------------------------------
    void rememberArkEndpoint(LLMProviderOption provider, const QString& model);
    // Stores the typed key of `provider` (unless it is the environment's) and shows what is stored then.
    QCoro::Task<Status> saveTypedAPIKey(LLMProviderOption provider);
    // A card's key into the provider's slot; the environment's key is never written.
    QCoro::Task<Status> saveDraftKey(QString key, LLMProviderOption provider);
    void endBenchmarkWithSaveFailure(LLMProviderOption provider, const Status& saved);
    void resolveOpenAIASREndpoint();
    void refreshSpeechAuthorized();
    void watchLocalModelLoad();
    int lexiconHotwordCount(int cap) const;

    std::optional<LLMProviderOption> m_activatingLLMProvider;
    QMap<LLMProviderOption, QString> m_llmActivationErrors;
    QMap<LLMProviderOption, QString> m_llmProviderBenchmarkSummaries;
    std::optional<ASRProviderOption> m_activatingASRProvider;
    QMap<ASRProviderOption, QString> m_asrActivationErrors;
};
