#pragma once

#include "audio/OpenAITranscriptionClient.h"
#include "audio/SenseVoiceModel.h"
#include "audio/VolcSeedASRClient.h"
#include "model/SpeechEngine.h"
#include "util/Scheduler.h"
#include "util/SerialQueue.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

class APIKeyStore;
class AudioCapture;
class AudioLevelBus;
class Permissions;
class StreamingResampler;
class SystemSpeechRecognizer;

// The one speech engine of the app. It owns the microphone (kept hot for a while between sessions, with a
// short pre-roll handed to the next session), measures the level for the pill, detects voice, and routes each
// session to one recognizer: Seed-ASR streaming, an OpenAI-compatible upload at the end, the local SenseVoice
// model (cut into segments and decoded while the user speaks), or the desktop's own recognizer.
//
// Threads: the public operations are called on the main thread and every callback is delivered there.
// Session starts, the hot microphone and hardware shutdowns run on the "audio.control" queue; local decodes
// and the upload file are made on the "sensevoice.decode" queue; capture buffers arrive on the capture
// thread; ticks and time-outs go through the scheduler (main thread). Every session carries a generation
// number: work, timers and callbacks of an older session do nothing.
class StreamingASREngine final : public QObject, public SpeechEngine {
public:
    // The services the engine runs on; all must outlive it.
    struct Services {
        Scheduler* scheduler = nullptr;
        AudioCapture* capture = nullptr;
        SystemSpeechRecognizer* systemRecognizer = nullptr;
        Permissions* permissions = nullptr;
        AudioLevelBus* levelBus = nullptr;
        // The stored keys; without it no cloud key counts as stored.
        const APIKeyStore* keys = nullptr;
        VolcSeedASRClient::Endpoint seedEndpoint = VolcSeedASRClient::Endpoint::volcengine();
    };

    // Why a session could not start: errors of the engine's own domain.
    static constexpr QStringView kErrorDomain = u"Quorbell.ASR";
    static constexpr int kNoRecognizerCode = -1;
    // Linux has no desktop recogniser to fall back on: what is missing is the model and the cloud engine.
    static constexpr QStringView kNoRecognizerSeedKeyMissing =
        u"未找到本地模型，且「豆包语音」尚未填入 API Key";
    static constexpr QStringView kNoRecognizerOpenAIKeyMissing =
        u"未找到本地模型，且「OpenAI / Groq 语音」尚未填入 API Key";
    static constexpr QStringView kNoRecognizerCloudUnavailable = u"未找到本地模型，且云端语音识别不可用";
    static constexpr int kNoMicrophoneInputCode = -2;
    static constexpr QStringView kNoMicrophoneInputMessage = u"麦克风输入不可用，请检查麦克风权限";
    static constexpr QStringView kCaptureLostMessage =
        u"麦克风录音中途停止（声音服务已断开或输入设备被移除）";
    // A model found on disk that cannot be loaded, outside a session start.
    static constexpr int kModelLoadFailedCode = -3;
    // The capture backend gives a reason but no code of its own.
    static constexpr QStringView kCaptureErrorDomain = u"Quorbell.AudioCapture";
    static constexpr QStringView kCaptureFailedMessage = u"麦克风无法启动";

    // Fail-over notices of the Seed-ASR path.
    static constexpr QStringView kWatchdogFailoverNotice = u"弱网超时，已自动无损切回本机满血模型";
    static constexpr QStringView kSeedFinalTimeoutNotice = u"云端回包超时，已由本机满血 FP32 模型无缝兜底";
    // A Seed session that heard speech and got nothing back, and what may be incomplete.
    static constexpr int kSeedNoAnswerCode = -4;
    static constexpr QStringView kSeedFailedPrefix = u"云端语音识别失败：";
    static constexpr QStringView kSeedHandshakeUnanswered = u"豆包语音服务没有响应连接请求（握手未完成）";
    static constexpr QStringView kSeedNoAnswer = u"豆包语音服务在等待时间内没有返回任何结果";
    static constexpr QStringView kSeedFinalLate = u"豆包语音的最终结果未能按时返回";

    explicit StreamingASREngine(Services services, QObject* parent = nullptr);
    ~StreamingASREngine() override;

    void applySettings(const Settings& settings) override;

    bool isMicrophoneAuthorized() const override;
    bool isSpeechAuthorized() const override;
    void requestPermissions(std::function<void(bool microphone, bool speech)> completion) override;
    bool hasLocalModel() const override;

    void warmUp(const QString& localeIdentifier) override;
    void prewarmCloudSocketIfReady() override;
    void prewarmHotMicAsync() override;
    void reloadSenseVoiceModelAsync() override;
    QCoro::Task<Result<qint64>> probeSeedASRHandshake(QString apiKey, QString resourceID) override;

    void startStreamingAsync(const QString& localeIdentifier, const QStringList& contextualStrings,
                             const QStringList& dialogContext) override;
    QCoro::Task<SpeechTranscript> finishStreaming() override;
    void cancel() override;

    bool isUsingSenseVoice() const override;
    bool isFullPrecisionFP32() const override;
    bool activeSessionUsesCloudSeedASR() const override;
    bool activeSessionUsesOpenAIASR() const override;
    bool activeSessionUsesAnyCloudASR() const;

    // Blocks until the work already queued on the audio-control and decode queues (and the work that work
    // queues in turn) has run. For tests and benchmarks: the app never blocks on the engine's queues.
    void waitForBackgroundWork();
    // The room, in samples, the current session's segment and fail-over backup were given at its start, so
    // that speaking does not reallocate them.
    struct BufferCapacities {
        size_t segment = 0;
        size_t backup = 0;
    };
    BufferCapacities sessionBufferCapacities() const;

    // Level measurement of one capture buffer: every fourth sample of it.
    struct LevelMetrics {
        float level = 0.05f; // for the pill, in [0.06, 1]; 0.05 for an empty buffer
        float rawRMS = 0;
    };
    static LevelMetrics calculateRMSMetrics(std::span<const float> samples);
    // How many of the samples lie in capture-buffer-sized pieces loud enough to count as voice.
    static size_t voicedSampleCount(std::span<const float> samples, bool enableWhisperAGC);
    // The streaming path's gain for one quiet voiced buffer; 1 when none applies.
    static float streamingGain(bool enableWhisperAGC, bool voiced, float rawRMS);
    // How long an upload of a recording of this length may take.
    static double uploadTimeoutSeconds(double durationSeconds);
    // A microphone that could not be started, with the reason the capture gave.
    static AppError captureError(const QString& reason);

private:
    // A timer that fires once after `first` and then every `interval`, on the scheduler. start() and stop()
    // may be called from any thread; a tick never runs once stop() has returned, unless it was running.
    class LoopTimer {
    public:
        explicit LoopTimer(Scheduler& scheduler) : m_scheduler(scheduler) {}
        ~LoopTimer() { stop(); }
        void start(Duration first, Duration interval, std::function<void()> tick);
        void stop();

    private:
        Scheduler& m_scheduler;
        std::mutex m_lock;
        TimerId m_id = 0;
        quint64 m_token = 0;
    };

    struct StartRequest {
        quint64 generation = 0;
        QString localeIdentifier;
        QStringList hotwords;
        QStringList dialogContext;
        Settings settings;
    };

    struct CloudFinishSnapshot {
        bool usedSeed = false;
        bool usedOpenAI = false;
        bool detectedSpeech = false;
        std::vector<float> backup;
        int sampleRate = 48000;
        QStringList hotwords;
        QString locale;
    };

    struct TailSnapshot {
        std::vector<float> segment;
        bool needsDecode = false;
        QString latest; // trimmed
        int sampleRate = 48000;
    };

    // How a partial result reaches the callback (all on the main thread, only for the current session):
    // announce repeats the text as settled at a pause; settled makes it the latest text (a cut segment);
    // partial does so only when it changed; system is the desktop recogniser's result, also while capture
    // is not the engine's own.
    enum class Delivery { announce, settled, partial, system };

    // Lets the capture's source-changed notice, which may come from any thread, find a live engine.
    struct SourceChangeGuard {
        std::mutex lock;
        StreamingASREngine* engine = nullptr;
    };

    // --- session start and the microphone (StreamingASREngine.cpp) -----------------------------------------
    void startStreamingInternal(const StartRequest& request);
    void startSystemRecognizerPath(const StartRequest& request, const QString& modelFailure);
    void reportError(quint64 generation, const AppError& error);
    // On the audio-control queue.
    void reportCaptureLost(quint64 generation);
    bool isStartCurrent(quint64 generation) const;
    // Returns the capture rate, or the error for the user.
    std::optional<int> ensureHotMicRunning(AppError* error);
    void scheduleIdleHardwareShutdown();
    void cancelIdleHardwareShutdown();
    void shutdownAudioHardwareCompletely();
    void pauseActiveTapOnly();
    void clearSessionBuffers(std::optional<quint64> onlyForGeneration = std::nullopt);
    void endSystemRecognizerSession();
    bool isCaptureRunning() const;
    // Posts to the main thread; dropped when the engine is gone.
    void postToMain(std::function<void()> work);
    void deliverPartialResult(quint64 generation, const QString& text, Delivery how);

    // --- the capture tap (StreamingASREngineCapture.cpp)
    // ----------------------------------------------------
    void handleIncomingAudioBuffer(std::span<const float> samples);
    void feedSeedASR(quint64 generation, std::span<const float> samples, bool voiced, float rawRMS, bool agc);

    // --- the local model (StreamingASREngineLocal.cpp)
    // ------------------------------------------------------ On the audio-control queue. Reports a newly
    // loaded model; returns why a found model failed to load.
    std::optional<QString> loadSenseVoiceIfAvailable();
    void reportModelFailure(const QString& reason);
    void startContinuousVADStreamingLoop(quint64 generation);
    void processActiveWindowAndVAD(quint64 generation);
    void runCutDecodeJob(quint64 generation, const std::vector<float>& segment, int sampleRate, bool addComma,
                         bool agc);
    void runPartialDecodeJob(quint64 generation, const std::vector<float>& segment, int sampleRate,
                             size_t voiceMark, const QString& prefix, bool agc);
    TailSnapshot takeFinalSnapshotAndCheckZeroWait(quint64 generation);
    QCoro::Task<QString> finalTailDecode(quint64 generation);
    // The whole recording decoded on the decode queue, behind the jobs already queued.
    QCoro::Task<QString> decodeWholeOnDecodeQueue(std::vector<float> samples, int sampleRate, bool agc);

    // --- finishing and fail-over (StreamingASREngineFinish.cpp)
    // ---------------------------------------------
    CloudFinishSnapshot takeCloudFinishSnapshot();
    QCoro::Task<QString> finishOpenAISession(quint64 generation, CloudFinishSnapshot snapshot,
                                             double duration);
    QCoro::Task<QString> finishSeedSession(quint64 generation, CloudFinishSnapshot snapshot);
    QCoro::Task<QString> finishLocalOrSystemSession(quint64 generation);
    void setupSeedASRCallbacks();
    void startCloudWatchdogLoop(quint64 generation);
    void processCloudWatchdogTick(quint64 generation);
    void switchActiveSessionFromCloudToLocalFP32(quint64 generation, const QString& reason);
    void handleSeedTranscript(quint64 generation, const QString& text, bool definite);
    void handleSeedFallbackRequest(quint64 generation, const QString& reason);
    void postNotice(quint64 generation, const QString& reason);
    void warnMayBeIncomplete(quint64 generation, const VolcSeedASRClient::SessionOutcome& outcome);
    // Posts to the main thread for the current session only.
    void postForSession(quint64 generation, std::function<void()> work);

    Scheduler& m_scheduler;
    AudioCapture& m_capture;
    SystemSpeechRecognizer& m_systemRecognizer;
    Permissions& m_permissions;
    AudioLevelBus& m_levelBus;
    const APIKeyStore* m_keys;

    // Main thread only.
    Settings m_settings;
    std::shared_ptr<SourceChangeGuard> m_sourceChangeGuard;
    // The session whose lost microphone was last reported (audio-control queue only).
    quint64 m_captureLostGeneration = 0;

    std::atomic<bool> m_enableWhisperAGC{true};
    // Bumped by every start and every cancel; the current session's number.
    std::atomic<quint64> m_activeGeneration{0};
    // The last session whose finish began: a start still queued for it must not begin capturing.
    std::atomic<quint64> m_finishedGeneration{0};

    SenseVoiceModel m_model;
    VolcSeedASRClient m_seedASRClient;
    QUrl m_seedWebSocketUrl; // where the settings page's handshake probe goes
    OpenAITranscriptionClient m_openAIASRClient;
    LoopTimer m_liveTimer;
    LoopTimer m_cloudWatchdogTimer;

    // Guarded by m_sampleLock: the session's buffers, counters and flags.
    mutable std::mutex m_sampleLock;
    quint64 m_captureGeneration = 0; // the session capturing, when m_isCaptureActive
    std::vector<float> m_activeSegmentSamples;
    std::vector<float> m_cloudFailoverBackupSamples;
    std::vector<float> m_preRollSamples;
    QString m_frozenTranscriptPrefix;
    QString m_latestTranscript;
    int m_currentSampleRate = 48000;
    size_t m_lastDecodedSampleCount = 0;
    size_t m_lastDecodedVoiceSampleMark = 0;
    size_t m_totalVoiceSamplesInSegment = 0;
    size_t m_consecutiveSilentSamples = 0;
    size_t m_activeMaxBackupSamples = 4'320'000;
    size_t m_activeMaxSegmentSamples = 4'320'000;
    bool m_isDecodingChunk = false;
    bool m_hasDetectedSpeechInSegment = false;
    bool m_hasDetectedSpeechOverall = false;
    bool m_didFlushMicroPauseTail = false;
    bool m_isCaptureActive = false;
    bool m_activeSessionUsesCloudSeedASR = false;
    bool m_activeSessionUsesOpenAIASR = false;
    bool m_systemRecognizerActive = false;
    QStringList m_openAIActiveHotwords;
    QString m_openAIActiveLocale = QStringLiteral("zh-CN");
    MonotonicTime m_sessionStartTime{};

    // Guarded by m_seedFeedLock: the streaming converter and which session may feed the Seed client, so a
    // buffer of an older session never reaches a newer session's socket.
    std::mutex m_seedFeedLock;
    std::unique_ptr<StreamingResampler> m_pcm16Converter;
    std::vector<float> m_seedGainScratch;
    quint64 m_seedFeedGeneration = 0;

    // Audio-control queue only.
    bool m_isTapInstalled = false;
    bool m_isAudioPrepared = false;
    TimerId m_idleShutdownTimer = 0;
    quint64 m_idleShutdownToken = 0;
    bool m_isStartingSeedSession = false;
    std::optional<QString> m_startFallbackReason;

    // Declared last: joined first, while everything their work touches still exists.
    std::unique_ptr<SerialQueue> m_decodeQueue;
    std::unique_ptr<SerialQueue> m_audioControlQueue;
};
