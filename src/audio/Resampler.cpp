#include "audio/Resampler.h"

#include <algorithm>
#include <cmath>
#include <samplerate.h>

namespace {

// 97 dB of signal-to-noise over 80% of the 8 kHz band is plenty for speech, at under half the cost of the
// next quality on the capture thread (bench/audio).
constexpr int kConverterQuality = SRC_SINC_FASTEST;

int16_t toInt16(float sample)
{
    if (!std::isfinite(sample))
        return 0;
    const float scaled = std::round(sample * 32768.0f);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

void appendAsInt16(std::vector<int16_t>& out, const float* samples, long count)
{
    out.reserve(out.size() + static_cast<size_t>(count));
    for (long i = 0; i < count; ++i)
        out.push_back(toInt16(samples[i]));
}

double ratioFor(int sourceRate)
{
    return static_cast<double>(StreamingResampler::kTargetRate) / sourceRate;
}

bool usableRate(int sourceRate)
{
    return sourceRate > 0 && src_is_valid_ratio(ratioFor(sourceRate));
}

// Room for count input frames after conversion, plus the filter's slack.
long outputCapacity(size_t count, int sourceRate, long slack)
{
    return static_cast<long>(
               std::ceil(static_cast<double>(count) * StreamingResampler::kTargetRate / sourceRate)) +
           slack;
}

// Feeds all of input through state (ending the stream when asked) and appends every frame it yields.
bool convert(SRC_STATE* state, std::span<const float> input, int sourceRate, bool endOfInput,
             std::vector<float>& scratch, std::vector<int16_t>& out, long slack)
{
    scratch.resize(static_cast<size_t>(outputCapacity(input.size(), sourceRate, slack)));
    SRC_DATA data{};
    data.data_in = input.data();
    data.input_frames = static_cast<long>(input.size());
    data.src_ratio = ratioFor(sourceRate);
    data.end_of_input = endOfInput ? 1 : 0;
    // A single call normally suffices; loop in case the output fills before the input is used up.
    for (int round = 0; round < 64; ++round) {
        data.data_out = scratch.data();
        data.output_frames = static_cast<long>(scratch.size());
        if (src_process(state, &data) != 0)
            return false;
        appendAsInt16(out, scratch.data(), data.output_frames_gen);
        data.data_in += data.input_frames_used;
        data.input_frames -= data.input_frames_used;
        if (data.input_frames == 0 && (!endOfInput || data.output_frames_gen == 0))
            return true;
    }
    return false;
}

} // namespace

std::vector<int16_t> resampleFloatTo16kHzInt16(std::span<const float> samples, int sourceRate)
{
    if (samples.empty() || !usableRate(sourceRate))
        return {};
    int error = 0;
    SRC_STATE* state = src_new(kConverterQuality, 1, &error);
    if (!state)
        return {};
    std::vector<float> scratch;
    std::vector<int16_t> out;
    out.reserve(static_cast<size_t>(outputCapacity(samples.size(), sourceRate, 32)));
    const bool ok = convert(state, samples, sourceRate, true, scratch, out, 32);
    src_delete(state);
    if (!ok)
        return {};
    return out;
}

StreamingResampler::StreamingResampler(int sourceRate) : m_sourceRate(sourceRate)
{
    if (!usableRate(sourceRate))
        return;
    int error = 0;
    m_state = src_new(kConverterQuality, 1, &error);
}

StreamingResampler::~StreamingResampler()
{
    if (m_state)
        src_delete(static_cast<SRC_STATE*>(m_state));
}

std::vector<int16_t> StreamingResampler::process(std::span<const float> samples)
{
    std::vector<int16_t> out;
    if (!m_state || samples.empty())
        return out;
    if (!convert(static_cast<SRC_STATE*>(m_state), samples, m_sourceRate, false, m_output, out, 16)) {
        reset();
        return {};
    }
    return out;
}

void StreamingResampler::reset()
{
    if (m_state)
        src_reset(static_cast<SRC_STATE*>(m_state));
}
