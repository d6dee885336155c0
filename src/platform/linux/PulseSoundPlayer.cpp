#include "platform/linux/PulseSoundPlayer.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <pulse/pulseaudio.h>

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Edges ramp in and out so a cue never clicks.
constexpr double kRampSeconds = 0.002;

std::size_t toneIndex(SystemSound sound)
{
    return static_cast<std::size_t>(sound);
}

// Raised-cosine ramps over the first and last few milliseconds, then the peak scaled to 1.
void shapeEdgesAndNormalise(std::vector<float>& samples, int sampleRate)
{
    const std::size_t ramp = std::min(samples.size() / 2, std::size_t(kRampSeconds * sampleRate));
    for (std::size_t i = 0; i < ramp; ++i) {
        const float gain = float(0.5 - 0.5 * std::cos(std::numbers::pi * double(i) / double(ramp)));
        samples[i] *= gain;
        samples[samples.size() - 1 - i] *= gain;
    }
    if (!samples.empty())
        samples.back() = 0.0f;
    float peak = 0.0f;
    for (const float s : samples)
        peak = std::max(peak, std::fabs(s));
    if (peak > 0.0f)
        for (float& s : samples)
            s /= peak;
}

} // namespace

std::vector<float> PulseSoundPlayer::synthesize(SystemSound sound, int sampleRate)
{
    std::vector<float> samples;
    const auto frames = [&](double seconds) { return std::size_t(std::lround(seconds * sampleRate)); };
    switch (sound) {
    case SystemSound::Tink: {
        // A small bell: a high partial and its octave, dying away quickly.
        samples.resize(frames(0.09));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double t = double(i) / sampleRate;
            const double decay = std::exp(-t / 0.02);
            samples[i] =
                float(decay * (std::sin(kTwoPi * 2637.0 * t) + 0.35 * std::sin(kTwoPi * 5274.0 * t)));
        }
        break;
    }
    case SystemSound::Pop: {
        // A bubble: the pitch falls from 900 Hz to 250 Hz while the sound fades.
        samples.resize(frames(0.08));
        double phase = 0.0;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double t = double(i) / sampleRate;
            const double frequency = 250.0 + 650.0 * std::exp(-t / 0.015);
            phase += kTwoPi * frequency / sampleRate;
            samples[i] = float(std::exp(-t / 0.022) * std::sin(phase));
        }
        break;
    }
    case SystemSound::Funk: {
        // Two dull notes stepping down, with a few harmonics for a muted, hollow colour.
        const double note = 0.12;
        samples.resize(frames(2 * note));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double t = double(i) / sampleRate;
            const double local = std::fmod(t, note);
            const double frequency = t < note ? 330.0 : 247.0;
            const double envelope = std::min(1.0, local / 0.005) * std::exp(-local / 0.06);
            const double x = kTwoPi * frequency * t;
            samples[i] = float(envelope * (std::sin(x) + 0.3 * std::sin(2 * x) + 0.15 * std::sin(3 * x)));
        }
        break;
    }
    }
    shapeEdgesAndNormalise(samples, sampleRate);
    return samples;
}

struct PulseSoundPlayer::Playback {
    PulseSoundPlayer* owner = nullptr;
    pa_stream* stream = nullptr;
    std::vector<float> samples;
    std::size_t writtenBytes = 0;
    bool draining = false;
};

PulseSoundPlayer::PulseSoundPlayer() : m_connection("Quorbell")
{
    for (const SystemSound sound : {SystemSound::Tink, SystemSound::Pop, SystemSound::Funk})
        m_tones[toneIndex(sound)] = synthesize(sound);

    PulseConnection::Lock lock(m_connection);
    m_connection.setStateHandler([this](bool ready) {
        std::vector<std::vector<float>> pending = std::exchange(m_pending, {});
        if (ready)
            for (auto& samples : pending)
                startPlayback(std::move(samples));
    });
}

PulseSoundPlayer::~PulseSoundPlayer()
{
    PulseConnection::Lock lock(m_connection);
    m_connection.setStateHandler(nullptr);
    while (!m_playing.empty())
        finish(m_playing.front().get());
}

void PulseSoundPlayer::play(SystemSound sound, float volume)
{
    const float gain = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
    if (gain <= 0.0f)
        return;
    std::vector<float> samples = m_tones[toneIndex(sound)];
    for (float& s : samples)
        s *= gain;

    PulseConnection::Lock lock(m_connection);
    if (!m_connection.connectingContext())
        return;
    if (m_connection.isReady())
        startPlayback(std::move(samples));
    else if (m_pending.size() < kMaxPending)
        m_pending.push_back(std::move(samples));
}

void PulseSoundPlayer::startPlayback(std::vector<float> samples)
{
    pa_context* context = m_connection.connectingContext();
    if (!context || !m_connection.isReady())
        return;
    const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, kSampleRate, 1};
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "event");
    pa_stream* stream = pa_stream_new_with_proplist(context, "cue", &sampleSpec, nullptr, properties);
    pa_proplist_free(properties);
    if (!stream)
        return;

    auto playback = std::make_unique<Playback>();
    playback->owner = this;
    playback->stream = stream;
    playback->samples = std::move(samples);
    Playback* raw = playback.get();
    m_playing.push_back(std::move(playback));

    pa_stream_set_write_callback(
        stream,
        [](pa_stream* s, std::size_t wanted, void* data) {
            auto* p = static_cast<Playback*>(data);
            const std::size_t total = p->samples.size() * sizeof(float);
            const std::size_t chunk = std::min(wanted, total - p->writtenBytes);
            if (chunk > 0) {
                const auto* bytes = reinterpret_cast<const char*>(p->samples.data()) + p->writtenBytes;
                if (pa_stream_write(s, bytes, chunk, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
                    p->owner->finish(p);
                    return;
                }
                p->writtenBytes += chunk;
            }
            if (p->writtenBytes == total && !p->draining) {
                p->draining = true;
                pa_operation* drain = pa_stream_drain(
                    s,
                    [](pa_stream*, int, void* d) {
                        static_cast<Playback*>(d)->owner->finish(static_cast<Playback*>(d));
                    },
                    p);
                if (drain)
                    pa_operation_unref(drain);
                else
                    p->owner->finish(p);
            }
        },
        raw);
    pa_stream_set_state_callback(
        stream,
        [](pa_stream* s, void* data) {
            const pa_stream_state_t state = pa_stream_get_state(s);
            if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
                static_cast<Playback*>(data)->owner->finish(static_cast<Playback*>(data));
        },
        raw);
    if (pa_stream_connect_playback(stream, nullptr, nullptr, PA_STREAM_NOFLAGS, nullptr, nullptr) < 0)
        finish(raw);
}

void PulseSoundPlayer::finish(Playback* playback)
{
    const auto it = std::find_if(m_playing.begin(), m_playing.end(),
                                 [playback](const auto& p) { return p.get() == playback; });
    if (it == m_playing.end())
        return;
    pa_stream* stream = playback->stream;
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    m_playing.erase(it);
}
