#include "audio/SeedASRTestServer.h"
#include "core/KeychainHelper.h"
#include "fakes/FakeSecretStore.h"
#include "selftest/SelfTestFixtures.h"
#include "selftest/SelfTestSuite.h"
#include "support/TempDataFolder.h"
#include "util/AppIdentity.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using Connection = SeedASRTestServer::Connection;
using Frame = SeedASRTestServer::ClientFrame;

namespace {

// The client request's corpus ("hotwords", "dialog_ctx"), as the service receives it.
QString corpusOf(const Connection& connection)
{
    if (connection.frames.isEmpty())
        return {};
    const QJsonObject request = QJsonDocument::fromJson(connection.frames.first().payload).object();
    return request.value(QStringLiteral("request"))
        .toObject()
        .value(QStringLiteral("corpus"))
        .toObject()
        .value(QStringLiteral("context"))
        .toString();
}

// The 16-bit samples of every audio frame of a connection, in order.
std::vector<qint16> audioOf(const Connection& connection)
{
    std::vector<qint16> samples;
    for (qsizetype i = 1; i < connection.frames.size(); ++i) {
        const QByteArray& pcm = connection.frames[i].payload;
        for (qsizetype at = 0; at + 1 < pcm.size(); at += 2)
            samples.push_back(
                static_cast<qint16>(static_cast<quint8>(pcm[at]) | (static_cast<quint8>(pcm[at + 1]) << 8)));
    }
    return samples;
}

} // namespace

class SpeechBenchmarksTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qunsetenv("QUORBELL_API_KEY"); // no DeepSeek key: the A/B mode stops before the network call
        ASSERT_TRUE(server.listen());
        // Port 1 refuses at once: the warm-up's failure is ignored, and no stray request reaches the server.
        context.seedASR = {server.url(), QUrl(QStringLiteral("http://127.0.0.1:1/"))};
        context.keyring = keyring;
        context.print = [this](const QString& line) { lines.append(line); };
    }

    void storeSpeechKey()
    {
        keyring->put(AppIdentity::bundleIdentifier(), KeychainHelper::kVolcSpeechSlot,
                     QStringLiteral("speech-key"));
    }
    QString output() const { return lines.join(u'\n'); }
    bool hasLineStartingWith(const QString& prefix) const
    {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const QString& l) { return l.startsWith(prefix); });
    }

    TempDataFolder data;
    std::shared_ptr<FakeSecretStore> keyring = std::make_shared<FakeSecretStore>();
    SeedASRTestServer server;
    SelfTestSuite::SpeechBenchContext context;
    QStringList lines;
};

TEST_F(SpeechBenchmarksTest, BenchmarkMeasuresTheLocalModelThenOneCloudSession)
{
    const QString modelFolder =
        SelfTestFixtures::installFixtureModel(data.filePath(QStringLiteral("Models")), true);
    ASSERT_FALSE(modelFolder.isEmpty());
    ASSERT_TRUE(QDir(modelFolder).mkdir(QStringLiteral("test_wavs")));
    ASSERT_TRUE(
        SelfTestFixtures::writeToneWav(modelFolder + QStringLiteral("/test_wavs/zh.wav"), 48000, 0.4));
    storeSpeechKey();
    // Connection 0 is the handshake probe, 1 the measured session.
    server.onFrame = [](Connection& c, const Frame& frame) {
        if (c.index == 1 && c.frames.size() == 3)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("你好")));
        if (frame.isLastAudio())
            c.send(
                SeedASRTestServer::transcriptFrame(3, c.index == 0 ? QString() : QStringLiteral("你好世界")));
    };

    EXPECT_EQ(SelfTestSuite::runDualASRSmokeBenchmark(context), 0) << output().toStdString();
    EXPECT_EQ(
        lines.value(0),
        QStringLiteral("==> Running Dual-ASR Live Smoke Benchmark (Seed-ASR 2.0 + Local 886MB FP32)..."));
    EXPECT_TRUE(
        hasLineStartingWith(QStringLiteral("  ✓ [Local Standby] SenseVoice (886MB FP32 Full): load=")))
        << output().toStdString();
    EXPECT_TRUE(hasLineStartingWith(QStringLiteral("  [diag] floatSamples=19200 sr=48000.0 -> pcm16=")));
    EXPECT_TRUE(lines.contains(QStringLiteral("  [stream #1 def=false] 你好")));
    EXPECT_TRUE(lines.last().startsWith(QStringLiteral(
        "  ✓ [Cloud Primary] Volcengine Seed-ASR 2.0 (volc.seedasr.sauc.duration): handshake_rtt=")));
    EXPECT_TRUE(lines.last().endsWith(QStringLiteral("streaming_frames=2 -> 「你好世界」")))
        << lines.last().toStdString();

    ASSERT_EQ(server.connectionCount(), 2);
    const QString corpus = corpusOf(server.connection(1));
    for (const char* word :
         {"DeepSeek", "SwiftUI", "Quorbell", "SEO", "我们刚刚确认了门店开放时间与海外 SEO 计划"})
        EXPECT_TRUE(corpus.contains(QString::fromUtf8(word))) << word;
}

TEST_F(SpeechBenchmarksTest, BenchmarkFailsOnACloudErrorOrAnEmptyTranscript)
{
    const QString modelFolder =
        SelfTestFixtures::installFixtureModel(data.filePath(QStringLiteral("Models")), true);
    ASSERT_TRUE(QDir(modelFolder).mkdir(QStringLiteral("test_wavs")));
    ASSERT_TRUE(
        SelfTestFixtures::writeToneWav(modelFolder + QStringLiteral("/test_wavs/zh.wav"), 16000, 0.2));
    storeSpeechKey();

    // The probe is answered, the session never is.
    server.onFrame = [](Connection& c, const Frame& frame) {
        if (c.index == 0 && frame.isLastAudio())
            c.send(SeedASRTestServer::transcriptFrame(3, QString()));
    };
    EXPECT_EQ(SelfTestSuite::runDualASRSmokeBenchmark(context), 1);
    EXPECT_EQ(lines.last(), QStringLiteral("  ✗ [Cloud Primary] Seed-ASR 2.0 returned empty transcript"));

    // Nothing listens: the handshake probe fails.
    lines.clear();
    context.seedASR.webSocketUrl = QUrl(QStringLiteral("ws://127.0.0.1:1/api/v3/sauc/bigmodel_async"));
    EXPECT_EQ(SelfTestSuite::runDualASRSmokeBenchmark(context), 1);
    EXPECT_TRUE(lines.last().startsWith(QStringLiteral("  ✗ [Cloud Primary] Seed-ASR 2.0 error: ")))
        << output().toStdString();

    // A keyring that cannot be read: the cloud part is skipped, and why is said.
    lines.clear();
    keyring->setReadFailure(QStringLiteral("collection is locked"));
    EXPECT_EQ(SelfTestSuite::runDualASRSmokeBenchmark(context), 0);
    EXPECT_TRUE(lines.contains(QStringLiteral("  ! Keyring unavailable: collection is locked")));
    EXPECT_EQ(lines.last(),
              QStringLiteral("  ! Volcengine Speech API Key not set in Keychain; skipping cloud benchmark."));
}

TEST_F(SpeechBenchmarksTest, ABVerificationStreamsTheTrimmedRecordingThreeTimesWithGrowingContext)
{
    const QString wav = data.filePath(QStringLiteral("speech.wav"));
    // 0.3 s of silence before the tone: all but 30 ms of it is cut.
    ASSERT_TRUE(SelfTestFixtures::writeToneWav(wav, 48000, 0.4, 0.3));
    storeSpeechKey();
    // The second case hears nothing back: its final wait runs out.
    server.onFrame = [](Connection& c, const Frame& frame) {
        if (c.index == 1)
            return;
        if (c.frames.size() == 3)
            c.send(SeedASRTestServer::transcriptFrame(1, QStringLiteral("第")));
        if (frame.isLastAudio())
            c.send(SeedASRTestServer::transcriptFrame(3, c.index == 0 ? QStringLiteral("第一")
                                                                      : QStringLiteral("第三")));
    };

    EXPECT_EQ(SelfTestSuite::runEmpiricalABVerification(wav, context), 0) << output().toStdString();
    ASSERT_EQ(lines.size(), 4) << "the heading and three cases; no polishing lines without a DeepSeek key\n"
                               << output().toStdString();
    EXPECT_TRUE(
        lines[0].startsWith(QStringLiteral("==> Running Empirical A/B Verification (Loaded Lexicon=2 terms, "
                                           "TopHotwords=")));
    const QString titles[] = {QStringLiteral("1: Bare (No Hotwords)"),
                              QStringLiteral("2: WarmTLS + Hotwords ONLY"),
                              QStringLiteral("3: WarmTLS + Hotwords + DialogCtx")};
    const QString finals[] = {QStringLiteral("第一"), QStringLiteral("(nil)"), QStringLiteral("第三")};
    const QString heard[] = {QStringLiteral("(「第」) | updates=2"), QStringLiteral("(「」) | updates=0"),
                             QStringLiteral("(「第」) | updates=2")};
    for (int i = 0; i < 3; ++i) {
        const QString& line = lines[i + 1];
        EXPECT_TRUE(line.startsWith(QStringLiteral("  [%1] first_char=").arg(titles[i])))
            << line.toStdString();
        EXPECT_TRUE(line.contains(QStringLiteral("ms %1 | tail_fin=").arg(heard[i]))) << line.toStdString();
        EXPECT_TRUE(line.endsWith(QStringLiteral("ms | final=「%1」").arg(finals[i]))) << line.toStdString();
    }

    ASSERT_EQ(server.connectionCount(), 3);
    EXPECT_TRUE(corpusOf(server.connection(0)).isEmpty()) << "the bare case sends no context";
    EXPECT_TRUE(corpusOf(server.connection(1)).contains(QStringLiteral("hotwords")));
    EXPECT_FALSE(corpusOf(server.connection(1)).contains(QStringLiteral("dialog_ctx")));
    EXPECT_TRUE(
        corpusOf(server.connection(2)).contains(QStringLiteral("正在讨论美国与日本的 SEO 增长以及 ")));
    for (int i = 0; i < 3; ++i) {
        const std::vector<qint16> audio = audioOf(server.connection(i));
        const auto onset =
            std::find_if(audio.begin(), audio.end(), [](qint16 s) { return std::abs(s) > 650; });
        EXPECT_EQ(onset - audio.begin(), 480) << "30 ms of silence are kept before the onset";
    }
}

TEST_F(SpeechBenchmarksTest, ABVerificationStreamsARecordingThatStartsLoudWhole)
{
    const QString wav = data.filePath(QStringLiteral("speech.wav"));
    ASSERT_TRUE(SelfTestFixtures::writeToneWav(wav, 16000, 0.2, 0.01));
    storeSpeechKey();
    server.onFrame = [](Connection& c, const Frame& frame) {
        if (frame.isLastAudio())
            c.send(SeedASRTestServer::transcriptFrame(3, QStringLiteral("好")));
    };
    EXPECT_EQ(SelfTestSuite::runEmpiricalABVerification(wav, context), 0);
    ASSERT_EQ(server.connectionCount(), 3);
    const std::vector<qint16> audio = audioOf(server.connection(0));
    const auto onset = std::find_if(audio.begin(), audio.end(), [](qint16 s) { return std::abs(s) > 650; });
    EXPECT_LT(onset - audio.begin(), 801) << "an onset within the first 800 samples keeps everything";
    EXPECT_GE(onset - audio.begin(), 160 - 5) << "the 10 ms of leading silence are still there";
}

TEST_F(SpeechBenchmarksTest, ABLinesShowATranscriptHoldingPlaceholdersAsItIs)
{
    const QString wav = data.filePath(QStringLiteral("speech.wav"));
    ASSERT_TRUE(SelfTestFixtures::writeToneWav(wav, 16000, 0.2));
    storeSpeechKey();
    const QString heard = QStringLiteral("涨了%1成%2%3%4%5%6%7%8%9");
    server.onFrame = [&heard](Connection& c, const Frame& frame) {
        if (c.frames.size() == 2)
            c.send(SeedASRTestServer::transcriptFrame(1, heard));
        if (frame.isLastAudio())
            c.send(SeedASRTestServer::transcriptFrame(3, heard));
    };
    EXPECT_EQ(SelfTestSuite::runEmpiricalABVerification(wav, context), 0);
    ASSERT_EQ(lines.size(), 4) << output().toStdString();
    for (int i = 1; i <= 3; ++i) {
        EXPECT_TRUE(lines[i].contains(QStringLiteral("ms (「") + heard +
                                      QStringLiteral("」) | updates=2 | tail_fin=")))
            << lines[i].toStdString();
        EXPECT_TRUE(lines[i].endsWith(QStringLiteral("ms | final=「") + heard + QStringLiteral("」")))
            << lines[i].toStdString();
    }
}

TEST(SpeechBenchmarks, TheSeedASRAddressComesFromTheEnvironment)
{
    const QByteArray variable = "QUORBELL_SEEDASR_URL";
    qunsetenv(variable);
    const VolcSeedASRClient::Endpoint service = SelfTestSuite::seedASREndpointFromEnvironment();
    EXPECT_EQ(service.webSocketUrl, VolcSeedASRClient::Endpoint::volcengine().webSocketUrl);
    EXPECT_EQ(service.warmUpUrl, VolcSeedASRClient::Endpoint::volcengine().warmUpUrl);

    qputenv(variable, "ws://127.0.0.1:4567/api/v3/sauc/bigmodel_async");
    VolcSeedASRClient::Endpoint local = SelfTestSuite::seedASREndpointFromEnvironment();
    EXPECT_EQ(local.webSocketUrl, QUrl(QStringLiteral("ws://127.0.0.1:4567/api/v3/sauc/bigmodel_async")));
    EXPECT_EQ(local.warmUpUrl, QUrl(QStringLiteral("http://127.0.0.1:4567/")));
    qputenv(variable, "wss://asr.test:8443/stream?x=1");
    local = SelfTestSuite::seedASREndpointFromEnvironment();
    EXPECT_EQ(local.warmUpUrl, QUrl(QStringLiteral("https://asr.test:8443/")));
    qunsetenv(variable);
}
