// Dictations through the real speech engine and the local Seed-ASR service, made to misbehave one way at a
// time, with no local model installed: what the user is told, and what is typed and recorded.
#include "RealEngineDictation.h"
#include "audio/SeedASRProtocol.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Connection = SeedASRTestServer::Connection;
using Frame = SeedASRTestServer::ClientFrame;
using Handshake = SeedASRTestServer::Handshake;

namespace {

const QString kNoModel = QStringLiteral(
    "。本机未安装离线模型，无法接管（可在引擎设置的「纯本机 SenseVoice FP32 离线满血模型」卡片下载）");
const QString kMayBeIncomplete = QStringLiteral("，已送出最后识别到的文字，可能不完整，请核对");

// Audio frames of the session so far (the first frame is the request).
qsizetype audioFrames(const Connection& c)
{
    return c.frames.size() - 1;
}

class SeedDictationTest : public RealEngineDictation {
protected:
    void SetUp() override
    {
        RealEngineDictation::SetUp();
        ASSERT_EQ(h.state->llmConfig().asrProvider, ASRProviderOption::volcSeedASR);
    }

    void begin()
    {
        RealEngineDictation::begin([&] { return engine->activeSessionUsesCloudSeedASR(); });
    }

    // Stops the dictation and lets the finish run; past the 1.2 s wait for the service's final answer unless
    // the service answers the last packet.
    void stopAndWaitOutTheService(bool serviceAnswers = false)
    {
        stop(serviceAnswers ? Duration::zero() : std::chrono::milliseconds(1200));
    }

    // The service's interim text has reached the app. It comes over a real socket: a stop or the clock moved
    // on before it came would decide the dictation by how fast the machine is.
    bool interimArrived()
    {
        return h.settle([&] {
            drain();
            return h.levelBus.sampleRecognizedSymbolProgress().exactTarget > 0;
        });
    }

    // The service has `count` connections, and the last has the session's request: the handshakes, over real
    // sockets, are over before the clock moves on.
    bool serviceHasSession(int count)
    {
        return h.settle([&] {
            drain();
            return seed.connectionCount() >= count && !seed.connection(count - 1).frames.isEmpty();
        });
    }

    // Every audio frame the service received, over all its connections.
    qsizetype audioFramesReceived()
    {
        qsizetype frames = 0;
        for (int i = 0; i < seed.connectionCount(); ++i)
            frames += std::max<qsizetype>(0, audioFrames(seed.connection(i)));
        return frames;
    }

    // The trigger tapped to start, as the user does: the session runs and its Seed session has started.
    void tapToStart()
    {
        h.tapTrigger();
        ASSERT_TRUE(h.settle([&] { return !state().isStartingSession(); }));
        ASSERT_TRUE(state().isSessionActive()) << "the tap started a dictation";
        ASSERT_TRUE(h.settle([&] {
            drain();
            return engine->activeSessionUsesCloudSeedASR() && capture.isRunning();
        })) << "the Seed session never started";
    }

    // Sound in the room for `duration` seconds, the clock moving, whether or not anything records.
    void roomSound(double duration)
    {
        const std::vector<float> samples = EngineTest::tone(300, duration);
        constexpr size_t kChunk = AudioCapture::kFramesPerBuffer * 5;
        for (size_t offset = 0; offset < samples.size(); offset += kChunk) {
            const size_t length = std::min(kChunk, samples.size() - offset);
            capture.feed(std::vector<float>(samples.begin() + static_cast<std::ptrdiff_t>(offset),
                                            samples.begin() + static_cast<std::ptrdiff_t>(offset + length)));
            h.scheduler.advance(seconds(static_cast<double>(length) / EngineTest::kRate));
            drain();
        }
    }
};

} // namespace

// The service accepts and never answers, or never answers the upgrade at all: the user spoke and is told
// that nothing came back, and why; nothing is typed or recorded.
TEST_F(SeedDictationTest, AServiceThatNeverAnswersIsAFailureSaidAsSuch)
{
    const QPair<Handshake, QString> cases[] = {
        {Handshake::accept, QStringLiteral("云端语音识别失败：豆包语音服务在等待时间内没有返回任何结果")},
        {Handshake::stall, QStringLiteral("云端语音识别失败：豆包语音服务没有响应连接请求（握手未完成）")}};
    for (const auto& [handshake, text] : cases) {
        SCOPED_TRACE(text.toStdString());
        const int connections = seed.connectionCount() + 1;
        seed.setHandshakes(QList<Handshake>(connections, handshake));
        begin();
        if (handshake == Handshake::accept) {
            ASSERT_TRUE(serviceHasSession(connections)) << "the session never reached the service";
        }
        speak(EngineTest::tone(400, 1.5));
        stopAndWaitOutTheService();
        EXPECT_EQ(state().phase(), PipelinePhase::error(text));
        EXPECT_EQ(state().statusBanner(), text);
        EXPECT_TRUE(state().history().isEmpty());
        EXPECT_TRUE(h.clipboard.textsSet().isEmpty());
        h.scheduler.advance(2500ms);
        EXPECT_EQ(state().phase(), PipelinePhase::idle());
    }
}

// No final answer within the wait, an error frame in its place, or a final whose gzip body cannot be read
// (cut short, damaged): the last streamed text is delivered and recorded, and the banner says it may be
// incomplete.
TEST_F(SeedDictationTest, AStreamedTextThatNeverBecameFinalIsDeliveredWithAWarning)
{
    const QByteArray final = *SeedASRProtocol::gzipCompress(
        SeedASRTestServer::transcriptJson(QStringLiteral("今天开会了。"), true));
    QByteArray damaged = final;
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x5A);
    const QString unreadable =
        QStringLiteral("⚠️ 豆包语音的最终结果数据损坏、无法读取") + kMayBeIncomplete;

    QByteArray answerToLastPacket;
    seed.onFrame = [&answerToLastPacket](Connection& c, const Frame& frame) {
        if (audioFrames(c) == 2)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("今天开会")));
        if (frame.isLastAudio() && !answerToLastPacket.isEmpty())
            c.send(answerToLastPacket);
    };
    const QPair<QByteArray, QString> cases[] = {
        {QByteArray(),
         QStringLiteral("⚠️ 豆包语音的最终结果未能按时返回") + kMayBeIncomplete},
        {SeedASRTestServer::errorFrame("quota exceeded"),
         QStringLiteral("⚠️ 豆包语音服务返回了错误（quota exceeded）") + kMayBeIncomplete},
        {SeedASRTestServer::responseFrameCarrying(2, final.first(final.size() / 2)), unreadable},
        {SeedASRTestServer::responseFrameCarrying(3, damaged), unreadable}};
    int dictations = 0;
    for (const auto& [answer, banner] : cases) {
        SCOPED_TRACE(banner.toStdString());
        answerToLastPacket = answer;
        begin();
        speak(EngineTest::tone(400, 1.0));
        ASSERT_TRUE(interimArrived()) << "the interim text never arrived";
        stopAndWaitOutTheService(!answer.isEmpty());
        ++dictations;
        EXPECT_EQ(state().statusBanner(), banner);
        EXPECT_TRUE(typed(QStringLiteral("今天开会")));
        ASSERT_EQ(state().history().size(), dictations);
        EXPECT_EQ(state().history().first().rawTranscript, QStringLiteral("今天开会"));
    }
}

// The connection fails in the middle of a dictation and there is no model to take over: the recording ends at
// once with the error, what was streamed is delivered, and the banner says the rest was lost.
TEST_F(SeedDictationTest, AConnectionLostMidDictationWithoutAModelEndsTheRecording)
{
    QString interim = QStringLiteral("今天");
    seed.onFrame = [&interim](Connection& c, const Frame&) {
        if (audioFrames(c) == 2)
            c.send(SeedASRTestServer::transcriptFrame(1, interim));
        if (audioFrames(c) == 13) // about 1.2 s in
            c.closeWith(1011);
    };
    const QString failure = QStringLiteral("云端语音识别失败：语音服务关闭了连接（关闭码 1011）");

    begin();
    speak(EngineTest::tone(400, 1.5));
    // No stop key: the loss itself ends the recording.
    ASSERT_TRUE(endedByItself()) << "the recording went on after the connection was lost";
    EXPECT_TRUE(typed(QStringLiteral("今天")));
    ASSERT_EQ(state().history().size(), 1);
    EXPECT_EQ(state().statusBanner(), QStringLiteral("❌ ") + failure + kNoModel +
                                          QStringLiteral("；已送出云端已识别的部分，其余语音未能识别"));
    EXPECT_FALSE(state().statusBanner().contains(QStringLiteral("已接管："))) << "never the take-over notice";

    // Nothing streamed before the loss: a failed dictation, nothing typed or recorded; the stop key that
    // follows finds nothing to finish.
    interim.clear();
    begin();
    speak(EngineTest::tone(400, 1.5));
    ASSERT_TRUE(endedByItself());
    EXPECT_EQ(state().phase(), PipelinePhase::error(failure));
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("❌ ") + failure + kNoModel + QStringLiteral("；本次听写没有得到任何文字"));
    EXPECT_EQ(state().history().size(), 1);
    h.await(state().finishDictationSession());
    EXPECT_EQ(state().history().size(), 1);
}

// The app ends the recording by itself while the user, still speaking, means to stop it with the next tap:
// that tap starts nothing, no audio goes anywhere after the end, the text is typed once with one record; the
// tap after it starts a dictation as usual.
TEST_F(SeedDictationTest, TheStopTapAfterTheAppEndedTheRecordingStartsNothing)
{
    bool closeMidway = true;
    seed.onFrame = [&closeMidway](Connection& c, const Frame&) {
        if (audioFrames(c) == 2)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("今天")));
        if (closeMidway && audioFrames(c) == 13) // about 1.2 s in
            c.closeWith(1011);
    };
    const struct {
        const char* what;
        bool refused;
        int typedAndRecorded;
    } cases[] = {
        {"the connection closed with 1011 mid-dictation", false, 1},
        {"the key is refused and no local model takes over", true, 0},
    };
    int records = 0;
    int typedTexts = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        closeMidway = true;
        if (c.refused)
            seed.setHandshakes(QList<Handshake>(seed.connectionCount() + 4, Handshake::unauthorized));
        const int sessionsBefore = h.sessionsOpened;
        tapToStart();
        speak(EngineTest::tone(400, 4.0)); // ends early, when the app ends the recording
        ASSERT_TRUE(endedByItself()) << "the recording went on";
        records += c.typedAndRecorded;
        typedTexts += c.typedAndRecorded;
        EXPECT_EQ(state().history().size(), records);

        // The tap the user meant as the stop, then the room goes on sounding.
        const qsizetype framesAtTheEnd = audioFramesReceived();
        const int connections = seed.connectionCount();
        h.tapTrigger();
        EXPECT_TRUE(h.settle([&] { return !state().isStartingSession(); }));
        roomSound(3.0);
        EXPECT_FALSE(state().isSessionActive()) << "the stop tap started a recording";
        EXPECT_EQ(h.sessionsOpened, sessionsBefore + 1) << "no second session opened";
        EXPECT_EQ(audioFramesReceived(), framesAtTheEnd) << "no audio sent after the end";
        EXPECT_EQ(seed.connectionCount(), connections);
        EXPECT_EQ(h.clipboard.textsSet().count(QStringLiteral("今天")), typedTexts) << "typed at most once";
        EXPECT_EQ(state().history().size(), records);

        // The tap after it starts as usual, and its stop ends it.
        seed.setHandshakes({});
        closeMidway = false;
        tapToStart();
        speak(EngineTest::tone(400, 0.6));
        EXPECT_TRUE(state().isSessionActive());
        ASSERT_TRUE(interimArrived()) << "the interim text never arrived";
        h.tapTrigger();
        h.scheduler.advance(100ms);
        drain();
        h.scheduler.advance(1200ms); // the service never gives its final answer
        ASSERT_TRUE(h.settle([&] {
            drain();
            return !state().isFinalizingSession() && !state().isSessionActive();
        }));
        ++records;
        ++typedTexts;
        EXPECT_EQ(state().history().size(), records);
        h.scheduler.advance(3s); // the error's pill goes back to idle
    }
}

class SeedDictationWithModelTest : public SeedDictationTest {
protected:
    void SetUp() override
    {
        withLocalModel = true;
        SeedDictationTest::SetUp();
    }
};

// With a model loaded the local model does take over: the notice says so and the dictation records on.
TEST_F(SeedDictationWithModelTest, ALostConnectionIsTakenOverByTheLocalModel)
{
    ASSERT_TRUE(h.settle([&] {
        drain();
        return engine->isUsingSenseVoice();
    })) << "the model never loaded";
    seed.onFrame = [](Connection& c, const Frame&) {
        if (audioFrames(c) == 2)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("你")));
        if (audioFrames(c) == 6)
            c.closeWith(1011);
    };
    begin();
    speak(EngineTest::tone(400, 0.8));
    ASSERT_TRUE(h.settle([&] {
        drain();
        return !engine->activeSessionUsesCloudSeedASR();
    }));
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral(
                  "✈️ 离线满血热备已接管：语音服务关闭了连接（关闭码 1011）"));
    EXPECT_TRUE(state().isSessionActive()) << "the local model records on";
    EXPECT_TRUE(state().phase().is<PipelinePhase::Listening>());
}

// A refused upgrade names the status and the service's reason; a service message of a whole page is cut to
// one line of the banner.
TEST_F(SeedDictationTest, RefusalsAndLongServiceMessagesReachTheBannerAsOneLine)
{
    seed.setRefusal("HTTP/1.1 401 Unauthorized", "application/json", R"({"message":"invalid X-Api-Key"})");
    seed.setHandshakes(QList<Handshake>(4, Handshake::refuse));
    begin();
    speak(EngineTest::tone(400, 1.0));
    ASSERT_TRUE(endedByItself());
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral(
                  "❌ 云端语音识别失败：语音服务拒绝了连接，请检查豆包语音 API Key（HTTP 401 Unauthorized："
                  "invalid X-Api-Key）") +
                  kNoModel + QStringLiteral("；本次听写没有得到任何文字"));

    // A refusal page without a title: what it says, without its markup, cut to the line; the status once.
    QByteArray fragment = "<body><h1>403 Forbidden</h1><p>Request blocked by the edge firewall.</p>";
    while (fragment.size() < 4000)
        fragment += "<div><script>track();</script><span>blocked</span></div>\n";
    seed.setRefusal("HTTP/1.1 403 Forbidden", "text/html", fragment + "</body>");
    seed.setHandshakes(QList<Handshake>(seed.connectionCount() + 4, Handshake::refuse));
    begin();
    speak(EngineTest::tone(400, 1.0));
    ASSERT_TRUE(endedByItself());
    EXPECT_TRUE(state().statusBanner().startsWith(QStringLiteral(
        "❌ 云端语音识别失败：语音服务拒绝了连接，请检查豆包语音 API Key（HTTP 403 Forbidden：Request blocked "
        "by the edge firewall. blocked blocked")))
        << state().statusBanner().toStdString();
    EXPECT_FALSE(state().statusBanner().contains(u'<'));
    EXPECT_FALSE(state().statusBanner().contains(QStringLiteral("track")));
    EXPECT_LT(state().statusBanner().size(), 300);

    QByteArray page = "<!DOCTYPE html><html><head><title>502 Bad Gateway</title></head><body>";
    while (page.size() < 5000)
        page += "<p>upstream speech cluster unavailable, please retry later</p>\n";
    page += "</body></html>";
    seed.setHandshakes({});
    seed.onFrame = [&page](Connection& c, const Frame&) {
        if (audioFrames(c) == 2)
            c.send(SeedASRTestServer::errorFrame(page));
    };
    begin();
    speak(EngineTest::tone(400, 1.0));
    ASSERT_TRUE(endedByItself());
    const QString banner = state().statusBanner();
    EXPECT_TRUE(
        banner.startsWith(QStringLiteral("❌ 云端语音识别失败：豆包语音服务返回了错误（502 Bad Gateway）")))
        << banner.toStdString();
    EXPECT_FALSE(banner.contains(u'\n'));
    EXPECT_LT(banner.size(), 200);
}

// A load balancer's refusal in passing (502, 503, 429) is tried once more at once, on a fresh socket that
// gets the dictation from its first frame: the user never knows. A refusal about the key (403) is not tried
// again.
TEST_F(SeedDictationTest, ARefusalInPassingIsReplayedOnAFreshSocket)
{
    seed.onFrame = [](Connection& c, const Frame& frame) {
        if (audioFrames(c) == 2)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("今天")));
        if (frame.isLastAudio())
            c.send(SeedASRTestServer::transcriptFrame(2, QStringLiteral("今天开会")));
    };
    const QByteArray refusals[] = {"HTTP/1.1 502 Bad Gateway", "HTTP/1.1 503 Service Unavailable",
                                   "HTTP/1.1 429 Too Many Requests"};
    int dictations = 0;
    for (const QByteArray& refusal : refusals) {
        SCOPED_TRACE(refusal.toStdString());
        seed.setRefusal(refusal, "text/html", "<html><head><title>busy</title></head></html>");
        const int first = seed.connectionCount();
        seed.setHandshakes(QList<Handshake>(first, Handshake::accept) << Handshake::refuse);
        begin();
        ASSERT_TRUE(serviceHasSession(first + 2)) << "no fresh socket after the refusal";
        speak(EngineTest::tone(400, 1.0));
        ASSERT_TRUE(interimArrived()) << "the interim text never arrived";
        stopAndWaitOutTheService(true);
        ++dictations;
        EXPECT_TRUE(typed(QStringLiteral("今天开会")));
        ASSERT_EQ(state().history().size(), dictations);
        EXPECT_EQ(state().statusBanner(), QString());
        ASSERT_EQ(seed.connectionCount() - first, 2) << "the refused upgrade and one fresh socket";
        const Connection& fresh = seed.connection(first + 1);
        ASSERT_GE(fresh.frames.size(), 3);
        EXPECT_EQ(fresh.frames[0].typeAndFlags(), 0x10) << "the request first";
        EXPECT_EQ(fresh.frames[1].payload.size(), 1920) << "then the audio from its first chunk";
        EXPECT_TRUE(fresh.frames.last().isLastAudio());
    }

    // The reading of the refusal is refused too; a replay would find the next socket let through.
    seed.setRefusal("HTTP/1.1 403 Forbidden", "application/json", R"({"message":"key disabled"})");
    const int first = seed.connectionCount();
    seed.setHandshakes(QList<Handshake>(first, Handshake::accept) << Handshake::refuse << Handshake::refuse);
    begin();
    // Both refusals come over real sockets: the clock stands until they have ended the recording.
    ASSERT_TRUE(h.settle([&] {
        drain();
        return !state().isSessionActive();
    })) << "the refusal never ended the recording";
    ASSERT_TRUE(endedByItself());
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("❌ 云端语音识别失败：语音服务拒绝了连接，请检查豆包语音 API Key（HTTP 403 "
                             "Forbidden：key disabled）") +
                  kNoModel + QStringLiteral("；本次听写没有得到任何文字"));
    EXPECT_EQ(seed.connectionCount() - first, 2) << "the upgrade and the reading of its refusal, no replay";
    EXPECT_EQ(state().history().size(), dictations);
}

namespace {

enum class Unreachable { secureHandshakeRefused, nothingListening };

// The service cannot be reached at all: the first dictation is started against it.
class SeedUnreachableTest : public SeedDictationTest, public ::testing::WithParamInterface<Unreachable> {
protected:
    void SetUp() override
    {
        if (GetParam() == Unreachable::secureHandshakeRefused) {
            ASSERT_TRUE(seed.listenRefusingSecureHandshake());
            seedUrl = seed.url();
        } else {
            QTcpServer gone;
            ASSERT_TRUE(gone.listen(QHostAddress::LocalHost, 0));
            seedUrl =
                QUrl(QStringLiteral("wss://127.0.0.1:%1/api/v3/sauc/bigmodel_async").arg(gone.serverPort()));
        }
        SeedDictationTest::SetUp();
    }
};

} // namespace

// Said as what it is: the secure connection failed, or the connection was refused; never "连接已断开".
TEST_P(SeedUnreachableTest, AServiceThatCannotBeReachedIsNamedAsSuch)
{
    const QString reason =
        GetParam() == Unreachable::secureHandshakeRefused
            ? QStringLiteral("安全连接失败，服务器在加密握手时断开了连接（The remote host closed "
                             "the connection）")
            : QStringLiteral("连接被拒绝，无法连接到服务器（Connection refused）");
    // Refused at once, the session may be over before the engine is seen streaming.
    h.begin();
    ASSERT_TRUE(state().isSessionActive());
    speak(EngineTest::tone(400, 1.5));
    ASSERT_TRUE(endedByItself()) << "the recording went on against a service that cannot be reached";
    EXPECT_EQ(state().phase(), PipelinePhase::error(QStringLiteral("云端语音识别失败：") + reason));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("❌ 云端语音识别失败：") + reason + kNoModel +
                                          QStringLiteral("；本次听写没有得到任何文字"));
    EXPECT_TRUE(state().history().isEmpty());
    EXPECT_TRUE(h.clipboard.textsSet().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Ways, SeedUnreachableTest,
                         ::testing::Values(Unreachable::secureHandshakeRefused,
                                           Unreachable::nothingListening),
                         [](const ::testing::TestParamInfo<Unreachable>& param) {
                             return param.param == Unreachable::secureHandshakeRefused
                                        ? "SecureHandshakeRefused"
                                        : "NothingListening";
                         });
