#include "platform/linux/PulseAudioOutput.h"
#include "integration/pulse/Pactl.h"
#include "platform/linux/PulseSoundPlayer.h"
#include "system/SystemAudioDucker.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <pulse/simple.h>

// Against the private sound server of the pulse fixture: each test gets a null sink of its own, made the
// default, and looks at it through pactl, so the backend is checked by a tool other than itself.

namespace {

class NullSinkTest : public ::testing::Test {
protected:
    // The raw channel volumes each test starts with: 60 % and 35 %.
    static constexpr int kLeft = 39322;
    static constexpr int kRight = 22938;

    void SetUp() override
    {
        m_sink = QStringLiteral("qb_test_out_%1").arg(QCoreApplication::applicationPid());
        bool ok = false;
        m_module = pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                          QStringLiteral("sink_name=") + m_sink, QStringLiteral("channels=2"),
                          QStringLiteral("channel_map=front-left,front-right")},
                         &ok);
        ASSERT_TRUE(ok) << "no sound server: is the pulse fixture running?";
        pactl({QStringLiteral("set-default-sink"), m_sink});
        pactl({QStringLiteral("set-sink-volume"), m_sink, QString::number(kLeft), QString::number(kRight)});
    }

    void TearDown() override
    {
        if (!m_module.isEmpty())
            pactl({QStringLiteral("unload-module"), m_module});
    }

    bool sinkMuted()
    {
        return pactl({QStringLiteral("get-sink-mute"), m_sink}).endsWith(QLatin1String("yes"));
    }

    // The raw volume of each channel, as "Volume: front-left: 39322 / 60% / ..., front-right: ..." says.
    QList<int> channelVolumes()
    {
        const QString text =
            pactl({QStringLiteral("get-sink-volume"), m_sink}).section(QLatin1Char('\n'), 0, 0);
        QList<int> volumes;
        static const QRegularExpression raw(QStringLiteral(R"(:\s*(\d+)\s*/)"));
        for (auto it = raw.globalMatch(text); it.hasNext();)
            volumes.append(it.next().captured(1).toInt());
        return volumes;
    }

    QString m_sink;
    QString m_module;
};

// The real output with its mute control hidden, as on a device that has none.
class NoMuteControl final : public AudioOutput {
public:
    explicit NoMuteControl(AudioOutput& inner) : m_inner(inner) {}
    std::optional<QString> defaultOutputDevice() override { return m_inner.defaultOutputDevice(); }
    std::optional<bool> isMuted(const QString&) override { return std::nullopt; }
    Status setMuted(const QString&, bool) override { return Status::failure(QStringLiteral("none")); }
    std::optional<float> volume(const QString& d) override { return m_inner.volume(d); }
    Status setVolume(const QString& d, float v) override { return m_inner.setVolume(d, v); }
    std::optional<SavedVolume> saveVolume(const QString& d) override { return m_inner.saveVolume(d); }
    Status restoreVolume(const QString& d, const SavedVolume& s) override
    {
        return m_inner.restoreVolume(d, s);
    }

private:
    AudioOutput& m_inner;
};

} // namespace

TEST_F(NullSinkTest, DuckerMutesAndRestoresTheDefaultSink)
{
    PulseAudioOutput output;
    EXPECT_EQ(output.defaultOutputDevice(), m_sink);
    EXPECT_EQ(output.isMuted(m_sink), false);
    const std::optional<float> volume = output.volume(m_sink);
    ASSERT_TRUE(volume);
    EXPECT_NEAR(*volume, 0.6f, 0.001f) << "the loudest channel";
    EXPECT_FALSE(output.isMuted(QStringLiteral("qb_no_such_sink")));
    EXPECT_FALSE(output.setMuted(QStringLiteral("qb_no_such_sink"), true));

    SystemAudioDucker ducker(output);
    ducker.muteIfNeeded();
    EXPECT_TRUE(sinkMuted());
    EXPECT_EQ(channelVolumes(), (QList<int>{kLeft, kRight})) << "muting leaves the volume alone";

    ducker.restoreIfNeeded();
    EXPECT_FALSE(sinkMuted());

    // A sink the user muted, as the backend reads it, stays muted through a whole dictation.
    pactl({QStringLiteral("set-sink-mute"), m_sink, QStringLiteral("1")});
    ducker.muteIfNeeded();
    ducker.restoreIfNeeded();
    EXPECT_TRUE(sinkMuted());
}

TEST_F(NullSinkTest, VolumeFallbackPutsEachChannelBackExactly)
{
    PulseAudioOutput output;
    NoMuteControl noMute(output);
    SystemAudioDucker ducker(noMute);

    ducker.muteIfNeeded();
    EXPECT_FALSE(sinkMuted());
    EXPECT_EQ(channelVolumes(), (QList<int>{0, 0}));
    ducker.restoreIfNeeded();
    EXPECT_EQ(channelVolumes(), (QList<int>{kLeft, kRight}));

    // A saved volume never lands on a sink with another channel layout, and garbage is refused.
    const std::optional<SavedVolume> saved = output.saveVolume(m_sink);
    ASSERT_TRUE(saved);
    EXPECT_FALSE(output.restoreVolume(m_sink, SavedVolume{QByteArray("\x01garbage")}));
    EXPECT_FALSE(output.restoreVolume(m_sink, SavedVolume{saved->state.left(saved->state.size() - 1)}));
    EXPECT_EQ(channelVolumes(), (QList<int>{kLeft, kRight}));
}

TEST(PulseAudioOutputWithoutServer, AnswersNothingAndChangesNothing)
{
    const QByteArray previous = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:/nonexistent/qb-no-server");
    {
        PulseAudioOutput output;
        EXPECT_FALSE(output.defaultOutputDevice());
        EXPECT_FALSE(output.setMuted(QStringLiteral("any"), true));
        SystemAudioDucker ducker(output);
        ducker.muteIfNeeded();
        ducker.restoreIfNeeded();

        PulseSoundPlayer player;
        player.play(SystemSound::Tink, 0.3f); // silently nothing
    }
    qputenv("PULSE_SERVER", previous);
}

TEST(PulseSoundPlayerTones, AreShortAndStartAndEndInSilence)
{
    std::vector<float> previous;
    for (const SystemSound sound : {SystemSound::Tink, SystemSound::Pop, SystemSound::Funk}) {
        const std::vector<float> samples = PulseSoundPlayer::synthesize(sound);
        ASSERT_GT(samples.size(), 0u);
        EXPECT_NE(samples, previous) << "each cue sounds different";
        EXPECT_LE(samples.size(), std::size_t(PulseSoundPlayer::kSampleRate) / 2) << "a cue, not a tune";
        float peak = 0;
        for (const float s : samples)
            peak = std::max(peak, std::fabs(s));
        EXPECT_FLOAT_EQ(peak, 1.0f);
        EXPECT_LT(std::fabs(samples.front()), 0.01f);
        EXPECT_EQ(samples.back(), 0.0f);
        previous = samples;
    }
}

namespace {

// Listens on the sink's monitor while `play` runs and returns the loudest sample heard, within 1 s of audio.
float loudestHeard(const QString& sink, const std::function<void()>& play)
{
    const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, PulseSoundPlayer::kSampleRate, 1};
    pa_buffer_attr attr{};
    attr.maxlength = std::uint32_t(-1);
    attr.fragsize = 480 * sizeof(float);
    int error = 0;
    const QByteArray monitor = (sink + QStringLiteral(".monitor")).toUtf8();
    pa_simple* recorder = pa_simple_new(nullptr, "qb-test", PA_STREAM_RECORD, monitor.constData(), "monitor",
                                        &sampleSpec, nullptr, &attr, &error);
    if (!recorder) {
        ADD_FAILURE() << "cannot record the monitor: " << error;
        return 0;
    }
    std::vector<float> chunk(480);
    for (int i = 0; i < 10; ++i) // let the monitor flow first, so the start of the cue is not lost
        pa_simple_read(recorder, chunk.data(), chunk.size() * sizeof(float), &error);
    play();
    float peak = 0;
    int quietChunksAfterSound = 0;
    for (int i = 0; i < 100 && quietChunksAfterSound < 20; ++i) { // 100 chunks of 10 ms
        if (pa_simple_read(recorder, chunk.data(), chunk.size() * sizeof(float), &error) < 0)
            break;
        float chunkPeak = 0;
        for (const float s : chunk)
            chunkPeak = std::max(chunkPeak, std::fabs(s));
        peak = std::max(peak, chunkPeak);
        if (peak > 0 && chunkPeak == 0)
            ++quietChunksAfterSound;
    }
    pa_simple_free(recorder);
    return peak;
}

} // namespace

TEST_F(NullSinkTest, CuesReachTheSinkAtTheirVolume)
{
    pactl({QStringLiteral("set-sink-volume"), m_sink, QStringLiteral("100%")});
    PulseSoundPlayer player;

    // The monitor misses the first milliseconds of a new stream (the sink rewinds to start it at once);
    // Funk's loudest part comes later, so it is heard at its full volume.
    EXPECT_NEAR(loudestHeard(m_sink, [&] { player.play(SystemSound::Funk, 0.22f); }), 0.22f, 0.02f);

    // Muted by the ducker, the cue is not heard.
    PulseAudioOutput output;
    SystemAudioDucker ducker(output);
    ducker.muteIfNeeded();
    EXPECT_EQ(loudestHeard(m_sink, [&] { player.play(SystemSound::Pop, 0.26f); }), 0.0f);
}
