#pragma once

#include "platform/SoundPlayer.h"

#include <QList>

// Records every sound played, in order. Main thread only.
class FakeSoundPlayer final : public SoundPlayer {
public:
    struct Played {
        SystemSound sound = SystemSound::Tink;
        float volume = 0;

        bool operator==(const Played&) const = default;
    };

    void play(SystemSound sound, float volume) override { m_played.append({sound, volume}); }

    QList<Played> played() const { return m_played; }
    void clear() { m_played.clear(); }

private:
    QList<Played> m_played;
};
