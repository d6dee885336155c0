#include "llm/HttpExchange.h"
#include "llm/LlmTestSupport.h"
#include "llm/PolishEngine.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace LlmTest;

namespace {

const QString kOpenAI = QStringLiteral("https://api.openai.com/v1/chat/completions");
const QString kGemini =
    QStringLiteral("https://generativelanguage.googleapis.com/v1beta/openai/chat/completions");

QJsonObject payload(const char* model, const QString& endpoint = kOpenAI)
{
    return PolishEngine::buildOpenAICompatiblePayload(endpoint, u(model), u("sys"), u("hi"), 200, true);
}

} // namespace

TEST(Endpoints, NormalisationAndProtocolDetection)
{
    const std::pair<const char*, const char*> chat[] = {
        {"  https://api.example.com/v1/ \n", "https://api.example.com/v1/chat/completions"},
        {"https://api.example.com/v1/responses", "https://api.example.com/v1/chat/completions"},
        {"https://x.com/v1/chat/completions/", "https://x.com/v1/chat/completions"},
    };
    for (const auto& [input, expected] : chat)
        EXPECT_EQ(PolishEngine::normalizeChatCompletionsEndpoint(u(input)), u(expected)) << input;
    EXPECT_EQ(PolishEngine::normalizeAnthropicMessagesEndpoint(u("https://api.anthropic.com/v1")),
              u("https://api.anthropic.com/v1/messages"));
    EXPECT_EQ(PolishEngine::normalizeAnthropicMessagesEndpoint(u("https://relay.example/v1/messages/")),
              u("https://relay.example/v1/messages"));

    EXPECT_TRUE(PolishEngine::isAnthropicEndpoint(u("https://api.anthropic.com/v1")));
    EXPECT_TRUE(PolishEngine::isAnthropicEndpoint(u(" https://relay.example/v1/MESSAGES \n")));
    EXPECT_FALSE(PolishEngine::isAnthropicEndpoint(u("https://api.openai.com/v1")));
    EXPECT_EQ(LLMProviderOption::infer(u("https://api.anthropic.com/v1")), LLMProviderOption::anthropic);
}

TEST(Endpoints, KeylessAndDirectConnections)
{
    const std::pair<const char*, bool> keyless[] = {{"http://LOCALHOST:11434/v1", true},
                                                    {"http://127.0.0.1:8080", true},
                                                    {"http://0.0.0.0:8080", true},
                                                    {"http://127.0.0.2:8080", false},
                                                    {"https://api.deepseek.com/v1", false}};
    for (const auto& [endpoint, expected] : keyless)
        EXPECT_EQ(PolishEngine::isKeylessLocalEndpoint(u(endpoint)), expected) << endpoint;
    const std::pair<const char*, bool> direct[] = {{"https://api.deepseek.com/v1", true},
                                                   {"https://ark.cn-beijing.volces.com/api/v3", true},
                                                   {"http://localhost:11434/v1", true},
                                                   {"https://api.openai.com/v1", false}};
    for (const auto& [endpoint, expected] : direct)
        EXPECT_EQ(PolishEngine::shouldUseDirectConnection(u(endpoint)), expected) << endpoint;
}

TEST(Payloads, SwitchesByModelAndEndpoint)
{
    const QString ark = u("https://ark.cn-beijing.volces.com/api/v3/chat/completions");
    const QString localhost = u("http://localhost/v1/chat/completions");
    // The whole body but its messages.
    const struct {
        QJsonObject body;
        const char* expected;
    } cases[] = {
        {payload("GPT-5-mini"),
         R"({"model":"GPT-5-mini","max_completion_tokens":200,"reasoning_effort":"minimal","stream":true})"},
        {payload("o3-mini"), R"({"model":"o3-mini","max_completion_tokens":200,"stream":true})"},
        {payload("deepseek-chat"),
         R"({"model":"deepseek-chat","max_tokens":200,"thinking":{"type":"disabled"},"stream":true})"},
        {payload("anything", ark),
         R"({"model":"anything","max_tokens":200,"thinking":{"type":"disabled"},"stream":true})"},
        {payload("ep-20260915-fast"),
         R"({"model":"ep-20260915-fast","max_tokens":200,"thinking":{"type":"disabled"},"stream":true})"},
        {payload("Doubao-Seed-1.6"),
         R"({"model":"Doubao-Seed-1.6","max_tokens":200,"thinking":{"type":"disabled"},"stream":true})"},
        {payload("gemini-2.5-flash", kGemini),
         R"({"model":"gemini-2.5-flash","max_tokens":200,"temperature":0.1,"reasoning_effort":"none","stream":true})"},
        {payload("gemini-3.8-flash", kGemini),
         R"({"model":"gemini-3.8-flash","max_tokens":200,"temperature":0.1,"reasoning_effort":"minimal","stream":true})"},
        {payload("gemini-1.5-pro", kGemini),
         R"({"model":"gemini-1.5-pro","max_tokens":200,"temperature":0.1,"stream":true})"},
        {payload("qwen-plus", localhost),
         R"({"model":"qwen-plus","max_tokens":200,"temperature":0.1,"stream":true})"},
        {PolishEngine::buildAnthropicPayload(u("claude-x"), u("sys"), u("hi"), 120, true),
         R"({"model":"claude-x","max_tokens":256,"system":"sys","stream":true,"temperature":0.1})"},
        {PolishEngine::buildAnthropicPayload(u("claude-x"), u("sys"), u("hi"), 1200, false),
         R"({"model":"claude-x","max_tokens":1200,"system":"sys","temperature":0.1})"},
    };
    for (auto [body, expected] : cases) {
        body.remove(u("messages"));
        EXPECT_EQ(QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(),
                  QJsonDocument::fromJson(expected).toJson(QJsonDocument::Compact).toStdString());
    }

    const QJsonArray messages = payload("qwen-plus", localhost).value(u("messages")).toArray();
    ASSERT_EQ(messages.size(), 2);
    EXPECT_EQ(messages[0].toObject(), (QJsonObject{{u("role"), u("system")}, {u("content"), u("sys")}}));
    EXPECT_EQ(messages[1].toObject(), (QJsonObject{{u("role"), u("user")}, {u("content"), u("hi")}}));
}

TEST(Redirects, KeysStayWithTheirOrigin)
{
    const QUrl origin(u("https://api.example.com/v1/chat/completions"));
    const struct {
        const char* target;
        bool carriesSecret;
        bool allowed;
    } cases[] = {
        {"https://API.example.com:443/v2/x", true, true},
        {"https://evil.example/v1", true, false},
        {"http://api.example.com/v1", true, false},
        {"https://api.example.com:8443/v1", true, false},
        {"https://other.example/v1", false, true},
        {"http://other.example/v1", false, false},
        {"file:///etc/passwd", false, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HttpExchange::mayFollowRedirect(origin, QUrl(u(c.target)), c.carriesSecret), c.allowed)
            << c.target << (c.carriesSecret ? " with a key" : " without a key");
}

TEST(Distillation, AnswerLinesBecomeTerms)
{
    using Term = PolishEngine::DistilledTerm;
    const QList<Term> terms = PolishEngine::parseDistilledTerms(
        u("张伟|章维, 张威 ,,|Person\r\n星河\n 以下是提取结果 \u2028Q3财报| |FINANCE\rA|b|person\n"
          "DeepSeek|deep seek|项目project\n小米|xiaomi|unknown\n\n"));
    const QList<Term> expected = {
        {u("张伟"), {u("章维"), u("张威")}, LexiconCategory::person},
        {u("星河"), {}, LexiconCategory::memo},
        {u("以下是提取结果"), {}, LexiconCategory::memo},
        {u("Q3财报"), {}, LexiconCategory::finance},
        {u("DeepSeek"), {u("deep seek")}, LexiconCategory::project},
        {u("小米"), {u("xiaomi")}, LexiconCategory::memo},
    };
    EXPECT_EQ(terms, expected);
}
