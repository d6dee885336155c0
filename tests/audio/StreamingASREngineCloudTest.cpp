#include "audio/SeedASRProtocol.h"
#include "audio/StreamingASREngineTestSupport.h"
#include "support/ScriptedHttpServer.h"
#include "support/TranscriptionNonAnswers.h"
#include "support/WavUpload.h"

using namespace std::chrono_literals;
using namespace EngineTest;
using Connection = SeedASRTestServer::Connection;
using Frame = SeedASRTestServer::ClientFrame;
using Reply = ScriptedHttpServer::Reply;

namespace {

const QString kKey = QStringLiteral("key-1");

// A Seed-ASR service on 127.0.0.1 and a web root for the connection warm-up.
class SeedService {
public:
    SeedService()
    {
        EXPECT_TRUE(server.listen());
        EXPECT_TRUE(web.listen());
        web.setHandler([](const ScriptedHttpServer::Request&) { return Reply{}; });
    }
    VolcSeedASRClient::Endpoint endpoint() const { return {server.url(), web.baseUrl()}; }

    int audioBytes(int connection = 0)
    {
        if (server.connectionCount() <= connection)
            return 0;
        int bytes = 0;
        for (const Frame& frame : server.connection(connection).frames)
            if (frame.typeAndFlags() != 0x10) // not the full client request
                bytes += static_cast<int>(frame.payload.size());
        return bytes;
    }

    VirtualScheduler webScheduler;
    SeedASRTestServer server;
    ScriptedHttpServer web{webScheduler};
};

QString multipartField(const QByteArray& body, const QByteArray& name)
{
    const QByteArray marker = "name=\"" + name + "\"\r\n\r\n";
    const qsizetype start = body.indexOf(marker);
    if (start < 0)
        return {};
    const qsizetype from = start + marker.size();
    return QString::fromUtf8(body.mid(from, body.indexOf("\r\n", from) - from));
}

} // namespace

TEST(StreamingASREngineSeed, StreamsSixteenKilohertzAudioAndReturnsTheFinalText)
{
    SeedService service;
    service.server.onFrame = [](Connection& c, const Frame& frame) {
        const qsizetype audioFrames = c.frames.size() - 1;
        if (audioFrames == 1)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("你")));
        if (audioFrames == 3) {
            // The same interim text again is news to nobody; as a definite utterance it is settled.
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("你")));
            c.send(SeedASRTestServer::responseFrame(
                1, SeedASRTestServer::transcriptJson(QStringLiteral("你"), true)));
        }
        if (frame.isLastAudio())
            c.send(SeedASRTestServer::transcriptFrame(3, QStringLiteral("你好。")));
    };
    Harness h(service.endpoint());
    h.configure(ASRProviderOption::volcSeedASR, QStringLiteral(" ") + kKey + QStringLiteral("\n"));
    h.start({QStringLiteral("热词")});
    EXPECT_TRUE(h.engine->activeSessionUsesCloudSeedASR());

    h.speak(tone(400, 1.0));
    ASSERT_TRUE(CloudTest::waitUntil([&] { return h.count({QStringLiteral("你"), true}) == 1; }));
    EXPECT_EQ(h.count({QStringLiteral("你"), false}), 1);

    const SpeechTranscript transcript = h.finish();
    EXPECT_EQ(transcript.text, QStringLiteral("你好。"));
    EXPECT_NEAR(transcript.durationSeconds, 1.0, 0.01);
    EXPECT_FALSE(h.engine->activeSessionUsesCloudSeedASR());

    Connection& connection = service.server.connection(0);
    EXPECT_EQ(connection.header("X-Api-Key"), kKey.toUtf8()) << "the key is sent trimmed";
    EXPECT_TRUE(connection.frames.first().payload.contains("热词"));
    // One second of speech at 16 kHz, 16-bit; the converter holds back a few milliseconds.
    const int bytes = service.audioBytes();
    EXPECT_GT(bytes, 31000);
    EXPECT_LE(bytes, 32100);
    EXPECT_TRUE(h.notices.isEmpty());
}

// The service accepts and never answers; the local model stands by.
TEST(StreamingASREngineSeed, ASilentServiceIsReplacedByTheLocalModel)
{
    SeedService service;
    Harness h(service.endpoint());
    installModel();
    h.configure(ASRProviderOption::volcSeedASR, kKey);

    // Too short for the watchdog: the finish waits for the final text, then decodes the recording locally.
    h.start();
    h.speak(tone(400, 1.0));
    h.speak(silence(0.3));
    EXPECT_TRUE(h.notices.isEmpty());
    h.beginFinish();
    h.settle();
    h.scheduler.advance(1200ms);
    ASSERT_TRUE(h.waitFinished());
    EXPECT_EQ(h.finished->text, QStringLiteral("你"));
    h.settle();
    EXPECT_EQ(h.notices, QStringList{StreamingASREngine::kSeedFinalTimeoutNotice.toString()});

    // 1.5 s of voice without an answer: the watchdog moves the session, once.
    h.notices.clear();
    h.start();
    ASSERT_TRUE(CloudTest::waitUntil([&] { return service.server.connectionCount() == 2; }));
    h.speak(tone(400, 1.4));
    EXPECT_TRUE(h.notices.isEmpty());
    EXPECT_TRUE(h.engine->activeSessionUsesCloudSeedASR());
    h.speak(tone(400, 0.2));
    EXPECT_EQ(h.notices, QStringList{StreamingASREngine::kWatchdogFailoverNotice.toString()});
    EXPECT_FALSE(h.engine->activeSessionUsesCloudSeedASR());

    // The local model takes over mid-sentence, from the start of the utterance.
    h.speak(tone(4000, 0.4));
    h.speak(silence(0.3));
    ASSERT_FALSE(h.partials.isEmpty()) << "the local model delivered nothing";
    EXPECT_EQ(h.partials.last(), (Partial{QStringLiteral("你好"), true}));
    EXPECT_EQ(h.finish().text, QStringLiteral("你好"));
    EXPECT_EQ(h.notices.size(), 1);
    EXPECT_TRUE(CloudTest::waitUntil([&] { return service.server.connection(1).disconnected; }));
}

// A final that cannot be read, or an error in its place: the local model answers, and the notice says what
// the service did rather than that it was late.
TEST(StreamingASREngineSeed, ABrokenFinalIsReplacedByTheLocalModelAndNamed)
{
    SeedService service;
    const QByteArray packed =
        *SeedASRProtocol::gzipCompress(SeedASRTestServer::transcriptJson(QStringLiteral("远端"), true));
    QByteArray answer;
    service.server.onFrame = [&answer](Connection& c, const Frame& frame) {
        if (frame.isLastAudio())
            c.send(answer);
    };
    Harness h(service.endpoint());
    installModel();
    h.configure(ASRProviderOption::volcSeedASR, kKey);
    const QPair<QByteArray, QString> cases[] = {
        {SeedASRTestServer::responseFrameCarrying(2, packed.first(packed.size() - 4)),
         QStringLiteral(
             "云端语音回包异常（豆包语音的最终结果数据损坏、无法读取），已由本机满血 FP32 模型无缝兜底")},
        {SeedASRTestServer::errorFrame("quota exceeded"),
         QStringLiteral("云端语音回包异常（豆包语音服务返回了错误（quota exceeded）），已由本机满血 FP32 "
                        "模型无缝兜底")}};
    for (const auto& [frame, notice] : cases) {
        answer = frame;
        h.notices.clear();
        h.start();
        h.speak(tone(400, 1.0));
        h.speak(silence(0.3));
        EXPECT_EQ(h.finish().text, QStringLiteral("你"));
        h.settle();
        EXPECT_EQ(h.notices, QStringList{notice});
    }
}

TEST(StreamingASREngineSeed, WithoutALocalModelTheFinishWaitsForTheServiceOnly)
{
    SeedService service;
    Harness h(service.endpoint());
    h.recognizer.setAvailable(QString(), true); // present, but a cloud session never falls to it
    h.configure(ASRProviderOption::volcSeedASR, kKey);

    // Stopped before any voice: the finish returns at once and closes the stream.
    h.start();
    ASSERT_TRUE(CloudTest::waitUntil([&] { return service.server.connectionCount() == 1; }));
    h.speak(silence(0.5));
    h.beginFinish();
    ASSERT_TRUE(h.finished.has_value());
    EXPECT_EQ(h.finished->text, QString());
    EXPECT_TRUE(CloudTest::waitUntil([&] { return service.server.connection(0).disconnected; }));

    h.start();
    h.speak(tone(400, 2.0));
    EXPECT_TRUE(h.notices.isEmpty()) << "no local model: the watchdog does not switch";
    EXPECT_TRUE(h.engine->activeSessionUsesCloudSeedASR());
    h.beginFinish();
    ASSERT_TRUE(CloudTest::waitUntil([&] {
        return service.audioBytes(1) > 0 && service.server.connection(1).frames.last().isLastAudio();
    }));
    h.scheduler.advance(1199ms);
    h.settle();
    EXPECT_FALSE(h.finished.has_value());
    h.scheduler.advance(1ms);
    ASSERT_TRUE(h.waitFinished());
    EXPECT_EQ(h.finished->text, QString());
    EXPECT_FALSE(h.recognizer.lastRequest().has_value());
    h.settle();
    // The user spoke and the service said nothing: an error, not silence; never a take-over notice.
    EXPECT_EQ(h.errors,
              QStringList{QStringLiteral("云端语音识别失败：豆包语音服务在等待时间内没有返回任何结果")});
    EXPECT_EQ(h.errorValues.value(0).code, StreamingASREngine::kSeedNoAnswerCode);
    EXPECT_TRUE(h.notices.isEmpty());
}

// The client refuses such a key inside startSession, before the session exists: the refusal still moves the
// session to the local model, and nothing goes on the wire.
TEST(StreamingASREngineSeed, AKeyTheClientRefusesAtOnceFallsToTheLocalModel)
{
    SeedService service;
    Harness h(service.endpoint());
    installModel();
    h.configure(ASRProviderOption::volcSeedASR, QStringLiteral("ab") + QChar(0x01) + QStringLiteral("cd"));
    h.start();
    EXPECT_EQ(h.notices, QStringList{QStringLiteral("豆包语音 API Key 含有控制字符，请重新粘贴")});
    EXPECT_FALSE(h.engine->activeSessionUsesCloudSeedASR());
    h.speak(silence(0.2));
    h.speak(tone(400, 0.4));
    ASSERT_FALSE(h.partials.isEmpty()) << "the local model delivered nothing";
    EXPECT_EQ(h.partials.last(), (Partial{QStringLiteral("你"), false}));
    CloudTest::settle();
    EXPECT_EQ(service.server.connectionCount(), 0);
}

TEST(StreamingASREngineSeed, ACancelledSessionsTextNeverReachesTheNextSession)
{
    SeedService service;
    service.server.onFrame = [](Connection& c, const Frame&) {
        c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("旧")));
    };
    Harness h(service.endpoint());
    installModel();
    h.configure(ASRProviderOption::volcSeedASR, kKey);
    h.start();
    h.capture.feed(tone(400, 0.5));
    ASSERT_TRUE(CloudTest::waitUntil([&] { return service.audioBytes() > 4000; }));
    // The answers to that audio are on their way while the session is cancelled and the next one starts.
    h.engine->cancel();
    h.configure(ASRProviderOption::localSenseVoice);
    h.engine->startStreamingAsync(QStringLiteral("zh-CN"), {}, {});
    h.partials.clear();
    // Once the service has seen the cancelled session's socket close, nothing more comes over it; what
    // came before is in the engine's queues, which settle() drains.
    ASSERT_TRUE(CloudTest::waitUntil([&] { return service.server.connection(0).disconnected; }));
    h.settle();
    h.speak(silence(0.2));
    h.speak(tone(4000, 0.4));
    EXPECT_FALSE(h.engine->activeSessionUsesCloudSeedASR());
    for (const Partial& partial : h.partials)
        EXPECT_FALSE(partial.text.contains(QStringLiteral("旧")));
    EXPECT_EQ(h.finish().text, QStringLiteral("好"));
    EXPECT_EQ(service.server.connectionCount(), 1) << "nothing of the cancelled session opened a socket";
}

class StreamingASREngineOpenAI : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(http.listen(QHostAddress(QStringLiteral("127.0.0.1")))); }
    void configure()
    {
        h.configure(ASRProviderOption::openAIWhisper, {}, http.baseUrl().toString() + QStringLiteral("/v1"));
    }
    QList<ScriptedHttpServer::Request> uploads() const
    {
        QList<ScriptedHttpServer::Request> posts;
        for (const ScriptedHttpServer::Request& request : http.requests())
            if (request.method == "POST")
                posts.append(request);
        return posts;
    }

    Harness h;
    ScriptedHttpServer http{h.scheduler};
};

TEST_F(StreamingASREngineOpenAI, UploadsTheSessionWithItsPreRollAsOneWavFile)
{
    http.setHandler([](const ScriptedHttpServer::Request& request) {
        return request.method == "POST" ? Reply::json(200, R"({"text":" 你好 \n"})") : Reply{};
    });
    configure(); // a keyless local service is usable without a key
    h.engine->prewarmHotMicAsync();
    h.settle();
    h.capture.feed(tone(400, 0.3)); // heard just before the trigger: 0.18 s of it opens the session
    h.start({QStringLiteral("Quorbell"), QStringLiteral("热词")});
    EXPECT_TRUE(h.engine->activeSessionUsesOpenAIASR());
    h.speak(tone(400, 1.0));
    h.speak(silence(0.3));
    EXPECT_TRUE(h.partials.isEmpty()) << "uploaded sessions have no partial results";
    EXPECT_EQ(h.levelBus.sampleRecognizedSymbolProgress().exactTarget, 5)
        << "one pill symbol per 0.2 s of voice";

    EXPECT_EQ(h.finish().text, QStringLiteral("你好"));
    ASSERT_EQ(uploads().size(), 1);
    const ScriptedHttpServer::Request upload = uploads()[0];
    EXPECT_EQ(upload.path, QByteArray("/v1/audio/transcriptions"));
    quint32 rate = 0;
    const int samples = wavSampleCount(upload.body, &rate);
    EXPECT_EQ(rate, 16000u);
    EXPECT_NEAR(samples, (0.18 + 1.3) * 16000, 60);
    EXPECT_EQ(multipartField(upload.body, "prompt"), QStringLiteral("Quorbell, 热词"));
    EXPECT_EQ(multipartField(upload.body, "language"), QStringLiteral("zh"));

    // Silence before the first word is cut to a quarter second.
    h.start();
    h.speak(silence(2.0));
    h.speak(tone(400, 1.0));
    h.speak(silence(0.3));
    EXPECT_EQ(h.finish().text, QStringLiteral("你好"));
    EXPECT_NEAR(wavSampleCount(uploads().last().body, &rate), 1.55 * 16000, 60);

    // Nobody spoke: no upload, and the finish says no voice was heard.
    h.start();
    h.speak(silence(1.0));
    const SpeechTranscript silent = h.finish();
    EXPECT_EQ(silent.text, QString());
    EXPECT_FALSE(silent.heardVoice);
    CloudTest::settle();
    EXPECT_EQ(uploads().size(), 2);

    // Voice that the service heard as nothing: the finish says voice was heard.
    http.setHandler([](const ScriptedHttpServer::Request& request) {
        return request.method == "POST" ? Reply::json(200, R"({"text":" "})") : Reply{};
    });
    h.start();
    h.speak(tone(400, 1.0));
    const SpeechTranscript unheard = h.finish();
    EXPECT_EQ(unheard.text, QString());
    EXPECT_TRUE(unheard.heardVoice);
}

// A source that delivers its audio in large blocks (seconds at a time) may hand over all a short dictation
// holds before the trigger: the lead-in is then the only voice the session gets.
TEST_F(StreamingASREngineOpenAI, VoiceHeardOnlyInTheLeadInIsStillUploaded)
{
    http.setHandler([](const ScriptedHttpServer::Request& request) {
        return request.method == "POST" ? Reply::json(200, R"({"text":"你"})") : Reply{};
    });
    configure();
    h.engine->prewarmHotMicAsync();
    h.settle();
    h.capture.feed(tone(400, 2.0)); // one block, delivered at once before the trigger
    h.start();
    h.scheduler.advance(1500ms); // the next block comes after the stop
    h.settle();
    const SpeechTranscript transcript = h.finish();
    EXPECT_EQ(transcript.text, QStringLiteral("你"));
    EXPECT_TRUE(transcript.heardVoice);
    ASSERT_EQ(uploads().size(), 1) << "the lead-in's voice was taken for silence";
    quint32 rate = 0;
    EXPECT_NEAR(wavSampleCount(uploads()[0].body, &rate), 0.18 * 16000, 60);

    // A lead-in of silence is still nobody speaking.
    h.capture.feed(silence(2.0));
    h.start();
    h.scheduler.advance(1500ms);
    h.settle();
    EXPECT_FALSE(h.finish().heardVoice);
    CloudTest::settle();
    EXPECT_EQ(uploads().size(), 1);
}

TEST_F(StreamingASREngineOpenAI, AStalledUploadTimesOutAndTheLocalModelAnswers)
{
    Reply stall;
    stall.framing = Reply::Framing::chunked;
    stall.stallAfterPieces = true;
    http.setHandler([stall](const ScriptedHttpServer::Request& request) {
        return request.method == "POST" ? stall : Reply{};
    });
    installModel();
    configure();
    h.start();
    h.speak(tone(400, 0.7));
    h.speak(silence(0.3));
    EXPECT_TRUE(h.partials.isEmpty()) << "the local model does not run alongside an upload";

    // One second recorded: the upload gets 6.5 s.
    h.beginFinish();
    ASSERT_TRUE(CloudTest::waitUntil([&] {
        h.settle();
        return !uploads().isEmpty();
    }));
    h.scheduler.advance(6400ms);
    h.settle();
    EXPECT_FALSE(h.finished.has_value());
    h.scheduler.advance(100ms);
    ASSERT_TRUE(h.waitFinished());
    EXPECT_EQ(h.finished->text, QStringLiteral("你"));
    h.settle();
    EXPECT_EQ(h.notices,
              QStringList{QStringLiteral("云端语音回包异常（请求超时），已由本机满血 FP32 模型无缝兜底")});
    EXPECT_TRUE(h.errors.isEmpty());
}

TEST_F(StreamingASREngineOpenAI, AFailedUploadWithoutALocalModelIsAnError)
{
    http.setHandler([](const ScriptedHttpServer::Request& request) {
        return request.method == "POST" ? Reply::json(401, R"({"error":{"message":"bad key"}})") : Reply{};
    });
    configure();
    h.start();
    h.speak(tone(400, 0.7));
    EXPECT_EQ(h.finish().text, QString());
    h.settle();
    EXPECT_EQ(h.errors, QStringList{QStringLiteral("云端语音识别失败：HTTP 401：bad key")});
    ASSERT_EQ(h.errorValues.size(), 1);
    EXPECT_EQ(h.errorValues.first().domain, QStringLiteral("Quorbell.OpenAIASR"))
        << "the client's error, passed on";
    EXPECT_EQ(h.errorValues.first().code, 401);
    EXPECT_TRUE(h.notices.isEmpty());
}

// A 200 that is no transcript fails the upload as an error status does: nothing comes back to be typed, and
// the reason, in Chinese with the service's words in brackets, goes to the error; with a local model the
// recording is decoded locally instead.
TEST_F(StreamingASREngineOpenAI, AnAnswerThatIsNotATranscriptFailsTheUploadWithItsReason)
{
    QList<TranscriptionNonAnswer> cases = transcriptionNonAnswers();
    cases.append({Reply::json(429, R"({"error":{"message":"Rate limit reached"}})"),
                  QStringLiteral("HTTP 429：Rate limit reached")});
    cases.append({Reply::json(500, ""), QStringLiteral("HTTP 500：HTTP 500")});
    configure();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason.toStdString());
        http.setHandler([reply = c.reply](const ScriptedHttpServer::Request& request) {
            return request.method == "POST" ? reply : Reply{};
        });
        h.errors.clear();
        h.start();
        h.speak(tone(400, 0.7));
        EXPECT_EQ(h.finish().text, QString()) << "nothing to type";
        h.settle();
        EXPECT_EQ(h.errors, QStringList{QStringLiteral("云端语音识别失败：") + c.reason});
    }

    installModel();
    h.engine->reloadSenseVoiceModelAsync();
    h.settle();
    http.setHandler([](const ScriptedHttpServer::Request& request) {
        return request.method == "POST" ? Reply::json(200, "{}") : Reply{};
    });
    h.errors.clear();
    h.start();
    h.speak(tone(400, 0.7));
    h.speak(silence(0.3));
    EXPECT_EQ(h.finish().text, QStringLiteral("你"));
    h.settle();
    EXPECT_EQ(h.notices, QStringList{QStringLiteral("云端语音回包异常（语音接口没有返回转写文本（{}）），"
                                                    "已由本机满血 FP32 模型无缝兜底")});
    EXPECT_TRUE(h.errors.isEmpty());
}

TEST_F(StreamingASREngineOpenAI, TheRecordingStopsGrowingAtThreeMinutes)
{
    http.setHandler([](const ScriptedHttpServer::Request& request) {
        return request.method == "POST" ? Reply::json(200, R"({"text":"长"})") : Reply{};
    });
    h.capture.setSource(8000); // a low rate keeps three minutes of audio small
    configure();
    h.start();
    h.capture.feed(tone(400, 200.0, 8000));
    h.scheduler.advance(200s);
    EXPECT_EQ(h.finish().text, QStringLiteral("长"));
    quint32 rate = 0;
    const int samples = wavSampleCount(uploads().last().body, &rate);
    // The whole buffer that crossed the cap is kept: at most one buffer (1024 samples at 16 kHz) beyond it.
    EXPECT_GE(samples, 180 * 16000 - 60);
    EXPECT_LE(samples, 180 * 16000 + 1024 + 60);
}
