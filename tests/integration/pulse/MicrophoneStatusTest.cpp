// The microphone status as the app reads it: a cached view of the sound server's sources, kept current by the
// server's events and by explicit refreshes, against a private server the tests may empty, pause and kill.
#include "Counter.h"
#include "PrivateSoundServer.h"
#include "platform/linux/LinuxPermissions.h"
#include "platform/linux/PulseAudioCapture.h"

#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>

void PrintTo(AuthorizationStatus status, std::ostream* out)
{
    constexpr const char* names[] = {"NotDetermined", "Denied", "Restricted", "Authorized"};
    *out << names[static_cast<int>(status)];
}

namespace {

constexpr int kWaitMs = 30000;

bool statusBecomes(Permissions& permissions, AuthorizationStatus status)
{
    return QTest::qWaitFor([&] { return permissions.microphoneStatus() == status; }, kWaitMs);
}

TEST(MicrophoneStatus, FollowsSourcesAddedAndRemovedWithoutBeingAsked)
{
    PrivateSoundServer server;
    ASSERT_TRUE(server.isUp());
    PulseAudioCapture capture;
    LinuxPermissions permissions(capture);
    // The constructor's background look finds no source.
    EXPECT_TRUE(statusBecomes(permissions, AuthorizationStatus::Denied));

    const QString module = server.loadSource(QStringLiteral("usb-mic"), 16000);
    ASSERT_FALSE(module.isEmpty());
    EXPECT_TRUE(statusBecomes(permissions, AuthorizationStatus::Authorized));
    EXPECT_EQ(capture.lastSeenSourceSampleRate(), 16000);
    // A start uses the source as seen and captures at its rate.
    ASSERT_TRUE(capture.start([](std::span<const float>) {}));
    EXPECT_EQ(capture.sampleRate(), 16000);
    capture.stop();

    server.unload(module);
    EXPECT_TRUE(statusBecomes(permissions, AuthorizationStatus::Denied));
    EXPECT_FALSE(capture.start([](std::span<const float>) {}));

    server.loadSource(QStringLiteral("usb-mic"), 16000);
    ASSERT_TRUE(statusBecomes(permissions, AuthorizationStatus::Authorized));
    // A server that goes away takes its sources with it.
    server.kill();
    EXPECT_TRUE(statusBecomes(permissions, AuthorizationStatus::Denied));
    EXPECT_EQ(permissions.refreshMicrophoneStatus(), AuthorizationStatus::Denied);
}

TEST(MicrophoneStatus, AnswersFromTheCacheWhileTheServerHangsAndARefreshSeesTheHang)
{
    PrivateSoundServer server;
    ASSERT_TRUE(server.isUp());
    ASSERT_FALSE(server.loadSource(QStringLiteral("usb-mic"), 48000).isEmpty());
    PulseAudioCapture capture;
    LinuxPermissions permissions(capture);
    ASSERT_TRUE(statusBecomes(permissions, AuthorizationStatus::Authorized));
    // The look it takes when it is made is over once a request queued behind it has answered.
    std::optional<bool> settled;
    permissions.requestMicrophoneAccess([&settled](bool granted) { settled = granted; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return settled.has_value(); }, kWaitMs));

    ASSERT_TRUE(server.pause());
    // Asking the hung server would have ended in Denied: this answer cannot have asked it.
    EXPECT_EQ(permissions.microphoneStatus(), AuthorizationStatus::Authorized);
    // The refresh asks, gives up at its bound, and the cache follows.
    EXPECT_EQ(permissions.refreshMicrophoneStatus(), AuthorizationStatus::Denied);
    EXPECT_EQ(permissions.microphoneStatus(), AuthorizationStatus::Denied);
    EXPECT_FALSE(capture.start([](std::span<const float>) {}));

    // The late answers put the source back without another refresh.
    server.resume();
    EXPECT_TRUE(statusBecomes(permissions, AuthorizationStatus::Authorized));
    EXPECT_EQ(permissions.refreshMicrophoneStatus(), AuthorizationStatus::Authorized);
    Counter buffers;
    ASSERT_TRUE(capture.start([&](std::span<const float>) { buffers.bump(); }));
    EXPECT_TRUE(buffers.waitAbove(2));
}

TEST(MicrophoneStatus, AccessRequestAnswersLaterOnTheMainThread)
{
    PrivateSoundServer server;
    ASSERT_TRUE(server.isUp());
    ASSERT_FALSE(server.loadSource(QStringLiteral("usb-mic"), 48000).isEmpty());
    PulseAudioCapture capture;
    LinuxPermissions permissions(capture);

    std::optional<bool> granted;
    Qt::HANDLE answeredOn = nullptr;
    permissions.requestMicrophoneAccess([&](bool answer) {
        granted = answer;
        answeredOn = QThread::currentThreadId();
    });
    EXPECT_FALSE(granted.has_value()) << "answered inside the call";
    ASSERT_TRUE(QTest::qWaitFor([&] { return granted.has_value(); }, kWaitMs));
    EXPECT_TRUE(*granted);
    EXPECT_EQ(answeredOn, QThread::currentThreadId());
}

} // namespace
