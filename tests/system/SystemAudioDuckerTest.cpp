#include "system/SystemAudioDucker.h"

#include "fakes/FakeAudioOutput.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace {

const QString kSpeakers = QStringLiteral("speakers");
const QString kHeadphones = QStringLiteral("headphones");

FakeAudioOutput::Device muteable(bool muted, QList<float> channels = {0.5f, 0.5f})
{
    FakeAudioOutput::Device device;
    device.muted = muted;
    device.channelVolumes = std::move(channels);
    return device;
}

FakeAudioOutput::Device volumeOnly(QList<float> channels)
{
    FakeAudioOutput::Device device;
    device.channelVolumes = std::move(channels);
    return device;
}

} // namespace

TEST(SystemAudioDucker, MutesOnceAndRestoresOnce)
{
    FakeAudioOutput output;
    output.setDevice(kSpeakers, muteable(false));
    output.setDefaultDevice(kSpeakers);
    SystemAudioDucker ducker(output);

    ducker.muteIfNeeded();
    ducker.muteIfNeeded();
    EXPECT_EQ(output.device(kSpeakers)->muted, true);
    EXPECT_EQ(output.writeCount(), 1) << "a second mute must not touch the device";
    EXPECT_EQ(output.device(kSpeakers)->channelVolumes, (QList<float>{0.5f, 0.5f}));

    ducker.restoreIfNeeded();
    ducker.restoreIfNeeded();
    EXPECT_EQ(output.device(kSpeakers)->muted, false);
    EXPECT_EQ(output.writeCount(), 2) << "a second restore must not touch the device";

    // The next dictation mutes again.
    ducker.muteIfNeeded();
    EXPECT_EQ(output.device(kSpeakers)->muted, true);
}

TEST(SystemAudioDucker, LeavesTheUsersOwnMuteAlone)
{
    FakeAudioOutput output;
    output.setDevice(kSpeakers, muteable(true));
    output.setDefaultDevice(kSpeakers);
    SystemAudioDucker ducker(output);

    ducker.muteIfNeeded();
    ducker.restoreIfNeeded();
    EXPECT_EQ(output.device(kSpeakers)->muted, true) << "a device the user muted stays muted";
    EXPECT_EQ(output.writeCount(), 0);
}

TEST(SystemAudioDucker, FallsBackToTheWholeVolumeAndPutsEveryChannelBack)
{
    FakeAudioOutput output;
    output.setDevice(kSpeakers, volumeOnly({0.6f, 0.35f}));
    output.setDefaultDevice(kSpeakers);
    SystemAudioDucker ducker(output);

    ducker.muteIfNeeded();
    EXPECT_EQ(output.device(kSpeakers)->channelVolumes, (QList<float>{0.0f, 0.0f}));
    ducker.restoreIfNeeded();
    EXPECT_EQ(output.device(kSpeakers)->channelVolumes, (QList<float>{0.6f, 0.35f}))
        << "each channel gets its own volume back, not the loudest one";

    // A mute control that cannot be set falls back to the volume too.
    FakeAudioOutput::Device stuck = muteable(false, {0.8f});
    stuck.muteSettable = false;
    output.setDevice(kHeadphones, stuck);
    output.setDefaultDevice(kHeadphones);
    ducker.muteIfNeeded();
    EXPECT_EQ(output.device(kHeadphones)->channelVolumes, (QList<float>{0.0f}));
    ducker.restoreIfNeeded();
    EXPECT_EQ(output.device(kHeadphones)->channelVolumes, (QList<float>{0.8f}));
}

TEST(SystemAudioDucker, AFailedMuteRecordsNothingAndRestoreDoesNoHarm)
{
    FakeAudioOutput output;
    SystemAudioDucker ducker(output);

    // No output device at all.
    ducker.muteIfNeeded();
    ducker.restoreIfNeeded();
    EXPECT_EQ(output.writeCount(), 0);

    // Already silent: left untouched, and a restore must not raise it to anything.
    output.setDevice(kSpeakers, volumeOnly({0.0005f}));
    output.setDefaultDevice(kSpeakers);
    ducker.muteIfNeeded();
    ducker.restoreIfNeeded();
    EXPECT_EQ(output.device(kSpeakers)->channelVolumes, (QList<float>{0.0005f}));
    EXPECT_EQ(output.writeCount(), 0);

    // Neither control can be set: nothing changes, and the user's later volume survives the restore.
    FakeAudioOutput::Device locked = muteable(false, {0.7f});
    locked.muteSettable = false;
    locked.volumeSettable = false;
    output.setDevice(kHeadphones, locked);
    output.setDefaultDevice(kHeadphones);
    ducker.muteIfNeeded();
    ducker.restoreIfNeeded();
    EXPECT_EQ(output.device(kHeadphones)->muted, false);
    EXPECT_EQ(output.device(kHeadphones)->channelVolumes, (QList<float>{0.7f}));
    EXPECT_EQ(output.writeCount(), 0);
}

TEST(SystemAudioDucker, RestoresTheDeviceItChangedAfterTheDefaultMoved)
{
    FakeAudioOutput output;
    output.setDevice(kSpeakers, muteable(false));
    output.setDevice(kHeadphones, muteable(false));
    output.setDefaultDevice(kSpeakers);
    {
        SystemAudioDucker ducker(output);
        ducker.muteIfNeeded();
        output.setDefaultDevice(kHeadphones);
        ducker.restoreIfNeeded();
        EXPECT_EQ(output.device(kSpeakers)->muted, false);
        EXPECT_EQ(output.device(kHeadphones)->muted, false);

        ducker.muteIfNeeded(); // now the headphones; released without a restore call
        EXPECT_EQ(output.device(kHeadphones)->muted, true);
    }
    EXPECT_EQ(output.device(kHeadphones)->muted, false) << "releasing the ducker restores";
}

namespace {

// Holds setMuted until the test lets it go, so a restore can arrive while a mute is on its way.
class GatedAudioOutput final : public AudioOutput {
public:
    explicit GatedAudioOutput(FakeAudioOutput& inner) : m_inner(inner) {}

    std::optional<QString> defaultOutputDevice() override { return m_inner.defaultOutputDevice(); }
    std::optional<bool> isMuted(const QString& device) override { return m_inner.isMuted(device); }
    Status setMuted(const QString& device, bool muted) override
    {
        if (muted) {
            m_entered.set_value();
            m_release.get_future().wait();
        }
        return m_inner.setMuted(device, muted);
    }
    std::optional<float> volume(const QString& device) override { return m_inner.volume(device); }
    Status setVolume(const QString& device, float v) override { return m_inner.setVolume(device, v); }
    std::optional<SavedVolume> saveVolume(const QString& device) override
    {
        return m_inner.saveVolume(device);
    }
    Status restoreVolume(const QString& device, const SavedVolume& saved) override
    {
        return m_inner.restoreVolume(device, saved);
    }

    std::promise<void> m_entered;
    std::promise<void> m_release;

private:
    FakeAudioOutput& m_inner;
};

} // namespace

TEST(SystemAudioDucker, ARestoreDuringAMuteStillEndsUnmuted)
{
    FakeAudioOutput fake;
    fake.setDevice(kSpeakers, muteable(false));
    fake.setDefaultDevice(kSpeakers);
    GatedAudioOutput output(fake);
    SystemAudioDucker ducker(output);

    auto entered = output.m_entered.get_future();
    std::thread muter([&] { ducker.muteIfNeeded(); });
    entered.wait();
    ducker.restoreIfNeeded(); // the dictation ended while the server was still being asked
    ducker.muteIfNeeded();    // and a second mute meanwhile changes nothing
    output.m_release.set_value();
    muter.join();

    EXPECT_EQ(fake.device(kSpeakers)->muted, false);
    ducker.restoreIfNeeded();
    EXPECT_EQ(fake.writeCount(), 2) << "muted once, unmuted once";
}

TEST(SystemAudioDucker, TerminationSignalRestoresThenQuits)
{
    FakeAudioOutput output;
    output.setDevice(kSpeakers, muteable(false));
    output.setDefaultDevice(kSpeakers);
    SystemAudioDucker ducker(output);
    auto context = std::make_unique<QObject>();
    int quits = 0;
    bool mutedWhenQuitting = true;
    ASSERT_TRUE(restoreOnTerminationSignals(context.get(), ducker, [&] {
        ++quits;
        mutedWhenQuitting = *output.device(kSpeakers)->muted;
    }));
    EXPECT_FALSE(restoreOnTerminationSignals(context.get(), ducker, {})) << "installed once";

    ducker.muteIfNeeded();
    ASSERT_EQ(std::raise(SIGTERM), 0);
    QElapsedTimer waited;
    waited.start();
    while (quits == 0 && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    EXPECT_EQ(quits, 1);
    EXPECT_FALSE(mutedWhenQuitting) << "sound comes back before the app quits";
    EXPECT_EQ(output.device(kSpeakers)->muted, false);

    // The previous handler is back, so a second signal is not swallowed.
    struct sigaction current = {};
    ::sigaction(SIGTERM, nullptr, &current);
    EXPECT_NE(current.sa_handler, SIG_IGN);
    EXPECT_EQ(current.sa_handler, SIG_DFL);

    context.reset();
    auto second = std::make_unique<QObject>();
    EXPECT_TRUE(restoreOnTerminationSignals(second.get(), ducker, {}))
        << "can be installed again once the first context is gone";
}
