#include "AppStateHarness.h"
#include "support/QtPrinters.h"

#include <QJsonArray>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Reply = ScriptedHttpServer::Reply;

namespace {

QByteArray chatEvent(const QString& content)
{
    const QJsonObject delta{{QStringLiteral("content"), content}};
    const QJsonObject choice{{QStringLiteral("delta"), delta}};
    const QJsonObject event{{QStringLiteral("choices"), QJsonArray{choice}}};
    return "data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n";
}

bool isChatRequest(const ScriptedHttpServer::Request& request)
{
    return request.method == "POST" && request.path.endsWith("/chat/completions");
}

} // namespace

class AppStateProvidersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        h.writeLocalConfig();
        KeychainHelper::saveAPIKey(QStringLiteral("sk-deepseek-old"), LLMProviderOption::deepseek);
        answerWith(QStringLiteral("好的"));
        h.build();
    }

    AppState& state() { return *h.state; }

    // Chat requests are answered with this streamed text; everything else (warm-ups) with an empty 200.
    void answerWith(const QString& text, int status = 200)
    {
        h.server.setHandler([text, status](const ScriptedHttpServer::Request& request) {
            if (!isChatRequest(request))
                return Reply::json(200, "{}");
            if (status != 200)
                return Reply::json(status, R"({"error":{"message":"bad key"}})");
            return Reply::sse({chatEvent(text), "data: [DONE]\n\n"});
        });
    }

    int chatRequests() const
    {
        return static_cast<int>(
            std::count_if(h.server.requests().begin(), h.server.requests().end(), isChatRequest));
    }

    // Lets a started task run: past the benchmark's warm-up pause, then on real sockets until it is done.
    void drive(bool& done)
    {
        h.scheduler.advance(180ms);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                h.scheduler.runDue();
                return done;
            },
            5000));
    }

    bool activate(LLMProviderOption provider, const QString& base, const QString& model, const QString& key)
    {
        bool done = false;
        bool result = false;
        auto task = state().activateLLMProvider(provider, base, model, key).then([&](bool ok) {
            result = ok;
            done = true;
        });
        drive(done);
        return result;
    }

    void benchmark(LLMProviderOption provider, const QString& base, const QString& model, const QString& key)
    {
        bool done = false;
        auto task = state().runLLMProviderBenchmark(provider, base, model, key).then([&] { done = true; });
        drive(done);
    }

    AppStateHarness h;
};

TEST_F(AppStateProvidersTest, ActivationSwitchesOnlyAfterALiveRequestAndKeepsEditsMadeMeanwhile)
{
    const LLMProviderOption openai = LLMProviderOption::openai;
    answerWith(QStringLiteral("第一行\n第二行"));
    const QString altBase = h.localBase + QStringLiteral("/alt");
    bool done = false;
    bool activated = false;
    auto task = state()
                    .activateLLMProvider(openai, QStringLiteral(" ") + altBase, QStringLiteral(" gpt-x "),
                                         QStringLiteral(" sk-new "))
                    .then([&](bool ok) {
                        activated = ok;
                        done = true;
                    });
    ASSERT_EQ(state().activatingLLMProvider(), std::optional<LLMProviderOption>(openai));
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::deepseek)
        << "not active before the check";

    // A second press, on any card, is refused while the check runs and touches nothing.
    const QString bannerBefore = state().statusBanner();
    bool secondDone = false;
    bool secondResult = true;
    auto second = state()
                      .activateLLMProvider(LLMProviderOption::gemini, h.localBase, {}, QStringLiteral("k"))
                      .then([&](bool ok) {
                          secondResult = ok;
                          secondDone = true;
                      });
    EXPECT_TRUE(secondDone);
    EXPECT_FALSE(secondResult);
    EXPECT_EQ(state().statusBanner(), bannerBefore);
    EXPECT_FALSE(state().llmActivationErrors().contains(LLMProviderOption::gemini));

    // The user edits another setting while the request runs.
    LLMConfig edited = state().llmConfig();
    edited.enableLiveInlineTyping = !edited.enableLiveInlineTyping;
    state().setLLMConfig(edited);

    drive(done);
    ASSERT_TRUE(activated) << state().statusBanner().toStdString();
    EXPECT_EQ(chatRequests(), 1);
    const auto chat = std::find_if(h.server.requests().begin(), h.server.requests().end(), isChatRequest);
    EXPECT_EQ(chat->headers.value("authorization"), QByteArray("Bearer sk-new"));

    const LLMConfig& config = state().llmConfig();
    EXPECT_EQ(config.selectedProvider, openai);
    EXPECT_EQ(config.baseURL, altBase);
    EXPECT_EQ(config.modelName, QStringLiteral("gpt-x"));
    EXPECT_EQ(config.providerModels.value(QStringLiteral("openai")), QStringLiteral("gpt-x"));
    EXPECT_EQ(config.enableLiveInlineTyping, edited.enableLiveInlineTyping)
        << "an edit made meanwhile survives";
    EXPECT_EQ(state().apiKeyInput(), QStringLiteral("sk-new"));
    EXPECT_TRUE(state().savedProviderKeyFlags().value(openai));

    const QString summary =
        QStringLiteral("⚡ 校验通过并已生效（gpt-x）：首字 TTFT 0ms · 总耗时 0ms · 样例：「第一行 ↵ 第二行」");
    EXPECT_EQ(state().llmProviderBenchmarkSummaries().value(openai), summary);
    EXPECT_EQ(state().lastBenchmarkSummary(), summary);
    EXPECT_EQ(state().statusBanner(), QStringLiteral("✅ 「") + openai.title() +
                                          QStringLiteral("」校验通过，已切换为当前唯一生效排版模型"));
    EXPECT_FALSE(state().activatingLLMProvider().has_value());

    // Warm-ups with the new key: the measurement's own and one after switching, both to the new host.
    auto warmUpsWithNewKey = [&] {
        int count = 0;
        for (const auto& request : h.server.requests()) {
            if (request.headers.value("authorization") == "Bearer sk-new" && !isChatRequest(request)) {
                EXPECT_EQ(request.path, QByteArray("/v1/alt/models"));
                ++count;
            }
        }
        return count;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return warmUpsWithNewKey() >= 2; }, 5000));
    QTest::qWait(50);
    EXPECT_EQ(warmUpsWithNewKey(), 2);

    const QJsonObject saved = QJsonDocument::fromJson(h.configText().toUtf8()).object();
    EXPECT_EQ(saved.value(QStringLiteral("selectedProvider")).toString(), QStringLiteral("openai"));
    EXPECT_EQ(saved.value(QStringLiteral("modelName")).toString(), QStringLiteral("gpt-x"));
}

TEST_F(AppStateProvidersTest, FailedActivationLeavesTheActiveConfigurationAndRestoresTheActiveKey)
{
    const LLMConfig before = state().llmConfig();
    answerWith({}, 401);

    // The active provider: its working key comes back.
    EXPECT_FALSE(
        activate(LLMProviderOption::deepseek, h.localBase, QStringLiteral("m2"), QStringLiteral("sk-bad")));
    const QString message = state().statusBanner();
    EXPECT_TRUE(message.startsWith(QStringLiteral("❌ 校验未通过，未生效："))) << message.toStdString();
    EXPECT_GT(message.size(), QStringLiteral("❌ 校验未通过，未生效：").size());
    EXPECT_EQ(state().llmActivationErrors().value(LLMProviderOption::deepseek), message);
    EXPECT_EQ(state().llmConfig().selectedProvider, before.selectedProvider);
    EXPECT_EQ(state().llmConfig().baseURL, before.baseURL);
    EXPECT_EQ(state().llmConfig().modelName, before.modelName);
    EXPECT_EQ(state().llmConfig().providerModels.value(QStringLiteral("deepseek")), QStringLiteral("m2"));
    EXPECT_EQ(KeychainHelper::loadAPIKey(LLMProviderOption::deepseek), QStringLiteral("sk-deepseek-old"));
    EXPECT_FALSE(state().activatingLLMProvider().has_value());

    // Another provider: the draft's key stays stored, the active provider stays.
    EXPECT_FALSE(
        activate(LLMProviderOption::openai, h.localBase, QStringLiteral("gpt-y"), QStringLiteral("sk-o")));
    EXPECT_EQ(KeychainHelper::loadAPIKey(LLMProviderOption::openai), QStringLiteral("sk-o"));
    EXPECT_EQ(state().llmConfig().providerModels.value(QStringLiteral("openai")), QStringLiteral("gpt-y"));
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::deepseek);
    EXPECT_EQ(chatRequests(), 2);

    // A retry after the failure is admitted.
    answerWith(QStringLiteral("好"));
    EXPECT_TRUE(
        activate(LLMProviderOption::openai, h.localBase, QStringLiteral("gpt-y"), QStringLiteral("sk-o")));
}

TEST_F(AppStateProvidersTest, ActivationKeyRules)
{
    // A remote endpoint without a key: refused before any request, nothing stored.
    const LLMProviderOption anthropic = LLMProviderOption::anthropic;
    EXPECT_FALSE(
        activate(anthropic, QStringLiteral("https://api.example.invalid/v1"), {}, QStringLiteral("  ")));
    const QString missing = QStringLiteral("❌ 无法生效：请先填入「") + anthropic.shortName() +
                            QStringLiteral("」API Key（当前配置未生效）");
    EXPECT_EQ(state().statusBanner(), missing);
    EXPECT_EQ(state().llmActivationErrors().value(anthropic), missing);
    EXPECT_FALSE(state().llmConfig().providerModels.contains(QStringLiteral("anthropic")));
    EXPECT_EQ(chatRequests(), 0);
    EXPECT_FALSE(state().activatingLLMProvider().has_value());

    // A local endpoint goes ahead without a key and drops the stored one.
    KeychainHelper::saveAPIKey(QStringLiteral("sk-custom"), LLMProviderOption::custom);
    EXPECT_TRUE(activate(LLMProviderOption::custom, h.localBase, QStringLiteral("local-model"), {}));
    EXPECT_EQ(chatRequests(), 1);
    EXPECT_TRUE(KeychainHelper::loadAPIKey(LLMProviderOption::custom).isEmpty());
    EXPECT_EQ(state().llmConfig().customBaseURL, h.localBase);
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::custom);

    // A keyring that refuses the key fails the activation instead of activating on the wrong key.
    h.secrets.setWriteFailure(QStringLiteral("locked"));
    EXPECT_FALSE(activate(LLMProviderOption::openai, h.localBase, {}, QStringLiteral("sk-o")));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("❌ 密钥保存失败：locked"));
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::custom);
    EXPECT_EQ(chatRequests(), 1);
}

TEST_F(AppStateProvidersTest, ActivationOutlivedByItsStateEndsQuietly)
{
    bool done = false;
    bool result = true;
    auto task = state()
                    .activateLLMProvider(LLMProviderOption::openai, h.localBase, {}, QStringLiteral("sk"))
                    .then([&](bool ok) {
                        result = ok;
                        done = true;
                    });
    h.state.reset();
    h.scheduler.advance(1s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 5000));
    EXPECT_FALSE(result);
}

TEST_F(AppStateProvidersTest, SavingDrafts)
{
    const LLMProviderOption volc = LLMProviderOption::volcengine;
    const LLMConfig before = state().llmConfig();

    state().saveLLMProviderDraft(volc, {}, QStringLiteral(" ep-2024 "), QStringLiteral("ark-key"));
    EXPECT_EQ(h.defaults.value(AppState::kArkEndpointKey).toString(), QStringLiteral("ep-2024"));
    EXPECT_EQ(state().llmConfig().providerModels.value(QStringLiteral("volcengine")),
              QStringLiteral("ep-2024"));
    EXPECT_EQ(state().llmConfig().modelName, before.modelName)
        << "another provider's draft leaves the live record";
    EXPECT_EQ(state().llmConfig().baseURL, before.baseURL);
    EXPECT_EQ(KeychainHelper::loadAPIKey(volc), QStringLiteral("ark-key"));
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("💾 「") + volc.title() +
                  QStringLiteral("」配置已保存（尚未设为当前生效，点击「校验并生效」启用）"));

    state().saveLLMProviderDraft(volc, {}, QStringLiteral("doubao-pro"), QStringLiteral("ark-key"));
    EXPECT_EQ(h.defaults.value(AppState::kArkEndpointKey).toString(), QStringLiteral("ep-2024"));

    // The selected provider's draft reaches the live record; an empty model means the default one.
    const LLMProviderOption deepseek = LLMProviderOption::deepseek;
    state().saveLLMProviderDraft(deepseek, QStringLiteral(" ") + h.localBase + QStringLiteral("/x "),
                                 QStringLiteral(" "), QStringLiteral("sk-ds"));
    EXPECT_EQ(state().llmConfig().modelName, deepseek.defaultModelName());
    EXPECT_EQ(state().llmConfig().providerModels.value(QStringLiteral("deepseek")),
              deepseek.defaultModelName());
    EXPECT_EQ(state().llmConfig().baseURL, h.localBase + QStringLiteral("/x"));
    EXPECT_EQ(state().apiKeyInput(), QStringLiteral("sk-ds"));
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("✅ 「") + deepseek.title() + QStringLiteral("」密钥与模型已保存"));
    EXPECT_TRUE(state().lastBenchmarkSummary().isEmpty());

    // A blank key for a remote endpoint deletes the key and says so.
    state().saveLLMProviderDraft(LLMProviderOption::gemini, QStringLiteral("https://api.example.invalid"), {},
                                 {});
    EXPECT_EQ(state().statusBanner(), QStringLiteral("已清空「") +
                                          LLMProviderOption(LLMProviderOption::gemini).shortName() +
                                          QStringLiteral("」API Key"));

    // A key the keyring refused is reported, never shown as saved.
    h.secrets.setWriteFailure(QStringLiteral("locked"));
    state().saveLLMProviderDraft(volc, {}, {}, QStringLiteral("other"));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("❌ 密钥保存失败：locked"));
    EXPECT_EQ(KeychainHelper::loadAPIKey(volc), QStringLiteral("ark-key"));
}

TEST_F(AppStateProvidersTest, WizardKeySave)
{
    state().setApiKeyInput(QStringLiteral(" \"sk-wizard\" "));
    state().saveAPIKey();
    EXPECT_EQ(state().apiKeyInput(), QStringLiteral("sk-wizard")) << "the field shows the normalised key";
    EXPECT_EQ(state().statusBanner(), QStringLiteral("✅ 「") +
                                          LLMProviderOption(LLMProviderOption::deepseek).title() +
                                          QStringLiteral("」密钥与模型已保存并立即生效"));

    // A key from the environment is used but never written to the keyring.
    qputenv("QUORBELL_API_KEY", "sk-env");
    state().setApiKeyInput(QStringLiteral("sk-env"));
    state().saveAPIKey();
    qunsetenv("QUORBELL_API_KEY");
    EXPECT_EQ(KeychainHelper::readSlot(KeychainHelper::providerSlot(LLMProviderOption::deepseek)),
              std::optional<QString>(QStringLiteral("sk-wizard")));
}

TEST_F(AppStateProvidersTest, MeasuringACardFillsOnlyItsOwnSummary)
{
    const LLMProviderOption openai = LLMProviderOption::openai;
    state().setStatusBanner(QStringLiteral("before"));
    answerWith(QStringLiteral("甲\n乙"));
    bool done = false;
    auto task =
        state()
            .runLLMProviderBenchmark(openai, h.localBase, QStringLiteral("gpt-b"), QStringLiteral("sk-b"))
            .then([&] { done = true; });
    EXPECT_EQ(state().llmProviderBenchmarkSummaries().value(openai),
              QStringLiteral("正在预热连接并实测 gpt-b 首包延迟…"));
    EXPECT_TRUE(state().lastBenchmarkSummary().isEmpty()) << "not the selected provider";
    bool secondDone = false;
    auto second = state().runLiveEngineBenchmark().then([&] { secondDone = true; });
    EXPECT_TRUE(secondDone) << "a second measurement returns at once";
    drive(done);

    EXPECT_EQ(chatRequests(), 1);
    EXPECT_EQ(state().llmProviderBenchmarkSummaries().value(openai),
              QStringLiteral("⚡ 实测通过（gpt-b）：首字 TTFT 0ms · 总耗时 0ms · 样例：「甲 ↵ 乙」"));
    EXPECT_TRUE(state().lastBenchmarkSummary().isEmpty());
    EXPECT_EQ(state().statusBanner(), QStringLiteral("⚡ OpenAI 实测成功：首字 TTFT 0ms"));
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::deepseek)
        << "measuring activates nothing";
    EXPECT_EQ(KeychainHelper::loadAPIKey(openai), QStringLiteral("sk-b"));
    EXPECT_FALSE(state().isBenchmarkingLLM());

    // A blank field for a remote endpoint sends nothing, fails, and leaves the banner alone.
    benchmark(openai, QStringLiteral("https://api.example.invalid/v1"), {}, {});
    EXPECT_TRUE(
        state().llmProviderBenchmarkSummaries().value(openai).startsWith(QStringLiteral("❌ 测速未通过：")));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("⚡ OpenAI 实测成功：首字 TTFT 0ms"));
    EXPECT_EQ(KeychainHelper::loadAPIKey(openai), QStringLiteral("sk-b"))
        << "a blank field keeps the stored key";
    EXPECT_EQ(chatRequests(), 1);
    EXPECT_FALSE(state().isBenchmarkingLLM());
}

TEST_F(AppStateProvidersTest, MeasuringTheLiveConfiguration)
{
    answerWith(QStringLiteral("ok"));
    bool done = false;
    auto task = state().runLiveEngineBenchmark().then([&] { done = true; });
    const QString model = state().llmConfig().modelName;
    EXPECT_EQ(state().lastBenchmarkSummary(),
              QStringLiteral("正在预热连接并实测 ") + model + QStringLiteral(" 首包延迟…"));
    drive(done);
    EXPECT_EQ(state().lastBenchmarkSummary(),
              QStringLiteral("⚡ 实测通过（") + model +
                  QStringLiteral("）：首字 TTFT 0ms · 总耗时 0ms · 样例：「ok」"));
    const auto chat = std::find_if(h.server.requests().begin(), h.server.requests().end(), isChatRequest);
    ASSERT_NE(chat, h.server.requests().end());
    EXPECT_EQ(chat->headers.value("authorization"), QByteArray("Bearer sk-deepseek-old"));

    answerWith({}, 500);
    state().setStatusBanner(QStringLiteral("kept"));
    done = false;
    auto failing = state().runLiveEngineBenchmark().then([&] { done = true; });
    drive(done);
    EXPECT_TRUE(state().lastBenchmarkSummary().startsWith(QStringLiteral("❌ 测速未通过：")));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("kept"));
    EXPECT_FALSE(state().isBenchmarkingLLM());
}
