// Dictations through the real speech engine whose services answer with something that is not an answer, or
// not at all: what the user reads, and what is typed and recorded.
#include "RealEngineDictation.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Reply = ScriptedHttpServer::Reply;

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

