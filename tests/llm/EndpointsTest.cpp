#include "llm/HttpExchange.h"
#include "llm/PolishEngine.h"
#include "llm/PolishPrompts.h"

#include <QJsonArray>
#include <gtest/gtest.h>

namespace {

QJsonObject payload(const QString& model, const QString& endpoint)
{
    return PolishEngine::buildOpenAICompatiblePayload(endpoint, model, QStringLiteral("sys"),
                                                      QStringLiteral("hi"), 200, true);
}

const QString kOpenAI = QStringLiteral("https://api.openai.com/v1/chat/completions");
const QString kGemini =
    QStringLiteral("https://generativelanguage.googleapis.com/v1beta/openai/chat/completions");

} // namespace

TEST(Endpoints, ChatCompletionsNormalisation)
{
    EXPECT_EQ(
        PolishEngine::normalizeChatCompletionsEndpoint(QStringLiteral("  https://api.example.com/v1/ \n")),
        QStringLiteral("https://api.example.com/v1/chat/completions"));
    EXPECT_EQ(PolishEngine::normalizeChatCompletionsEndpoint(
                  QStringLiteral("https://api.example.com/v1/responses")),
              QStringLiteral("https://api.example.com/v1/chat/completions"));
    EXPECT_EQ(
        PolishEngine::normalizeChatCompletionsEndpoint(QStringLiteral("https://x.com/v1/chat/completions/")),
        QStringLiteral("https://x.com/v1/chat/completions"));
}

TEST(Endpoints, AnthropicDetectionAndNormalisation)
{
    const QString anthropic = QStringLiteral("https://api.anthropic.com/v1");
    EXPECT_TRUE(PolishEngine::isAnthropicEndpoint(anthropic));
    EXPECT_EQ(PolishEngine::normalizeAnthropicMessagesEndpoint(anthropic),
              QStringLiteral("https://api.anthropic.com/v1/messages"));
    EXPECT_EQ(PolishEngine::normalizeAnthropicMessagesEndpoint(
                  QStringLiteral("https://relay.example/v1/messages/")),
              QStringLiteral("https://relay.example/v1/messages"));
    EXPECT_TRUE(PolishEngine::isAnthropicEndpoint(QStringLiteral(" https://relay.example/v1/MESSAGES \n")));
    EXPECT_FALSE(PolishEngine::isAnthropicEndpoint(QStringLiteral("https://api.openai.com/v1")));
    EXPECT_EQ(LLMProviderOption::infer(anthropic), LLMProviderOption::anthropic);
}

TEST(Endpoints, KeylessAndDirectConnections)
{
    EXPECT_TRUE(PolishEngine::isKeylessLocalEndpoint(QStringLiteral("http://LOCALHOST:11434/v1")));
    EXPECT_TRUE(PolishEngine::isKeylessLocalEndpoint(QStringLiteral("http://127.0.0.1:8080")));
    EXPECT_TRUE(PolishEngine::isKeylessLocalEndpoint(QStringLiteral("http://0.0.0.0:8080")));
    EXPECT_FALSE(PolishEngine::isKeylessLocalEndpoint(QStringLiteral("http://127.0.0.2:8080")));
    EXPECT_FALSE(PolishEngine::isKeylessLocalEndpoint(QStringLiteral("https://api.deepseek.com/v1")));

    EXPECT_TRUE(PolishEngine::shouldUseDirectConnection(QStringLiteral("https://api.deepseek.com/v1")));
    EXPECT_TRUE(
        PolishEngine::shouldUseDirectConnection(QStringLiteral("https://ark.cn-beijing.volces.com/api/v3")));
    EXPECT_TRUE(PolishEngine::shouldUseDirectConnection(
        QStringLiteral("https://dashscope.aliyuncs.com/compatible-mode/v1")));
    EXPECT_TRUE(PolishEngine::shouldUseDirectConnection(QStringLiteral("http://localhost:11434/v1")));
    EXPECT_FALSE(PolishEngine::shouldUseDirectConnection(QStringLiteral("https://api.openai.com/v1")));
}

TEST(Payloads, ReasoningModelsGetCompletionTokensAndNoTemperature)
{
    const QJsonObject gpt5 = payload(QStringLiteral("GPT-5-mini"), kOpenAI);
    EXPECT_EQ(gpt5.value(QLatin1String("max_completion_tokens")).toInt(), 200);
    EXPECT_EQ(gpt5.value(QLatin1String("reasoning_effort")).toString(), QStringLiteral("minimal"));
    EXPECT_FALSE(gpt5.contains(QLatin1String("max_tokens")));
    EXPECT_FALSE(gpt5.contains(QLatin1String("temperature")));
    EXPECT_EQ(gpt5.value(QLatin1String("model")).toString(), QStringLiteral("GPT-5-mini"));

    const QJsonObject o3 = payload(QStringLiteral("o3-mini"), kOpenAI);
    EXPECT_EQ(o3.value(QLatin1String("max_completion_tokens")).toInt(), 200);
    EXPECT_FALSE(o3.contains(QLatin1String("reasoning_effort")));
    EXPECT_FALSE(o3.contains(QLatin1String("temperature")));
}

TEST(Payloads, ThinkingSwitchedOffForDeepSeekArkAndDoubao)
{
    const QJsonObject thinkingOff{{QStringLiteral("type"), QStringLiteral("disabled")}};
    for (const QJsonObject& p :
         {payload(QStringLiteral("deepseek-chat"), kOpenAI),
          payload(QStringLiteral("anything"),
                  QStringLiteral("https://ark.cn-beijing.volces.com/api/v3/chat/completions")),
          payload(QStringLiteral("ep-20260915-fast"), kOpenAI),
          payload(QStringLiteral("Doubao-Seed-1.6"), kOpenAI)}) {
        EXPECT_EQ(p.value(QLatin1String("max_tokens")).toInt(), 200);
        EXPECT_EQ(p.value(QLatin1String("thinking")).toObject(), thinkingOff);
        EXPECT_FALSE(p.contains(QLatin1String("temperature")));
    }
}

TEST(Payloads, GeminiReasoningEffortAndDefaults)
{
    // The self-test's payload check.
    const QJsonObject flash25 = payload(QStringLiteral("gemini-2.5-flash"), kGemini);
    EXPECT_EQ(flash25.value(QLatin1String("reasoning_effort")).toString(), QStringLiteral("none"));
    EXPECT_DOUBLE_EQ(flash25.value(QLatin1String("temperature")).toDouble(), 0.1);
    EXPECT_EQ(payload(QStringLiteral("gemini-3.8-flash"), kGemini)
                  .value(QLatin1String("reasoning_effort"))
                  .toString(),
              QStringLiteral("minimal"));
    const QJsonObject older = payload(QStringLiteral("gemini-1.5-pro"), kGemini);
    EXPECT_FALSE(older.contains(QLatin1String("reasoning_effort")));
    EXPECT_DOUBLE_EQ(older.value(QLatin1String("temperature")).toDouble(), 0.1);

    const QJsonObject plain =
        payload(QStringLiteral("qwen-plus"), QStringLiteral("http://localhost/v1/chat/completions"));
    EXPECT_EQ(plain.value(QLatin1String("max_tokens")).toInt(), 200);
    EXPECT_DOUBLE_EQ(plain.value(QLatin1String("temperature")).toDouble(), 0.1);
    EXPECT_TRUE(plain.value(QLatin1String("stream")).toBool());
    const QJsonArray messages = plain.value(QLatin1String("messages")).toArray();
    ASSERT_EQ(messages.size(), 2);
    EXPECT_EQ(messages[0].toObject().value(QLatin1String("role")).toString(), QStringLiteral("system"));
    EXPECT_EQ(messages[1].toObject().value(QLatin1String("content")).toString(), QStringLiteral("hi"));
}

TEST(Payloads, AnthropicBody)
{
    const QJsonObject streamed = PolishEngine::buildAnthropicPayload(
        QStringLiteral("claude-x"), QStringLiteral("sys"), QStringLiteral("hi"), 120, true);
    EXPECT_EQ(streamed.value(QLatin1String("max_tokens")).toInt(), 256);
    EXPECT_TRUE(streamed.value(QLatin1String("stream")).toBool());
    EXPECT_EQ(streamed.value(QLatin1String("system")).toString(), QStringLiteral("sys"));
    const QJsonObject whole = PolishEngine::buildAnthropicPayload(
        QStringLiteral("claude-x"), QStringLiteral("sys"), QStringLiteral("hi"), 1200, false);
    EXPECT_EQ(whole.value(QLatin1String("max_tokens")).toInt(), 1200);
    EXPECT_FALSE(whole.contains(QLatin1String("stream")));
}

TEST(Prompts, FixedTextsKeepTheirExactSize)
{
    EXPECT_EQ(PolishPrompts::lightPolishPrompt().toUtf8().size(), 683);
    EXPECT_EQ(PolishPrompts::selectionRewritePrompt().toUtf8().size(), 219);
    EXPECT_EQ(PolishPrompts::benchmarkSampleContent().toUtf8().size(), 192);
    EXPECT_EQ(PolishPrompts::termDistillPrompt().toUtf8().size(), 238);
    const QString structured = PolishPrompts::structuredPolishPrompt();
    EXPECT_EQ(structured.toUtf8().size(), 6225);
    EXPECT_EQ(structured.count(u'\n') + 1, 40);
    EXPECT_FALSE(structured.endsWith(u'\n'));
    EXPECT_TRUE(structured.contains(QStringLiteral("，直接输出本次新增正文的整理结果：\n\n1. 【语气硬保真")));
    for (const char* title :
         {"【数字阿拉伯化（现代键盘 ITN）】", "【段落完整优先·克制分段与结构化列点】",
          "【场景自适应 (`<scene>`)·禁插空行·纯文本输出】", "【光标前文与上一句记忆续接】",
          "【忽略 ASR 机械标点·按完整语义重新断句】", "【绝对铁律】"})
        EXPECT_TRUE(structured.contains(QString::fromUtf8(title))) << title;
    EXPECT_TRUE(structured.contains(
        QStringLiteral("输出：\n我们有 2 个问题需要解决：\n1. 怎么让前端跳字更丝滑，一点一点出；\n2. "
                       "输入内容怎么自动分段，变成 1、2、3 "
                       "整理好的方式。\n这 2 个做完我们就搞词库。\n</example_1>")));
}

TEST(Redirects, KeysStayWithTheirOrigin)
{
    const QUrl origin(QStringLiteral("https://api.example.com/v1/chat/completions"));
    EXPECT_TRUE(HttpExchange::mayFollowRedirect(
        origin, QUrl(QStringLiteral("https://API.example.com:443/v2/x")), true));
    EXPECT_FALSE(
        HttpExchange::mayFollowRedirect(origin, QUrl(QStringLiteral("https://evil.example/v1")), true));
    EXPECT_FALSE(
        HttpExchange::mayFollowRedirect(origin, QUrl(QStringLiteral("http://api.example.com/v1")), true));
    EXPECT_FALSE(HttpExchange::mayFollowRedirect(
        origin, QUrl(QStringLiteral("https://api.example.com:8443/v1")), true));
    EXPECT_TRUE(
        HttpExchange::mayFollowRedirect(origin, QUrl(QStringLiteral("https://other.example/v1")), false));
    EXPECT_FALSE(
        HttpExchange::mayFollowRedirect(origin, QUrl(QStringLiteral("http://other.example/v1")), false));
    EXPECT_FALSE(HttpExchange::mayFollowRedirect(origin, QUrl(QStringLiteral("file:///etc/passwd")), false));
}

TEST(Distillation, AnswerLinesBecomeTerms)
{
    using Term = PolishEngine::DistilledTerm;
    const QList<Term> terms = PolishEngine::parseDistilledTerms(
        QStringLiteral("张伟|章维, 张威 ,,|Person\r\n星河\n 以下是提取结果 \u2028Q3财报| "
                       "|FINANCE\rA|b|person\nDeepSeek|deep seek|"
                       "项目project\n小米|xiaomi|unknown\n\n"));
    const QList<Term> expected = {
        {QStringLiteral("张伟"), {QStringLiteral("章维"), QStringLiteral("张威")}, LexiconCategory::person},
        {QStringLiteral("星河"), {}, LexiconCategory::memo},
        {QStringLiteral("以下是提取结果"), {}, LexiconCategory::memo},
        {QStringLiteral("Q3财报"), {}, LexiconCategory::finance},
        {QStringLiteral("DeepSeek"), {QStringLiteral("deep seek")}, LexiconCategory::project},
        {QStringLiteral("小米"), {QStringLiteral("xiaomi")}, LexiconCategory::memo},
    };
    EXPECT_EQ(terms, expected);
}
