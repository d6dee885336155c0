// Finishing each path, the Seed-ASR watchdog and the cloud-to-local fail-over.
#include "audio/StreamingASREngine.h"

#include "audio/Resampler.h"
#include "model/AudioLevelBus.h"
#include "platform/SystemSpeechRecognizer.h"
#include "util/Deferred.h"
#include "util/Text.h"

#include <QPointer>
#include <algorithm>
#include <cmath>

using namespace std::chrono_literals;

namespace {

constexpr quint64 kSeedFinalWaitMs = 1200;
// After a good cloud answer the next session should find a warm connection again.
constexpr Duration kPostFinishPrewarmDelay = 120ms;
// The desktop recogniser gets a moment to deliver what it has for the last audio.
constexpr Duration kSystemRecognizerTailWait = 35ms;

// An upload gets time in proportion to the recording, within limits.
constexpr double kUploadTimeoutPerSecond = 0.45;
constexpr double kUploadTimeoutBase = 5.5;
constexpr double kUploadTimeoutMin = 6.5;
constexpr double kUploadTimeoutMax = 14.0;

// A Seed session that had 1.5 s of voice without a single answer is moved to the local model.
constexpr Duration kWatchdogInterval = 110ms;
constexpr double kWatchdogSilentServiceSeconds = 1.5;
constexpr double kWatchdogPauseSeconds = 0.2;

// In fractions of the rate: the shortest recording worth uploading, and worth a local fall-back decode.
constexpr int kShortestUploadDivisor = 8;
constexpr int kShortestFallbackDivisor = 10;

constexpr QStringView kCloudReplyFailedPrefix = u"云端语音回包异常（";
constexpr QStringView kCloudReplyFailedSuffix = u"），已由本机满血 FP32 模型无缝兜底";
constexpr QStringView kUploadErrorPrefix = u"云端语音识别失败：";

double secondsBetween(MonotonicTime from, MonotonicTime to)
{
    return std::chrono::duration<double>(to - from).count();
}

} // namespace

double StreamingASREngine::uploadTimeoutSeconds(double durationSeconds)
{
    const double duration = std::isfinite(durationSeconds) ? durationSeconds : 0;
    return std::clamp(kUploadTimeoutPerSecond * duration + kUploadTimeoutBase, kUploadTimeoutMin,
                      kUploadTimeoutMax);
}

QCoro::Task<SpeechTranscript> StreamingASREngine::finishStreaming()
{
    QPointer<StreamingASREngine> self(this);
    const quint64 generation = m_activeGeneration.load();
    // A start still queued for this session must not begin capturing after it ended.
    m_finishedGeneration = generation;
    double duration = 0;
    {
        std::lock_guard lock(m_sampleLock);
        duration = std::max(0.0, secondsBetween(m_sessionStartTime, m_scheduler.now()));
    }
    m_liveTimer.stop();
    m_cloudWatchdogTimer.stop();
    m_levelBus.reset();
    CloudFinishSnapshot snapshot = takeCloudFinishSnapshot();
    const bool heardVoice = snapshot.detectedSpeech;
    m_audioControlQueue->async([this] { pauseActiveTapOnly(); });

    QString text;
    if (snapshot.usedOpenAI)
        text = co_await finishOpenAISession(generation, std::move(snapshot), duration);
    else if (snapshot.usedSeed)
        text = co_await finishSeedSession(generation, std::move(snapshot));
    else
        text = co_await finishLocalOrSystemSession(generation);
    if (self)
        self->clearSessionBuffers(generation);
    SpeechTranscript transcript;
    transcript.text = text;
    transcript.durationSeconds = duration;
    transcript.heardVoice = heardVoice;
    co_return transcript;
}

StreamingASREngine::CloudFinishSnapshot StreamingASREngine::takeCloudFinishSnapshot()
{
    CloudFinishSnapshot snapshot;
    std::lock_guard lock(m_sampleLock);
    snapshot.usedSeed = std::exchange(m_activeSessionUsesCloudSeedASR, false);
    snapshot.usedOpenAI = std::exchange(m_activeSessionUsesOpenAIASR, false);
    snapshot.detectedSpeech = m_hasDetectedSpeechOverall;
    snapshot.backup.swap(m_cloudFailoverBackupSamples);
    snapshot.sampleRate = m_currentSampleRate > 0 ? m_currentSampleRate : 1;
    snapshot.hotwords.swap(m_openAIActiveHotwords);
    snapshot.locale = m_openAIActiveLocale;
    return snapshot;
}

QCoro::Task<QString> StreamingASREngine::finishOpenAISession(quint64 generation, CloudFinishSnapshot snapshot,
                                                             double duration)
{
    QPointer<StreamingASREngine> self(this);
    const int rate = snapshot.sampleRate;
    if (!snapshot.detectedSpeech ||
        snapshot.backup.size() <= static_cast<size_t>(rate / kShortestUploadDivisor))
        co_return QString(); // nobody spoke: no request at all

    const bool agc = m_enableWhisperAGC.load();
    auto backup = std::make_shared<std::vector<float>>(std::move(snapshot.backup));
    auto wav = Deferred<QByteArray>::create();
    m_decodeQueue->async([backup, rate, agc, wav] {
        std::vector<int16_t> pcm;
        if (agc) {
            const std::vector<float> boosted = boostQuietSpeechAGC(*backup);
            pcm = resampleFloatTo16kHzInt16(boosted, rate);
        } else {
            pcm = resampleFloatTo16kHzInt16(*backup, rate);
        }
        wav->resolve(OpenAITranscriptionClient::encodePCM16ToWAV(pcm, StreamingResampler::kTargetRate));
    });
    QByteArray wavData = co_await *wav;
    if (!self)
        co_return QString();

    // The key goes as stored; the client trims it and refuses one that is unsafe for a header.
    const Settings settings = m_settings;
    const std::optional<QString> locale = snapshot.locale;
    Result<OpenAITranscriptionClient::Transcription> outcome = co_await m_openAIASRClient.transcribe(
        wavData, settings.openAIASRBaseURL, settings.openAIASRModel, settings.openAIASRAPIKey,
        snapshot.hotwords, locale, uploadTimeoutSeconds(duration));
    if (!self)
        co_return QString();
    if (outcome.ok())
        co_return Text::trimmed(outcome.value().text);

    const QString description = outcome.error().description;
    if (generation == m_activeGeneration.load() && m_model.isLoaded() &&
        backup->size() > static_cast<size_t>(rate / kShortestFallbackDivisor)) {
        const QString local = co_await decodeWholeOnDecodeQueue(std::move(*backup), rate, agc);
        if (!self)
            co_return QString();
        if (!local.isEmpty()) {
            postNotice(generation,
                       kCloudReplyFailedPrefix.toString() + description + kCloudReplyFailedSuffix.toString());
            co_return local;
        }
    }
    reportError(generation, AppError{outcome.error().domain, outcome.error().code,
                                     kUploadErrorPrefix.toString() + description});
    co_return QString();
}

QCoro::Task<QString> StreamingASREngine::finishSeedSession(quint64 generation, CloudFinishSnapshot snapshot)
{
    QPointer<StreamingASREngine> self(this);
    QString latest;
    {
        std::lock_guard lock(m_sampleLock);
        latest = Text::trimmed(m_latestTranscript);
    }
    if (!snapshot.detectedSpeech && latest.isEmpty()) {
        m_seedASRClient.stopAndReset();
        co_return QString();
    }

    const std::optional<QString> final =
        co_await m_seedASRClient.finishAndAwaitFinalTranscript(kSeedFinalWaitMs);
    if (!self)
        co_return QString();
    // How the service left the session: a text that comes without the final answer is the last one streamed.
    const VolcSeedASRClient::SessionOutcome outcome = m_seedASRClient.sessionOutcome();
    const QString text = final ? Text::trimmed(*final) : QString();
    if (!text.isEmpty()) {
        if (!outcome.receivedFinal)
            warnMayBeIncomplete(generation, outcome);
        m_scheduler.schedule(kPostFinishPrewarmDelay, [self] {
            if (self)
                self->prewarmCloudSocketIfReady();
        });
        co_return text;
    }

    const int rate = snapshot.sampleRate;
    if (generation == m_activeGeneration.load() && snapshot.detectedSpeech && m_model.isLoaded() &&
        snapshot.backup.size() > static_cast<size_t>(rate / kShortestFallbackDivisor)) {
        const QString local =
            co_await decodeWholeOnDecodeQueue(std::move(snapshot.backup), rate, m_enableWhisperAGC.load());
        if (!self)
            co_return QString();
        if (!local.isEmpty()) {
            // An error or an unreadable final is named; only a service that said nothing in time timed out.
            postNotice(generation, outcome.failure ? kCloudReplyFailedPrefix.toString() + *outcome.failure +
                                                         kCloudReplyFailedSuffix.toString()
                                                   : kSeedFinalTimeoutNotice.toString());
            co_return local;
        }
    }
    {
        std::lock_guard lock(m_sampleLock);
        latest = Text::trimmed(m_latestTranscript);
    }
    if (!latest.isEmpty()) {
        warnMayBeIncomplete(generation, outcome);
        co_return latest;
    }
    // The user spoke and the service said nothing (a final that came and was empty is its answer).
    if (snapshot.detectedSpeech && !outcome.receivedFinal) {
        const QString reason = outcome.failure              ? *outcome.failure
                               : outcome.handshakeCompleted ? kSeedNoAnswer.toString()
                                                            : kSeedHandshakeUnanswered.toString();
        reportError(generation, AppError{kErrorDomain.toString(), kSeedNoAnswerCode,
                                         kSeedFailedPrefix.toString() + reason});
    }
    co_return QString();
}

QCoro::Task<QString> StreamingASREngine::finishLocalOrSystemSession(quint64 generation)
{
    QPointer<StreamingASREngine> self(this);
    if (m_model.isLoaded())
        co_return co_await finalTailDecode(generation);

    // The desktop recogniser's task ends with the tap pause; its answer is the last partial result.
    bool recognizerActive = false;
    {
        std::lock_guard lock(m_sampleLock);
        recognizerActive = m_systemRecognizerActive;
    }
    if (recognizerActive)
        m_systemRecognizer.endAudio();
    co_await sleepFor(m_scheduler, kSystemRecognizerTailWait);
    if (!self)
        co_return QString();
    std::lock_guard lock(m_sampleLock);
    co_return Text::trimmed(m_latestTranscript);
}

// --- Seed-ASR callbacks, watchdog and fail-over ------------------------------------------------------------

void StreamingASREngine::setupSeedASRCallbacks()
{
    // The client is a member: its callbacks and posted events end with the engine.
    // Each session is started with the engine's generation as its tag.
    m_seedASRClient.onStreamingTranscript = [this](quint64 tag, const QString& text, bool definite) {
        handleSeedTranscript(tag, text, definite);
    };
    m_seedASRClient.onConnectionFallbackNeeded = [this](quint64 tag, const QString& reason) {
        handleSeedFallbackRequest(tag, reason);
    };
}

void StreamingASREngine::handleSeedTranscript(quint64 generation, const QString& text, bool definite)
{
    if (generation != m_activeGeneration.load())
        return; // posted for an earlier session
    {
        std::lock_guard lock(m_sampleLock);
        if (!m_activeSessionUsesCloudSeedASR || m_captureGeneration != generation)
            return; // finished, cancelled or switched to the local model
        // A definite utterance counts as an announced pause; a new interim text re-arms the announcement.
        m_didFlushMicroPauseTail = definite;
    }
    if (!isCaptureRunning() || text.isEmpty())
        return;
    {
        std::lock_guard lock(m_sampleLock);
        if (text == m_latestTranscript && !definite)
            return;
        m_latestTranscript = text;
    }
    if (onPartialResult)
        onPartialResult(text, definite);
}

void StreamingASREngine::handleSeedFallbackRequest(quint64 generation, const QString& reason)
{
    // A key the client refuses is reported from inside startSession, on the audio-control queue, before the
    // session exists: the start applies it once the session is set up.
    if (m_audioControlQueue->isCurrent() && m_isStartingSeedSession) {
        m_startFallbackReason = reason;
        return;
    }
    if (generation != m_activeGeneration.load())
        return;
    switchActiveSessionFromCloudToLocalFP32(generation, reason);
}

void StreamingASREngine::startCloudWatchdogLoop(quint64 generation)
{
    m_cloudWatchdogTimer.start(kWatchdogInterval, kWatchdogInterval,
                               [this, generation] { processCloudWatchdogTick(generation); });
}

void StreamingASREngine::processCloudWatchdogTick(quint64 generation)
{
    if (generation != m_activeGeneration.load())
        return;
    bool announce = false;
    double voicedSeconds = 0;
    QString latest;
    {
        std::lock_guard lock(m_sampleLock);
        if (!m_activeSessionUsesCloudSeedASR || m_captureGeneration != generation)
            return;
        const double rate = m_currentSampleRate < 2 ? 1.0 : m_currentSampleRate;
        // In a Seed session the segment is never cut: this is all voice since the start.
        voicedSeconds = static_cast<double>(m_totalVoiceSamplesInSegment) / rate;
        if (m_hasDetectedSpeechOverall &&
            static_cast<double>(m_consecutiveSilentSamples) / rate >= kWatchdogPauseSeconds &&
            !m_didFlushMicroPauseTail) {
            m_didFlushMicroPauseTail = true;
            announce = true;
            latest = m_latestTranscript;
        }
    }
    // Taken after the sample lock is released: the two locks are never held together.
    if (voicedSeconds >= kWatchdogSilentServiceSeconds && m_seedASRClient.receivedServerFrameCount() < 1 &&
        m_model.isLoaded()) {
        switchActiveSessionFromCloudToLocalFP32(generation, kWatchdogFailoverNotice.toString());
        return;
    }
    if (announce && !latest.isEmpty())
        deliverPartialResult(generation, latest, Delivery::announce);
}

void StreamingASREngine::switchActiveSessionFromCloudToLocalFP32(quint64 generation, const QString& reason)
{
    {
        std::lock_guard lock(m_sampleLock);
        // A session switches at most once.
        if (generation != m_activeGeneration.load() || m_captureGeneration != generation ||
            !m_activeSessionUsesCloudSeedASR)
            return;
        m_activeSessionUsesCloudSeedASR = false;
        // The whole utterance so far becomes the segment; the voice counters stay, so the first partial
        // decode covers it and the cut rules apply to it.
        if (!m_cloudFailoverBackupSamples.empty()) {
            m_activeSegmentSamples.swap(m_cloudFailoverBackupSamples);
            std::vector<float>().swap(m_cloudFailoverBackupSamples);
        }
    }
    m_cloudWatchdogTimer.stop();
    {
        std::lock_guard feed(m_seedFeedLock);
        if (m_seedFeedGeneration == generation)
            m_seedFeedGeneration = 0;
    }
    m_seedASRClient.stopAndReset();
    if (m_model.isLoaded()) {
        if (isCaptureRunning())
            startContinuousVADStreamingLoop(generation);
        postNotice(generation, reason);
        return;
    }
    // Nothing takes over: a failure, not a take-over. The owner ends the recording; the finish returns the
    // last cloud text.
    postForSession(generation, [this, reason] {
        if (onCloudRecognitionFailed)
            onCloudRecognitionFailed(reason);
    });
}

void StreamingASREngine::warnMayBeIncomplete(quint64 generation,
                                             const VolcSeedASRClient::SessionOutcome& outcome)
{
    // The last streamed text is delivered, but the user is told it never became final.
    const QString reason = outcome.failure.value_or(kSeedFinalLate.toString());
    postForSession(generation, [this, reason] {
        if (onTranscriptMayBeIncomplete)
            onTranscriptMayBeIncomplete(reason);
    });
}

void StreamingASREngine::postForSession(quint64 generation, std::function<void()> work)
{
    postToMain([this, generation, work = std::move(work)] {
        if (generation == m_activeGeneration.load())
            work();
    });
}

void StreamingASREngine::postNotice(quint64 generation, const QString& reason)
{
    postToMain([this, generation, reason] {
        if (generation == m_activeGeneration.load() && onCloudFailoverNotice)
            onCloudFailoverNotice(reason);
    });
}
