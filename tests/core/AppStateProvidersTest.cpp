#include "AppStateHarness.h"
#include "support/QtPrinters.h"

#include <QJsonArray>
#include <algorithm>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Reply = ScriptedHttpServer::Reply;

namespace {

bool isChatRequest(const ScriptedHttpServer::Request& request)
{
    return request.method == "POST" && request.path.endsWith("/chat/completions");
}

const QString kRefused = QStringLiteral("❌ 校验未通过，未生效：");
const QString kSaveFailed = QStringLiteral("❌ 密钥保存失败：locked");
// The pause a check makes on the scheduler before its measured request.
constexpr Duration kWarmUpPause = 180ms;

class AppStateProvidersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        h.writeLocalConfig();
        ASSERT_TRUE(
            h.await(h.keychain.saveAPIKey(QStringLiteral("sk-deepseek-old"), LLMProviderOption::deepseek)));
        answerWith(QStringLiteral("好的"));
        h.build();
        h.settleStartup();
    }

    AppState& state() { return *h.state; }

    // Chat requests are answered with this streamed text (or this error status); warm-ups with an empty 200.
    void answerWith(const QString& text, int status = 200)
    {
        h.server.setHandler([text, status](const ScriptedHttpServer::Request& request) {
            if (!isChatRequest(request))
                return Reply::json(200, "{}");
            if (status != 200)
                return Reply::json(status, R"({"error":{"message":"bad key"}})");
            const QJsonObject delta{{QStringLiteral("content"), text}};
            const QJsonObject event{
                {QStringLiteral("choices"), QJsonArray{QJsonObject{{QStringLiteral("delta"), delta}}}}};
            return Reply::sse({"data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n",
                               "data: [DONE]\n\n"});
        });
    }

    // Chat requests get this reply; warm-ups an empty 200.
    void answerWithReply(const Reply& reply)
    {
        h.server.setHandler([reply](const ScriptedHttpServer::Request& request) {
            return isChatRequest(request) ? reply : Reply::json(200, "{}");
        });
    }

    QList<ScriptedHttpServer::Request> chats() const
    {
        QList<ScriptedHttpServer::Request> found;
        std::copy_if(h.server.requests().begin(), h.server.requests().end(), std::back_inserter(found),
                     isChatRequest);
        return found;
    }

    // Lets a started task run: its key save off the main thread, past the benchmark's warm-up pause once that
    // is scheduled (whenever a busy machine gets there; other timers may come and go meanwhile), then on real
    // sockets until it is done. Virtual time stands otherwise, so the measured figures are exact.
    void drive(const Watch& task)
    {
        const Duration pauseEnds = h.scheduler.elapsed() + kWarmUpPause;
        EXPECT_TRUE(h.settle([&] { return task.done || h.scheduler.hasTimerDueAt(pauseEnds); }));
        h.scheduler.advance(kWarmUpPause);
        EXPECT_TRUE(h.settle([&] { return task.done; }));
    }

    bool activate(LLMProviderOption provider, const QString& base, const QString& model, const QString& key)
    {
        auto task = watch(state().activateLLMProvider(provider, base, model, key));
        drive(*task);
        return task->ok;
    }

    AppStateHarness h;
};

} // namespace

TEST_F(AppStateProvidersTest, ActivationSwitchesOnlyAfterALiveRequestAndKeepsEditsMadeMeanwhile)
{
    const LLMProviderOption openai = LLMProviderOption::openai;
    answerWith(QStringLiteral("第一行\n第二行"));
    const QString altBase = h.localBase + QStringLiteral("/alt");
    auto task = watch(state().activateLLMProvider(openai, QStringLiteral(" ") + altBase,
                                                  QStringLiteral(" gpt-x "), QStringLiteral(" sk-new ")));
    ASSERT_EQ(state().activatingLLMProvider(), std::optional<LLMProviderOption>(openai));
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::deepseek)
        << "not active before the check";

    // A second press, on any card, is refused while the check runs and touches nothing.
    const QString bannerBefore = state().statusBanner();
    auto second =
        watch(state().activateLLMProvider(LLMProviderOption::gemini, h.localBase, {}, QStringLiteral("k")));
    EXPECT_TRUE(second->done);
    EXPECT_FALSE(second->ok);
    EXPECT_EQ(state().statusBanner(), bannerBefore);
    EXPECT_FALSE(state().llmActivationErrors().contains(LLMProviderOption::gemini));

    // The user edits another setting while the request runs.
    h.changeConfig([](LLMConfig& config) { config.enableLiveInlineTyping = !config.enableLiveInlineTyping; });
    const bool edited = state().llmConfig().enableLiveInlineTyping;

    drive(*task);
    ASSERT_TRUE(task->ok) << state().statusBanner().toStdString();
    ASSERT_EQ(chats().size(), 1);
    EXPECT_EQ(chats().first().header("Authorization"), QByteArray("Bearer sk-new"));
    const LLMConfig& config = state().llmConfig();
    EXPECT_EQ(config.selectedProvider, openai);
    EXPECT_EQ(config.baseURL, altBase);
    EXPECT_EQ(config.modelName, QStringLiteral("gpt-x"));
    EXPECT_EQ(config.providerModels.value(QStringLiteral("openai")), QStringLiteral("gpt-x"));
    EXPECT_EQ(config.enableLiveInlineTyping, edited) << "an edit made meanwhile survives";
    EXPECT_EQ(state().apiKeyInput(), QStringLiteral("sk-new"));
    EXPECT_TRUE(state().savedProviderKeyFlags().value(openai));
    const QString summary =
        QStringLiteral("⚡ 校验通过并已生效（gpt-x）：首字 TTFT 0ms · 总耗时 0ms · 样例：「第一行 ↵ 第二行」");
    EXPECT_EQ(state().llmProviderBenchmarkSummaries().value(openai), summary);
    EXPECT_EQ(state().lastBenchmarkSummary(), summary);
    EXPECT_EQ(state().statusBanner(), QStringLiteral("✅ 「") + openai.title() +
                                          QStringLiteral("」校验通过，已切换为当前唯一生效排版模型"));
    EXPECT_FALSE(state().activatingLLMProvider().has_value());
    EXPECT_EQ(h.savedConfig()[QStringLiteral("modelName")], QStringLiteral("gpt-x"));

    // Warm-ups with the new key: the measurement's own and one after switching, both to the new host.
    auto warmUpsWithNewKey = [&] {
        QList<QByteArray> paths;
        for (const auto& request : h.server.requests()) {
            if (request.header("Authorization") == "Bearer sk-new" && !isChatRequest(request))
                paths.append(request.path);
        }
        return paths;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return warmUpsWithNewKey().size() >= 2; }, 30000));
    EXPECT_EQ(warmUpsWithNewKey(), QList<QByteArray>(2, "/v1/alt/models"));
}

TEST_F(AppStateProvidersTest, FailedActivationLeavesTheActiveConfigurationAndRestoresTheActiveKey)
{
    const LLMConfig before = state().llmConfig();
    answerWith({}, 401);

    // The active provider: its working key comes back.
    EXPECT_FALSE(
        activate(LLMProviderOption::deepseek, h.localBase, QStringLiteral("m2"), QStringLiteral("sk-bad")));
    const QString message = state().statusBanner();
    EXPECT_TRUE(message.startsWith(kRefused) && message.size() > kRefused.size()) << message.toStdString();
    EXPECT_EQ(state().llmActivationErrors().value(LLMProviderOption::deepseek), message);
    LLMConfig expected = before;
    expected.providerModels.insert(QStringLiteral("deepseek"), QStringLiteral("m2"));
    EXPECT_EQ(state().llmConfig(), expected) << "only the card's model is remembered";
    EXPECT_EQ(h.keychain.loadAPIKey(LLMProviderOption::deepseek), QStringLiteral("sk-deepseek-old"));
    EXPECT_FALSE(state().activatingLLMProvider().has_value());

    // Another provider: the draft's key stays stored, the active provider stays.
    EXPECT_FALSE(
        activate(LLMProviderOption::openai, h.localBase, QStringLiteral("gpt-y"), QStringLiteral("sk-o")));
    EXPECT_EQ(h.keychain.loadAPIKey(LLMProviderOption::openai), QStringLiteral("sk-o"));
    EXPECT_EQ(state().llmConfig().providerModels.value(QStringLiteral("openai")), QStringLiteral("gpt-y"));
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::deepseek);
    EXPECT_EQ(chats().size(), 2);

    answerWith(QStringLiteral("好"));
    EXPECT_TRUE(
        activate(LLMProviderOption::openai, h.localBase, QStringLiteral("gpt-y"), QStringLiteral("sk-o")))
        << "a retry after the failure is admitted";
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
    EXPECT_EQ(chats().size(), 0);

    // A local endpoint goes ahead without a key and drops the stored one.
    ASSERT_TRUE(h.await(h.keychain.saveAPIKey(QStringLiteral("sk-custom"), LLMProviderOption::custom)));
    EXPECT_TRUE(activate(LLMProviderOption::custom, h.localBase, QStringLiteral("local-model"), {}));
    EXPECT_EQ(chats().size(), 1);
    EXPECT_TRUE(h.keychain.loadAPIKey(LLMProviderOption::custom).isEmpty());
    EXPECT_EQ(state().llmConfig().customBaseURL, h.localBase);
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::custom);

    // A keyring that refuses the key fails the activation instead of activating on the wrong key.
    h.secrets.setWriteFailure(QStringLiteral("locked"));
    EXPECT_FALSE(activate(LLMProviderOption::openai, h.localBase, {}, QStringLiteral("sk-o")));
    EXPECT_EQ(state().statusBanner(), kSaveFailed);
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::custom);
    EXPECT_EQ(chats().size(), 1);
}

TEST_F(AppStateProvidersTest, ActivationOutlivedByItsStateEndsQuietly)
{
    auto orphan =
        watch(state().activateLLMProvider(LLMProviderOption::openai, h.localBase, {}, QStringLiteral("sk")));
    h.state.reset();
    h.scheduler.advance(1s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return orphan->done; }, 30000));
    EXPECT_FALSE(orphan->ok);
}

TEST_F(AppStateProvidersTest, SavingDraftsAndTheWizardKey)
{
    const LLMProviderOption volc = LLMProviderOption::volcengine;
    const LLMConfig before = state().llmConfig();
    h.await(state().saveLLMProviderDraft(volc, {}, QStringLiteral(" ep-2024 "), QStringLiteral("ark-key")));
    EXPECT_EQ(h.defaults.value(AppState::kArkEndpointKey).toString(), QStringLiteral("ep-2024"));
    LLMConfig expected = before;
    expected.providerModels.insert(QStringLiteral("volcengine"), QStringLiteral("ep-2024"));
    EXPECT_EQ(state().llmConfig(), expected) << "another provider's draft leaves the live record";
    EXPECT_EQ(h.keychain.loadAPIKey(volc), QStringLiteral("ark-key"));
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("💾 「") + volc.title() +
                  QStringLiteral("」配置已保存（尚未设为当前生效，点击「校验并生效」启用）"));
    h.await(state().saveLLMProviderDraft(volc, {}, QStringLiteral("doubao-pro"), QStringLiteral("ark-key")));
    EXPECT_EQ(h.defaults.value(AppState::kArkEndpointKey).toString(), QStringLiteral("ep-2024"))
        << "only an endpoint identifier is kept there";

    // The selected provider's draft reaches the live record; an empty model means the default one.
    const LLMProviderOption deepseek = LLMProviderOption::deepseek;
    h.await(state().saveLLMProviderDraft(deepseek, QStringLiteral(" ") + h.localBase + QStringLiteral("/x "),
                                         QStringLiteral(" "), QStringLiteral("sk-ds")));
    EXPECT_EQ(state().llmConfig().modelName, deepseek.defaultModelName());
    EXPECT_EQ(state().llmConfig().providerModels.value(QStringLiteral("deepseek")),
              deepseek.defaultModelName());
    EXPECT_EQ(state().llmConfig().baseURL, h.localBase + QStringLiteral("/x"));
    EXPECT_EQ(state().apiKeyInput(), QStringLiteral("sk-ds"));
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("✅ 「") + deepseek.title() + QStringLiteral("」密钥与模型已保存"));

    // A blank key for a remote endpoint deletes the key and says so; a refused key is never shown as saved.
    h.await(state().saveLLMProviderDraft(LLMProviderOption::gemini,
                                         QStringLiteral("https://api.example.invalid"), {}, {}));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("已清空「") +
                                          LLMProviderOption(LLMProviderOption::gemini).shortName() +
                                          QStringLiteral("」API Key"));
    h.secrets.setWriteFailure(QStringLiteral("locked"));
    h.await(state().saveLLMProviderDraft(volc, {}, {}, QStringLiteral("other")));
    EXPECT_EQ(state().statusBanner(), kSaveFailed);
    EXPECT_EQ(h.keychain.loadAPIKey(volc), QStringLiteral("ark-key"));
    h.secrets.setWriteFailure(std::nullopt);

    // The wizard's key: stored normalised, and a key from the environment is never written to the keyring.
    state().setApiKeyInput(QStringLiteral(" \"sk-wizard\" "));
    h.await(state().saveAPIKey());
    EXPECT_EQ(state().apiKeyInput(), QStringLiteral("sk-wizard"));
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("✅ 「") + deepseek.title() + QStringLiteral("」密钥与模型已保存并立即生效"));
    qputenv("QUORBELL_API_KEY", "sk-env");
    state().setApiKeyInput(QStringLiteral("sk-env"));
    h.await(state().saveAPIKey());
    // Nor is it from a card's draft; the card's field shows the stored key, not the environment's.
    h.await(state().saveLLMProviderDraft(deepseek, {}, {}, QStringLiteral(" sk-env")));
    EXPECT_EQ(state().storedAPIKey(deepseek), QStringLiteral("sk-wizard"));
    EXPECT_EQ(state().storedAPIKey(LLMProviderOption::anthropic), QString());
    qunsetenv("QUORBELL_API_KEY");
    EXPECT_EQ(h.keychain.readSlot(KeychainHelper::providerSlot(deepseek)),
              std::optional<QString>(QStringLiteral("sk-wizard")));
}

TEST_F(AppStateProvidersTest, MeasuringACardOrTheLiveConfiguration)
{
    const LLMProviderOption openai = LLMProviderOption::openai;
    const QString passed = QStringLiteral("⚡ OpenAI 实测成功：首字 TTFT 0ms");
    answerWith(QStringLiteral("甲\n乙"));
    auto card = watch(state().runLLMProviderBenchmark(openai, h.localBase, QStringLiteral("gpt-b"),
                                                      QStringLiteral("sk-b")));
    EXPECT_EQ(state().llmProviderBenchmarkSummaries().value(openai),
              QStringLiteral("正在预热连接并实测 gpt-b 首包延迟…"));
    auto second = watch(state().runLiveEngineBenchmark());
    EXPECT_TRUE(second->done) << "a second measurement returns at once";
    drive(*card);
    EXPECT_EQ(chats().size(), 1);
    EXPECT_EQ(state().llmProviderBenchmarkSummaries().value(openai),
              QStringLiteral("⚡ 实测通过（gpt-b）：首字 TTFT 0ms · 总耗时 0ms · 样例：「甲 ↵ 乙」"));
    EXPECT_TRUE(state().lastBenchmarkSummary().isEmpty()) << "not the selected provider";
    EXPECT_EQ(state().statusBanner(), passed);
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::deepseek)
        << "measuring activates nothing";
    EXPECT_EQ(h.keychain.loadAPIKey(openai), QStringLiteral("sk-b"));

    // A blank field for a remote endpoint sends nothing, fails, keeps the stored key and the banner.
    drive(*watch(
        state().runLLMProviderBenchmark(openai, QStringLiteral("https://api.example.invalid/v1"), {}, {})));
    EXPECT_TRUE(
        state().llmProviderBenchmarkSummaries().value(openai).startsWith(QStringLiteral("❌ 测速未通过：")));
    EXPECT_EQ(state().statusBanner(), passed);
    EXPECT_EQ(h.keychain.loadAPIKey(openai), QStringLiteral("sk-b"));
    EXPECT_EQ(chats().size(), 1);
    EXPECT_FALSE(state().isBenchmarkingLLM());

    // The live configuration, with the stored key.
    answerWith(QStringLiteral("ok"));
    auto live = watch(state().runLiveEngineBenchmark());
    const QString model = state().llmConfig().modelName;
    EXPECT_EQ(state().lastBenchmarkSummary(),
              QStringLiteral("正在预热连接并实测 ") + model + QStringLiteral(" 首包延迟…"));
    drive(*live);
    EXPECT_EQ(state().lastBenchmarkSummary(),
              QStringLiteral("⚡ 实测通过（") + model +
                  QStringLiteral("）：首字 TTFT 0ms · 总耗时 0ms · 样例：「ok」"));
    EXPECT_EQ(chats().last().header("Authorization"), QByteArray("Bearer sk-deepseek-old"));

    answerWith({}, 500);
    const QString banner = state().statusBanner();
    drive(*watch(state().runLiveEngineBenchmark()));
    EXPECT_TRUE(state().lastBenchmarkSummary().startsWith(QStringLiteral("❌ 测速未通过：")));
    EXPECT_EQ(state().statusBanner(), banner) << "a failed measurement leaves the banner";
    EXPECT_FALSE(state().isBenchmarkingLLM());
}

TEST_F(AppStateProvidersTest, AnEmptyKeyFieldChecksWithTheEnvironmentsKeyAndStoresNothing)
{
    struct EnvironmentKey {
        EnvironmentKey() { qputenv("QUORBELL_API_KEY", " sk-env "); }
        ~EnvironmentKey() { qunsetenv("QUORBELL_API_KEY"); }
    } environment;
    const LLMProviderOption openai = LLMProviderOption::openai;
    ASSERT_TRUE(activate(openai, h.localBase, {}, QStringLiteral("  ")))
        << state().statusBanner().toStdString();
    ASSERT_EQ(chats().size(), 1);
    EXPECT_EQ(chats().first().header("Authorization"), QByteArray("Bearer sk-env"))
        << "the key a dictation would use";
    EXPECT_EQ(h.keychain.readSlot(KeychainHelper::providerSlot(openai)), std::nullopt);

    // Measuring with an empty field, too; the stored key of another provider stays as it was.
    drive(*watch(state().runLLMProviderBenchmark(LLMProviderOption::deepseek, h.localBase, {}, {})));
    ASSERT_EQ(chats().size(), 2);
    EXPECT_EQ(chats().last().header("Authorization"), QByteArray("Bearer sk-env"));
    EXPECT_EQ(state().storedAPIKey(LLMProviderOption::deepseek), QStringLiteral("sk-deepseek-old"));
}

// A check passes only on words the model wrote: a 200 that carries an error, a page, an empty object or a
// stream without text neither measures nor activates, and the failure says what came back.
TEST_F(AppStateProvidersTest, ChecksPassOnlyWhenTheModelStreamedText)
{
    Reply page;
    page.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    page.pieces = {
        {"<!DOCTYPE html><html><head><title>Hotel Wi-Fi Login</title></head><body>…</body></html>", {}}};
    const struct {
        Reply reply;
        QString cameBack;
    } cases[] = {
        {Reply::sse({"data: garbage\n\n", "event: ping\n\n",
                     R"(data: {"choices":[]})"
                     "\n\n",
                     "data: [DONE]\n\n"}),
         QStringLiteral("数据流中没有模型输出（garbage）")},
        {Reply::json(
             200, R"({"error":{"message":"You exceeded your current quota","type":"insufficient_quota"}})"),
         QStringLiteral("服务器返回了错误（You exceeded your current quota）")},
        {Reply::sse({R"(data: {"error":{"message":"model overloaded"}})"
                     "\n\n"}),
         QStringLiteral("服务器返回了错误（model overloaded）")},
        {page, QStringLiteral("服务器返回了网页而不是模型输出（Hotel Wi-Fi Login）")},
        {Reply::json(200, "{}"), QStringLiteral("服务器返回的 JSON 中没有模型输出（{}）")},
        {Reply::json(200, ""), QStringLiteral("服务器返回了空响应")},
    };
    const LLMProviderOption custom = LLMProviderOption::custom;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cameBack.toStdString());
        answerWithReply(c.reply);
        const QString reason = QStringLiteral("模型没有输出任何文字，") + c.cameBack;

        drive(*watch(state().runLLMProviderBenchmark(custom, h.localBase, QStringLiteral("m"), {})));
        EXPECT_EQ(state().llmProviderBenchmarkSummaries().value(custom),
                  QStringLiteral("❌ 测速未通过：") + reason);

        EXPECT_FALSE(activate(custom, h.localBase, QStringLiteral("m"), {}));
        EXPECT_EQ(state().statusBanner(), kRefused + reason);
        EXPECT_EQ(state().llmActivationErrors().value(custom), kRefused + reason);
        EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::deepseek) << "nothing activated";
    }
    answerWith(QStringLiteral("好的"));
    EXPECT_TRUE(activate(custom, h.localBase, QStringLiteral("m"), {}));
    EXPECT_EQ(state().llmConfig().selectedProvider, custom);
}
