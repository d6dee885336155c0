#pragma once

#include <mutex>

// The channel from the audio thread and the pipeline to the pill's animations: raw targets go in from any
// thread, smoothed values come out once per rendered frame. The app makes one and hands it to the speech
// engine, the application state and the pill.
class AudioLevelBus final {
public:
    struct SymbolProgress {
        double smoothProgress = 0;
        int exactTarget = 0;
    };

    // The microphone level, clamped to [0.05, 1]; NaN counts as full scale.
    void push(float level);
    void pushRecognizedCount(int count);
    void reset();

    // Each call advances the smoothing by one frame.
    float sampleBallisticEnvelope();
    SymbolProgress sampleRecognizedSymbolProgress();

    AudioLevelBus() = default;
    AudioLevelBus(const AudioLevelBus&) = delete;
    AudioLevelBus& operator=(const AudioLevelBus&) = delete;

private:
    static constexpr float kFloor = 0.05f; // keeps a silent microphone visibly alive
    static constexpr float kInitialLevel = 0.06f;
    static constexpr float kAttack = 0.38f;
    static constexpr float kRelease = 0.14f;
    static constexpr double kRiseFraction = 0.24;
    static constexpr double kMinimumRise = 0.32;
    static constexpr double kFallFraction = 0.3;

    std::mutex m_lock;
    float m_rawTarget = kInitialLevel;
    float m_displayEnvelope = kInitialLevel;
    int m_targetSymbolCount = 0;
    double m_displaySymbolProgress = 0;
};
