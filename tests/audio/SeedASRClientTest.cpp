#include "audio/SeedASRTestServer.h"
#include "audio/VolcSeedASRClient.h"
#include "support/ScriptedHttpServer.h"
#include "support/VirtualScheduler.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
using CloudTest::waitUntil;
using Handshake = SeedASRTestServer::Handshake;
using Connection = SeedASRTestServer::Connection;
using Frame = SeedASRTestServer::ClientFrame;

namespace {

std::vector<qint16> samples(int count, int offset = 0)
{
    std::vector<qint16> out(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        out[static_cast<size_t>(i)] = static_cast<qint16>((offset + i) * 37 - 9000);
    return out;
}

QByteArray littleEndian(const std::vector<qint16>& values)
{
    QByteArray out;
    for (qint16 v : values) {
        out.append(static_cast<char>(v & 0xFF));
        out.append(static_cast<char>((v >> 8) & 0xFF));
    }
    return out;
}

using Finished = std::optional<std::optional<QString>>;

QCoro::Task<> finishInto(VolcSeedASRClient* client, quint64 timeoutMs, Finished* out)
{
    *out = co_await client->finishAndAwaitFinalTranscript(timeoutMs);
}

QCoro::Task<> probeInto(QString key, Scheduler* scheduler, QUrl url, std::optional<Result<qint64>>* out)
{
    *out = co_await VolcSeedASRClient::probeHandshakeLatency(key, VolcSeedASRClient::defaultResourceID(),
                                                             *scheduler, url);
}

} // namespace

class SeedASRClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen());
        ASSERT_TRUE(http.listen());
        http.setHandler([](const ScriptedHttpServer::Request&) { return ScriptedHttpServer::Reply{}; });
        client = std::make_unique<VolcSeedASRClient>(
            scheduler, VolcSeedASRClient::Endpoint{server.url(), http.baseUrl()});
        client->onStreamingTranscript = [this](quint64 tag, const QString& text, bool definite) {
            transcripts.append({text, definite});
            tags.append(tag);
        };
        client->onConnectionFallbackNeeded = [this](quint64 tag, const QString& reason) {
            fallbacks.append(reason);
            tags.append(tag);
        };
    }

    void start(const QString& key = QStringLiteral("key-1"))
    {
        client->startSession(++sessionTag, key, {QStringLiteral("热词")}, {}, true, true,
                             VolcSeedASRClient::defaultResourceID());
    }
    void append(const std::vector<qint16>& values) { client->appendPCM16Samples(values); }
    // Begins the finish; `finished` is filled when it returns.
    void finish()
    {
        finished.reset();
        finishInto(client.get(), 1200, &finished);
    }
    bool framesAtLeast(int connection, int count)
    {
        return waitUntil([&] {
            return server.connectionCount() > connection &&
                   server.connection(connection).frames.size() >= count;
        });
    }
    bool handshakeSeen(int count)
    {
        return waitUntil([&] {
            return server.connectionCount() == count && !server.connection(count - 1).path.isEmpty();
        });
    }
    // Starts a probe; `result` is filled when it ends.
    void probe(const QString& key, std::optional<Result<qint64>>& result)
    {
        result.reset();
        probeInto(key, &scheduler, server.url(), &result);
    }

    VirtualScheduler scheduler;
    SeedASRTestServer server;
    ScriptedHttpServer http{scheduler};
    std::unique_ptr<VolcSeedASRClient> client;
    QList<QPair<QString, bool>> transcripts;
    QStringList fallbacks;
    quint64 sessionTag = 0;
    QList<quint64> tags; // of every callback, in order
    Finished finished;
};

TEST_F(SeedASRClientTest, StreamsChunkedAudioAndReturnsTheFinalTranscript)
{
    server.onFrame = [](Connection& c, const Frame& frame) {
        if (c.frames.size() == 3) {
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("你好")));
            c.send(SeedASRTestServer::transcriptFrame(1, QString()));
        }
        if (frame.isLastAudio())
            c.send(SeedASRTestServer::transcriptFrame(3, QStringLiteral("你好世界")));
    };
    start(QStringLiteral("  key-1 \n"));
    // Sent before the handshake completes: held, then flushed in order.
    const auto first = samples(1000);
    const auto second = samples(5000, 1000);
    append(first);
    append(second);
    ASSERT_TRUE(framesAtLeast(0, 5));

    const Connection& c = server.connection(0);
    EXPECT_EQ(c.header("X-Api-Key"), QByteArray("key-1")) << "trimmed";
    ASSERT_EQ(c.frames[0].typeAndFlags(), 0x10);
    EXPECT_TRUE(c.frames[0].payload.contains(QStringLiteral(R"(\"word\":\"热词\")").toUtf8()));
    ASSERT_TRUE(waitUntil([&] { return !transcripts.isEmpty(); }));
    EXPECT_TRUE(client->hasReceivedAnyServerFrame());
    finish();
    ASSERT_TRUE(waitUntil([&] { return finished.has_value(); }));
    EXPECT_EQ(*finished, std::optional<QString>(QStringLiteral("你好世界")));

    // Three 60 ms chunks, then 100 ms chunks; the pending bytes go in the last packet.
    QList<qsizetype> sizes;
    QByteArray streamed;
    for (const Frame& frame : c.frames.mid(1)) {
        sizes.append(frame.payload.size());
        streamed += frame.payload;
        EXPECT_TRUE(frame.sizeMatches);
    }
    EXPECT_EQ(sizes, (QList<qsizetype>{1920, 1920, 1920, 3200, 2 * 6000 - 1920 * 3 - 3200}));
    EXPECT_EQ(streamed, littleEndian(first) + littleEndian(second));
    EXPECT_TRUE(c.frames.last().isLastAudio());
    // The empty interim text was not delivered.
    EXPECT_EQ(transcripts, (QList<QPair<QString, bool>>{{QStringLiteral("你好"), false},
                                                        {QStringLiteral("你好世界"), true}}));
    ASSERT_TRUE(waitUntil([&] { return c.disconnected; }));
    EXPECT_EQ(c.closeCodeFromClient, 1000);
    EXPECT_TRUE(fallbacks.isEmpty());
}

// The audio thread appends while the main thread finishes: whatever reached the service is a gapless prefix
// of the audio, in order, closed by the last packet.
TEST_F(SeedASRClientTest, AudioFromAnotherThreadStaysInOrderUpToTheLastPacket)
{
    server.onFrame = [](Connection& c, const Frame& frame) {
        if (frame.isLastAudio())
            c.send(SeedASRTestServer::transcriptFrame(3, QStringLiteral("完")));
    };
    start();
    const std::vector<qint16> all = samples(512 * 400);
    std::atomic<int> appended{0};
    std::thread audio([&] {
        for (std::size_t i = 0; i < 400; ++i) {
            client->appendPCM16Samples(std::span(all).subspan(i * 512, 512));
            ++appended;
        }
    });
    while (appended < 100)
        std::this_thread::yield();
    finish();
    audio.join();
    ASSERT_TRUE(waitUntil([&] { return finished.has_value(); }));
    EXPECT_EQ(*finished, std::optional<QString>(QStringLiteral("完")));

    const auto& frames = server.connection(0).frames;
    ASSERT_GE(frames.size(), 3);
    QByteArray streamed;
    for (qsizetype i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].isLastAudio(), i == frames.size() - 1) << "frame " << i;
        streamed += frames[i].payload;
    }
    EXPECT_GE(streamed.size(), 100 * 512 * 2);
    EXPECT_TRUE(littleEndian(all).startsWith(streamed));
}

TEST_F(SeedASRClientTest, ReplaysRecordedFramesOnceOnAFreshSocket)
{
    server.onFrame = [](Connection& c, const Frame&) {
        if (c.index == 0 && c.frames.size() == 3)
            c.drop();
    };
    start();
    append(samples(960 * 2));
    ASSERT_TRUE(framesAtLeast(1, 3));
    const auto& first = server.connection(0);
    const auto& fresh = server.connection(1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(fresh.frames[i].wirePayload, first.frames[i].wirePayload) << "frame " << i;
    EXPECT_NE(fresh.header("X-Api-Connect-Id"), first.header("X-Api-Connect-Id"));
    EXPECT_NE(fresh.header("X-Api-Request-Id"), first.header("X-Api-Request-Id"));
    EXPECT_TRUE(fallbacks.isEmpty());

    append(samples(960, 5000));
    ASSERT_TRUE(framesAtLeast(1, 4)) << "later audio goes to the fresh socket";

    server.connection(1).drop();
    ASSERT_TRUE(waitUntil([&] { return !fallbacks.isEmpty(); }));
    EXPECT_EQ(fallbacks.size(), 1);
    EXPECT_EQ(server.connectionCount(), 2) << "one replay per session";
    append(samples(960));
    finish();
    ASSERT_TRUE(finished.has_value()) << "a failed-over session finishes at once";
    EXPECT_FALSE(*finished);
}

TEST_F(SeedASRClientTest, AFailedSocketThatIsStillConnectedIsClosedNormallyBeforeTheReplay)
{
    start();
    append(samples(960 * 2));
    ASSERT_TRUE(framesAtLeast(0, 3));
    // The service never answers and the socket outlives its limit: a failure with the connection still up.
    scheduler.advance(300s);
    ASSERT_TRUE(framesAtLeast(1, 3)) << "replayed on a fresh socket";
    const auto& first = server.connection(0);
    ASSERT_TRUE(waitUntil([&] { return first.disconnected; }));
    EXPECT_EQ(first.closeCodeFromClient, 1000);
    EXPECT_TRUE(fallbacks.isEmpty());
}

TEST_F(SeedASRClientTest, FailsOverWithoutReplayWhenAudioWentUnrecordedOrTheServiceHadAnswered)
{
    // More frames than can be kept before the first answer: a replay would lose audio.
    start();
    for (int i = 0; i < 20; ++i)
        append(samples(1600, i * 1600));
    ASSERT_TRUE(framesAtLeast(0, 21));
    server.connection(0).drop();
    ASSERT_TRUE(waitUntil([&] { return !fallbacks.isEmpty(); }));
    EXPECT_EQ(server.connectionCount(), 1);

    // Once the service has answered, a failure fails over at once.
    fallbacks.clear();
    server.onFrame = [](Connection& c, const Frame&) {
        if (c.frames.size() == 1)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("嗯")));
    };
    start();
    ASSERT_TRUE(waitUntil([&] { return client->hasReceivedAnyServerFrame(); }));
    server.connection(1).drop();
    ASSERT_TRUE(waitUntil([&] { return !fallbacks.isEmpty(); }));
    EXPECT_EQ(server.connectionCount(), 2);

    // A failure of a socket that is no longer current is ignored.
    fallbacks.clear();
    start();
    ASSERT_TRUE(framesAtLeast(2, 1));
    client->stopAndReset();
    server.connection(2).drop();
    start();
    ASSERT_TRUE(framesAtLeast(3, 1));
    CloudTest::settle(60);
    EXPECT_TRUE(fallbacks.isEmpty());
    EXPECT_EQ(server.connectionCount(), 4);
}

TEST_F(SeedASRClientTest, StalledHandshakesTimeOutOnTheSchedulerThenFailOver)
{
    server.setHandshakes({Handshake::stall, Handshake::stall});
    start();
    append(samples(960));
    ASSERT_TRUE(handshakeSeen(1));
    scheduler.advance(4400ms);
    CloudTest::settle();
    EXPECT_EQ(server.connectionCount(), 1);
    scheduler.advance(100ms);
    ASSERT_TRUE(handshakeSeen(2));
    EXPECT_TRUE(fallbacks.isEmpty());
    scheduler.advance(4500ms);
    ASSERT_TRUE(waitUntil([&] { return !fallbacks.isEmpty(); }));
    EXPECT_EQ(fallbacks, QStringList{QStringLiteral("豆包语音服务没有响应连接请求（握手超时）")});
}

// Audio piling up behind a handshake that never completes is bounded: past 30 s of speech the session fails
// over with its reason instead of holding ever more memory.
TEST_F(SeedASRClientTest, AudioHeldBehindAStalledHandshakeIsCappedAndFailsOver)
{
    server.setHandshakes({Handshake::stall});
    start();
    ASSERT_TRUE(handshakeSeen(1));
    for (int second = 0; second < 29; ++second)
        append(samples(16000, second * 16000));
    CloudTest::runPostedEvents();
    EXPECT_TRUE(fallbacks.isEmpty()) << "29 s of speech may wait for the socket";
    for (int second = 29; second < 33; ++second)
        append(samples(16000, second * 16000));
    ASSERT_TRUE(waitUntil([&] { return !fallbacks.isEmpty(); }));
    EXPECT_EQ(fallbacks, QStringList{QStringLiteral("云端发送积压过多")});
    EXPECT_EQ(server.connectionCount(), 1) << "audio went unrecorded: no replay";
}

TEST_F(SeedASRClientTest, FinishWaitsForTheFinalFrameUntilTheTimeOut)
{
    server.onFrame = [](Connection& c, const Frame&) {
        if (c.index == 0 && c.frames.size() == 2)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("部分")));
    };
    start();
    append(samples(960));
    ASSERT_TRUE(waitUntil([&] { return !transcripts.isEmpty(); }));
    finish();
    ASSERT_TRUE(waitUntil([&] {
        return !server.connection(0).frames.isEmpty() && server.connection(0).frames.last().isLastAudio();
    }));
    append(samples(960));
    scheduler.advance(1199ms);
    CloudTest::runPostedEvents();
    EXPECT_FALSE(finished.has_value());
    scheduler.advance(1ms);
    ASSERT_TRUE(waitUntil([&] { return finished.has_value(); }));
    EXPECT_EQ(*finished, std::optional<QString>(QStringLiteral("部分")));
    EXPECT_EQ(server.connection(0).frames.size(), 3) << "audio after the finish began is dropped";

    // Nothing arrived: nothing to return. A finish with nothing pending still sends an empty last packet.
    start();
    ASSERT_TRUE(framesAtLeast(1, 1));
    finish();
    ASSERT_TRUE(framesAtLeast(1, 2));
    EXPECT_TRUE(server.connection(1).frames[1].isLastAudio());
    EXPECT_TRUE(server.connection(1).frames[1].payload.isEmpty());
    scheduler.advance(1200ms);
    ASSERT_TRUE(waitUntil([&] { return finished.has_value(); }));
    EXPECT_FALSE(*finished);
}

// The finish is resumed exactly once: by an early final frame, or by the first of two error frames.
TEST_F(SeedASRClientTest, AnEarlyFinalOrAnErrorFrameEndsTheSessionOnce)
{
    server.onFrame = [](Connection& c, const Frame& frame) {
        if (c.index == 0 && c.frames.size() == 2) {
            // Noise first: a short frame, a declared size past the end, a text message, a gzip bomb.
            c.send(QByteArray("\x11\x91\x11\x00\x00\x00", 6));
            c.send(QByteArray::fromHex("11901000ffffffff") +
                   SeedASRTestServer::transcriptJson(QStringLiteral("先")));
            c.socket->sendTextMessage(QStringLiteral("ignored"));
            c.send(SeedASRTestServer::responseFrame(1, QByteArray(16 * 1024 * 1024, ' ')));
            c.send(SeedASRTestServer::transcriptFrame(2, QStringLiteral("完整")));
        }
        if (c.index == 1 && frame.isLastAudio()) {
            c.send(SeedASRTestServer::errorFrame(QStringLiteral("额度不足").toUtf8(), true));
            c.send(SeedASRTestServer::errorFrame("second"));
            c.socket->close(QWebSocketProtocol::CloseCodeAbnormalDisconnection);
        }
    };
    start();
    append(samples(960));
    ASSERT_TRUE(waitUntil([&] { return transcripts.size() == 2; }));
    EXPECT_EQ(transcripts,
              (QList<QPair<QString, bool>>{{QStringLiteral("先"), false}, {QStringLiteral("完整"), true}}));
    finish();
    ASSERT_TRUE(finished.has_value()) << "returned at once";
    EXPECT_EQ(*finished, std::optional<QString>(QStringLiteral("完整")));
    ASSERT_TRUE(waitUntil([&] { return server.connection(0).disconnected; }));
    EXPECT_EQ(server.connection(0).frames.size(), 2) << "no last packet after the final frame";
    EXPECT_TRUE(fallbacks.isEmpty());

    start();
    append(samples(960));
    ASSERT_TRUE(framesAtLeast(1, 2));
    finish();
    ASSERT_TRUE(waitUntil([&] { return finished.has_value() && !fallbacks.isEmpty(); }));
    EXPECT_FALSE(*finished);
    CloudTest::settle();
    EXPECT_EQ(fallbacks, QStringList{QStringLiteral("豆包语音服务返回了错误（额度不足）")});
    EXPECT_EQ(tags, (QList<quint64>{1, 1, 2})) << "each callback names the session it belongs to";
}

TEST_F(SeedASRClientTest, UnusableKeysFallBackAtOnceAndReleaseTheEarlierWaiter)
{
    append(samples(2000)); // before any session: dropped
    start();
    append(samples(960));
    ASSERT_TRUE(framesAtLeast(0, 2));
    finish();

    start(QStringLiteral(" \n "));
    EXPECT_EQ(fallbacks, QStringList{QStringLiteral("未配置豆包语音 API Key")}) << "synchronous";
    ASSERT_TRUE(waitUntil([&] { return finished.has_value(); }));
    EXPECT_FALSE(*finished);

    start(QStringLiteral("key\r\nX-Injected: 1"));
    ASSERT_EQ(fallbacks.size(), 2);
    EXPECT_TRUE(fallbacks[1].contains(QStringLiteral("控制字符")));
    CloudTest::settle();
    EXPECT_EQ(server.connectionCount(), 1);
    EXPECT_EQ(server.connection(0).frames[1].payload.size(), 1920) << "the early samples were dropped";
}

TEST_F(SeedASRClientTest, WarmUpIsThrottledToOnceIn25Seconds)
{
    const auto warmUp = [&] { client->prewarmStandbySocket({}, VolcSeedASRClient::defaultResourceID()); };
    warmUp();
    warmUp();
    scheduler.advance(24900ms);
    warmUp();
    scheduler.advance(100ms);
    warmUp();
    ASSERT_TRUE(waitUntil([&] { return http.requests().size() >= 2; }));
    CloudTest::settle(60);
    EXPECT_EQ(http.requests().size(), 2);
}

TEST_F(SeedASRClientTest, ProbeMeasuresTheFirstAnswerAndReportsErrorFrames)
{
    QByteArray answer = SeedASRTestServer::transcriptFrame(1, QString());
    server.onFrame = [&answer](Connection& c, const Frame& frame) {
        if (frame.isLastAudio())
            c.send(answer);
    };
    std::optional<Result<qint64>> result;
    probe(QStringLiteral(" key-1 "), result);
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    ASSERT_TRUE(result->ok()) << result->error().description.toStdString();
    EXPECT_EQ(result->value(), 1) << "at least one millisecond";
    const auto& c = server.connection(0);
    EXPECT_TRUE(c.frames[0].payload.contains("quorbell_probe"));
    EXPECT_EQ(c.frames[1].payload, QByteArray(3200, '\0'));
    ASSERT_TRUE(waitUntil([&] { return c.disconnected; }));
    EXPECT_EQ(c.closeCodeFromClient, 1000);

    const QPair<QByteArray, QString> errors[] = {
        {SeedASRTestServer::errorFrame("invalid key"), QStringLiteral("鉴权或资源包错误（invalid key）")},
        {SeedASRTestServer::errorFrame("x").left(9), QStringLiteral("鉴权或资源包错误")}};
    for (const auto& [frame, description] : errors) {
        answer = frame;
        probe(QStringLiteral("key-1"), result);
        ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
        ASSERT_FALSE(result->ok());
        EXPECT_EQ(result->error(), (AppError{VolcSeedASRClient::errorDomain(), -2, description}));
    }

    probe(QStringLiteral("  "), result);
    ASSERT_TRUE(result.has_value()) << "no key: refused at once";
    EXPECT_EQ(result->error().code, -1);
    EXPECT_EQ(server.connectionCount(), 3);
}

TEST_F(SeedASRClientTest, ProbeGivesUpOnAStalledHandshakeAndOnASilentService)
{
    server.setHandshakes({Handshake::stall});
    std::optional<Result<qint64>> result;
    probe(QStringLiteral("key-1"), result);
    ASSERT_TRUE(handshakeSeen(1));
    scheduler.advance(5s);
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    ASSERT_FALSE(result->ok());
    EXPECT_EQ(result->error().description, QStringLiteral("请求超时"));

    // The handshake completes but no answer ever comes: the overall limit of 8 s ends it.
    probe(QStringLiteral("key-1"), result);
    ASSERT_TRUE(framesAtLeast(1, 2));
    scheduler.advance(7900ms);
    CloudTest::runPostedEvents();
    EXPECT_FALSE(result.has_value());
    scheduler.advance(100ms);
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    ASSERT_FALSE(result->ok());
    EXPECT_EQ(result->error().description, QStringLiteral("请求超时"));
}

// The service refuses the upgrade with an HTTP status: the session fails over without waiting for the
// handshake limit and says the status and the service's own reason (a page's title or text, never its markup,
// and never the status twice), as the probe does. A refusal about the key is not replayed; one in passing (an
// outage, a busy load balancer) is, once, and only its last word is read.
TEST_F(SeedASRClientTest, ARefusedHandshakeFailsOverAndSaysWhy)
{
    auto refuseFromNowOn = [this](Handshake action) {
        QList<Handshake> actions(server.connectionCount() + 4, action);
        server.setHandshakes(actions);
    };
    QByteArray page = "<!DOCTYPE html>\n<html><head><title>Access denied | gateway</title></head><body>";
    while (page.size() < 6000)
        page += "<div>request blocked by the edge firewall</div>\n";
    const struct {
        QByteArray status, type, body;
        QString reason;
        int connections; // the upgrades and the reading of the last refusal
    } cases[] = {
        {"HTTP/1.1 401 Unauthorized", "application/json", R"({"message":"invalid X-Api-Key"})",
         QStringLiteral(
             "语音服务拒绝了连接，请检查豆包语音 API Key（HTTP 401 Unauthorized：invalid X-Api-Key）"),
         2},
        {"HTTP/1.1 403 Forbidden", "text/html", page + "</body></html>",
         QStringLiteral(
             "语音服务拒绝了连接，请检查豆包语音 API Key（HTTP 403 Forbidden：Access denied | gateway）"),
         2},
        {"HTTP/1.1 403 Forbidden", "text/html", "<body><h1>403 Forbidden</h1><p>blocked by policy</p></body>",
         QStringLiteral(
             "语音服务拒绝了连接，请检查豆包语音 API Key（HTTP 403 Forbidden：blocked by policy）"),
         2},
        {"HTTP/1.1 503 Service Unavailable", "application/json", R"({"error":"busy"})",
         QStringLiteral("语音服务拒绝了连接（HTTP 503 Service Unavailable：busy）"), 3},
        {"HTTP/1.1 502 Bad Gateway", "text/html",
         "<html><head><title>502 Bad Gateway</title></head><body><center><h1>502 Bad Gateway</h1></center>"
         "<hr><center>nginx</center></body></html>",
         QStringLiteral("语音服务拒绝了连接（HTTP 502 Bad Gateway）"), 3}};
    for (const auto& refusal : cases) {
        SCOPED_TRACE(refusal.reason.toStdString());
        server.setRefusal(refusal.status, refusal.type, refusal.body);
        fallbacks.clear();
        const int before = server.connectionCount();
        refuseFromNowOn(Handshake::refuse);
        start();
        append(samples(960));
        ASSERT_TRUE(waitUntil([&] { return !fallbacks.isEmpty(); })) << "virtual time stood still";
        EXPECT_EQ(fallbacks, QStringList{refusal.reason});
        EXPECT_EQ(server.connectionCount() - before, refusal.connections);
        EXPECT_EQ(server.connection(server.connectionCount() - 1).header("X-Api-Key"), "key-1");
        client->stopAndReset();
    }

    server.setRefusal(cases[0].status, cases[0].type, cases[0].body);
    refuseFromNowOn(Handshake::refuse);
    std::optional<Result<qint64>> result;
    probe(QStringLiteral("key-1"), result);
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    ASSERT_FALSE(result->ok());
    EXPECT_EQ(result->error().description, cases[0].reason);
}

// A refusal whose second answer never comes is still named by its status, once the reading gives up.
TEST_F(SeedASRClientTest, ARefusalThatCannotBeReadAgainKeepsItsStatus)
{
    server.setRefusal("HTTP/1.1 401 Unauthorized", "application/json", R"({"message":"invalid X-Api-Key"})");
    server.setHandshakes({Handshake::refuse, Handshake::stall});
    start();
    append(samples(960));
    ASSERT_TRUE(handshakeSeen(2));
    CloudTest::runPostedEvents();
    EXPECT_TRUE(fallbacks.isEmpty());
    scheduler.advance(3s);
    ASSERT_TRUE(waitUntil([&] { return !fallbacks.isEmpty(); }));
    EXPECT_EQ(fallbacks, QStringList{QStringLiteral(
                             "语音服务拒绝了连接，请检查豆包语音 API Key（HTTP 401 Unauthorized）")});

    // A client that goes away while a refusal is being read leaves no limit behind to fire into it.
    server.setHandshakes({Handshake::refuse, Handshake::stall, Handshake::refuse, Handshake::stall});
    start();
    append(samples(960));
    ASSERT_TRUE(handshakeSeen(4));
    client.reset();
    scheduler.advance(3s);
    CloudTest::settle();
    EXPECT_EQ(fallbacks.size(), 1);
}

// TLS with a certificate the client does not trust: named as a certificate failure, with the library's words.
TEST(SeedASRClientTls, AnUntrustedCertificateIsNamedAsSuch)
{
    VirtualScheduler scheduler;
    SeedASRTestServer server;
    ASSERT_TRUE(server.listenWithUntrustedCertificate());
    ASSERT_EQ(server.url().scheme(), QStringLiteral("wss"));
    VolcSeedASRClient client(scheduler, {server.url(), QUrl(QStringLiteral("https://127.0.0.1:1/"))});
    QStringList fallbacks;
    client.onConnectionFallbackNeeded = [&](quint64, const QString& reason) { fallbacks.append(reason); };
    client.startSession(1, QStringLiteral("key-1"), {}, {}, true, true,
                        VolcSeedASRClient::defaultResourceID());
    client.appendPCM16Samples(samples(960));
    ASSERT_TRUE(waitUntil([&] { return !fallbacks.isEmpty(); }));
    ASSERT_EQ(fallbacks.size(), 1);
    EXPECT_TRUE(fallbacks[0].startsWith(QStringLiteral("安全连接失败：服务器证书未通过校验（")))
        << fallbacks[0].toStdString();
    EXPECT_TRUE(fallbacks[0].contains(QLatin1String("self signed"), Qt::CaseInsensitive) ||
                fallbacks[0].contains(QLatin1String("self-signed"), Qt::CaseInsensitive))
        << fallbacks[0].toStdString();

    std::optional<Result<qint64>> result;
    probeInto(QStringLiteral("key-1"), &scheduler, server.url(), &result);
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    ASSERT_FALSE(result->ok());
    EXPECT_EQ(result->error().description, fallbacks[0]);
}

// A service that cannot be reached is named for what happened, in the session and in the probe alike.
TEST(SeedASRClientUnreachable, EachWayOfNotReachingTheServiceIsNamed)
{
    VirtualScheduler scheduler;
    SeedASRTestServer refusingTls;
    ASSERT_TRUE(refusingTls.listenRefusingSecureHandshake());
    QTcpServer gone;
    ASSERT_TRUE(gone.listen(QHostAddress::LocalHost, 0));
    const QUrl nothingListening(QStringLiteral("wss://127.0.0.1:%1/api").arg(gone.serverPort()));
    gone.close();
    const QPair<QUrl, QString> cases[] = {
        {refusingTls.url(),
         QStringLiteral("安全连接失败，服务器在加密握手时断开了连接（The remote host closed "
                        "the connection）")},
        {nothingListening, QStringLiteral("连接被拒绝，无法连接到服务器（Connection refused）")},
        // Reserved: never resolves.
        {QUrl(QStringLiteral("wss://speech.invalid/api")),
         QStringLiteral("找不到服务器，主机名无法解析，请检查网络（Host not found）")}};
    for (const auto& [url, reason] : cases) {
        SCOPED_TRACE(url.toString().toStdString());
        VolcSeedASRClient client(scheduler, {url, QUrl(QStringLiteral("https://127.0.0.1:1/"))});
        QStringList fallbacks;
        client.onConnectionFallbackNeeded = [&](quint64, const QString& why) { fallbacks.append(why); };
        client.startSession(1, QStringLiteral("key-1"), {}, {}, true, true,
                            VolcSeedASRClient::defaultResourceID());
        client.appendPCM16Samples(samples(960));
        ASSERT_TRUE(waitUntil([&] { return !fallbacks.isEmpty(); }));
        EXPECT_EQ(fallbacks, QStringList{reason}) << "after the one replay, once";

        std::optional<Result<qint64>> result;
        probeInto(QStringLiteral("key-1"), &scheduler, url, &result);
        ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
        ASSERT_FALSE(result->ok());
        EXPECT_EQ(result->error().description, reason);
    }
}
