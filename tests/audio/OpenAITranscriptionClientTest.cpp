#include "audio/OpenAITranscriptionClient.h"
#include "audio/SeedASRTestServer.h"
#include "support/ScriptedHttpServer.h"
#include "support/VirtualScheduler.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using CloudTest::waitUntil;
using Reply = ScriptedHttpServer::Reply;
using Client = OpenAITranscriptionClient;

namespace {

using Outcome = std::optional<Result<Client::Transcription>>;

QCoro::Task<> transcribeInto(Client* client, QString baseURL, QString model, QString key,
                             QStringList hotwords, std::optional<QString> locale, Outcome* out,
                             double timeout = 10)
{
    // Built outside the co_await: g++ 12 miscompiles braced lists inside one.
    const std::vector<qint16> pcm{1, -2};
    QByteArray wav = Client::encodePCM16ToWAV(pcm, 16000);
    *out = co_await client->transcribe(wav, baseURL, model, key, hotwords, locale, timeout);
}

QCoro::Task<> probeInto(QString baseURL, Scheduler* scheduler, std::optional<Result<qint64>>* out)
{
    *out = co_await Client::probeLatency(baseURL, QStringLiteral("whisper-large-v3-turbo"),
                                         QStringLiteral("sk"), *scheduler);
}

QByteArray field(const QByteArray& boundary, const char* name, const QByteArray& value)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
           "\r\n";
}

QString base(const ScriptedHttpServer& server, const char* path = "/v1")
{
    return server.baseUrl().toString() + QLatin1String(path);
}

} // namespace

TEST(OpenAITranscription, NormalizesEndpoints)
{
    const QPair<const char*, const char*> cases[] = {
        {"", "https://api.openai.com/v1/audio/transcriptions"},
        {" https://x.test/v1// \n", "https://x.test/v1/audio/transcriptions"},
        {"https://X.test/V1/Audio/Transcriptions/", "https://X.test/V1/Audio/Transcriptions"},
        {"https://x.test/V1", "https://x.test/V1/audio/transcriptions"},
        {"https://api.groq.com/openai/v1", "https://api.groq.com/openai/v1/audio/transcriptions"},
        {"https://relay.test/v1/proxy", "https://relay.test/v1/proxy/audio/transcriptions"},
        {"https://relay.test/api", "https://relay.test/api/v1/audio/transcriptions"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(Client::normalizeTranscriptionEndpoint(QString::fromUtf8(input)),
                  QString::fromUtf8(expected))
            << input;
}

TEST(OpenAITranscription, PromptHintLanguageCodeAndWav)
{
    const QString tooLong(33, QLatin1Char('x'));
    EXPECT_EQ(Client::buildPromptHint({QStringLiteral("a"), tooLong, QStringLiteral(" Kubernetes "),
                                       QStringLiteral("KUBERNETES"), QStringLiteral("中文")},
                                      380),
              QStringLiteral("Kubernetes, 中文"));
    // 10 + 2 + 10 passes 21: the walk ends, the short term after it is not tried.
    EXPECT_EQ(Client::buildPromptHint(
                  {QStringLiteral("abcdefghij"), QStringLiteral("klmnopqrst"), QStringLiteral("xy")}, 21),
              QStringLiteral("abcdefghij"));

    // An empty answer stands for none.
    const char* locales[][2] = {{"zh-CN", "zh"}, {"en_US", "en"}, {"FR", "fr"}, {" Auto ", ""}, {" ", ""}};
    for (const auto& [locale, code] : locales)
        EXPECT_EQ(Client::isoLanguageCode(QString::fromUtf8(locale)).value_or(QString()),
                  QString::fromUtf8(code));

    EXPECT_EQ(Client::encodePCM16ToWAV({}, 16000),
              QByteArray::fromHex("524946462400000057415645"                         // RIFF, WAVE
                                  "666d74201000000001000100803e0000007d000002001000" // PCM mono 16 kHz
                                  "6461746100000000"));                              // no samples
    const QByteArray two = Client::encodePCM16ToWAV(std::vector<qint16>{1, -2}, 8000);
    EXPECT_EQ(two.size(), 48);
    EXPECT_EQ(two.mid(4, 4), QByteArray::fromHex("28000000"));
    EXPECT_EQ(two.mid(40), QByteArray::fromHex("040000000100feff"));
}

class OpenAITranscriptionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(local.listen(QHostAddress(QStringLiteral("127.0.0.1"))));
        ASSERT_TRUE(remote.listen(QHostAddress(QStringLiteral("127.0.0.2"))));
    }

    Outcome run(const QString& baseURL, const QString& key,
                std::optional<QString> locale = QStringLiteral("zh-CN"), QStringList hotwords = {},
                const QString& model = QStringLiteral("whisper-1"))
    {
        Outcome outcome;
        transcribeInto(&client, baseURL, model, key, hotwords, locale, &outcome);
        EXPECT_TRUE(waitUntil([&] { return outcome.has_value(); }));
        return outcome;
    }

    VirtualScheduler scheduler;
    ScriptedHttpServer local{scheduler};
    ScriptedHttpServer remote{scheduler};
    Client client{scheduler};
};

TEST_F(OpenAITranscriptionTest, SendsTheExactMultipartRequest)
{
    remote.enqueue(Reply::json(200, R"({"text":"  你好 \n"})"));
    // A blank model falls back to the default one.
    const Outcome outcome = run(base(remote, "/v1/"), QStringLiteral(" sk-1 "), QStringLiteral("zh-CN"),
                                {QStringLiteral("Quorbell"), QStringLiteral("x")}, QStringLiteral(" \n"));
    ASSERT_TRUE(outcome->ok()) << outcome->error().description.toStdString();
    EXPECT_EQ(outcome->value().text, QStringLiteral("你好"));

    ASSERT_EQ(remote.requests().size(), 1);
    const auto& request = remote.requests()[0];
    EXPECT_EQ(request.method, QByteArray("POST"));
    EXPECT_EQ(request.path, QByteArray("/v1/audio/transcriptions"));
    EXPECT_EQ(request.header("Authorization"), QByteArray("Bearer sk-1"));
    const QRegularExpression contentType(
        QStringLiteral("^multipart/form-data; boundary=(Boundary-Quorbell-[0-9A-F]{32})$"));
    const auto match = contentType.match(QString::fromLatin1(request.header("Content-Type")));
    ASSERT_TRUE(match.hasMatch()) << request.header("Content-Type").toStdString();
    const QByteArray b = match.captured(1).toLatin1();
    const QByteArray expected =
        field(b, "model", "gpt-4o-mini-transcribe") + field(b, "response_format", "json") +
        field(b, "temperature", "0") + field(b, "language", "zh") + field(b, "prompt", "Quorbell") + "--" +
        b +
        "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"speech.wav\"\r\n"
        "Content-Type: audio/wav\r\n\r\n" +
        Client::encodePCM16ToWAV(std::vector<qint16>{1, -2}, 16000) + "\r\n--" + b + "--\r\n";
    EXPECT_EQ(request.body, expected);
}

TEST_F(OpenAITranscriptionTest, LocalServersNeedNoKeyAndOptionalFieldsStayOut)
{
    Reply plain;
    plain.pieces = {{"  hello there \n", {}}};
    local.enqueue(plain);
    Outcome outcome = run(base(local), QString(), QStringLiteral("auto"));
    ASSERT_TRUE(outcome->ok());
    EXPECT_EQ(outcome->value().text, QStringLiteral("hello there"));
    const auto& request = local.requests()[0];
    EXPECT_FALSE(request.headers.contains("authorization"));
    EXPECT_FALSE(request.body.contains("name=\"language\""));
    EXPECT_FALSE(request.body.contains("name=\"prompt\""));
    EXPECT_TRUE(request.body.contains("\r\n\r\nwhisper-1\r\n"));
}

TEST_F(OpenAITranscriptionTest, ReadsAnswersAndErrorsAsTheyCome)
{
    const QByteArray html = "<html>" + QByteArray(300, 'e');
    // An error status's body reaches the banner as one line: cut where it is long, a page as its title or,
    // without one, as its text.
    const QByteArray htmlError = "502 HTTP 502：" + QByteArray(159, 'e') + "…";
    const QByteArray gatewayPage =
        "<!DOCTYPE html><html><head><title>502 Bad Gateway</title></head><body>\n" + QByteArray(5000, 'x') +
        "\n</body></html>";
    const QByteArray portal = "<!DOCTYPE html>\n<html><head><title> Hotel Wi-Fi Login </title></head>"
                              "<body>Please accept the terms</body></html>";
    // A framework's default header on a plain-text transcript, and a page sent without any header.
    Reply labelledPlain;
    labelledPlain.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    labelledPlain.pieces = {{" 把 <html> 标签删掉\n", {}}};
    Reply unlabelledPage;
    unlabelledPage.headers = {{"Content-Type", "text/plain"}};
    unlabelledPage.pieces = {{"\xEF\xBB\xBF\n<HTML lang=\"en\"><title>Login</title></HTML>", {}}};
    const struct {
        Reply reply;
        const char* expected; // the text, or the code and description of the error
    } cases[] = {
        // Bytes that are no text are a failed transcription, never an empty success.
        {Reply::json(200, QByteArray("\xff\xfe\x00", 3)),
         "-15 语音接口返回了 3 字节无法识别的数据，不是转写文本"},
        {labelledPlain, "text 把 <html> 标签删掉"},
        {unlabelledPage, "-15 语音接口返回了网页而不是转写结果（Login）"},
        // A fragment of a page is a page too.
        {Reply::json(200, "<body><h1>403 Forbidden</h1></body>"),
         "-15 语音接口返回了网页而不是转写结果（403 Forbidden）"},
        // A 200 that is not a transcript (relays and captive portals answer errors that way) fails and says
        // what came back.
        {Reply::json(
             200, R"({"error":{"message":"You exceeded your current quota","type":"insufficient_quota"}})"),
         "-15 语音接口没有返回转写文本（You exceeded your current quota）"},
        {Reply::json(200, "{}"), "-15 语音接口没有返回转写文本（{}）"},
        {Reply::json(200, R"({"text":12345})"), R"(-15 语音接口没有返回转写文本（{"text":12345}）)"},
        {Reply::json(200, R"( {"foo":1} )"), R"(-15 语音接口没有返回转写文本（{"foo":1}）)"},
        {Reply::json(200, portal), "-15 语音接口返回了网页而不是转写结果（Hotel Wi-Fi Login）"},
        {Reply::json(401, R"({"error":{"message":"bad key"}})"), "401 HTTP 401：bad key"},
        {Reply::json(429, R"({"message":"slow down"})"), "429 HTTP 429：slow down"},
        {Reply::json(500, ""), "500 HTTP 500：HTTP 500"},
        {Reply::json(502, html), htmlError.constData()},
        {Reply::json(502, gatewayPage), "502 HTTP 502：502 Bad Gateway"},
        {Reply::json(400, "{\"error\":{\"message\":\"line one\\nline two\"}}"),
         "400 HTTP 400：line one line two"},
        {Reply::json(200, QByteArray(4 * 1024 * 1024 + 1, ' ')), "-14 语音接口响应过大"},
    };
    for (const auto& c : cases) {
        remote.enqueue(c.reply);
        const Outcome outcome = run(base(remote), QStringLiteral("sk"));
        EXPECT_EQ(outcome->ok()
                      ? QStringLiteral("text ") + outcome->value().text
                      : QString::number(outcome->error().code) + u' ' + outcome->error().description,
                  QString::fromUtf8(c.expected));
    }
}

TEST_F(OpenAITranscriptionTest, RefusesUnusableSettingsBeforeAnyTraffic)
{
    EXPECT_EQ(run(base(remote), QStringLiteral("  "))->error(),
              (AppError{Client::errorDomain(), -11, QStringLiteral("未配置 OpenAI / Groq 语音 API Key")}));
    EXPECT_EQ(run(base(remote), QStringLiteral("sk\r\nX-Injected: 1"))->error().code, -13);
    EXPECT_EQ(run(QStringLiteral("ftp://files.test"), QStringLiteral("sk"))->error(),
              (AppError{Client::errorDomain(), -10,
                        QStringLiteral("无效的语音接口地址：ftp://files.test/v1/audio/transcriptions")}));
    CloudTest::settle();
    EXPECT_TRUE(remote.requests().isEmpty());
}

TEST_F(OpenAITranscriptionTest, TimesOutOnTheScheduler)
{
    Reply stall;
    stall.framing = Reply::Framing::chunked;
    stall.stallAfterPieces = true;
    remote.enqueue(stall);
    Outcome outcome;
    transcribeInto(&client, base(remote), QString(), QStringLiteral("sk"), {}, std::nullopt, &outcome, 6.5);
    ASSERT_TRUE(waitUntil([&] { return remote.requests().size() == 1; }));
    scheduler.advance(6400ms);
    CloudTest::runPostedEvents();
    EXPECT_FALSE(outcome.has_value());
    scheduler.advance(100ms);
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }));
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().description, QStringLiteral("请求超时"));
}

// A reply cut off in the middle of its body is a failure, never the half that arrived taken as the
// transcript; a service that never answers at all ends at the limit on the scheduler.
TEST_F(OpenAITranscriptionTest, ACutOffOrMissingAnswerIsAnErrorWithinTheLimit)
{
    for (const Reply::Framing framing : {Reply::Framing::contentLength, Reply::Framing::chunked}) {
        Reply cut = Reply::json(200, R"({"text":"今天的会议我们)");
        cut.framing = framing;
        cut.cutShort = true;
        remote.enqueue(cut);
        const Outcome outcome = run(base(remote), QStringLiteral("sk"));
        ASSERT_TRUE(outcome.has_value());
        EXPECT_FALSE(outcome->ok()) << "taken as the transcript: " << outcome->value().text.toStdString();
    }

    Reply silent;
    silent.neverAnswer = true;
    remote.enqueue(silent);
    Outcome outcome;
    transcribeInto(&client, base(remote), QString(), QStringLiteral("sk"), {}, std::nullopt, &outcome, 4);
    ASSERT_TRUE(waitUntil([&] { return remote.requests().size() >= 3; }));
    scheduler.advance(3900ms);
    CloudTest::runPostedEvents(); // the service never answers: only the limit, on virtual time, could end it
    EXPECT_FALSE(outcome.has_value());
    scheduler.advance(100ms);
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }));
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().description, QStringLiteral("请求超时"));
}

TEST_F(OpenAITranscriptionTest, AKeyNeverFollowsARedirectToAnotherHost)
{
    ScriptedHttpServer elsewhere(scheduler);
    ASSERT_TRUE(elsewhere.listen(QHostAddress(QStringLiteral("127.0.0.3"))));
    elsewhere.setHandler([](const auto&) { return Reply::json(200, R"({"text":"moved"})"); });
    Reply redirect;
    redirect.status = 307;
    redirect.headers = {{"Location", (base(elsewhere) + QLatin1String("/audio/transcriptions")).toLatin1()}};
    remote.enqueue(redirect);
    local.enqueue(redirect);

    const Outcome refused = run(base(remote), QStringLiteral("sk-secret"));
    ASSERT_FALSE(refused->ok());
    EXPECT_EQ(refused->error().code, 307) << "the redirect is reported, not followed";
    EXPECT_TRUE(elsewhere.requests().isEmpty());

    // Without a key there is nothing to leak.
    const Outcome keyless = run(base(local), QString());
    ASSERT_TRUE(keyless->ok()) << keyless->error().description.toStdString();
    EXPECT_EQ(keyless->value().text, QStringLiteral("moved"));
    ASSERT_EQ(elsewhere.requests().size(), 1);
    EXPECT_FALSE(elsewhere.requests()[0].headers.contains("authorization"));
}

TEST_F(OpenAITranscriptionTest, WarmUpAndProbe)
{
    remote.setHandler([](const ScriptedHttpServer::Request& request) {
        return request.method == "HEAD" ? Reply{} : Reply::json(200, R"({"text":""})");
    });
    client.prewarmConnection(QStringLiteral(" ") + base(remote) + QStringLiteral(" "),
                             QStringLiteral(" sk "));
    client.prewarmConnection(QStringLiteral("  "), QStringLiteral("sk"));
    ASSERT_TRUE(waitUntil([&] { return remote.requests().size() == 1; }));
    EXPECT_EQ(remote.requests()[0].method, QByteArray("HEAD"));
    EXPECT_EQ(remote.requests()[0].path, QByteArray("/v1"));
    EXPECT_EQ(remote.requests()[0].header("Authorization"), QByteArray("Bearer sk"));

    std::optional<Result<qint64>> latency;
    probeInto(base(remote), &scheduler, &latency);
    ASSERT_TRUE(waitUntil([&] { return latency.has_value(); }));
    ASSERT_TRUE(latency->ok()) << latency->error().description.toStdString();
    EXPECT_EQ(latency->value(), 0) << "virtual time did not move";
    const QByteArray body = remote.requests().last().body;
    EXPECT_TRUE(body.contains("\r\n\r\nwhisper-large-v3-turbo\r\n"));
    EXPECT_TRUE(body.contains("name=\"language\"\r\n\r\nzh\r\n"));
    EXPECT_TRUE(body.contains("RIFF"));
}
