#include "llm/LLMErrors.h"
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

const QByteArray kDone = "data: [DONE]\n\n";
const QString kDomain = QStringLiteral("Quorbell.LLM");

QByteArray chatEvent(const char* content)
{
    const QJsonObject delta{{u("content"), u(content)}};
    const QJsonObject event{{u("choices"), QJsonArray{QJsonObject{{u("delta"), delta}}}}};
    return "data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n";
}

QByteArray anthropicEvent(const char* text)
{
    const QJsonObject event{{u("type"), u("content_block_delta")},
                            {u("index"), 0},
                            {u("delta"), QJsonObject{{u("type"), u("text_delta")}, {u("text"), u(text)}}}};
    return "event: content_block_delta\ndata: " + QJsonDocument(event).toJson(QJsonDocument::Compact) +
           "\n\n";
}

Reply stalledAfter(const QList<QByteArray>& events)
{
    Reply reply = Reply::sse(events);
    reply.stallAfterPieces = true;
    return reply;
}

QJsonObject bodyOf(const ScriptedHttpServer::Request& request)
{
    return QJsonDocument::fromJson(request.body).object();
}

QString messageContent(const QJsonObject& body, int index)
{
    return body.value(u("messages")).toArray().at(index).toObject().value(u("content")).toString();
}

using Chunk = std::pair<QString, bool>; // text, isFirst

class PolishOverHttp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(local.listen(QHostAddress(u("127.0.0.1"))));
        ASSERT_TRUE(remote.listen(QHostAddress(u("127.0.0.2"))));
    }

    // A local server needs no key; the remote one plays a provider that does.
    QString localBase() const { return local.baseUrl().toString() + u("/v1"); }
    QString remoteBase() const { return remote.baseUrl().toString() + u("/v1"); }

    LLMConfig config(const QString& baseURL, const QString& model = u("test-model")) const
    {
        LLMConfig c = LLMConfig::defaults();
        c.selectedProvider = LLMProviderOption::custom;
        c.baseURL = baseURL;
        c.modelName = model;
        c.enableFastBypassForShortPhrases = false;
        return c;
    }
    LLMConfig anthropic() const
    {
        LLMConfig c = config(remoteBase(), u("claude-x"));
        c.selectedProvider = LLMProviderOption::anthropic;
        return c;
    }

    PolishEngine::StreamChunkHandler recorder()
    {
        return [this](const QString& text, bool isFirst) { chunks.append({text, isFirst}); };
    }

    QCoro::Task<PolishEngine::PolishResult>
    polish(const char* transcript, const LLMConfig& c, const QString& key = {},
           const ActiveScreenContext& context = ActiveScreenContext::empty(),
           DictationMode mode = DictationMode::dictate)
    {
        return engine->polish(u(transcript), mode, context, {}, {}, c, key, false, false, recorder());
    }
    auto callSSE(const LLMConfig& c, const QString& key)
    {
        return engine->callChatCompletionsSSE(c.baseURL, c.modelName, key, u("sys"), u("hi"), 180, c, {});
    }
    auto distill(const LLMConfig& c, const QString& key = u("sk-test"), const QString& corpus = u("文本"))
    {
        return engine->distillTermsFromRawCorpus(corpus, c, key);
    }

    // Waits (bounded, on real sockets) for a task; throws, failing the test, if it does not end.
    template <typename T> T finish(QCoro::Task<T> task)
    {
        std::optional<T> result;
        auto waiter = [](QCoro::Task<T>& awaited, std::optional<T>& out) -> QCoro::Task<> {
            out.emplace(co_await awaited);
        };
        QCoro::Task<> watching = waiter(task, result);
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000)) << "the task did not finish";
        return std::move(result).value();
    }

    bool waitForRequests(const ScriptedHttpServer& server, int count)
    {
        return QTest::qWaitFor([&] { return server.requests().size() >= count; }, 30000);
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
    Reply reply = Reply::sse({chatEvent("<raw_speech>好的，"), chatEvent("用"), chatEvent("iPhone"),
                              chatEvent("拍。</raw_speech>"), kDone, chatEvent("never shown")});
    reply.pieces[0].delayBefore = 120ms;
    local.enqueue(reply);

    ActiveScreenContext chat = slack();
    chat.precedingText = QString(130, u'前') + u("  \n");
    const QList<LexiconEntry> recalled = {entry("星河", {"星合", "行河", "兴和", "新河", "形核"}),
                                          entry("SEO")};
    const QStringList recent = {u("一"), u("二"), {}, u("三"), u("四"), u("第五\n行"), u("  "), {}};
    // A keyless localhost endpoint.
    const LLMConfig c = config(QStringLiteral("http://localhost:%1/v1").arg(local.port()));
    auto task = engine->polish(u(" 好的用iPhone拍 \n"), DictationMode::dictate, chat, recalled, recent, c, {},
                               false, false, recorder());
    ASSERT_TRUE(waitForRequests(local, 1));
    scheduler.advance(120ms);
    const auto result = finish(std::move(task));

    EXPECT_EQ(
        chunks,
        (QList<Chunk>{{u("好的，"), true}, {u("用"), false}, {u(" iPhone"), false}, {u(" 拍。"), false}}));
    EXPECT_EQ(result.text, u("好的，用 iPhone 拍")); // post-formatted for a chat app
    EXPECT_FALSE(result.usedFastPath);
    EXPECT_EQ(result.latencyMs, 120); // time to the first token
    EXPECT_FALSE(result.rewriteFailure);
    EXPECT_FALSE(result.polishFailure);

    const ScriptedHttpServer::Request& request = local.requests().at(0);
    EXPECT_EQ(request.path, QByteArray("/v1/chat/completions"));
    EXPECT_FALSE(request.headers.contains("authorization"));
    EXPECT_EQ(request.header("Accept"), QByteArray("text/event-stream"));
    const QJsonObject body = bodyOf(request);
    EXPECT_EQ(body.value(u("model")).toString(), u("test-model"));
    EXPECT_EQ(body.value(u("max_tokens")).toInt(), 180);
    EXPECT_EQ(messageContent(body, 0), PolishPrompts::structuredPolishPrompt());
    EXPECT_EQ(messageContent(body, 1),
              u("<scene>即时聊天</scene>\n<recent_context>四 ｜ 第五 行</recent_context>\n<preceding_text>") +
                  QString(120, u'前') +
                  u("</preceding_text>\n<lexicon>星河(误听:星合/行河/兴和/新河)；SEO</lexicon>\n"
                    "<raw_speech>好的用iPhone拍</raw_speech>"));
}

TEST_F(PolishOverHttp, LocalRoutesNeverTouchTheNetwork)
{
    LLMConfig verbatim = config(localBase());
    verbatim.formattingStyle = FormattingStyle::verbatimLocal;
    LLMConfig bypass = config(remoteBase());
    bypass.enableFastBypassForShortPhrases = true;
    const struct {
        const char* transcript;
        LLMConfig config;
        QString key;
        const char* expected;
    } cases[] = {
        {" \n ", config(localBase()), {}, ""},
        {"用iPhone拍另起一行好的。", verbatim, {}, "用 iPhone 拍\n好的。"},
        {"帮我写一段话", config(remoteBase()), {}, "帮我写一段话"}, // a remote endpoint without a key
        {"好的收到", bypass, u("sk-test"), "好的收到"},
    };
    for (const auto& c : cases) {
        auto task = engine->polish(u(c.transcript), DictationMode::dictate, slack(), {}, {}, c.config, c.key,
                                   false, true, recorder());
        EXPECT_TRUE(task.isReady()) << c.transcript;
        const auto result = finish(std::move(task));
        EXPECT_EQ(result.text, u(c.expected));
        EXPECT_EQ(result.latencyMs, 0);
        EXPECT_FALSE(result.polishFailure) << "the model was not asked, so nothing failed";
    }
    EXPECT_TRUE(local.requests().isEmpty());
    EXPECT_TRUE(remote.requests().isEmpty());
    EXPECT_TRUE(chunks.isEmpty());
}

TEST_F(PolishOverHttp, BadRequestIsRetriedOnceWithoutReasoningSwitches)
{
    remote.enqueue(Reply::json(400, R"({"error":{"message":"unknown field thinking"}})"));
    remote.enqueue(Reply::sse({chatEvent("改好了"), kDone}));
    const LLMConfig deepseek = config(remoteBase(), u("deepseek-chat"));
    EXPECT_EQ(finish(polish("帮我改一下这句话", deepseek, u("sk-test"))).text, u("改好了"));
    ASSERT_EQ(remote.requests().size(), 2);
    EXPECT_TRUE(bodyOf(remote.requests()[0]).contains(u("thinking")));
    const QJsonObject second = bodyOf(remote.requests()[1]);
    EXPECT_FALSE(second.contains(u("thinking")));
    EXPECT_DOUBLE_EQ(second.value(u("temperature")).toDouble(), 0.1);
    for (const auto& request : remote.requests())
        EXPECT_EQ(request.header("Authorization"), QByteArray("Bearer sk-test"));

    // A second 400 fails with its status.
    remote.enqueue(Reply::json(400, "{}"));
    remote.enqueue(Reply::json(400, "{}"));
    const auto failed = finish(callSSE(deepseek, u("sk-test")));
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(
        failed.error(),
        (AppError{kDomain, 400,
                  u("接口返回 HTTP 400（请核对当前服务商 API Key 与模型 ID deepseek-chat 是否匹配）")}));
    EXPECT_EQ(remote.requests().size(), 4);

    // A 400 for a body without reasoning switches is not retried; polish falls back to the local text.
    remote.enqueue(Reply::json(400, "{}"));
    const auto fallback = finish(polish("用iPhone拍", config(remoteBase(), u("gpt-4o")), u("sk-test")));
    EXPECT_EQ(remote.requests().size(), 5);
    EXPECT_EQ(fallback.text, u("用 iPhone 拍"));
    EXPECT_TRUE(fallback.usedFastPath);
}

TEST_F(PolishOverHttp, FailuresFallBackToTheLocalText)
{
    // A server error: the status alone decides, the body is never waited for.
    Reply failure = Reply::json(500, R"({"error":"boom"})");
    failure.pieces[0].delayBefore = 1h;
    remote.enqueue(failure);
    const auto afterError = finish(polish("用iPhone拍", config(remoteBase()), u("sk-test")));
    EXPECT_EQ(afterError.text, u("用 iPhone 拍"));
    EXPECT_TRUE(afterError.usedFastPath);
    // The caller learns why the local text stands in.
    EXPECT_EQ(
        afterError.polishFailure,
        std::optional<AppError>(AppError{
            kDomain, 500, u("接口返回 HTTP 500（请核对当前服务商 API Key 与模型 ID test-model 是否匹配）")}));

    Reply dropped;
    dropped.dropWithoutReply = true;
    local.enqueue(dropped);
    const auto afterDrop = finish(polish("说一段话", config(localBase())));
    EXPECT_EQ(afterDrop.text, u("说一段话"));
    EXPECT_TRUE(afterDrop.usedFastPath);
    EXPECT_TRUE(chunks.isEmpty());

    // An answer of echoed tags only is no answer: the local text, unformatted, from the model route.
    local.enqueue(
        Reply::sse({chatEvent("<raw_speech>"), chatEvent("  "), chatEvent("</raw_speech>"), kDone}));
    const auto tagsOnly = finish(polish("用iPhone拍", config(localBase())));
    EXPECT_EQ(tagsOnly.text, u("用iPhone拍"));
    EXPECT_FALSE(tagsOnly.usedFastPath);

    // A 200 stream that carries no text at all is a failed polish, with what it carried.
    local.enqueue(Reply::sse({"data: {\"error\":{\"message\":\"quota exceeded\"}}\n\n"}));
    const auto noText = finish(polish("用iPhone拍", config(localBase())));
    EXPECT_EQ(noText.text, u("用iPhone拍"));
    ASSERT_TRUE(noText.polishFailure);
    EXPECT_TRUE(noText.polishFailure->description.startsWith(u("模型没有输出任何文字，")))
        << noText.polishFailure->description.toStdString();
    EXPECT_TRUE(noText.polishFailure->description.contains(u("quota exceeded")));
}

// Either protocol: a stream cut off mid-way, a body that is no event stream, a server error and a server
// that never answers all end in the locally corrected text, the last one at the limit on the scheduler.
TEST_F(PolishOverHttp, BrokenAnswersOfEitherProtocolFallBackToTheLocalText)
{
    struct Protocol {
        const char* name;
        LLMConfig config;
        QString key;
        QByteArray event;
    };
    const Protocol protocols[] = {{"chat completions", config(remoteBase()), u("sk-test"), chatEvent("半句")},
                                  {"anthropic messages", anthropic(), u("sk-ant"), anthropicEvent("半句")}};
    for (const Protocol& protocol : protocols) {
        SCOPED_TRACE(protocol.name);
        Reply cut = Reply::sse({protocol.event, protocol.event});
        cut.cutShort = true;
        Reply garbage = Reply::json(200, "<html><body>502 Bad Gateway</body></html>");
        garbage.headers = {{"Content-Type", "text/html"}};
        for (const Reply& reply : {cut, garbage}) {
            remote.enqueue(reply);
            const auto result = finish(polish("说一段话", protocol.config, protocol.key));
            EXPECT_EQ(result.text, u("说一段话"));
            EXPECT_TRUE(result.polishFailure);
        }
        remote.enqueue(Reply::json(503, R"({"error":{"message":"overloaded"}})"));
        const auto overloaded = finish(polish("说一段话", protocol.config, protocol.key));
        EXPECT_EQ(overloaded.text, u("说一段话"));
        ASSERT_TRUE(overloaded.polishFailure);
        EXPECT_EQ(overloaded.polishFailure->code, 503);

        Reply silent;
        silent.neverAnswer = true;
        remote.enqueue(silent);
        const int before = static_cast<int>(remote.requests().size());
        auto task = polish("说一段话", protocol.config, protocol.key);
        ASSERT_TRUE(waitForRequests(remote, before + 1));
        scheduler.advance(9900ms);
        QCoreApplication::processEvents();
        EXPECT_FALSE(task.isReady());
        scheduler.advance(100ms);
        const auto timedOut = finish(std::move(task));
        EXPECT_EQ(timedOut.text, u("说一段话"));
        EXPECT_EQ(timedOut.polishFailure, std::optional<AppError>(LLMErrors::urlError(LLMErrors::timedOut)));
    }
}

TEST_F(PolishOverHttp, StalledStreamIsAbortedAtTheTransferLimit)
{
    local.enqueue(stalledAfter({chatEvent("半句")}));
    auto task = polish("说一段很长的话", config(localBase()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return chunks.size() == 1; }, 30000));
    scheduler.advance(9900ms);
    QCoreApplication::processEvents();
    EXPECT_FALSE(task.isReady()); // still streaming within the limit
    scheduler.advance(100ms);
    const auto result = finish(std::move(task));
    EXPECT_EQ(result.text, u("说一段很长的话"));
    EXPECT_TRUE(result.usedFastPath);
    EXPECT_EQ(result.latencyMs, 10000);
    EXPECT_EQ(scheduler.pendingCount(), 0u); // no timer outlives the call

    // The engine going away mid-call ends the call the same way.
    local.enqueue(stalledAfter({}));
    auto orphan = polish("说一段话", config(localBase()));
    ASSERT_TRUE(waitForRequests(local, 2));
    engine.reset();
    EXPECT_EQ(finish(std::move(orphan)).text, u("说一段话"));
}

TEST_F(PolishOverHttp, SelectionRewriteAlwaysAsksTheModelAndReportsFailure)
{
    ActiveScreenContext selection = ActiveScreenContext::empty();
    selection.selectedText = QString(200, u'选');
    LLMConfig verbatim = config(localBase());
    verbatim.formattingStyle = FormattingStyle::verbatimLocal;
    verbatim.enableFastBypassForShortPhrases = true;
    local.enqueue(Reply::sse({chatEvent("改写结果"), kDone}));
    const auto result =
        finish(polish("改成正式一点", verbatim, {}, selection, DictationMode::rewriteSelection));
    EXPECT_EQ(result.text, u("改写结果"));
    EXPECT_FALSE(result.rewriteFailure);
    const QJsonObject body = bodyOf(local.requests().at(0));
    EXPECT_EQ(messageContent(body, 0), PolishPrompts::selectionRewritePrompt());
    EXPECT_EQ(messageContent(body, 1),
              u("<recent_context>无</recent_context>\n<lexicon>无</lexicon>\n<selected_text>") +
                  selection.selectedText +
                  u("</selected_text>\n<voice_instruction>改成正式一点</voice_instruction>"));
    // The answer replaces the selection, so the budget covers the selection as well as the instruction.
    EXPECT_EQ(body.value(u("max_tokens")).toInt(), 2 * (200 + 6));

    // Without a key the remote refuses; the selection is kept and the error reported, nothing inserted.
    remote.enqueue(Reply::json(401, R"({"error":"no key"})"));
    const auto failure =
        finish(polish("改成正式一点", config(remoteBase()), {}, selection, DictationMode::rewriteSelection));
    ASSERT_EQ(remote.requests().size(), 1);
    EXPECT_FALSE(remote.requests()[0].headers.contains("authorization"));
    EXPECT_EQ(failure.text, QString());
    ASSERT_TRUE(failure.rewriteFailure);
    EXPECT_EQ(failure.rewriteFailure->code, 401);
}

TEST_F(PolishOverHttp, AnthropicStreamsByProviderOrEndpoint)
{
    remote.enqueue(
        Reply::sse({"event: message_start\ndata: {\"type\":\"message_start\"}\n\n", anthropicEvent("你好"),
                    "data: {\"type\":\"ping\"}\n\n", anthropicEvent("Claude"),
                    "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n"}));
    EXPECT_EQ(finish(polish("你好克劳德", anthropic(), u("sk-ant"))).text, u("你好 Claude"));
    EXPECT_EQ(chunks, (QList<Chunk>{{u("你好"), true}, {u(" Claude"), false}}));

    const ScriptedHttpServer::Request& request = remote.requests().at(0);
    EXPECT_EQ(request.path, QByteArray("/v1/messages"));
    EXPECT_EQ(request.header("x-api-key"), QByteArray("sk-ant"));
    EXPECT_EQ(request.header("anthropic-version"), QByteArray("2023-06-01"));
    EXPECT_FALSE(request.headers.contains("authorization"));
    const QJsonObject body = bodyOf(request);
    EXPECT_EQ(body.value(u("system")).toString(), PolishPrompts::structuredPolishPrompt());
    EXPECT_EQ(body.value(u("messages")).toArray().size(), 1);

    // Any address ending in /messages speaks this protocol, and a 400 is not retried.
    remote.enqueue(Reply::json(400, "{}"));
    const auto refused = finish(callSSE(config(remoteBase() + u("/messages"), u("claude-x")), u("sk-ant")));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().description,
              u("Anthropic 接口返回 HTTP 400（请核对 Claude API Key 与模型 ID claude-x）"));
    EXPECT_EQ(remote.requests().size(), 2);
}

TEST_F(PolishOverHttp, KeysNeverFollowARedirectToAnotherHost)
{
    ScriptedHttpServer elsewhere(scheduler);
    ASSERT_TRUE(elsewhere.listen(QHostAddress(u("127.0.0.3"))));
    elsewhere.setHandler([](const auto&) { return Reply::sse({chatEvent("leaked"), kDone}); });
    auto redirectTo = [](const QString& target) {
        Reply reply = Reply::json(307, "{}");
        reply.headers.append({"Location", target.toUtf8()});
        return reply;
    };
    const QString target = elsewhere.baseUrl().toString() + u("/v1/chat/completions");

    remote.enqueue(redirectTo(target));
    const auto refused = finish(callSSE(config(remoteBase()), u("sk-secret")));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, 307);
    EXPECT_TRUE(elsewhere.requests().isEmpty());

    // Within the same origin the key goes along.
    remote.enqueue(redirectTo(remote.baseUrl().toString() + u("/v2/chat/completions")));
    remote.enqueue(Reply::sse({chatEvent("同源"), kDone}));
    const auto followed = finish(callSSE(config(remoteBase()), u("sk-secret")));
    ASSERT_TRUE(followed.ok());
    EXPECT_EQ(followed.value().fullText, u("同源"));
    ASSERT_EQ(remote.requests().size(), 3);
    EXPECT_EQ(remote.requests()[2].path, QByteArray("/v2/chat/completions"));
    EXPECT_EQ(remote.requests()[2].header("Authorization"), QByteArray("Bearer sk-secret"));

    // With no key there is nothing to leak.
    local.enqueue(redirectTo(target));
    const auto moved = finish(callSSE(config(localBase()), {}));
    ASSERT_TRUE(moved.ok());
    EXPECT_EQ(moved.value().fullText, u("leaked"));
    ASSERT_EQ(elsewhere.requests().size(), 1);
    EXPECT_FALSE(elsewhere.requests()[0].headers.contains("authorization"));
}

TEST_F(PolishOverHttp, KeysWithControlCharactersAreNeverSent)
{
    EXPECT_TRUE(finish(polish("说一段话", config(remoteBase()), u("sk-1\r\nX-Injected: yes"))).usedFastPath);

    auto benchmark = engine->benchmarkLatency(config(remoteBase()), u("sk-1\ax"));
    ASSERT_TRUE(waitForRequests(remote, 1)); // the warm-up goes out without the key
    EXPECT_FALSE(remote.requests()[0].headers.contains("authorization"));
    scheduler.advance(180ms);
    const auto failed = finish(std::move(benchmark));
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().code, 401);
    EXPECT_EQ(remote.requests().size(), 1);
}

TEST_F(PolishOverHttp, MissingKeysFailAtOnce)
{
    auto benchmark = engine->benchmarkLatency(config(remoteBase()), u(" "));
    // Distillation wants a key even for a local server.
    auto distillation = distill(config(localBase()), {});
    EXPECT_TRUE(benchmark.isReady() && distillation.isReady()); // nothing was sent
    const auto benchmarkResult = finish(std::move(benchmark));
    const auto distillResult = finish(std::move(distillation));
    ASSERT_FALSE(benchmarkResult.ok() || distillResult.ok());
    EXPECT_EQ(
        benchmarkResult.error(),
        (AppError{kDomain, 401, u("当前勾选模型尚未填入 API Key，请先在当前卡片粘贴密钥并点击「保存」")}));
    EXPECT_EQ(distillResult.error(), (AppError{kDomain, 401, u("请先在设置页填入大模型 API Key")}));
    EXPECT_TRUE(remote.requests().isEmpty() && local.requests().isEmpty());
}

// --- warm-up and benchmark ---------------------------------------------------------------------------------

TEST_F(PolishOverHttp, BenchmarkMeasuresFirstTokenAndTotalAfterTheWarmUp)
{
    local.setHandler([](const ScriptedHttpServer::Request& request) {
        if (request.method == "GET")
            return Reply::json(200, "{}");
        Reply reply = Reply::sse({chatEvent("记两件事"), chatEvent("：…"), kDone});
        reply.pieces[0].delayBefore = 300ms;
        return reply;
    });
    auto task = engine->benchmarkLatency(config(localBase()), u("  \n"));
    ASSERT_TRUE(waitForRequests(local, 1));
    EXPECT_EQ(local.requests()[0].path, QByteArray("/v1/models"));
    scheduler.advance(179ms);
    QCoreApplication::processEvents();
    EXPECT_EQ(local.requests().size(), 1); // the measured request waits for the pause after the warm-up
    scheduler.advance(1ms);
    ASSERT_TRUE(waitForRequests(local, 2));
    scheduler.advance(300ms);
    const auto result = finish(std::move(task));
    ASSERT_TRUE(result.ok()) << result.error().description.toStdString();
    EXPECT_EQ(result.value().ttftMs, 300);
    EXPECT_EQ(result.value().totalMs, 300);
    EXPECT_EQ(result.value().sampleOutput, u("记两件事：…"));
    EXPECT_FALSE(local.requests()[1].headers.contains("authorization"));
    const QJsonObject body = bodyOf(local.requests()[1]);
    EXPECT_EQ(body.value(u("max_tokens")).toInt(), 120);
    EXPECT_EQ(messageContent(body, 1), PolishPrompts::benchmarkSampleContent());
}

// --- distillation
// -------------------------------------------------------------------------------------------

TEST_F(PolishOverHttp, DistillationAsksForTheWholeAnswerOverEitherProtocol)
{
    const QJsonObject answer{
        {u("choices"),
         QJsonArray{QJsonObject{
             {u("message"),
              QJsonObject{{u("content"), u("张伟|章维,张威|person\n星河项目|星合|project\n")}}}}}}};
    remote.enqueue(Reply::json(200, QJsonDocument(answer).toJson()));
    const auto result = finish(distill(config(remoteBase()), u("sk-test"), QString(12005, u'字')));
    ASSERT_TRUE(result.ok()) << result.error().description.toStdString();
    ASSERT_EQ(result.value().size(), 2);
    EXPECT_EQ(result.value()[0].term, u("张伟"));
    EXPECT_EQ(result.value()[1].category, LexiconCategory::project);
    const ScriptedHttpServer::Request& request = remote.requests().at(0);
    EXPECT_EQ(request.path, QByteArray("/v1/chat/completions"));
    const QJsonObject body = bodyOf(request);
    EXPECT_FALSE(body.value(u("stream")).toBool());
    EXPECT_EQ(body.value(u("max_tokens")).toInt(), 1200);
    EXPECT_EQ(messageContent(body, 0), PolishPrompts::termDistillPrompt());
    EXPECT_EQ(messageContent(body, 1), QString(12000, u'字'));

    remote.enqueue(
        Reply::json(200, R"({"content":[{"type":"text","text":" 星河|星合|project"},{"type":"tool_use"},)"
                         R"({"type":"text","text":"\nSEO|Su|memo\n"}]})"));
    const auto viaAnthropic = finish(distill(anthropic(), u("sk-ant")));
    ASSERT_TRUE(viaAnthropic.ok()) << viaAnthropic.error().description.toStdString();
    ASSERT_EQ(viaAnthropic.value().size(), 2);
    EXPECT_EQ(viaAnthropic.value()[0].term, u("星河"));
    EXPECT_EQ(viaAnthropic.value()[1].aliases, QStringList{u("Su")});
    EXPECT_EQ(remote.requests()[1].path, QByteArray("/v1/messages"));
    EXPECT_EQ(remote.requests()[1].header("x-api-key"), QByteArray("sk-ant"));
    EXPECT_FALSE(bodyOf(remote.requests()[1]).contains(u("stream")));
}

TEST_F(PolishOverHttp, DistillationErrors)
{
    const QList<QPair<Reply, AppError>> cases = {
        {Reply::json(500, "{}"), {u("Quorbell.URL"), -1011, {}}},
        {Reply::json(200, R"({"choices":[{"message":{"content":42}}]})"), {u("Quorbell.URL"), -1017, {}}},
        {Reply::json(200, "<html>"), {u("Quorbell.JSON"), QJsonParseError::IllegalValue, {}}},
        // Past the body cap of 8 MiB.
        {Reply::json(200, QByteArray(8 * 1024 * 1024 + 1, ' ')), {u("Quorbell.URL"), -1103, {}}},
    };
    for (const auto& [reply, expected] : cases) {
        remote.enqueue(reply);
        const auto result = finish(distill(config(remoteBase())));
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().domain, expected.domain);
        EXPECT_EQ(result.error().code, expected.code);
        EXPECT_FALSE(result.error().description.isEmpty());
    }

    // The one retry after 400 holds for whole answers too.
    remote.enqueue(Reply::json(400, "{}"));
    remote.enqueue(Reply::json(200, R"({"choices":[{"message":{"content":"星河"}}]})"));
    EXPECT_TRUE(finish(distill(config(remoteBase(), u("deepseek-chat")))).ok());
    EXPECT_FALSE(bodyOf(remote.requests().last()).contains(u("thinking")));
}

TEST_F(PolishOverHttp, DistillationAllowsNinetySeconds)
{
    // The answer comes only after 80 s of silence: longer than a chat call may take, within the
    // distillation's limit.
    Reply slow = Reply::json(200, R"({"choices":[{"message":{"content":"星河"}}]})");
    slow.pieces[0].delayBefore = 80s;
    remote.enqueue(slow);
    auto task = distill(config(remoteBase()));
    ASSERT_TRUE(waitForRequests(remote, 1));
    scheduler.advance(80s);
    EXPECT_TRUE(finish(std::move(task)).ok());

    remote.enqueue(stalledAfter({}));
    auto stalled = distill(config(remoteBase()));
    ASSERT_TRUE(waitForRequests(remote, 2));
    scheduler.advance(89s);
    QCoreApplication::processEvents();
    EXPECT_FALSE(stalled.isReady());
    scheduler.advance(2s);
    const auto timedOut = finish(std::move(stalled));
    ASSERT_FALSE(timedOut.ok());
    EXPECT_EQ(timedOut.error().code, -1001);
}
