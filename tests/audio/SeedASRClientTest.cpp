#include "audio/SeedASRTestServer.h"
#include "audio/VolcSeedASRClient.h"
#include "support/ScriptedHttpServer.h"
#include "support/VirtualScheduler.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
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

bool waitFor(const std::function<bool()>& condition)
{
    return CloudTest::waitUntil(condition);
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
        client->onStreamingTranscript = [this](const QString& text, bool definite) {
            transcripts.append({text, definite});
        };
        client->onConnectionFallbackNeeded = [this](const QString& reason) { fallbacks.append(reason); };
    }

    void start(const QString& key = QStringLiteral("key-1"))
    {
        client->startSession(key, {QStringLiteral("热词")}, {}, true, true,
                             VolcSeedASRClient::defaultResourceID());
    }
    void append(const std::vector<qint16>& values) { client->appendPCM16Samples(values); }
    bool framesAtLeast(int connection, int count)
    {
        return waitFor([&] {
            return server.connectionCount() > connection &&
                   server.connection(connection).frames.size() >= count;
        });
    }

    VirtualScheduler scheduler;
    SeedASRTestServer server;
    ScriptedHttpServer http{scheduler};
    std::unique_ptr<VolcSeedASRClient> client;
    QList<QPair<QString, bool>> transcripts;
    QStringList fallbacks;
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
    EXPECT_EQ(c.path, QByteArray("/api/v3/sauc/bigmodel_async"));
    EXPECT_EQ(c.header("X-Api-Key"), QByteArray("key-1"));
    EXPECT_EQ(c.header("X-Api-Resource-Id"), QByteArray("volc.seedasr.sauc.duration"));
    EXPECT_EQ(c.header("X-Api-Connect-Id").size(), 36);
    EXPECT_EQ(c.header("X-Api-Request-Id").size(), 36);

    ASSERT_EQ(c.frames[0].typeAndFlags(), 0x10);
    EXPECT_TRUE(c.frames[0].payload.contains(QStringLiteral(R"(\"word\":\"热词\")").toUtf8()));
    const QByteArray pcm = littleEndian(first) + littleEndian(second);
    // Three 60 ms chunks, then 100 ms chunks; the rest waits for the last packet.
    const qsizetype sizes[] = {1920, 1920, 1920, 3200};
    qsizetype offset = 0;
    for (int i = 0; i < 4; ++i) {
        const auto& frame = c.frames[i + 1];
        EXPECT_EQ(frame.typeAndFlags(), 0x20);
        EXPECT_TRUE(frame.sizeMatches);
        EXPECT_EQ(frame.payload, pcm.mid(offset, sizes[i])) << "chunk " << i;
        offset += sizes[i];
    }

    ASSERT_TRUE(waitFor([&] { return !transcripts.isEmpty(); }));
    EXPECT_TRUE(client->hasReceivedAnyServerFrame());
    Finished result;
    finishInto(client.get(), 1200, &result);
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
    EXPECT_EQ(*result, std::optional<QString>(QStringLiteral("你好世界")));
    EXPECT_EQ(c.frames.size(), 6);
    EXPECT_EQ(c.frames.last().payload, pcm.mid(offset)) << "the pending bytes go in the last packet";
    // The empty interim text was not delivered.
    EXPECT_EQ(transcripts, (QList<QPair<QString, bool>>{{QStringLiteral("你好"), false},
                                                        {QStringLiteral("你好世界"), true}}));
    ASSERT_TRUE(waitFor([&] { return c.disconnected; }));
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
    Finished result;
    finishInto(client.get(), 1200, &result);
    audio.join();
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
    EXPECT_EQ(*result, std::optional<QString>(QStringLiteral("完")));

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
    ASSERT_TRUE(waitFor([&] { return !fallbacks.isEmpty(); }));
    EXPECT_EQ(fallbacks.size(), 1);
    EXPECT_EQ(server.connectionCount(), 2) << "one replay per session";
    append(samples(960));
    Finished result;
    finishInto(client.get(), 1200, &result);
    ASSERT_TRUE(result.has_value()) << "a failed-over session finishes at once";
    EXPECT_FALSE(*result);
}

TEST_F(SeedASRClientTest, FailsOverWithoutReplayWhenAudioWentUnrecordedOrTheServiceHadAnswered)
{
    // More frames than can be kept before the first answer: a replay would lose audio.
    start();
    for (int i = 0; i < 20; ++i)
        append(samples(1600, i * 1600));
    ASSERT_TRUE(framesAtLeast(0, 21));
    server.connection(0).drop();
    ASSERT_TRUE(waitFor([&] { return !fallbacks.isEmpty(); }));
    EXPECT_EQ(server.connectionCount(), 1);

    // Once the service has answered, a failure fails over at once.
    fallbacks.clear();
    server.onFrame = [](Connection& c, const Frame&) {
        if (c.frames.size() == 1)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("嗯")));
    };
    start();
    ASSERT_TRUE(waitFor([&] { return client->hasReceivedAnyServerFrame(); }));
    server.connection(1).drop();
    ASSERT_TRUE(waitFor([&] { return !fallbacks.isEmpty(); }));
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
    ASSERT_TRUE(
        waitFor([&] { return server.connectionCount() == 1 && !server.connection(0).path.isEmpty(); }));
    scheduler.advance(4400ms);
    CloudTest::settle();
    EXPECT_EQ(server.connectionCount(), 1);
    scheduler.advance(100ms);
    ASSERT_TRUE(
        waitFor([&] { return server.connectionCount() == 2 && !server.connection(1).path.isEmpty(); }));
    EXPECT_TRUE(fallbacks.isEmpty());
    scheduler.advance(4500ms);
    ASSERT_TRUE(waitFor([&] { return !fallbacks.isEmpty(); }));
    EXPECT_EQ(fallbacks, QStringList{QStringLiteral("请求超时")});
}

TEST_F(SeedASRClientTest, FinishWaitsForTheFinalFrameUntilTheTimeOut)
{
    server.onFrame = [](Connection& c, const Frame&) {
        if (c.index == 0 && c.frames.size() == 2)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("部分")));
    };
    start();
    append(samples(960));
    ASSERT_TRUE(waitFor([&] { return !transcripts.isEmpty(); }));
    Finished result;
    finishInto(client.get(), 1200, &result);
    ASSERT_TRUE(waitFor([&] {
        return !server.connection(0).frames.isEmpty() && server.connection(0).frames.last().isLastAudio();
    }));
    append(samples(960));
    scheduler.advance(1199ms);
    CloudTest::settle();
    EXPECT_FALSE(result.has_value());
    scheduler.advance(1ms);
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
    EXPECT_EQ(*result, std::optional<QString>(QStringLiteral("部分")));
    EXPECT_EQ(server.connection(0).frames.size(), 3) << "audio after the finish began is dropped";

    // Nothing arrived: nothing to return. A finish with nothing pending still sends an empty last packet.
    start();
    ASSERT_TRUE(framesAtLeast(1, 1));
    finishInto(client.get(), 1200, &(result = std::nullopt));
    ASSERT_TRUE(framesAtLeast(1, 2));
    EXPECT_TRUE(server.connection(1).frames[1].isLastAudio());
    EXPECT_TRUE(server.connection(1).frames[1].payload.isEmpty());
    scheduler.advance(1200ms);
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
    EXPECT_FALSE(*result);
}

TEST_F(SeedASRClientTest, AnEarlyFinalFrameEndsTheSessionWithoutALastPacket)
{
    server.onFrame = [](Connection& c, const Frame&) {
        if (c.frames.size() == 2) {
            // Noise first: a short frame, a declared size past the end, a text message, a gzip bomb.
            c.send(QByteArray("\x11\x91\x11\x00\x00\x00", 6));
            c.send(QByteArray::fromHex("11901000ffffffff") +
                   SeedASRTestServer::transcriptJson(QStringLiteral("先")));
            if (c.socket)
                c.socket->sendTextMessage(QStringLiteral("ignored"));
            c.send(SeedASRTestServer::responseFrame(1, QByteArray(16 * 1024 * 1024, ' ')));
            c.send(SeedASRTestServer::transcriptFrame(2, QStringLiteral("完整")));
        }
    };
    start();
    append(samples(960));
    ASSERT_TRUE(waitFor([&] { return transcripts.size() == 2; }));
    EXPECT_EQ(transcripts,
              (QList<QPair<QString, bool>>{{QStringLiteral("先"), false}, {QStringLiteral("完整"), true}}));
    Finished result;
    finishInto(client.get(), 1200, &result);
    ASSERT_TRUE(result.has_value()) << "returned at once";
    EXPECT_EQ(*result, std::optional<QString>(QStringLiteral("完整")));
    ASSERT_TRUE(waitFor([&] { return server.connection(0).disconnected; }));
    EXPECT_EQ(server.connection(0).frames.size(), 2);
    EXPECT_TRUE(fallbacks.isEmpty());
}

TEST_F(SeedASRClientTest, AnErrorFrameReleasesTheWaiterAndFailsOverOnce)
{
    server.onFrame = [](Connection& c, const Frame& frame) {
        if (frame.isLastAudio()) {
            c.send(SeedASRTestServer::errorFrame(QStringLiteral("额度不足").toUtf8(), true));
            c.send(SeedASRTestServer::errorFrame("second"));
            c.socket->close(QWebSocketProtocol::CloseCodeAbnormalDisconnection);
        }
    };
    start();
    append(samples(960));
    ASSERT_TRUE(framesAtLeast(0, 2));
    Finished result;
    finishInto(client.get(), 1200, &result);
    ASSERT_TRUE(waitFor([&] { return result.has_value() && !fallbacks.isEmpty(); }));
    EXPECT_FALSE(*result);
    CloudTest::settle();
    EXPECT_EQ(fallbacks, QStringList{QStringLiteral("额度不足")});
}

TEST_F(SeedASRClientTest, UnusableKeysFallBackAtOnceAndReleaseTheEarlierWaiter)
{
    append(samples(2000)); // before any session: dropped
    start();
    append(samples(960));
    ASSERT_TRUE(framesAtLeast(0, 2));
    Finished result;
    finishInto(client.get(), 1200, &result);

    start(QStringLiteral(" \n "));
    EXPECT_EQ(fallbacks, QStringList{QStringLiteral("未配置豆包语音 API Key")}) << "synchronous";
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
    EXPECT_FALSE(*result);

    start(QStringLiteral("key\r\nX-Injected: 1"));
    ASSERT_EQ(fallbacks.size(), 2);
    EXPECT_TRUE(fallbacks[1].contains(QStringLiteral("控制字符")));
    CloudTest::settle();
    EXPECT_EQ(server.connectionCount(), 1);
    EXPECT_EQ(server.connection(0).frames[1].payload.size(), 1920) << "the early samples were dropped";
}

TEST_F(SeedASRClientTest, WarmUpIsThrottledToOnceIn25Seconds)
{
    client->prewarmStandbySocket(QStringLiteral("k"), VolcSeedASRClient::defaultResourceID());
    client->prewarmStandbySocket(QStringLiteral("k"), VolcSeedASRClient::defaultResourceID());
    scheduler.advance(24900ms);
    client->prewarmStandbySocket(QStringLiteral("k"), VolcSeedASRClient::defaultResourceID());
    scheduler.advance(100ms);
    client->prewarmStandbySocket(QStringLiteral("k"), VolcSeedASRClient::defaultResourceID());
    ASSERT_TRUE(waitFor([&] { return http.requests().size() >= 2; }));
    CloudTest::settle(60);
    ASSERT_EQ(http.requests().size(), 2);
    EXPECT_EQ(http.requests()[0].method, QByteArray("HEAD"));
    EXPECT_EQ(http.requests()[0].path, QByteArray("/"));
}

TEST_F(SeedASRClientTest, ProbeMeasuresTheFirstAnswerAndReportsErrorFrames)
{
    QByteArray answer = SeedASRTestServer::transcriptFrame(1, QString());
    server.onFrame = [&answer](SeedASRTestServer::Connection& c,
                               const SeedASRTestServer::ClientFrame& frame) {
        if (frame.isLastAudio())
            c.send(answer);
    };
    std::optional<Result<qint64>> result;
    probeInto(QStringLiteral(" key-1 "), &scheduler, server.url(), &result);
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
    ASSERT_TRUE(result->ok()) << result->error().description.toStdString();
    EXPECT_EQ(result->value(), 1) << "at least one millisecond";
    const auto& c = server.connection(0);
    EXPECT_EQ(QJsonDocument::fromJson(c.frames[0].payload).object().value(QStringLiteral("user")).toObject(),
              (QJsonObject{{QStringLiteral("uid"), QStringLiteral("quorbell_probe")}}));
    EXPECT_EQ(c.frames[1].payload, QByteArray(3200, '\0'));
    ASSERT_TRUE(waitFor([&] { return c.disconnected; }));
    EXPECT_EQ(c.closeCodeFromClient, 1000);

    const struct {
        QByteArray frame;
        QString description;
    } errors[] = {{SeedASRTestServer::errorFrame("invalid key"), QStringLiteral("invalid key")},
                  {SeedASRTestServer::errorFrame("x").left(9), QStringLiteral("鉴权或资源包错误")}};
    for (const auto& e : errors) {
        answer = e.frame;
        probeInto(QStringLiteral("key-1"), &scheduler, server.url(), &(result = std::nullopt));
        ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
        ASSERT_FALSE(result->ok());
        EXPECT_EQ(result->error(), (AppError{QStringLiteral("Quorbell.SeedASR"), -2, e.description}));
    }

    probeInto(QStringLiteral("  "), &scheduler, server.url(), &(result = std::nullopt));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->error(),
              (AppError{QStringLiteral("Quorbell.SeedASR"), -1, QStringLiteral("请先粘贴豆包语音 API Key")}));
    EXPECT_EQ(server.connectionCount(), 3);
}

TEST_F(SeedASRClientTest, ProbeGivesUpOnAStalledHandshakeAndOnASilentService)
{
    server.setHandshakes({Handshake::stall});
    std::optional<Result<qint64>> result;
    probeInto(QStringLiteral("key-1"), &scheduler, server.url(), &result);
    ASSERT_TRUE(
        waitFor([&] { return server.connectionCount() == 1 && !server.connection(0).path.isEmpty(); }));
    scheduler.advance(5s);
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
    ASSERT_FALSE(result->ok());
    EXPECT_EQ(result->error().description, QStringLiteral("请求超时"));

    // The handshake completes but no answer ever comes: the overall limit ends it.
    probeInto(QStringLiteral("key-1"), &scheduler, server.url(), &(result = std::nullopt));
    ASSERT_TRUE(framesAtLeast(1, 2));
    scheduler.advance(7900ms);
    CloudTest::settle();
    EXPECT_FALSE(result.has_value());
    scheduler.advance(100ms);
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
    ASSERT_FALSE(result->ok());
    EXPECT_EQ(result->error().description, QStringLiteral("请求超时"));
}
