#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Float mono audio at the capture rate to the 16 kHz 16-bit PCM the cloud recognizers take. Samples beyond
// [-1, 1] saturate at the int16 limits instead of wrapping; non-finite samples become 0.

// One-shot conversion of a whole recording. Empty when the input is empty or the rate is unusable.
std::vector<int16_t> resampleFloatTo16kHzInt16(std::span<const float> samples, int sourceRate);

// The same conversion for a stream of capture buffers: the filter state carries over from one buffer to the
// next, so consecutive outputs join without clicks. One thread at a time.
class StreamingResampler {
public:
    static constexpr int kTargetRate = 16000;

    explicit StreamingResampler(int sourceRate);
    ~StreamingResampler();
    StreamingResampler(const StreamingResampler&) = delete;
    StreamingResampler& operator=(const StreamingResampler&) = delete;

    // False when the rate is unusable (not above 0, or too far from 16 kHz); process() then yields nothing.
    bool isValid() const { return m_state != nullptr; }
    int sourceRate() const { return m_sourceRate; }

    // Converts one buffer. The filter holds back a few milliseconds, so an output may be slightly shorter or
    // longer than the buffer's share.
    std::vector<int16_t> process(std::span<const float> samples);
    // Forgets the carried-over state, for the start of a new stream.
    void reset();

private:
    void* m_state = nullptr; // SRC_STATE
    int m_sourceRate;
    std::vector<float> m_output;
};
