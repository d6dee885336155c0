#include "audio/StreamingASREngine.h"

#include "audio/Resampler.h"
#include "model/APIKeyStore.h"
#include "model/AudioLevelBus.h"
#include "platform/AudioCapture.h"
#include "platform/Permissions.h"
#include "platform/SystemSpeechRecognizer.h"
#include "util/AppIdentity.h"
#include "util/Endpoint.h"
#include "util/Text.h"

#include <QPointer>
#include <algorithm>

using namespace std::chrono_literals;

namespace {

// A session starts with the last of what the hot microphone heard (its ring, kept by the tap, is 0.22 s).
constexpr double kPreRollHandOverSeconds = 0.18;
constexpr size_t kMinPreRollHandOverSamples = 800;
constexpr size_t kSeedBackupSeconds = 90;
constexpr size_t kOpenAIBackupSeconds = 180;
constexpr size_t kLocalBackupSeconds = 90;
// Reserved at start so speaking rarely reallocates: a local segment is mostly cut before 14 s, and a cloud
// session's backup rarely passes 20 s.
constexpr size_t kSegmentReserveSeconds = 14;
constexpr size_t kBackupReserveSeconds = 20;
// A segment is normally cut long before this; it only bounds a Seed session's copy and a stalled decoder.
constexpr size_t kMaxSegmentSeconds = 90;

AppError engineError(int code, QString description)
{
    return AppError{StreamingASREngine::kErrorDomain.toString(), code, std::move(description)};
}

} // namespace

AppError StreamingASREngine::captureError(const QString& reason)
{
    QString description = kCaptureFailedMessage.toString();
    if (!Text::isBlank(reason))
        description += QStringLiteral("：") + Text::trimmed(reason);
    return AppError{kCaptureErrorDomain.toString(), 0, description};
}

namespace {

// A model that was found but failed to load says more than "no model"; otherwise the chosen cloud engine
// says why it could not run.
AppError noRecognizerError(const QString& modelFailure, const SpeechEngine::Settings& settings)
{
    if (!modelFailure.isEmpty())
        return engineError(StreamingASREngine::kNoRecognizerCode, modelFailure);
    QStringView message = StreamingASREngine::kNoRecognizerCloudUnavailable;
    if (settings.asrProvider == ASRProviderOption::volcSeedASR && Text::isBlank(settings.volcSpeechAPIKey))
        message = StreamingASREngine::kNoRecognizerSeedKeyMissing;
    else if (settings.asrProvider == ASRProviderOption::openAIWhisper &&
             Text::isBlank(settings.openAIASRAPIKey) && !Endpoint::isKeylessLocal(settings.openAIASRBaseURL))
        message = StreamingASREngine::kNoRecognizerOpenAIKeyMissing;
    return engineError(StreamingASREngine::kNoRecognizerCode, message.toString());
}

bool isAuthorized(AuthorizationStatus status)
{
    return status == AuthorizationStatus::Authorized;
}

bool hasStoredCloudSpeechKey(const APIKeyStore* keys)
{
    if (!keys)
        return false;
    return !keys->loadVolcSpeechAPIKey().isEmpty() ||
           !keys->loadEffectiveOpenAIASRAPIKey(OpenAITranscriptionClient::defaultBaseURL()).isEmpty();
}

} // namespace

// --- LoopTimer ---------------------------------------------------------------------------------------------

void StreamingASREngine::LoopTimer::start(Duration first, Duration interval, std::function<void()> tick)
{
    std::lock_guard lock(m_lock);
    if (m_id)
        m_scheduler.cancel(m_id);
    const quint64 token = ++m_token;
    m_id = m_scheduler.schedule(first, [this, token, interval, tick] {
        {
            std::lock_guard inner(m_lock);
            if (m_token != token)
                return;
            m_id = m_scheduler.scheduleRepeating(interval, [this, token, tick] {
                {
                    std::lock_guard check(m_lock);
                    if (m_token != token)
                        return;
                }
                tick();
            });
        }
        tick();
    });
}

void StreamingASREngine::LoopTimer::stop()
{
    std::lock_guard lock(m_lock);
    ++m_token;
    if (m_id)
        m_scheduler.cancel(std::exchange(m_id, 0));
}

// --- construction and settings -----------------------------------------------------------------------------

StreamingASREngine::StreamingASREngine(Services services, QObject* parent)
    : QObject(parent), m_scheduler(*services.scheduler), m_capture(*services.capture),
      m_systemRecognizer(*services.systemRecognizer), m_permissions(*services.permissions),
      m_levelBus(*services.levelBus), m_keys(services.keys),
      m_seedASRClient(*services.scheduler, services.seedEndpoint), m_openAIASRClient(*services.scheduler),
      m_liveTimer(*services.scheduler), m_cloudWatchdogTimer(*services.scheduler),
      m_decodeQueue(
          std::make_unique<SerialQueue>(AppIdentity::queueLabel(QStringLiteral("sensevoice.decode")))),
      m_audioControlQueue(
          std::make_unique<SerialQueue>(AppIdentity::queueLabel(QStringLiteral("audio.control"))))
{
    m_seedWebSocketUrl = services.seedEndpoint.webSocketUrl;
    m_settings.openAIASRBaseURL = OpenAITranscriptionClient::defaultBaseURL();
    m_settings.openAIASRModel = OpenAITranscriptionClient::defaultModel();
    setupSeedASRCallbacks();

    // The source-changed notice may come from any thread at any time, also while the engine goes away.
    m_sourceChangeGuard = std::make_shared<SourceChangeGuard>();
    m_sourceChangeGuard->engine = this;
    m_capture.setSourceChangedHandler([guard = m_sourceChangeGuard] {
        std::lock_guard lock(guard->lock);
        if (!guard->engine)
            return;
        StreamingASREngine* engine = guard->engine;
        engine->m_audioControlQueue->async([engine] {
            {
                std::lock_guard sample(engine->m_sampleLock);
                if (engine->m_isCaptureActive || engine->m_systemRecognizerActive) {
                    // A source that changed goes on being read until the session ends; one that ended the
                    // stream (the sound server went away) leaves the session deaf, and the user must know.
                    if (engine->m_isCaptureActive && !engine->m_capture.isRunning())
                        engine->reportCaptureLost(engine->m_captureGeneration);
                    return;
                }
            }
            // The next session opens the new source.
            engine->shutdownAudioHardwareCompletely();
        });
    });
}

StreamingASREngine::~StreamingASREngine()
{
    {
        std::lock_guard lock(m_sourceChangeGuard->lock);
        m_sourceChangeGuard->engine = nullptr;
    }
    m_capture.setSourceChangedHandler(nullptr);
    {
        // Queued starts and jobs of the current session now do nothing.
        std::lock_guard feed(m_seedFeedLock);
        ++m_activeGeneration;
        m_seedFeedGeneration = 0;
    }
    m_liveTimer.stop();
    m_cloudWatchdogTimer.stop();
    m_audioControlQueue.reset();
    if (m_idleShutdownTimer)
        m_scheduler.cancel(m_idleShutdownTimer);
    m_capture.stop();
    endSystemRecognizerSession();
    m_decodeQueue.reset();
    m_seedASRClient.stopAndReset();
}

void StreamingASREngine::applySettings(const Settings& settings)
{
    m_settings = settings;
    m_enableWhisperAGC = settings.enableWhisperAGC;
}

// --- permissions -------------------------------------------------------------------------------------------

bool StreamingASREngine::isMicrophoneAuthorized() const
{
    return isAuthorized(m_permissions.microphoneStatus());
}

bool StreamingASREngine::isSpeechAuthorized() const
{
    return hasLocalModel() || hasStoredCloudSpeechKey(m_keys) ||
           isAuthorized(m_permissions.speechRecognitionStatus());
}

void StreamingASREngine::requestPermissions(std::function<void(bool microphone, bool speech)> completion)
{
    Permissions* permissions = &m_permissions;
    const APIKeyStore* keys = m_keys;
    m_permissions.requestMicrophoneAccess([permissions, keys, completion](bool microphone) {
        // A model or a cloud key recognises speech without the desktop's recogniser: nothing more to ask.
        if (senseVoiceModelPaths() || hasStoredCloudSpeechKey(keys)) {
            completion(microphone, true);
            return;
        }
        permissions->requestSpeechRecognition([completion, microphone](AuthorizationStatus status) {
            completion(microphone, isAuthorized(status));
        });
    });
}

bool StreamingASREngine::hasLocalModel() const
{
    return senseVoiceModelPaths().has_value();
}

// --- warm-ups ----------------------------------------------------------------------------------------------

void StreamingASREngine::warmUp(const QString& /*localeIdentifier*/)
{
    prewarmCloudSocketIfReady();
    const bool microphone = isMicrophoneAuthorized();
    m_audioControlQueue->async([this, microphone] {
        if (const std::optional<QString> failure = loadSenseVoiceIfAvailable())
            reportModelFailure(*failure);
        if (microphone && !m_isAudioPrepared) {
            // Asking for the source's format connects to the sound server ahead of the first session.
            m_isAudioPrepared = true;
            (void)m_capture.defaultSourceSampleRate();
        }
    });
}

void StreamingASREngine::prewarmCloudSocketIfReady()
{
    const QString seedKey = Text::trimmed(m_settings.volcSpeechAPIKey);
    const QString openAIKey = Text::trimmed(m_settings.openAIASRAPIKey);
    if (m_settings.asrProvider == ASRProviderOption::volcSeedASR && !seedKey.isEmpty()) {
        m_seedASRClient.prewarmStandbySocket(seedKey, VolcSeedASRClient::defaultResourceID());
    } else if (m_settings.asrProvider == ASRProviderOption::openAIWhisper &&
               (!openAIKey.isEmpty() || Endpoint::isKeylessLocal(m_settings.openAIASRBaseURL))) {
        m_openAIASRClient.prewarmConnection(m_settings.openAIASRBaseURL, openAIKey);
    }
}

void StreamingASREngine::prewarmHotMicAsync()
{
    if (!isMicrophoneAuthorized())
        return;
    m_audioControlQueue->async([this] {
        cancelIdleHardwareShutdown();
        AppError ignored;
        if (ensureHotMicRunning(&ignored))
            scheduleIdleHardwareShutdown();
    });
}

void StreamingASREngine::reloadSenseVoiceModelAsync()
{
    m_audioControlQueue->async([this] {
        if (const std::optional<QString> failure = loadSenseVoiceIfAvailable())
            reportModelFailure(*failure);
    });
}

QCoro::Task<Result<qint64>> StreamingASREngine::probeSeedASRHandshake(QString apiKey, QString resourceID)
{
    return VolcSeedASRClient::probeHandshakeLatency(std::move(apiKey), std::move(resourceID), m_scheduler,
                                                    m_seedWebSocketUrl);
}

// --- session start -----------------------------------------------------------------------------------------

void StreamingASREngine::startStreamingAsync(const QString& localeIdentifier,
                                             const QStringList& contextualStrings,
                                             const QStringList& dialogContext)
{
    StartRequest request;
    {
        std::lock_guard feed(m_seedFeedLock);
        request.generation = ++m_activeGeneration;
    }
    request.localeIdentifier = localeIdentifier;
    request.hotwords = contextualStrings;
    request.dialogContext = dialogContext;
    request.settings = m_settings;
    {
        // Provisional: a finish that comes before the queued start has run still measures from here.
        std::lock_guard lock(m_sampleLock);
        m_sessionStartTime = m_scheduler.now();
    }
    m_audioControlQueue->async([this, request] { startStreamingInternal(request); });
}

bool StreamingASREngine::isStartCurrent(quint64 generation) const
{
    return generation == m_activeGeneration.load() && generation != m_finishedGeneration.load();
}

void StreamingASREngine::startStreamingInternal(const StartRequest& request)
{
    const quint64 generation = request.generation;
    if (!isStartCurrent(generation))
        return; // cancelled, finished or replaced before it ran
    cancelIdleHardwareShutdown();
    m_liveTimer.stop();
    m_cloudWatchdogTimer.stop();
    endSystemRecognizerSession();

    std::optional<QString> modelFailure;
    if (!m_model.isLoaded())
        modelFailure = loadSenseVoiceIfAvailable(); // may take a while
    if (!isStartCurrent(generation))
        return;
    {
        std::lock_guard lock(m_sampleLock);
        m_latestTranscript.clear();
        m_sessionStartTime = m_scheduler.now();
    }

    const Settings& settings = request.settings;
    const QString seedKey = Text::trimmed(settings.volcSpeechAPIKey);
    const QString openAIKey = Text::trimmed(settings.openAIASRAPIKey);
    // The user's choice only decides which cloud engine can be usable: a chosen engine that cannot run falls
    // to the local model when one is loaded.
    const bool seedUsable = settings.asrProvider == ASRProviderOption::volcSeedASR && !seedKey.isEmpty();
    const bool openAIUsable = settings.asrProvider == ASRProviderOption::openAIWhisper &&
                              (!openAIKey.isEmpty() || Endpoint::isKeylessLocal(settings.openAIASRBaseURL));
    if (!seedUsable && !openAIUsable && !m_model.isLoaded()) {
        startSystemRecognizerPath(request, modelFailure.value_or(QString()));
        return;
    }
    const bool useSeed = seedUsable;
    const bool useOpenAI = !useSeed && openAIUsable;

    AppError error;
    const std::optional<int> capturedRate = ensureHotMicRunning(&error);
    if (!capturedRate) {
        reportError(generation, error);
        return;
    }
    const int rate = *capturedRate;
    const auto perSecond = static_cast<size_t>(rate);

    size_t backupCap = kLocalBackupSeconds * perSecond;
    bool seedStarted = false;
    if (useSeed) {
        backupCap = kSeedBackupSeconds * perSecond;
        std::lock_guard feed(m_seedFeedLock);
        // Checked under the feed lock, which cancel() takes to move the generation on: a cancelled start
        // never opens a socket (and fails the check below).
        if (isStartCurrent(generation)) {
            if (m_pcm16Converter && m_pcm16Converter->sourceRate() == rate)
                m_pcm16Converter->reset();
            else
                m_pcm16Converter = std::make_unique<StreamingResampler>(rate);
            m_seedFeedGeneration = generation;
            m_isStartingSeedSession = true;
            m_startFallbackReason.reset();
            m_seedASRClient.startSession(generation, seedKey, request.hotwords, request.dialogContext, true,
                                         true, VolcSeedASRClient::defaultResourceID());
            m_isStartingSeedSession = false;
            seedStarted = true;
        }
    } else if (useOpenAI) {
        backupCap = kOpenAIBackupSeconds * perSecond;
        m_openAIASRClient.prewarmConnection(settings.openAIASRBaseURL, openAIKey);
    }

    std::vector<float> preRoll;
    bool committed = false;
    {
        std::lock_guard lock(m_sampleLock);
        if (isStartCurrent(generation)) {
            committed = true;
            const size_t handOver =
                std::max(kMinPreRollHandOverSamples, static_cast<size_t>(kPreRollHandOverSeconds * rate));
            const size_t take = std::min(handOver, m_preRollSamples.size());
            preRoll.assign(m_preRollSamples.end() - static_cast<std::ptrdiff_t>(take),
                           m_preRollSamples.end());
            m_preRollSamples.clear();

            m_activeMaxBackupSamples = backupCap;
            m_activeMaxSegmentSamples = kMaxSegmentSeconds * perSecond;
            m_activeSessionUsesCloudSeedASR = useSeed;
            m_activeSessionUsesOpenAIASR = useOpenAI;
            m_openAIActiveHotwords = useOpenAI ? request.hotwords : QStringList();
            m_openAIActiveLocale = request.localeIdentifier;
            m_activeSegmentSamples.clear();
            if (!useOpenAI)
                m_activeSegmentSamples.reserve(kSegmentReserveSeconds * perSecond);
            m_cloudFailoverBackupSamples.clear();
            if (useSeed || useOpenAI)
                m_cloudFailoverBackupSamples.reserve(kBackupReserveSeconds * perSecond);
            if (!useOpenAI)
                m_activeSegmentSamples.insert(m_activeSegmentSamples.end(), preRoll.begin(), preRoll.end());
            if (useSeed || useOpenAI)
                m_cloudFailoverBackupSamples.insert(m_cloudFailoverBackupSamples.end(), preRoll.begin(),
                                                    preRoll.end());
            m_frozenTranscriptPrefix.clear();
            m_currentSampleRate = rate;
            m_lastDecodedSampleCount = 0;
            m_lastDecodedVoiceSampleMark = 0;
            // The lead-in is judged like any buffer: a source that delivers seconds at a time may have handed
            // over all a short dictation holds before the trigger.
            const size_t voicedLeadIn = voicedSampleCount(preRoll, m_enableWhisperAGC.load());
            m_totalVoiceSamplesInSegment = voicedLeadIn;
            m_consecutiveSilentSamples = 0;
            m_isDecodingChunk = false;
            m_hasDetectedSpeechInSegment = voicedLeadIn > 0;
            m_hasDetectedSpeechOverall = voicedLeadIn > 0;
            m_didFlushMicroPauseTail = false;
            m_captureGeneration = generation;
            m_isCaptureActive = true;
        }
    }
    if (!committed) {
        // A cancel or finish overtook the start; only the hot microphone stays up.
        if (seedStarted) {
            {
                std::lock_guard feed(m_seedFeedLock);
                if (m_seedFeedGeneration == generation)
                    m_seedFeedGeneration = 0;
            }
            m_seedASRClient.stopAndReset();
        }
        scheduleIdleHardwareShutdown();
        return;
    }

    if (useSeed) {
        if (!preRoll.empty()) {
            const std::vector<int16_t> pcm = resampleFloatTo16kHzInt16(preRoll, rate);
            std::lock_guard feed(m_seedFeedLock);
            if (!pcm.empty() && m_seedFeedGeneration == generation)
                m_seedASRClient.appendPCM16Samples(pcm);
        }
        startCloudWatchdogLoop(generation);
        // A key the client refused at once asked for the fail-over before the session existed.
        if (const std::optional<QString> reason = std::exchange(m_startFallbackReason, std::nullopt))
            switchActiveSessionFromCloudToLocalFP32(generation, *reason);
    } else if (!useOpenAI) {
        startContinuousVADStreamingLoop(generation);
    }
}

void StreamingASREngine::startSystemRecognizerPath(const StartRequest& request, const QString& modelFailure)
{
    const quint64 generation = request.generation;
    shutdownAudioHardwareCompletely();
    const std::optional<int> rate = m_capture.defaultSourceSampleRate();
    if (!rate || *rate <= 0) {
        reportError(generation, engineError(kNoMicrophoneInputCode, kNoMicrophoneInputMessage.toString()));
        return;
    }
    // The session's locale, else the default one.
    QString locale;
    if (m_systemRecognizer.isAvailable(request.localeIdentifier)) {
        locale = request.localeIdentifier;
    } else if (!m_systemRecognizer.isAvailable(QString())) {
        reportError(generation, noRecognizerError(modelFailure, request.settings));
        return;
    }

    SpeechRecognitionRequest recognition;
    recognition.localeIdentifier = locale;
    recognition.contextualStrings = request.hotwords;
    recognition.sampleRate = *rate;
    const Status started = m_systemRecognizer.startSession(
        recognition, [this, generation](const QString& text, bool /*isFinal*/) {
            if (!text.isEmpty())
                deliverPartialResult(generation, text, Delivery::system);
        });
    if (!started) {
        reportError(generation, noRecognizerError(modelFailure, request.settings));
        return;
    }
    {
        std::lock_guard lock(m_sampleLock);
        m_systemRecognizerActive = true;
    }
    const Status capturing = m_capture.start([this, generation](std::span<const float> samples) {
        if (samples.empty() || generation != m_activeGeneration.load())
            return;
        m_systemRecognizer.appendAudio(samples);
        m_levelBus.push(calculateRMSMetrics(samples).level);
    });
    if (!capturing) {
        endSystemRecognizerSession();
        reportError(generation, captureError(capturing.error));
        return;
    }
    // This tap is the recogniser's: the next capture session installs its own.
    m_isTapInstalled = false;
}

void StreamingASREngine::reportCaptureLost(quint64 generation)
{
    // Once per session: both the server's and the stream's end may be announced.
    if (std::exchange(m_captureLostGeneration, generation) == generation)
        return;
    postToMain([this, generation] {
        if (generation == m_activeGeneration.load() && onCaptureLost)
            onCaptureLost(kCaptureLostMessage.toString());
    });
}

void StreamingASREngine::reportError(quint64 generation, const AppError& error)
{
    postToMain([this, generation, error] {
        if (generation == m_activeGeneration.load() && onError)
            onError(error);
    });
}

// --- cancel and clean-up -----------------------------------------------------------------------------------

void StreamingASREngine::cancel()
{
    {
        std::lock_guard feed(m_seedFeedLock);
        ++m_activeGeneration;
        m_seedFeedGeneration = 0;
    }
    m_liveTimer.stop();
    m_cloudWatchdogTimer.stop();
    m_seedASRClient.stopAndReset();
    m_levelBus.reset();
    clearSessionBuffers();
    m_audioControlQueue->async([this] { pauseActiveTapOnly(); });
}

void StreamingASREngine::clearSessionBuffers(std::optional<quint64> onlyForGeneration)
{
    std::vector<float> segment, backup;
    std::lock_guard lock(m_sampleLock);
    // A finish that outlived a cancel must not wipe the next session.
    if (onlyForGeneration && *onlyForGeneration != m_activeGeneration.load())
        return;
    m_activeSessionUsesCloudSeedASR = false;
    m_activeSessionUsesOpenAIASR = false;
    m_openAIActiveHotwords.clear();
    // Released rather than kept: a long cloud session's backup is tens of megabytes.
    segment.swap(m_activeSegmentSamples);
    backup.swap(m_cloudFailoverBackupSamples);
    m_frozenTranscriptPrefix.clear();
    m_hasDetectedSpeechInSegment = false;
    m_hasDetectedSpeechOverall = false;
    m_consecutiveSilentSamples = 0;
}

// --- status ------------------------------------------------------------------------------------------------

bool StreamingASREngine::isUsingSenseVoice() const
{
    return m_model.isLoaded();
}

bool StreamingASREngine::isFullPrecisionFP32() const
{
    return m_model.isLoaded() && m_model.isFullPrecision();
}

bool StreamingASREngine::activeSessionUsesCloudSeedASR() const
{
    std::lock_guard lock(m_sampleLock);
    return m_activeSessionUsesCloudSeedASR;
}

bool StreamingASREngine::activeSessionUsesOpenAIASR() const
{
    std::lock_guard lock(m_sampleLock);
    return m_activeSessionUsesOpenAIASR;
}

bool StreamingASREngine::activeSessionUsesAnyCloudASR() const
{
    std::lock_guard lock(m_sampleLock);
    return m_activeSessionUsesCloudSeedASR || m_activeSessionUsesOpenAIASR;
}

bool StreamingASREngine::isCaptureRunning() const
{
    return m_capture.isRunning();
}

void StreamingASREngine::waitForBackgroundWork()
{
    // Twice: work of one queue may have queued work on the other.
    for (int round = 0; round < 2; ++round) {
        m_audioControlQueue->sync([] {});
        m_decodeQueue->sync([] {});
    }
}

StreamingASREngine::BufferCapacities StreamingASREngine::sessionBufferCapacities() const
{
    std::lock_guard lock(m_sampleLock);
    return {m_activeSegmentSamples.capacity(), m_cloudFailoverBackupSamples.capacity()};
}

// --- delivery to the main thread ---------------------------------------------------------------------------

void StreamingASREngine::postToMain(std::function<void()> work)
{
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void StreamingASREngine::deliverPartialResult(quint64 generation, const QString& text, Delivery how)
{
    postToMain([this, generation, text, how] {
        if (generation != m_activeGeneration.load())
            return;
        // Partial results of the capture paths come only while the microphone runs; the hot microphone
        // keeps it running after a finish, and the application ignores results outside a dictation.
        if (how != Delivery::system && !isCaptureRunning())
            return;
        {
            std::lock_guard lock(m_sampleLock);
            switch (how) {
            case Delivery::announce:
                if (m_latestTranscript.isEmpty())
                    return;
                break;
            case Delivery::partial:
                if (text == m_latestTranscript)
                    return;
                m_latestTranscript = text;
                break;
            case Delivery::settled:
            case Delivery::system:
                m_latestTranscript = text;
                break;
            }
        }
        if (onPartialResult)
            onPartialResult(text, how == Delivery::announce || how == Delivery::settled);
    });
}
