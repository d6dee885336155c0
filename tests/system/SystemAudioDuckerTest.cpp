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

using Device = FakeAudioOutput::Device;
Device muteable(bool muted, QList<float> channels = {0.5f, 0.5f})
{
    return {muted, true, std::move(channels), true};
}

// Adds `device` and makes it the default output.
void plugIn(FakeAudioOutput& output, const QString& id, const Device& device)
{
    output.setDevice(id, device);
    output.setDefaultDevice(id);
}

} // namespace

TEST(SystemAudioDucker, MutesOnceAndRestoresOnce)
{
    FakeAudioOutput output;
    plugIn(output, kSpeakers, muteable(false));
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

    ducker.muteIfNeeded();
    EXPECT_EQ(output.device(kSpeakers)->muted, true) << "the next dictation mutes again";
}

TEST(SystemAudioDucker, FallsBackToTheWholeVolumeAndPutsEveryChannelBack)
{
    const struct {
        const char* what;
        Device device;
    } cases[] = {
        {"no mute control", {std::nullopt, true, {0.6f, 0.35f}, true}},
        {"a mute control that cannot be set", {false, false, {0.8f}, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAudioOutput output;
        plugIn(output, kSpeakers, c.device);
        SystemAudioDucker ducker(output);
        ducker.muteIfNeeded();
        EXPECT_EQ(output.device(kSpeakers)->channelVolumes,
                  QList<float>(c.device.channelVolumes.size(), 0.0f));
        ducker.restoreIfNeeded();
        EXPECT_EQ(output.device(kSpeakers)->channelVolumes, c.device.channelVolumes)
            << "each channel gets its own volume back, not the loudest one";
    }
}

TEST(SystemAudioDucker, LeavesAloneWhatItNeedNotOrCannotChange)
{
    const struct {
        const char* what;
        std::optional<Device> device;
    } cases[] = {
        {"no output device", std::nullopt},
        {"the user muted it", muteable(true)},
        {"already silent: a restore must not raise it", Device{std::nullopt, true, {0.0005f}, true}},
        {"neither control can be set", Device{false, false, {0.7f}, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAudioOutput output;
        if (c.device)
            plugIn(output, kSpeakers, *c.device);
        SystemAudioDucker ducker(output);
        ducker.muteIfNeeded();
        ducker.restoreIfNeeded();
        EXPECT_EQ(output.writeCount(), 0);
        if (c.device) {
            EXPECT_EQ(output.device(kSpeakers)->muted, c.device->muted);
            EXPECT_EQ(output.device(kSpeakers)->channelVolumes, c.device->channelVolumes);
        }
    }
}

TEST(SystemAudioDucker, RestoresTheDeviceItChangedAfterTheDefaultMoved)
{
    FakeAudioOutput output;
    output.setDevice(kHeadphones, muteable(false));
    plugIn(output, kSpeakers, muteable(false));
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

// Holds a mute until the test lets it go, so a restore can arrive while the mute is on its way.
class GatedAudioOutput final : public AudioOutput {
public:
    explicit GatedAudioOutput(FakeAudioOutput& inner) : m_inner(inner) {}

    std::optional<QString> defaultOutputDevice() override { return m_inner.defaultOutputDevice(); }
    std::optional<bool> isMuted(const QString& device) override { return m_inner.isMuted(device); }
    Status setMuted(const QString& device, bool muted) override
    {
        if (muted) {
            entered.set_value();
            release.get_future().wait();
        }
        return m_inner.setMuted(device, muted);
    }
    std::optional<float> volume(const QString& device) override { return m_inner.volume(device); }
    Status setVolume(const QString& device, float v) override { return m_inner.setVolume(device, v); }
    std::optional<SavedVolume> saveVolume(const QString& d) override { return m_inner.saveVolume(d); }
    Status restoreVolume(const QString& d, const SavedVolume& s) override
    {
        return m_inner.restoreVolume(d, s);
    }

    std::promise<void> entered;
    std::promise<void> release;

private:
    FakeAudioOutput& m_inner;
};

} // namespace

TEST(SystemAudioDucker, ARestoreDuringAMuteStillEndsUnmuted)
{
    FakeAudioOutput fake;
    plugIn(fake, kSpeakers, muteable(false));
    GatedAudioOutput output(fake);
    SystemAudioDucker ducker(output);

    auto entered = output.entered.get_future();
    std::thread muter([&] { ducker.muteIfNeeded(); });
    entered.wait();
    ducker.restoreIfNeeded(); // the dictation ended while the server was still being asked
    ducker.muteIfNeeded();    // and a second mute meanwhile changes nothing
    output.release.set_value();
    muter.join();

    EXPECT_EQ(fake.device(kSpeakers)->muted, false);
    ducker.restoreIfNeeded();
    EXPECT_EQ(fake.writeCount(), 2) << "muted once, unmuted once";
}

TEST(SystemAudioDucker, TerminationSignalRestoresThenQuits)
{
    FakeAudioOutput output;
    plugIn(output, kSpeakers, muteable(false));
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
    while (quits == 0 && waited.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(quits, 1);
    EXPECT_FALSE(mutedWhenQuitting) << "sound comes back before the app quits";

    // The default handler is back, so a second signal is not swallowed.
    struct sigaction current = {};
    ::sigaction(SIGTERM, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);

    context.reset();
    auto second = std::make_unique<QObject>();
    EXPECT_TRUE(restoreOnTerminationSignals(second.get(), ducker, {}))
        << "can be installed again once the first context is gone";
}
