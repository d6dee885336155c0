// The local model: loading, the segmentation loop, its decode jobs and the final tail decode.
#include "audio/StreamingASREngine.h"

#include "util/Deferred.h"
#include "util/Text.h"

#include <QPointer>
#include <algorithm>

using namespace std::chrono_literals;

namespace {

// The loop looks at the growing segment a little more often than a partial decode of the fixture-sized
// model takes, so partial decodes follow one another as fast as the model allows.
constexpr Duration kLoopFirstTick = 46ms;
constexpr Duration kLoopInterval = 58ms;

// Cut rules: a sentence-like pause after 4.8 s, a breath after 9.5 s, and at 14.5 s whatever happens.
constexpr double kSentenceCutSeconds = 4.8;
constexpr double kSentencePauseSeconds = 0.72;
constexpr double kBreathCutSeconds = 9.5;
constexpr double kBreathPauseSeconds = 0.25;
constexpr double kForcedCutSeconds = 14.5;
// A pause this long is announced as settled once, so live typing may add the text's last characters.
constexpr double kMicroPauseSeconds = 0.185;

// In fractions of the rate: what a cut keeps, the shortest segment worth a partial decode, and how much new
// audio a further partial decode needs.
constexpr int kKeptAfterCutDivisor = 10;
constexpr int kFirstPartialDivisor = 9;
constexpr int kNextPartialDivisor = 18;
// The final tail is decoded only when the last partial missed more than this much voice...
constexpr int kUndecodedVoiceDivisor = 16;
// ...and only when it is longer than this.
constexpr int kShortestTailDivisor = 10;

constexpr QStringView kSentenceEnders = u"。！？；，,.;!?";
constexpr QStringView kCutComma = u"，";

} // namespace

std::optional<QString> StreamingASREngine::loadSenseVoiceIfAvailable()
{
    const SenseVoiceModel::LoadResult result = m_model.loadIfAvailable();
    switch (result.outcome) {
    case SenseVoiceModel::LoadOutcome::loaded:
        postToMain([this] {
            if (onModelReady)
                onModelReady();
        });
        return std::nullopt;
    case SenseVoiceModel::LoadOutcome::failed:
        return result.error;
    case SenseVoiceModel::LoadOutcome::alreadyLoaded:
    case SenseVoiceModel::LoadOutcome::noModel:
        return std::nullopt;
    }
    return std::nullopt;
}

void StreamingASREngine::reportModelFailure(const QString& reason)
{
    // A model shown as ready that cannot be loaded must not fail silently: the user would dictate into the
    // next engine without knowing why.
    postToMain([this, reason] {
        if (onError)
            onError(AppError{kErrorDomain.toString(), kModelLoadFailedCode, reason});
        if (onModelLoadFailed)
            onModelLoadFailed(reason);
    });
}

void StreamingASREngine::startContinuousVADStreamingLoop(quint64 generation)
{
    m_liveTimer.start(kLoopFirstTick, kLoopInterval,
                      [this, generation] { processActiveWindowAndVAD(generation); });
}

void StreamingASREngine::processActiveWindowAndVAD(quint64 generation)
{
    if (!m_model.isLoaded() || generation != m_activeGeneration.load())
        return;
    enum class Action { none, cut, announce, partial };
    Action action = Action::none;
    std::vector<float> job;
    int rate = 1;
    bool addComma = false;
    size_t voiceMark = 0;
    QString text;
    {
        std::lock_guard lock(m_sampleLock);
        if (m_captureGeneration != generation || m_isDecodingChunk || !m_hasDetectedSpeechInSegment)
            return;
        rate = m_currentSampleRate > 0 ? m_currentSampleRate : 1;
        const size_t length = m_activeSegmentSamples.size();
        const double seconds = static_cast<double>(length) / rate;
        const double pause = static_cast<double>(m_consecutiveSilentSamples) / rate;
        const bool cut = (seconds >= kSentenceCutSeconds && pause >= kSentencePauseSeconds) ||
                         (seconds >= kBreathCutSeconds &&
                          (pause >= kBreathPauseSeconds || seconds >= kForcedCutSeconds)) ||
                         seconds >= kForcedCutSeconds;
        if (cut) {
            m_isDecodingChunk = true;
            job.assign(m_activeSegmentSamples.begin(), m_activeSegmentSamples.end());
            const size_t keep = std::min(static_cast<size_t>(rate / kKeptAfterCutDivisor), length);
            m_activeSegmentSamples.erase(m_activeSegmentSamples.begin(),
                                         m_activeSegmentSamples.end() - static_cast<std::ptrdiff_t>(keep));
            addComma = pause >= kSentencePauseSeconds;
            m_lastDecodedSampleCount = 0;
            m_lastDecodedVoiceSampleMark = 0;
            m_totalVoiceSamplesInSegment = 0;
            m_consecutiveSilentSamples = 0;
            m_hasDetectedSpeechInSegment = false;
            m_didFlushMicroPauseTail = false;
            action = Action::cut;
        } else if (pause >= kMicroPauseSeconds && !m_didFlushMicroPauseTail &&
                   !m_latestTranscript.isEmpty()) {
            m_didFlushMicroPauseTail = true;
            text = m_latestTranscript;
            action = Action::announce;
        } else if (length >= static_cast<size_t>(rate / kFirstPartialDivisor) &&
                   length > m_lastDecodedSampleCount &&
                   length - m_lastDecodedSampleCount >= static_cast<size_t>(rate / kNextPartialDivisor)) {
            m_isDecodingChunk = true;
            m_lastDecodedSampleCount = length;
            voiceMark = m_totalVoiceSamplesInSegment;
            text = m_frozenTranscriptPrefix;
            job.assign(m_activeSegmentSamples.begin(), m_activeSegmentSamples.end());
            action = Action::partial;
        }
    }
    const bool agc = m_enableWhisperAGC.load();
    switch (action) {
    case Action::cut:
        m_decodeQueue->async([this, generation, job = std::move(job), rate, addComma, agc] {
            runCutDecodeJob(generation, job, rate, addComma, agc);
        });
        break;
    case Action::announce:
        deliverPartialResult(generation, text, Delivery::announce);
        break;
    case Action::partial:
        m_decodeQueue->async([this, generation, job = std::move(job), rate, voiceMark, text, agc] {
            runPartialDecodeJob(generation, job, rate, voiceMark, text, agc);
        });
        break;
    case Action::none:
        break;
    }
}

void StreamingASREngine::runCutDecodeJob(quint64 generation, const std::vector<float>& segment,
                                         int sampleRate, bool addComma, bool agc)
{
    if (generation != m_activeGeneration.load())
        return; // the next session reset the loop's state; nothing of this one may touch it
    const QString text = m_model.transcribe(segment, sampleRate, agc);
    QString prefix;
    {
        std::lock_guard lock(m_sampleLock);
        if (generation != m_activeGeneration.load())
            return;
        if (!text.isEmpty()) {
            m_frozenTranscriptPrefix += text;
            if (addComma && !kSentenceEnders.contains(text.back()))
                m_frozenTranscriptPrefix += kCutComma;
        }
        prefix = m_frozenTranscriptPrefix;
        m_isDecodingChunk = false;
    }
    if (!prefix.isEmpty())
        deliverPartialResult(generation, prefix, Delivery::settled);
}

void StreamingASREngine::runPartialDecodeJob(quint64 generation, const std::vector<float>& segment,
                                             int sampleRate, size_t voiceMark, const QString& prefix,
                                             bool agc)
{
    if (generation != m_activeGeneration.load())
        return;
    const QString text = m_model.transcribe(segment, sampleRate, agc);
    bool prefixUnchanged = false;
    {
        std::lock_guard lock(m_sampleLock);
        if (generation != m_activeGeneration.load())
            return;
        prefixUnchanged = m_frozenTranscriptPrefix == prefix;
        if (prefixUnchanged)
            m_lastDecodedVoiceSampleMark = voiceMark;
        m_isDecodingChunk = false;
    }
    // A result computed against a prefix that has moved on since would repeat or drop a segment.
    if (prefixUnchanged && !text.isEmpty())
        deliverPartialResult(generation, prefix + text, Delivery::partial);
}

StreamingASREngine::TailSnapshot StreamingASREngine::takeFinalSnapshotAndCheckZeroWait(quint64 generation)
{
    TailSnapshot snapshot;
    std::lock_guard lock(m_sampleLock);
    snapshot.latest = Text::trimmed(m_latestTranscript);
    if (generation != m_activeGeneration.load())
        return snapshot;
    snapshot.sampleRate = m_currentSampleRate > 0 ? m_currentSampleRate : 1;
    snapshot.segment.swap(m_activeSegmentSamples);
    const size_t undecoded = m_totalVoiceSamplesInSegment > m_lastDecodedVoiceSampleMark
                                 ? m_totalVoiceSamplesInSegment - m_lastDecodedVoiceSampleMark
                                 : 0;
    snapshot.needsDecode = m_hasDetectedSpeechInSegment &&
                           (undecoded > static_cast<size_t>(snapshot.sampleRate / kUndecodedVoiceDivisor) ||
                            snapshot.latest.isEmpty());
    m_hasDetectedSpeechInSegment = false;
    m_lastDecodedVoiceSampleMark = 0;
    m_totalVoiceSamplesInSegment = 0;
    return snapshot;
}

QCoro::Task<QString> StreamingASREngine::finalTailDecode(quint64 generation)
{
    auto snapshot = std::make_shared<TailSnapshot>(takeFinalSnapshotAndCheckZeroWait(generation));
    // The last partial already covered the utterance: most finishes return here at once.
    if (!snapshot->needsDecode && !snapshot->latest.isEmpty())
        co_return snapshot->latest;

    auto result = Deferred<QString>::create();
    const bool agc = m_enableWhisperAGC.load();
    // Queued behind every cut and partial job, so a segment cut just before the finish is already frozen.
    m_decodeQueue->async([this, generation, snapshot, agc, result] {
        if (generation != m_activeGeneration.load()) {
            result->resolve(snapshot->latest);
            return;
        }
        QString tail;
        if (snapshot->needsDecode &&
            snapshot->segment.size() > static_cast<size_t>(snapshot->sampleRate / kShortestTailDivisor))
            tail = m_model.transcribe(snapshot->segment, snapshot->sampleRate, agc);
        QString prefix;
        {
            std::lock_guard lock(m_sampleLock);
            if (generation == m_activeGeneration.load())
                prefix = std::exchange(m_frozenTranscriptPrefix, QString());
        }
        const QString joined = Text::trimmed(prefix + tail);
        result->resolve(joined.isEmpty() ? snapshot->latest : joined);
    });
    co_return co_await *result;
}

QCoro::Task<QString> StreamingASREngine::decodeWholeOnDecodeQueue(std::vector<float> samples, int sampleRate,
                                                                  bool agc)
{
    auto result = Deferred<QString>::create();
    auto shared = std::make_shared<std::vector<float>>(std::move(samples));
    m_decodeQueue->async([this, shared, sampleRate, agc, result] {
        result->resolve(shared->empty() ? QString() : m_model.transcribe(*shared, sampleRate, agc));
    });
    co_return co_await *result;
}
