// Dictations through the real speech engine whose services answer with something that is not an answer, or
// not at all: what the user reads, and what is typed and recorded.
#include "RealEngineDictation.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Reply = ScriptedHttpServer::Reply;
using Connection = SeedASRTestServer::Connection;
using Frame = SeedASRTestServer::ClientFrame;

namespace {

// The OpenAI-compatible engine on the harness's server (a local one, so no key is needed).
class TranscriptionDictationTest : public RealEngineDictation {
protected:
    void SetUp() override
    {
        settings.insert(QStringLiteral("asrProvider"), QStringLiteral("openAIWhisper"));
        RealEngineDictation::SetUp();
    }

    // One dictation whose upload the server answers with `reply`.
    void dictateAnswered(const Reply& reply)
    {
        h.server.setHandler([reply](const ScriptedHttpServer::Request& request) {
            return request.path.endsWith("/audio/transcriptions") ? reply : Reply::json(200, "{}");
        });
        begin([&] { return engine->activeSessionUsesOpenAIASR(); });
        speak(EngineTest::tone(400, 0.8));
        stop();
    }
};

Reply labelled(const QByteArray& contentType, const QByteArray& body)
{
    Reply reply;
    reply.headers = {{"Content-Type", contentType}};
    reply.pieces = {{body, {}}};
    return reply;
}

} // namespace

// A 200 whose body opens with markup is a page, a fragment too, whatever its label says: a failed
// transcription, nothing typed or recorded. A transcript that mentions a tag further on is typed.
TEST_F(TranscriptionDictationTest, APageFragmentIsNeverTyped)
{
    const struct {
        QByteArray body;
        QString cameBack;
    } pages[] = {
        {"<head><title>Portal login</title></head><body><form action=\"/login\"><input name=\"user\"></form>",
         QStringLiteral("Portal login")},
        {"<body><h1>403 Forbidden</h1></body>", QStringLiteral("403 Forbidden")},
    };
    for (const auto& page : pages) {
        for (const QByteArray& type : {QByteArray("text/html"), QByteArray("text/plain")}) {
            SCOPED_TRACE((page.cameBack + QStringLiteral(" as ") + QString::fromLatin1(type)).toStdString());
            dictateAnswered(labelled(type, page.body));
            const QString failure = QStringLiteral("云端语音识别失败：语音接口返回了网页而不是转写结果（") +
                                    page.cameBack + u'）';
            EXPECT_EQ(state().phase(), PipelinePhase::error(failure));
            EXPECT_EQ(state().statusBanner(), failure);
            EXPECT_TRUE(h.clipboard.textsSet().isEmpty()) << "nothing typed";
            EXPECT_TRUE(state().history().isEmpty()) << "nothing recorded";
            h.scheduler.advance(2500ms);
        }
    }

    for (const QByteArray& type : {QByteArray("text/html"), QByteArray("text/plain")}) {
        dictateAnswered(labelled(type, "把 <html> 标签删掉"));
        EXPECT_TRUE(typed(QStringLiteral("把 <html> 标签删掉"))) << type.toStdString();
    }
    EXPECT_EQ(state().history().size(), 2);
}

namespace {

// Seed-ASR hears the dictation; the language model on the harness's server polishes it with a key that the
// server refuses, or fails, or never answers.
class PolishingDictationTest : public RealEngineDictation {
protected:
    void SetUp() override
    {
        settings.insert(QStringLiteral("formattingStyle"), QStringLiteral("lightPolish"));
        settings.insert(QStringLiteral("enableFastBypassForShortPhrases"), false);
        ASSERT_TRUE(
            h.await(h.keychain.saveAPIKey(QStringLiteral("sk-mistyped"), LLMProviderOption::deepseek)));
        seed.onFrame = [](Connection& c, const Frame& frame) {
            if (frame.isLastAudio())
                c.send(SeedASRTestServer::transcriptFrame(2, kHeard));
        };
        RealEngineDictation::SetUp();
    }

    void answerChatWith(const Reply& reply)
    {
        h.server.setHandler([reply](const ScriptedHttpServer::Request& request) {
            return request.path.endsWith("/chat/completions") ? reply : Reply::json(200, R"({"data":[]})");
        });
    }

    qsizetype chatRequests() const
    {
        return std::count_if(h.server.requests().begin(), h.server.requests().end(),
                             [](const auto& request) { return request.path.endsWith("/chat/completions"); });
    }

    static inline const QString kHeard = QStringLiteral("今天下午三点开会讨论明年的预算");
    static inline const QString kFallbackTail = QStringLiteral("），本次仅执行本地词库纠偏");
};

} // namespace

// The locally corrected text is typed and recorded as before, and the banner says polishing failed and why.
TEST_F(PolishingDictationTest, AFailedPolishDeliversTheLocalTextAndSaysSo)
{
    const struct {
        Reply reply;
        QString reason;
    } cases[] = {
        {Reply::json(401, R"({"error":{"message":"Authentication Fails"}})"),
         QStringLiteral("接口返回 HTTP 401（请核对当前服务商 API Key 与模型 ID deepseek-flash 是否匹配）")},
        {Reply::json(500, R"({"error":"boom"})"),
         QStringLiteral("接口返回 HTTP 500（请核对当前服务商 API Key 与模型 ID deepseek-flash 是否匹配）")},
    };
    int dictations = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason.toStdString());
        answerChatWith(c.reply);
        const qsizetype asked = chatRequests();
        begin([&] { return engine->activeSessionUsesCloudSeedASR(); });
        speak(EngineTest::tone(400, 1.0));
        stop();
        ++dictations;
        EXPECT_EQ(chatRequests(), asked + 1) << "the model was asked";
        EXPECT_TRUE(typed(kHeard));
        ASSERT_EQ(state().history().size(), dictations);
        EXPECT_EQ(state().history().first().polishedText, kHeard);
        EXPECT_EQ(state().statusBanner(),
                  QStringLiteral("⚠️ 「DeepSeek」排版失败（") + c.reason + kFallbackTail);
    }

    // A model that answers: no banner of its own.
    state().setStatusBanner(QString());
    answerChatWith(
        Reply::sse({QByteArray(R"(data: {"choices":[{"delta":{"content":"下午三点开会，讨论明年预算。"}}]})"
                               "\n\n"),
                    "data: [DONE]\n\n"}));
    begin([&] { return engine->activeSessionUsesCloudSeedASR(); });
    speak(EngineTest::tone(400, 1.0));
    stop();
    EXPECT_TRUE(typed(QStringLiteral("下午三点开会，讨论明年预算。")));
    EXPECT_EQ(state().statusBanner(), QString());
}

// A model that never answers holds the dictation for the 10 s transfer limit, not longer, and the user is
// told.
TEST_F(PolishingDictationTest, AModelThatNeverAnswersIsGivenUpAtTheTransferLimit)
{
    Reply silent;
    silent.neverAnswer = true;
    answerChatWith(silent);
    begin([&] { return engine->activeSessionUsesCloudSeedASR(); });
    speak(EngineTest::tone(400, 1.0));
    auto finished = watch(state().finishDictationSession());
    h.scheduler.advance(100ms);
    ASSERT_TRUE(h.settle([&] {
        drain();
        return chatRequests() == 1;
    })) << "the model was never asked";
    h.scheduler.advance(9900ms);
    drain();
    EXPECT_FALSE(finished->done);
    EXPECT_TRUE(state().phase().is<PipelinePhase::Polishing>())
        << "the pill shows the dictation is being polished";
    EXPECT_TRUE(h.clipboard.textsSet().isEmpty());

    h.scheduler.advance(100ms);
    ASSERT_TRUE(h.settle([&] {
        drain();
        return finished->done;
    }));
    EXPECT_TRUE(typed(kHeard));
    ASSERT_EQ(state().history().size(), 1);
    EXPECT_EQ(
        state().statusBanner(),
        QStringLiteral("⚠️ 「DeepSeek」排版失败（请求超时，请检查网络或稍后重试") +
            kFallbackTail);
}

namespace {

// A new user: nothing stored, no local model, the engine chosen by default.
class FirstDictationTest : public RealEngineDictation {
protected:
    void SetUp() override
    {
        withSeedKey = false;
        h.permissions.setSpeechRecognitionStatus(
            AuthorizationStatus::Authorized); // as on every Linux desktop
        RealEngineDictation::SetUp();
    }

    // A dictation that cannot start: the pill shows the error at once and the banner says why.
    void beginAndExpect(const QString& message)
    {
        h.begin();
        ASSERT_TRUE(h.settle([&] {
            drain();
            return state().phase().is<PipelinePhase::Error>();
        })) << "no error shown";
        EXPECT_EQ(state().phase(), PipelinePhase::error(message));
        EXPECT_EQ(state().statusBanner(), message);
        EXPECT_FALSE(state().isSessionActive());
        h.scheduler.advance(2500ms);
    }
};

} // namespace

// The banner names what is missing on Linux (there is no system recogniser): the chosen cloud engine's key,
// or that no cloud engine can run.
TEST_F(FirstDictationTest, TheFirstDictationNamesTheMissingKey)
{
    ASSERT_EQ(state().llmConfig().asrProvider, ASRProviderOption::volcSeedASR);
    beginAndExpect(QStringLiteral("未找到本地模型，且「豆包语音」尚未填入 API Key"));

    h.changeConfig([](LLMConfig& config) {
        config.asrProvider = ASRProviderOption::openAIWhisper;
        config.openAIASRBaseURL = QStringLiteral("https://speech.example.invalid/v1");
    });
    beginAndExpect(QStringLiteral("未找到本地模型，且「OpenAI / Groq 语音」尚未填入 API Key"));

    h.changeConfig([](LLMConfig& config) { config.asrProvider = ASRProviderOption::localSenseVoice; });
    beginAndExpect(QStringLiteral("未找到本地模型，且云端语音识别不可用"));
    EXPECT_TRUE(state().history().isEmpty());
}
