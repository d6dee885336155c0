// The microphone: the hot microphone and its shutdown, and the capture tap (level, voice detection, the
// session's buffers and the Seed-ASR stream).
#include "audio/StreamingASREngine.h"

#include "audio/Resampler.h"
#include "model/AudioLevelBus.h"
#include "platform/AudioCapture.h"
#include "platform/SystemSpeechRecognizer.h"

#include <algorithm>
#include <cmath>

using namespace std::chrono_literals;

namespace {

// The hot microphone stays open this long after a session, so the next one starts without opening the device.
constexpr Duration kIdleHardwareShutdownDelay = 15s;

constexpr size_t kLevelStride = 4;
// The meter shows -50 dBFS and below as its floor and reaches full scale at -8 dBFS.
constexpr float kLevelFloorRMS = 0.0001f;
constexpr float kLevelOffsetDb = 50.0f;
constexpr float kLevelRangeDb = 42.0f;
constexpr float kMinimumShownLevel = 0.06f;
constexpr float kEmptyBufferLevel = 0.05f;

// The lower threshold goes with quiet-speech gain: whispered speech still counts as voice.
constexpr float kVoiceThresholdWithAGC = 0.0024f;
constexpr float kVoiceThresholdWithoutAGC = 0.008f;

// Streaming gain for quiet voiced buffers: lifted towards a speaking level, softly limited near full scale.
constexpr float kStreamingGainMinRMS = 0.0018f;
constexpr float kStreamingGainMaxRMS = 0.045f;
constexpr float kStreamingGainTarget = 0.065f;
constexpr float kStreamingGainCap = 4.5f;
constexpr float kStreamingSoftLimitKnee = 0.65f;

// Before the first voice only this much silence is kept, a quarter second of lead-in.
constexpr size_t kLeadInDivisor = 4;
// In uploaded sessions one pill symbol stands for each fifth of a second of voice.
constexpr size_t kSymbolDivisor = 5;

constexpr double kPreRollRingSeconds = 0.22;
constexpr size_t kMinPreRollRingSamples = 1600;

void keepLast(std::vector<float>& samples, size_t keep)
{
    if (samples.size() > keep)
        samples.erase(samples.begin(), samples.end() - static_cast<std::ptrdiff_t>(keep));
}

} // namespace

StreamingASREngine::LevelMetrics StreamingASREngine::calculateRMSMetrics(std::span<const float> samples)
{
    if (samples.empty())
        return {kEmptyBufferLevel, 0};
    double sumOfSquares = 0;
    size_t used = 0;
    for (size_t i = 0; i < samples.size(); i += kLevelStride) {
        sumOfSquares += static_cast<double>(samples[i]) * samples[i];
        ++used;
    }
    const auto rawRMS = static_cast<float>(std::sqrt(sumOfSquares / static_cast<double>(used)));
    const float db = 20.0f * std::log10(std::max(rawRMS, kLevelFloorRMS));
    const float level = std::clamp((db + kLevelOffsetDb) / kLevelRangeDb, kMinimumShownLevel, 1.0f);
    return {std::isfinite(level) ? level : 1.0f, rawRMS};
}

size_t StreamingASREngine::voicedSampleCount(std::span<const float> samples, bool enableWhisperAGC)
{
    const float threshold = enableWhisperAGC ? kVoiceThresholdWithAGC : kVoiceThresholdWithoutAGC;
    size_t voiced = 0;
    for (size_t offset = 0; offset < samples.size(); offset += AudioCapture::kFramesPerBuffer) {
        const std::span<const float> piece = samples.subspan(
            offset, std::min<size_t>(AudioCapture::kFramesPerBuffer, samples.size() - offset));
        if (calculateRMSMetrics(piece).rawRMS > threshold)
            voiced += piece.size();
    }
    return voiced;
}

float StreamingASREngine::streamingGain(bool enableWhisperAGC, bool voiced, float rawRMS)
{
    if (!enableWhisperAGC || !voiced || !(rawRMS > kStreamingGainMinRMS && rawRMS < kStreamingGainMaxRMS))
        return 1.0f;
    return std::clamp(kStreamingGainTarget / rawRMS, 1.0f, kStreamingGainCap);
}

void StreamingASREngine::handleIncomingAudioBuffer(std::span<const float> samples)
{
    if (samples.empty())
        return;
    const size_t n = samples.size();
    quint64 generation = 0;
    bool seed = false;
    bool openAI = false;
    size_t maxBackup = 0;
    {
        std::lock_guard lock(m_sampleLock);
        if (!m_isCaptureActive) {
            // The hot microphone between sessions: a short ring for the next session's first syllable.
            const size_t ring = std::max(kMinPreRollRingSamples,
                                         static_cast<size_t>(kPreRollRingSeconds * m_currentSampleRate));
            if (m_preRollSamples.capacity() < ring + n)
                m_preRollSamples.reserve(ring + n);
            m_preRollSamples.insert(m_preRollSamples.end(), samples.begin(), samples.end());
            keepLast(m_preRollSamples, ring);
            return;
        }
        generation = m_captureGeneration;
        seed = m_activeSessionUsesCloudSeedASR;
        openAI = m_activeSessionUsesOpenAIASR;
        maxBackup = m_activeMaxBackupSamples;
    }

    // Measured between the two locked steps, so the lock covers only appends and counters.
    const LevelMetrics metrics = calculateRMSMetrics(samples);
    m_levelBus.push(metrics.level);

    const bool agc = m_enableWhisperAGC.load();
    const bool voiced = metrics.rawRMS > (agc ? kVoiceThresholdWithAGC : kVoiceThresholdWithoutAGC);
    int symbolCount = -1;
    {
        std::lock_guard lock(m_sampleLock);
        if (!m_isCaptureActive || m_captureGeneration != generation)
            return;
        if (!openAI && m_activeSegmentSamples.size() < m_activeMaxSegmentSamples)
            m_activeSegmentSamples.insert(m_activeSegmentSamples.end(), samples.begin(), samples.end());
        // The whole buffer or nothing: the cap may be passed by less than one buffer.
        if ((seed || openAI) && m_cloudFailoverBackupSamples.size() < maxBackup)
            m_cloudFailoverBackupSamples.insert(m_cloudFailoverBackupSamples.end(), samples.begin(),
                                                samples.end());
        if (voiced) {
            m_hasDetectedSpeechInSegment = true;
            m_hasDetectedSpeechOverall = true;
            m_didFlushMicroPauseTail = false;
            m_totalVoiceSamplesInSegment += n;
            m_consecutiveSilentSamples = 0;
            if (openAI) {
                const size_t perSymbol = std::max<size_t>(
                    1, static_cast<size_t>(std::max(m_currentSampleRate, 0)) / kSymbolDivisor);
                symbolCount = static_cast<int>(std::max<size_t>(1, m_totalVoiceSamplesInSegment / perSymbol));
            }
        } else {
            m_consecutiveSilentSamples += n;
            const size_t keep = static_cast<size_t>(std::max(m_currentSampleRate, 0)) / kLeadInDivisor;
            if (!openAI && !m_hasDetectedSpeechInSegment)
                keepLast(m_activeSegmentSamples, keep);
            if ((seed || openAI) && !m_hasDetectedSpeechOverall)
                keepLast(m_cloudFailoverBackupSamples, keep);
        }
    }
    // Uploaded sessions have no partial results; voice time stands in for them on the pill.
    if (symbolCount >= 0)
        m_levelBus.pushRecognizedCount(symbolCount);
    if (seed)
        feedSeedASR(generation, samples, voiced, metrics.rawRMS, agc);
}

void StreamingASREngine::feedSeedASR(quint64 generation, std::span<const float> samples, bool voiced,
                                     float rawRMS, bool agc)
{
    std::lock_guard feed(m_seedFeedLock);
    if (generation != m_seedFeedGeneration || !m_pcm16Converter)
        return;
    std::span<const float> input = samples;
    const float gain = streamingGain(agc, voiced, rawRMS);
    if (gain != 1.0f) {
        m_seedGainScratch.resize(samples.size());
        for (size_t i = 0; i < samples.size(); ++i) {
            const float boosted = gain * samples[i];
            m_seedGainScratch[i] =
                std::fabs(boosted) > kStreamingSoftLimitKnee ? std::tanh(boosted) : boosted;
        }
        input = m_seedGainScratch;
    }
    const std::vector<int16_t> pcm = m_pcm16Converter->process(input);
    if (!pcm.empty())
        m_seedASRClient.appendPCM16Samples(pcm);
}

// --- the hot microphone ------------------------------------------------------------------------------------

std::optional<int> StreamingASREngine::ensureHotMicRunning(AppError* error)
{
    if (!m_isTapInstalled || !m_capture.isRunning()) {
        m_capture.stop(); // whatever tap was there, e.g. the desktop recogniser's
        m_isTapInstalled = false;
        // The source as last seen is kept current by the backend; asking afresh costs the start its round
        // trips, so that is done only when no source was seen.
        std::optional<int> sourceRate = m_capture.lastSeenSourceSampleRate();
        if (!sourceRate || *sourceRate <= 0)
            sourceRate = m_capture.defaultSourceSampleRate();
        if (!sourceRate || *sourceRate <= 0) {
            *error = AppError{kErrorDomain.toString(), kNoMicrophoneInputCode,
                              kNoMicrophoneInputMessage.toString()};
            return std::nullopt;
        }
        {
            // Samples heard at another rate must not be handed to the next session.
            std::lock_guard lock(m_sampleLock);
            if (*sourceRate != m_currentSampleRate) {
                m_currentSampleRate = *sourceRate;
                m_preRollSamples.clear();
            }
        }
        const Status started =
            m_capture.start([this](std::span<const float> samples) { handleIncomingAudioBuffer(samples); });
        if (!started) {
            *error = captureError(started.error);
            return std::nullopt;
        }
        m_isTapInstalled = true;
    }
    const int rate = m_capture.sampleRate();
    if (rate <= 0) {
        *error =
            AppError{kErrorDomain.toString(), kNoMicrophoneInputCode, kNoMicrophoneInputMessage.toString()};
        return std::nullopt;
    }
    std::lock_guard lock(m_sampleLock);
    if (rate != m_currentSampleRate) {
        m_currentSampleRate = rate;
        m_preRollSamples.clear();
    }
    return rate;
}

void StreamingASREngine::scheduleIdleHardwareShutdown()
{
    cancelIdleHardwareShutdown();
    const quint64 token = m_idleShutdownToken;
    m_idleShutdownTimer = m_scheduler.schedule(kIdleHardwareShutdownDelay, [this, token] {
        m_audioControlQueue->async([this, token] {
            if (token != m_idleShutdownToken)
                return; // cancelled or rescheduled meanwhile
            m_idleShutdownTimer = 0;
            {
                std::lock_guard lock(m_sampleLock);
                if (m_isCaptureActive)
                    return;
            }
            shutdownAudioHardwareCompletely();
        });
    });
}

void StreamingASREngine::cancelIdleHardwareShutdown()
{
    ++m_idleShutdownToken;
    if (m_idleShutdownTimer)
        m_scheduler.cancel(std::exchange(m_idleShutdownTimer, 0));
}

void StreamingASREngine::shutdownAudioHardwareCompletely()
{
    cancelIdleHardwareShutdown();
    {
        std::lock_guard lock(m_sampleLock);
        m_isCaptureActive = false;
        m_preRollSamples.clear();
    }
    m_capture.stop();
    m_isTapInstalled = false;
    std::lock_guard feed(m_seedFeedLock);
    m_pcm16Converter.reset();
}

void StreamingASREngine::pauseActiveTapOnly()
{
    m_liveTimer.stop();
    m_cloudWatchdogTimer.stop();
    {
        std::lock_guard lock(m_sampleLock);
        m_isCaptureActive = false;
        m_preRollSamples.clear();
    }
    endSystemRecognizerSession();
    // The tap and the stream stay: a session within the keep-alive starts without opening the device.
    scheduleIdleHardwareShutdown();
}

void StreamingASREngine::endSystemRecognizerSession()
{
    {
        std::lock_guard lock(m_sampleLock);
        if (!std::exchange(m_systemRecognizerActive, false))
            return;
    }
    m_systemRecognizer.endAudio();
    m_systemRecognizer.cancel();
}
