#include "llm/LlmTestSupport.h"
#include "llm/PolishEngine.h"
#include "llm/PolishPrompts.h"
#include "support/ScriptedHttpServer.h"
#include "support/VirtualScheduler.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace LlmTest;
using Reply = ScriptedHttpServer::Reply;

namespace {

QByteArray chatEvent(const QString& content)
{
    const QJsonObject delta{{QStringLiteral("content"), content}};
    const QJsonObject event{
        {QStringLiteral("choices"), QJsonArray{QJsonObject{{QStringLiteral("delta"), delta}}}}};
    return "data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n";
}

QByteArray anthropicEvent(const QString& text)
{
    const QJsonObject event{
        {QStringLiteral("type"), QStringLiteral("content_block_delta")},
        {QStringLiteral("index"), 0},
        {QStringLiteral("delta"), QJsonObject{{QStringLiteral("type"), QStringLiteral("text_delta")},
                                              {QStringLiteral("text"), text}}}};
    return "event: content_block_delta\ndata: " + QJsonDocument(event).toJson(QJsonDocument::Compact) +
           "\n\n";
}

QJsonObject bodyOf(const ScriptedHttpServer::Request& request)
{
    return QJsonDocument::fromJson(request.body).object();
}

QString messageContent(const QJsonObject& body, int index)
{
    return body.value(QLatin1String("messages"))
        .toArray()
        .at(index)
        .toObject()
        .value(QLatin1String("content"))
        .toString();
}

struct Chunk {
    QString text;
    bool isFirst;
    bool operator==(const Chunk&) const = default;
};

class PolishOverHttp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(local.listen(QHostAddress(QStringLiteral("127.0.0.1"))));
        ASSERT_TRUE(remote.listen(QHostAddress(QStringLiteral("127.0.0.2"))));
    }

    // A local server needs no key; the remote one plays a provider that does.
    QString localBase() const { return local.baseUrl().toString() + QStringLiteral("/v1"); }
    QString remoteBase() const { return remote.baseUrl().toString() + QStringLiteral("/v1"); }

    LLMConfig config(const QString& baseURL, const QString& model = QStringLiteral("test-model")) const
    {
        LLMConfig c = LLMConfig::defaults();
        c.selectedProvider = LLMProviderOption::custom;
        c.baseURL = baseURL;
        c.modelName = model;
        c.enableFastBypassForShortPhrases = false;
        return c;
    }

    PolishEngine::StreamChunkHandler recorder()
    {
        return [this](const QString& text, bool isFirst) { chunks.append({text, isFirst}); };
    }

    QCoro::Task<PolishEngine::PolishResult>
    polish(const QString& transcript, const LLMConfig& c, const QString& key = {},
           const ActiveScreenContext& context = ActiveScreenContext::empty(),
           DictationMode mode = DictationMode::dictate)
    {
        return engine->polish(transcript, mode, context, {}, {}, c, key, false, false, recorder());
    }

    // Waits (bounded, on real sockets) for a task started earlier.
    template <typename T> std::optional<T> finish(QCoro::Task<T>& task)
    {
        std::optional<T> result;
        auto waiter = [](QCoro::Task<T>& awaited, std::optional<T>& out) -> QCoro::Task<> {
            out.emplace(co_await awaited);
        };
        QCoro::Task<> watching = waiter(task, result);
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 10000)) << "the task did not finish";
        return result;
    }

    bool waitForRequests(const ScriptedHttpServer& server, int count)
    {
        return QTest::qWaitFor([&] { return server.requests().size() >= count; }, 10000);
    }

    VirtualScheduler scheduler;
    ScriptedHttpServer local{scheduler};
    ScriptedHttpServer remote{scheduler};
    std::unique_ptr<PolishEngine> engine = std::make_unique<PolishEngine>(scheduler);
    QList<Chunk> chunks;
};

} // namespace

TEST_F(PolishOverHttp, StreamsPiecesInOrderAndBuildsTheDictationRequest)
{
    Reply reply =
        Reply::sse({chatEvent(QStringLiteral("<raw_speech>好的，")), chatEvent(QStringLiteral("用")),
                    chatEvent(QStringLiteral("iPhone")), chatEvent(QStringLiteral("拍。</raw_speech>")),
                    "data: [DONE]\n\n", chatEvent(QStringLiteral("never shown"))});
    reply.pieces[0].delayBefore = 120ms;
    local.enqueue(reply);

    ActiveScreenContext chat = slack();
    chat.precedingText = QString(130, u'前') + QStringLiteral("  \n");
    const QList<LexiconEntry> recalled = {
        entry(QStringLiteral("星河"), {QStringLiteral("星合"), QStringLiteral("行河"), QStringLiteral("兴和"),
                                       QStringLiteral("新河"), QStringLiteral("形核")}),
        entry(QStringLiteral("SEO"), {})};
    const QStringList recent = {QStringLiteral("一"),
                                QStringLiteral("二"),
                                QString(),
                                QStringLiteral("三"),
                                QStringLiteral("四"),
                                QStringLiteral("第五\n行"),
                                QStringLiteral("  "),
                                QString()};
    QCoro::Task<PolishEngine::PolishResult> task =
        engine->polish(QStringLiteral(" 好的用iPhone拍 \n"), DictationMode::dictate, chat, recalled, recent,
                       config(localBase()), QString(), false, false, recorder());
    ASSERT_TRUE(waitForRequests(local, 1));
    scheduler.advance(120ms);
    const auto result = finish(task);
    ASSERT_TRUE(result);

    EXPECT_EQ(chunks, (QList<Chunk>{{QStringLiteral("好的，"), true},
                                    {QStringLiteral("用"), false},
                                    {QStringLiteral(" iPhone"), false},
                                    {QStringLiteral(" 拍。"), false}}));
    EXPECT_EQ(result->text, QStringLiteral("好的，用 iPhone 拍")); // post-formatted for a chat app
    EXPECT_FALSE(result->usedFastPath);
    EXPECT_EQ(result->latencyMs, 120); // time to the first token
    EXPECT_FALSE(result->rewriteFailure);

    const ScriptedHttpServer::Request& request = local.requests().at(0);
    EXPECT_EQ(request.method, QByteArray("POST"));
    EXPECT_EQ(request.path, QByteArray("/v1/chat/completions"));
    EXPECT_TRUE(request.header("Authorization").isEmpty());
    EXPECT_EQ(request.header("Accept"), QByteArray("text/event-stream"));
    EXPECT_EQ(request.header("Content-Type"), QByteArray("application/json"));
    const QJsonObject body = bodyOf(request);
    EXPECT_EQ(body.value(QLatin1String("model")).toString(), QStringLiteral("test-model"));
    EXPECT_TRUE(body.value(QLatin1String("stream")).toBool());
    EXPECT_EQ(body.value(QLatin1String("max_tokens")).toInt(), 180);
    EXPECT_EQ(messageContent(body, 0), PolishPrompts::structuredPolishPrompt());
    EXPECT_EQ(
        messageContent(body, 1),
        QStringLiteral(
            "<scene>即时聊天</scene>\n<recent_context>四 ｜ 第五 行</recent_context>\n<preceding_text>") +
            QString(120, u'前') +
            QStringLiteral("</preceding_text>\n<lexicon>星河(误听:星合/行河/兴和/新河)；SEO</lexicon>\n"
                           "<raw_speech>好的用iPhone拍</raw_speech>"));
}

TEST_F(PolishOverHttp, LocalRoutesNeverTouchTheNetwork)
{
    // Blank input, the verbatim style, and a remote endpoint without a key.
    auto blank = polish(QStringLiteral(" \n "), config(localBase()));
    EXPECT_TRUE(blank.isReady());
    const auto blankResult = finish(blank);
    ASSERT_TRUE(blankResult);
    EXPECT_EQ(blankResult->text, QString());
    EXPECT_TRUE(blankResult->usedFastPath);

    LLMConfig verbatim = config(localBase());
    verbatim.formattingStyle = FormattingStyle::verbatimLocal;
    auto local1 = polish(QStringLiteral("用iPhone拍另起一行好的。"), verbatim, QString(), slack());
    const auto verbatimResult = finish(local1);
    ASSERT_TRUE(verbatimResult);
    EXPECT_EQ(verbatimResult->text, QStringLiteral("用 iPhone 拍\n好的。"));
    EXPECT_EQ(verbatimResult->latencyMs, 0);

    auto noKey = polish(QStringLiteral("帮我写一段话"), config(remoteBase()));
    EXPECT_TRUE(noKey.isReady());
    const auto noKeyResult = finish(noKey);
    ASSERT_TRUE(noKeyResult);
    EXPECT_EQ(noKeyResult->text, QStringLiteral("帮我写一段话"));
    EXPECT_TRUE(noKeyResult->usedFastPath);

    LLMConfig bypass = config(remoteBase());
    bypass.enableFastBypassForShortPhrases = true;
    auto shortPhrase =
        engine->polish(QStringLiteral("好的收到"), DictationMode::dictate, ActiveScreenContext::empty(), {},
                       {}, bypass, QStringLiteral("sk-test"), false, true, recorder());
    const auto bypassResult = finish(shortPhrase);
    ASSERT_TRUE(bypassResult);
    EXPECT_TRUE(bypassResult->usedFastPath);

    EXPECT_TRUE(local.requests().isEmpty());
    EXPECT_TRUE(remote.requests().isEmpty());
    EXPECT_TRUE(chunks.isEmpty());
}

TEST_F(PolishOverHttp, KeylessLocalhostSendsNoAuthorization)
{
    local.enqueue(Reply::sse({chatEvent(QStringLiteral("好")), "data: [DONE]\n\n"}));
    const QString base = QStringLiteral("http://localhost:%1/v1").arg(local.port());
    auto task = polish(QStringLiteral("测试一下本地模型"), config(base));
    const auto result = finish(task);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->usedFastPath);
    ASSERT_EQ(local.requests().size(), 1);
    EXPECT_FALSE(local.requests()[0].headers.contains("authorization"));
}

TEST_F(PolishOverHttp, BadRequestIsRetriedOnceWithoutReasoningSwitches)
{
    remote.enqueue(Reply::json(400, R"({"error":{"message":"unknown field thinking"}})"));
    remote.enqueue(Reply::sse({chatEvent(QStringLiteral("改好了")), "data: [DONE]\n\n"}));
    auto task = polish(QStringLiteral("帮我改一下这句话"),
                       config(remoteBase(), QStringLiteral("deepseek-chat")), QStringLiteral("sk-test"));
    const auto result = finish(task);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text, QStringLiteral("改好了"));
    EXPECT_FALSE(result->usedFastPath);

    ASSERT_EQ(remote.requests().size(), 2);
    const QJsonObject first = bodyOf(remote.requests()[0]);
    const QJsonObject second = bodyOf(remote.requests()[1]);
    EXPECT_TRUE(first.contains(QLatin1String("thinking")));
    EXPECT_FALSE(first.contains(QLatin1String("temperature")));
    EXPECT_FALSE(second.contains(QLatin1String("thinking")));
    EXPECT_DOUBLE_EQ(second.value(QLatin1String("temperature")).toDouble(), 0.1);
    for (const auto& request : remote.requests())
        EXPECT_EQ(request.header("Authorization"), QByteArray("Bearer sk-test"));

    // A second 400 fails with its status.
    remote.enqueue(Reply::json(400, "{}"));
    remote.enqueue(Reply::json(400, "{}"));
    auto call = engine->callChatCompletionsSSE(
        remoteBase(), QStringLiteral("deepseek-chat"), QStringLiteral("sk-test"), QStringLiteral("sys"),
        QStringLiteral("hi"), 180, config(remoteBase(), QStringLiteral("deepseek-chat")), {});
    const auto failed = finish(call);
    ASSERT_TRUE(failed);
    ASSERT_FALSE(failed->ok());
    EXPECT_EQ(failed->error().domain, QStringLiteral("Quorbell.LLM"));
    EXPECT_EQ(failed->error().code, 400);
    EXPECT_EQ(
        failed->error().description,
        QStringLiteral("接口返回 HTTP 400（请核对当前服务商 API Key 与模型 ID deepseek-chat 是否匹配）"));
    EXPECT_EQ(remote.requests().size(), 4);

    // A 400 for a body without reasoning switches is not retried; polish falls back to local text.
    remote.enqueue(Reply::json(400, "{}"));
    auto plain = polish(QStringLiteral("用iPhone拍"), config(remoteBase(), QStringLiteral("gpt-4o")),
                        QStringLiteral("sk-test"));
    const auto fallback = finish(plain);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(remote.requests().size(), 5);
    EXPECT_EQ(fallback->text, QStringLiteral("用 iPhone 拍"));
    EXPECT_TRUE(fallback->usedFastPath);
}

TEST_F(PolishOverHttp, FailuresFallBackToTheLocalText)
{
    // A server error: the status alone decides, the body is never waited for.
    Reply failure = Reply::json(500, R"({"error":"boom"})");
    failure.pieces[0].delayBefore = 1h;
    remote.enqueue(failure);
    auto serverError = polish(QStringLiteral("用iPhone拍"), config(remoteBase()), QStringLiteral("sk-test"));
    const auto fallback = finish(serverError);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->text, QStringLiteral("用 iPhone 拍"));
    EXPECT_TRUE(fallback->usedFastPath);

    Reply dropped;
    dropped.dropWithoutReply = true;
    local.enqueue(dropped);
    auto droppedCall = polish(QStringLiteral("说一段话"), config(localBase()));
    const auto afterDrop = finish(droppedCall);
    ASSERT_TRUE(afterDrop);
    EXPECT_EQ(afterDrop->text, QStringLiteral("说一段话"));
    EXPECT_TRUE(afterDrop->usedFastPath);
    EXPECT_TRUE(chunks.isEmpty());

    // An answer of echoed tags only is no answer: the local text, unformatted, from the model route.
    local.enqueue(Reply::sse({chatEvent(QStringLiteral("<raw_speech>")), chatEvent(QStringLiteral("  ")),
                              chatEvent(QStringLiteral("</raw_speech>")), "data: [DONE]\n\n"}));
    auto emptyAnswer = polish(QStringLiteral("用iPhone拍"), config(localBase()));
    const auto unformatted = finish(emptyAnswer);
    ASSERT_TRUE(unformatted);
    EXPECT_EQ(unformatted->text, QStringLiteral("用iPhone拍"));
    EXPECT_FALSE(unformatted->usedFastPath);
}

TEST_F(PolishOverHttp, StalledStreamIsAbortedAtTheTransferLimit)
{
    Reply stalled = Reply::sse({chatEvent(QStringLiteral("半句"))});
    stalled.stallAfterPieces = true;
    local.enqueue(stalled);
    auto task = polish(QStringLiteral("说一段很长的话"), config(localBase()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return chunks.size() == 1; }, 10000));

    scheduler.advance(9900ms);
    QCoreApplication::processEvents();
    EXPECT_FALSE(task.isReady()); // still streaming within the limit
    scheduler.advance(100ms);
    const auto result = finish(task);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text, QStringLiteral("说一段很长的话"));
    EXPECT_TRUE(result->usedFastPath);
    EXPECT_EQ(result->latencyMs, 10000);
    EXPECT_EQ(scheduler.pendingCount(), 0u); // no timer outlives the call
}

TEST_F(PolishOverHttp, SelectionRewriteAlwaysAsksTheModelAndReportsFailure)
{
    ActiveScreenContext selection = ActiveScreenContext::empty();
    selection.selectedText = QString(200, u'选');
    LLMConfig verbatim = config(localBase());
    verbatim.formattingStyle = FormattingStyle::verbatimLocal;
    verbatim.enableFastBypassForShortPhrases = true;
    local.enqueue(Reply::sse({chatEvent(QStringLiteral("改写结果")), "data: [DONE]\n\n"}));
    auto task = polish(QStringLiteral("改成正式一点"), verbatim, QString(), selection,
                       DictationMode::rewriteSelection);
    const auto result = finish(task);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text, QStringLiteral("改写结果"));
    EXPECT_FALSE(result->rewriteFailure);
    const QJsonObject body = bodyOf(local.requests().at(0));
    EXPECT_EQ(messageContent(body, 0), PolishPrompts::selectionRewritePrompt());
    EXPECT_EQ(messageContent(body, 1),
              QStringLiteral("<recent_context>无</recent_context>\n<lexicon>无</lexicon>\n"
                             "<selected_text>") +
                  selection.selectedText +
                  QStringLiteral("</selected_text>\n<voice_instruction>改成正式一点"
                                 "</voice_instruction>"));
    // The answer replaces the selection, so the budget covers the selection as well as the instruction.
    EXPECT_EQ(body.value(QLatin1String("max_tokens")).toInt(), 2 * (200 + 6));

    // Without a key the remote refuses; the selection is kept and the error reported, nothing inserted.
    remote.enqueue(Reply::json(401, R"({"error":"no key"})"));
    auto refused = engine->polish(QStringLiteral("改成正式一点"), DictationMode::rewriteSelection, selection,
                                  {}, {}, config(remoteBase()), QString(), false, false, recorder());
    const auto failure = finish(refused);
    ASSERT_TRUE(failure);
    ASSERT_EQ(remote.requests().size(), 1);
    EXPECT_FALSE(remote.requests()[0].headers.contains("authorization"));
    EXPECT_EQ(failure->text, QString());
    ASSERT_TRUE(failure->rewriteFailure);
    EXPECT_EQ(failure->rewriteFailure->code, 401);
}

TEST_F(PolishOverHttp, AnthropicStreamsByProvider)
{
    remote.enqueue(Reply::sse({"event: message_start\ndata: {\"type\":\"message_start\"}\n\n",
                               anthropicEvent(QStringLiteral("你好")), "data: {\"type\":\"ping\"}\n\n",
                               anthropicEvent(QStringLiteral("Claude")),
                               "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n"}));
    LLMConfig anthropic = config(remoteBase(), QStringLiteral("claude-x"));
    anthropic.selectedProvider = LLMProviderOption::anthropic;
    auto task = polish(QStringLiteral("你好克劳德"), anthropic, QStringLiteral("sk-ant"));
    const auto result = finish(task);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text, QStringLiteral("你好 Claude"));
    EXPECT_EQ(chunks, (QList<Chunk>{{QStringLiteral("你好"), true}, {QStringLiteral(" Claude"), false}}));

    const ScriptedHttpServer::Request& request = remote.requests().at(0);
    EXPECT_EQ(request.path, QByteArray("/v1/messages"));
    EXPECT_EQ(request.header("x-api-key"), QByteArray("sk-ant"));
    EXPECT_EQ(request.header("anthropic-version"), QByteArray("2023-06-01"));
    EXPECT_FALSE(request.headers.contains("authorization"));
    const QJsonObject body = bodyOf(request);
    EXPECT_EQ(body.value(QLatin1String("max_tokens")).toInt(), 256);
    EXPECT_TRUE(body.value(QLatin1String("stream")).toBool());
    EXPECT_EQ(body.value(QLatin1String("system")).toString(), PolishPrompts::structuredPolishPrompt());
    EXPECT_EQ(body.value(QLatin1String("messages")).toArray().size(), 1);

    // Any address ending in /messages speaks this protocol, and a 400 is not retried.
    remote.enqueue(Reply::json(400, "{}"));
    const LLMConfig byEndpoint =
        config(remoteBase() + QStringLiteral("/messages"), QStringLiteral("claude-x"));
    auto call =
        engine->callChatCompletionsSSE(byEndpoint.baseURL, byEndpoint.modelName, QStringLiteral("sk-ant"),
                                       QStringLiteral("sys"), QStringLiteral("hi"), 180, byEndpoint, {});
    const auto refused = finish(call);
    ASSERT_TRUE(refused);
    ASSERT_FALSE(refused->ok());
    EXPECT_EQ(refused->error().code, 400);
    EXPECT_EQ(refused->error().description,
              QStringLiteral("Anthropic 接口返回 HTTP 400（请核对 Claude API Key 与模型 ID claude-x）"));
    EXPECT_EQ(remote.requests().size(), 2);
}

TEST_F(PolishOverHttp, KeysNeverFollowARedirectToAnotherHost)
{
    ScriptedHttpServer elsewhere(scheduler);
    ASSERT_TRUE(elsewhere.listen(QHostAddress(QStringLiteral("127.0.0.3"))));
    elsewhere.setHandler([](const auto&) {
        return Reply::sse({chatEvent(QStringLiteral("leaked")), "data: [DONE]\n\n"});
    });
    auto redirectTo = [](const QString& target) {
        Reply reply = Reply::json(307, "{}");
        reply.headers.append({"Location", target.toUtf8()});
        return reply;
    };
    const QString target = elsewhere.baseUrl().toString() + QStringLiteral("/v1/chat/completions");

    remote.enqueue(redirectTo(target));
    auto withKey = engine->callChatCompletionsSSE(remoteBase(), QStringLiteral("m"),
                                                  QStringLiteral("sk-secret"), QStringLiteral("sys"),
                                                  QStringLiteral("hi"), 180, config(remoteBase()), {});
    const auto refused = finish(withKey);
    ASSERT_TRUE(refused);
    ASSERT_FALSE(refused->ok());
    EXPECT_EQ(refused->error().code, 307);
    EXPECT_TRUE(elsewhere.requests().isEmpty());

    // Within the same origin the key goes along.
    remote.enqueue(redirectTo(remote.baseUrl().toString() + QStringLiteral("/v2/chat/completions")));
    remote.enqueue(Reply::sse({chatEvent(QStringLiteral("同源")), "data: [DONE]\n\n"}));
    auto sameOrigin = engine->callChatCompletionsSSE(remoteBase(), QStringLiteral("m"),
                                                     QStringLiteral("sk-secret"), QStringLiteral("sys"),
                                                     QStringLiteral("hi"), 180, config(remoteBase()), {});
    const auto followed = finish(sameOrigin);
    ASSERT_TRUE(followed);
    ASSERT_TRUE(followed->ok());
    EXPECT_EQ(followed->value().fullText, QStringLiteral("同源"));
    ASSERT_EQ(remote.requests().size(), 3);
    EXPECT_EQ(remote.requests()[2].path, QByteArray("/v2/chat/completions"));
    EXPECT_EQ(remote.requests()[2].header("Authorization"), QByteArray("Bearer sk-secret"));

    // With no key there is nothing to leak.
    local.enqueue(redirectTo(target));
    auto keyless =
        engine->callChatCompletionsSSE(localBase(), QStringLiteral("m"), QString(), QStringLiteral("sys"),
                                       QStringLiteral("hi"), 180, config(localBase()), {});
    const auto moved = finish(keyless);
    ASSERT_TRUE(moved);
    ASSERT_TRUE(moved->ok());
    EXPECT_EQ(moved->value().fullText, QStringLiteral("leaked"));
    ASSERT_EQ(elsewhere.requests().size(), 1);
    EXPECT_FALSE(elsewhere.requests()[0].headers.contains("authorization"));
}

TEST_F(PolishOverHttp, KeysWithControlCharactersAreNeverSent)
{
    const QString injected = QStringLiteral("sk-1\r\nX-Injected: yes");
    auto task = polish(QStringLiteral("说一段话"), config(remoteBase()), injected);
    const auto result = finish(task);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->usedFastPath);

    auto benchmark = engine->benchmarkLatency(config(remoteBase()), QStringLiteral("sk-1\ax"));
    ASSERT_TRUE(waitForRequests(remote, 1)); // the warm-up goes out without the key
    EXPECT_FALSE(remote.requests()[0].headers.contains("authorization"));
    scheduler.advance(180ms);
    const auto failed = finish(benchmark);
    ASSERT_TRUE(failed);
    ASSERT_FALSE(failed->ok());
    EXPECT_EQ(failed->error().code, 401);
    EXPECT_EQ(remote.requests().size(), 1);
}

TEST_F(PolishOverHttp, EngineGoneMidCallEndsTheCallQuietly)
{
    Reply stalled = Reply::sse({});
    stalled.stallAfterPieces = true;
    local.enqueue(stalled);
    auto task = polish(QStringLiteral("说一段话"), config(localBase()));
    ASSERT_TRUE(waitForRequests(local, 1));
    engine.reset();
    const auto result = finish(task);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->text, QStringLiteral("说一段话"));
    EXPECT_TRUE(result->usedFastPath);
}

// --- warm-up and benchmark ---------------------------------------------------------------------------------

TEST_F(PolishOverHttp, WarmUpOpensTheModelsEndpoint)
{
    local.setHandler([](const auto&) { return Reply::json(200, R"({"data":[]})"); });
    engine->prewarmConnection(QStringLiteral("   "), QString());
    engine->prewarmConnection(QStringLiteral(" ") + localBase() + QStringLiteral("/ \n"),
                              QStringLiteral("sk-warm"));
    engine->prewarmConnection(remote.baseUrl().toString() + QStringLiteral("/v1/messages"),
                              QStringLiteral("sk-ant"));
    ASSERT_TRUE(waitForRequests(local, 1));
    ASSERT_TRUE(waitForRequests(remote, 1));
    ASSERT_EQ(local.requests().size(), 1);
    EXPECT_EQ(local.requests()[0].method, QByteArray("GET"));
    EXPECT_EQ(local.requests()[0].path, QByteArray("/v1/models"));
    EXPECT_EQ(local.requests()[0].header("Authorization"), QByteArray("Bearer sk-warm"));
    EXPECT_EQ(remote.requests()[0].path, QByteArray("/v1/messages/models"));
    EXPECT_EQ(remote.requests()[0].header("x-api-key"), QByteArray("sk-ant"));
    EXPECT_EQ(remote.requests()[0].header("anthropic-version"), QByteArray("2023-06-01"));
}

TEST_F(PolishOverHttp, BenchmarkMeasuresFirstTokenAndTotal)
{
    local.setHandler([](const ScriptedHttpServer::Request& request) {
        if (request.method == "GET")
            return Reply::json(200, "{}");
        Reply reply = Reply::sse(
            {chatEvent(QStringLiteral("记两件事")), chatEvent(QStringLiteral("：…")), "data: [DONE]\n\n"});
        reply.pieces[0].delayBefore = 300ms;
        return reply;
    });
    auto task = engine->benchmarkLatency(config(localBase()), QStringLiteral("  \n"));
    ASSERT_TRUE(waitForRequests(local, 1));
    EXPECT_EQ(local.requests()[0].path, QByteArray("/v1/models"));
    scheduler.advance(179ms);
    QCoreApplication::processEvents();
    EXPECT_EQ(local.requests().size(), 1); // the measured request waits for the pause after the warm-up
    scheduler.advance(1ms);
    ASSERT_TRUE(waitForRequests(local, 2));
    scheduler.advance(300ms);
    const auto result = finish(task);
    ASSERT_TRUE(result);
    ASSERT_TRUE(result->ok()) << result->error().description.toStdString();
    EXPECT_EQ(result->value().ttftMs, 300);
    EXPECT_EQ(result->value().totalMs, 300);
    EXPECT_EQ(result->value().sampleOutput, QStringLiteral("记两件事：…"));

    const ScriptedHttpServer::Request& request = local.requests()[1];
    EXPECT_FALSE(request.headers.contains("authorization"));
    const QJsonObject body = bodyOf(request);
    EXPECT_EQ(body.value(QLatin1String("max_tokens")).toInt(), 120);
    EXPECT_EQ(messageContent(body, 0), PolishPrompts::structuredPolishPrompt());
    EXPECT_EQ(messageContent(body, 1), PolishPrompts::benchmarkSampleContent());
}

TEST_F(PolishOverHttp, BenchmarkOverAnthropicAndWithoutText)
{
    remote.setHandler([](const ScriptedHttpServer::Request& request) {
        if (request.method == "GET")
            return Reply::json(200, "{}");
        Reply reply =
            Reply::sse({"data: {\"type\":\"message_start\"}\n\n", "data: {\"type\":\"message_stop\"}\n\n"});
        reply.pieces[0].delayBefore = 40ms;
        return reply;
    });
    LLMConfig anthropic = config(remoteBase(), QStringLiteral("claude-x"));
    anthropic.selectedProvider = LLMProviderOption::anthropic;
    auto task = engine->benchmarkLatency(anthropic, QStringLiteral(" sk-ant "));
    ASSERT_TRUE(waitForRequests(remote, 1));
    scheduler.advance(180ms);
    ASSERT_TRUE(waitForRequests(remote, 2));
    scheduler.advance(40ms);
    const auto result = finish(task);
    ASSERT_TRUE(result);
    ASSERT_TRUE(result->ok());
    EXPECT_EQ(result->value().ttftMs, result->value().totalMs); // no text: the first token time is the total
    EXPECT_EQ(result->value().totalMs, 40);
    EXPECT_EQ(result->value().sampleOutput, QString());
    EXPECT_EQ(remote.requests()[1].path, QByteArray("/v1/messages"));
    EXPECT_EQ(remote.requests()[1].header("x-api-key"), QByteArray("sk-ant"));
    EXPECT_EQ(bodyOf(remote.requests()[1]).value(QLatin1String("max_tokens")).toInt(), 256);
}

TEST_F(PolishOverHttp, MissingKeysFailAtOnce)
{
    auto benchmark = engine->benchmarkLatency(config(remoteBase()), QStringLiteral(" "));
    EXPECT_TRUE(benchmark.isReady()); // nothing was sent
    const auto benchmarkResult = finish(benchmark);
    ASSERT_TRUE(benchmarkResult);
    ASSERT_FALSE(benchmarkResult->ok());
    EXPECT_EQ(
        benchmarkResult->error(),
        (AppError{QStringLiteral("Quorbell.LLM"), 401,
                  QStringLiteral("当前勾选模型尚未填入 API Key，请先在当前卡片粘贴密钥并点击「保存」")}));

    // Distillation wants a key even for a local server.
    auto distill = engine->distillTermsFromRawCorpus(QStringLiteral("文本"), config(localBase()), QString());
    EXPECT_TRUE(distill.isReady());
    const auto distillResult = finish(distill);
    ASSERT_TRUE(distillResult);
    ASSERT_FALSE(distillResult->ok());
    EXPECT_EQ(distillResult->error(), (AppError{QStringLiteral("Quorbell.LLM"), 401,
                                                QStringLiteral("请先在设置页填入大模型 API Key")}));
    EXPECT_TRUE(remote.requests().isEmpty());
    EXPECT_TRUE(local.requests().isEmpty());
}

// --- distillation
// --------------------------------------------------------------------------------------------

TEST_F(PolishOverHttp, DistillationParsesTheWholeAnswer)
{
    const QJsonObject answer{
        {QStringLiteral("choices"),
         QJsonArray{QJsonObject{
             {QStringLiteral("message"),
              QJsonObject{{QStringLiteral("content"),
                           QStringLiteral("张伟|章维,张威|person\n星河项目|星合|project\n")}}}}}}};
    remote.enqueue(Reply::json(200, QJsonDocument(answer).toJson()));
    const QString corpus = QString(12005, u'字');
    auto task = engine->distillTermsFromRawCorpus(corpus, config(remoteBase()), QStringLiteral("sk-test"));
    const auto result = finish(task);
    ASSERT_TRUE(result);
    ASSERT_TRUE(result->ok()) << result->error().description.toStdString();
    ASSERT_EQ(result->value().size(), 2);
    EXPECT_EQ(result->value()[0].term, QStringLiteral("张伟"));
    EXPECT_EQ(result->value()[1].category, LexiconCategory::project);

    const ScriptedHttpServer::Request& request = remote.requests().at(0);
    EXPECT_EQ(request.path, QByteArray("/v1/chat/completions"));
    EXPECT_NE(request.header("Accept"), QByteArray("text/event-stream"));
    const QJsonObject body = bodyOf(request);
    EXPECT_FALSE(body.value(QLatin1String("stream")).toBool());
    EXPECT_EQ(body.value(QLatin1String("max_tokens")).toInt(), 1200);
    EXPECT_EQ(messageContent(body, 0), PolishPrompts::termDistillPrompt());
    EXPECT_EQ(messageContent(body, 1), QString(12000, u'字'));
}

TEST_F(PolishOverHttp, DistillationSpeaksAnthropicByProvider)
{
    remote.enqueue(Reply::json(
        200,
        R"({"content":[{"type":"text","text":" 星河|星合|project"},{"type":"tool_use"},{"type":"text","text":"\nSEO|Su|memo\n"}]})"));
    LLMConfig anthropic = config(remoteBase(), QStringLiteral("claude-x"));
    anthropic.selectedProvider = LLMProviderOption::anthropic;
    auto task =
        engine->distillTermsFromRawCorpus(QStringLiteral("文本"), anthropic, QStringLiteral("sk-ant"));
    const auto result = finish(task);
    ASSERT_TRUE(result);
    ASSERT_TRUE(result->ok()) << result->error().description.toStdString();
    ASSERT_EQ(result->value().size(), 2);
    EXPECT_EQ(result->value()[0].term, QStringLiteral("星河"));
    EXPECT_EQ(result->value()[1].aliases, QStringList{QStringLiteral("Su")});
    const ScriptedHttpServer::Request& request = remote.requests().at(0);
    EXPECT_EQ(request.path, QByteArray("/v1/messages"));
    EXPECT_EQ(request.header("x-api-key"), QByteArray("sk-ant"));
    EXPECT_FALSE(bodyOf(request).contains(QLatin1String("stream")));
}

TEST_F(PolishOverHttp, DistillationErrors)
{
    auto distill = [&] {
        return engine->distillTermsFromRawCorpus(QStringLiteral("文本"), config(remoteBase()),
                                                 QStringLiteral("sk-test"));
    };
    const QList<QPair<Reply, AppError>> cases = {
        {Reply::json(500, "{}"), {QStringLiteral("Quorbell.URL"), -1011, {}}},
        {Reply::json(200, R"({"choices":[{"message":{"content":42}}]})"),
         {QStringLiteral("Quorbell.URL"), -1017, {}}},
        {Reply::json(200, "<html>"), {QStringLiteral("Quorbell.JSON"), QJsonParseError::IllegalValue, {}}},
    };
    for (const auto& [reply, expected] : cases) {
        remote.enqueue(reply);
        auto task = distill();
        const auto result = finish(task);
        ASSERT_TRUE(result && !result->ok());
        EXPECT_EQ(result->error().domain, expected.domain);
        EXPECT_EQ(result->error().code, expected.code);
        EXPECT_FALSE(result->error().description.isEmpty());
    }

    // The one retry after 400 holds for whole answers too.
    remote.enqueue(Reply::json(400, "{}"));
    remote.enqueue(Reply::json(200, R"({"choices":[{"message":{"content":"星河"}}]})"));
    auto retried = engine->distillTermsFromRawCorpus(QStringLiteral("文本"),
                                                     config(remoteBase(), QStringLiteral("deepseek-chat")),
                                                     QStringLiteral("sk-test"));
    const auto afterRetry = finish(retried);
    ASSERT_TRUE(afterRetry && afterRetry->ok());
    EXPECT_FALSE(bodyOf(remote.requests().last()).contains(QLatin1String("thinking")));
}
TEST_F(PolishOverHttp, DistillationAllowsNinetySeconds)
{
    // The answer comes only after 80 s of silence: longer than a chat call may take, within the
    // distillation's limit.
    Reply slow = Reply::json(200, R"({"choices":[{"message":{"content":"星河"}}]})");
    slow.pieces[0].delayBefore = 80s;
    remote.enqueue(slow);
    auto task = engine->distillTermsFromRawCorpus(QStringLiteral("文本"), config(remoteBase()),
                                                  QStringLiteral("sk-test"));
    ASSERT_TRUE(waitForRequests(remote, 1));
    scheduler.advance(80s);
    const auto result = finish(task);
    ASSERT_TRUE(result && result->ok());

    Reply silent = Reply::sse({});
    silent.stallAfterPieces = true;
    remote.enqueue(silent);
    auto stalled = engine->distillTermsFromRawCorpus(QStringLiteral("文本"), config(remoteBase()),
                                                     QStringLiteral("sk-test"));
    ASSERT_TRUE(waitForRequests(remote, 2));
    scheduler.advance(89s);
    QCoreApplication::processEvents();
    EXPECT_FALSE(stalled.isReady());
    scheduler.advance(2s);
    const auto timedOut = finish(stalled);
    ASSERT_TRUE(timedOut && !timedOut->ok());
    EXPECT_EQ(timedOut->error().code, -1001);
}
