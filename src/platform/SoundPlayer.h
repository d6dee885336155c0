#pragma once

// The short cues of a dictation: start, record written, cancel.
enum class SystemSound { Tink, Pop, Funk };

// Fire and forget: play() returns at once and a failure to play stays silent. Main thread only.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;

    // volume from 0 to 1.
    virtual void play(SystemSound sound, float volume) = 0;
};
