#pragma once

#include "platform/SoundPlayer.h"
#include "platform/linux/PulseAudioOutput.h"

#include <list>
#include <memory>
#include <vector>

// The cues as short tones of our own, synthesised once and played as event sounds on the default output.
// play() only hands the samples to the sound server's thread and returns; without a server nothing plays.
class PulseSoundPlayer final : public SoundPlayer {
public:
    static constexpr int kSampleRate = 48000;

    PulseSoundPlayer();
    ~PulseSoundPlayer() override;

    void play(SystemSound sound, float volume) override;

    // Mono samples of a cue at full scale (peak 1), starting and ending at silence.
    static std::vector<float> synthesize(SystemSound sound, int sampleRate = kSampleRate);

private:
    struct Playback;
    // Loop locked.
    void startPlayback(std::vector<float> samples);
    void finish(Playback* playback);

    // Sounds asked for while the connection comes up; a few at most, the rest are dropped.
    static constexpr std::size_t kMaxPending = 4;

    std::vector<float> m_tones[3];
    PulseConnection m_connection;
    // Guarded by the connection's loop lock.
    std::vector<std::vector<float>> m_pending;
    std::list<std::unique_ptr<Playback>> m_playing;
};
