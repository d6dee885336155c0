// Dictations with the real engine on the real microphone of a sound server of the test's own, which the test
// stops before and during a dictation: the user is told in the banner, and what was heard is not lost.
#include "PrivateSoundServer.h"
#include "audio/StreamingASREngine.h"
#include "core/AppStateHarness.h"
#include "platform/linux/LinuxPermissions.h"
#include "platform/linux/PulseAudioCapture.h"
#include "platform/linux/UnavailableSpeechRecognizer.h"
#include "support/WavUpload.h"

namespace {

using namespace std::chrono_literals;

constexpr int kWaitMs = 30000;

class DictationSoundServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server->isUp());
        ASSERT_FALSE(server->loadSource(QStringLiteral("microphone"), 16000).isEmpty());
        h.server.setHandler([this](const ScriptedHttpServer::Request& request) {
            if (!request.path.endsWith("/audio/transcriptions"))
                return ScriptedHttpServer::Reply::json(200, "{}");
            uploads.append(request.body);
            return ScriptedHttpServer::Reply::json(200, R"({"text":"你好"})");
        });
        h.makeEngine = [this] {
            StreamingASREngine::Services services;
            services.scheduler = &h.scheduler;
            services.capture = &capture;
            services.systemRecognizer = &recognizer;
            services.permissions = &permissions;
            services.levelBus = &h.levelBus;
            services.keys = &h.keychain;
            return std::make_unique<StreamingASREngine>(std::move(services));
        };
        QJsonObject config = AppStateHarness::verbatimDictation();
        config.insert(QStringLiteral("asrProvider"), QStringLiteral("openAIWhisper"));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return permissions.microphoneStatus() == AuthorizationStatus::Authorized; }, kWaitMs));
        h.start(config);
    }

    // The voice this dictation has heard, in the pill's symbols of a fifth of a second each: what the sound
    // server delivered to the session, however late a busy machine let the session start.
    int heardSymbols() { return h.levelBus.sampleRecognizedSymbolProgress().exactTarget; }
    bool hears(int symbols)
    {
        return h.settle([&] { return heardSymbols() >= symbols; });
    }

    // A new sound server in the place of the killed one, and the app has seen its microphone.
    void serverComesBack()
    {
        server.reset(); // puts the address back before the next one sets its own
        server = std::make_unique<PrivateSoundServer>();
        ASSERT_TRUE(server->isUp());
        ASSERT_FALSE(server->loadSource(QStringLiteral("microphone"), 16000).isEmpty());
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return permissions.refreshMicrophoneStatus() == AuthorizationStatus::Authorized; },
            kWaitMs));
        h.state->refreshPermissionStatus();
    }

    bool finished(qsizetype records)
    {
        return h.settleWhileTimePasses(
            [&] { return !h.state->isFinalizingSession() && h.state->history().size() >= records; }, 50ms);
    }

    std::unique_ptr<PrivateSoundServer> server = std::make_unique<PrivateSoundServer>();
    PulseAudioCapture capture;
    LinuxPermissions permissions{capture};
    UnavailableSpeechRecognizer recognizer;
    AppStateHarness h;
    QList<QByteArray> uploads;
};

// Killed in the middle of a dictation: the banner says the microphone stopped, what it heard until then is
// transcribed and recorded at once, and once a sound server is back the next dictation works as before.
TEST_F(DictationSoundServer, AServerKilledMidDictationIsSaidAndWhatWasHeardIsDelivered)
{
    h.begin();
    ASSERT_TRUE(h.state->phase().isListening());
    ASSERT_TRUE(hears(3)) << "the microphone never delivered";
    const int heard = heardSymbols();
    server->kill();
    ASSERT_TRUE(finished(1)) << "the dictation went on without a microphone";
    EXPECT_EQ(h.state->statusBanner(),
              QStringLiteral("⚠️ "
                             "麦克风录音中途停止（声音服务已断开或输入设备被移除），已转写停止前录下的内容"));
    ASSERT_EQ(uploads.size(), 1);
    quint32 rate = 0;
    EXPECT_GE(wavSampleCount(uploads.first(), &rate), heard * 16000 / 5)
        << "the audio heard before the end was uploaded";
    EXPECT_EQ(rate, 16000U);
    EXPECT_EQ(h.state->history().first().rawTranscript, QStringLiteral("你好"));

    ASSERT_NO_FATAL_FAILURE(serverComesBack());
    h.begin();
    ASSERT_TRUE(h.state->phase().isListening());
    ASSERT_TRUE(hears(1));
    auto finish = h.state->finishDictationSession();
    ASSERT_TRUE(finished(2)) << "the dictation after the server came back";
    EXPECT_EQ(uploads.size(), 2);
}

// Killed in the middle of a dictation and back a moment later, while the user still speaks: the tap the user
// then makes to stop starts nothing on the new server, and the tap after it dictates as usual.
TEST_F(DictationSoundServer, TheStopTapAfterTheServerWasLostStartsNothing)
{
    const auto tapAndSettle = [&] {
        h.tapTrigger();
        return h.settle([&] { return !h.state->isStartingSession(); });
    };
    ASSERT_TRUE(tapAndSettle());
    ASSERT_TRUE(h.state->phase().isListening());
    ASSERT_TRUE(hears(3)) << "the microphone never delivered";
    server->kill();
    ASSERT_TRUE(finished(1)) << "the dictation went on without a microphone";
    ASSERT_EQ(uploads.size(), 1);

    ASSERT_NO_FATAL_FAILURE(serverComesBack());

    ASSERT_TRUE(tapAndSettle()); // meant as the stop
    EXPECT_FALSE(h.state->isSessionActive()) << "the stop tap started a recording";
    EXPECT_EQ(h.sessionsOpened, 1);
    EXPECT_FALSE(h.state->phase().is<PipelinePhase::Error>()) << "and was not refused either";

    ASSERT_TRUE(tapAndSettle());
    ASSERT_TRUE(h.state->phase().isListening()) << "the tap after it starts as usual";
    ASSERT_TRUE(hears(1));
    h.tapTrigger();
    ASSERT_TRUE(finished(2));
    EXPECT_EQ(h.sessionsOpened, 2);
    EXPECT_EQ(uploads.size(), 2);
}

// Down before the trigger: the pill shows the error and the banner says why, at every trigger.
TEST_F(DictationSoundServer, AServerDownBeforeTheTriggerIsSaidInTheBanner)
{
    server->kill();
    ASSERT_TRUE(QTest::qWaitFor([&] { return permissions.microphoneStatus() == AuthorizationStatus::Denied; },
                                kWaitMs));
    h.pollRound(); // the app has noticed
    for (int trigger = 0; trigger < 2; ++trigger) {
        h.state->setStatusBanner(QString());
        h.begin();
        ASSERT_TRUE(h.settle([&] { return h.state->phase().is<PipelinePhase::Error>(); }));
        EXPECT_EQ(
            h.state->statusBanner(),
            QStringLiteral("⚠️ 没有可用的麦克风：声音服务未运行或没有输入设备，"
                           "请在桌面的声音设置中启用麦克风输入设备"))
            << h.state->statusBanner().toStdString();
        EXPECT_FALSE(h.state->isSessionActive());
        h.scheduler.advance(3s);
    }
    EXPECT_TRUE(uploads.isEmpty());
    // The pauses ran a permission poll: its round ends before the state does.
    EXPECT_TRUE(h.settle([&] { return !h.state->isRefreshingStatus(); }));
}

} // namespace
