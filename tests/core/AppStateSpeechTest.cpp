#include "AppStateHarness.h"
#include "audio/SeedASRTestServer.h"
#include "audio/VolcSeedASRClient.h"
#include "lexicon/PersonalLexiconStore.h"
#include "support/QtPrinters.h"
#include "support/TranscriptionNonAnswers.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Reply = ScriptedHttpServer::Reply;

namespace {

const QString kRefused = QStringLiteral("❌ 校验未通过，未生效：");

class AppStateSpeechTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(seed.listen());
        // The service answers the probe's last audio frame.
        seed.onFrame = [](SeedASRTestServer::Connection& c, const SeedASRTestServer::ClientFrame& frame) {
            if (frame.isLastAudio())
                c.send(SeedASRTestServer::transcriptFrame(1, QString()));
        };
        h.server.setHandler([](const ScriptedHttpServer::Request& request) {
            return Reply::json(200,
                               request.path.endsWith("/audio/transcriptions") ? R"({"text":"嗯"})" : "{}");
        });
        h.build();
        h.engine->seedProbe = [this, url = seed.url()](QString key, QString resourceID) {
            return VolcSeedASRClient::probeHandshakeLatency(std::move(key), std::move(resourceID),
                                                            h.scheduler, url);
        };
        h.settleStartup();
    }

    AppState& state() { return *h.state; }
    QString lexiconCount() const { return QString::number(h.state->lexiconStore().entries().size()); }

    bool activate(ASRProviderOption provider)
    {
        auto task = watch(state().activateASRProvider(provider));
        EXPECT_TRUE(h.settle([&] { return task->done; }));
        return task->ok;
    }

    void setASRBase(const QString& base, const QString& model)
    {
        h.changeConfig([&](LLMConfig& config) {
            config.openAIASRBaseURL = base;
            config.openAIASRModel = model;
        });
    }

    int transcriptionRequests() const
    {
        return int(
            std::count_if(h.server.requests().begin(), h.server.requests().end(), [](const auto& request) {
                return request.path.endsWith("/audio/transcriptions");
            }));
    }

    SeedASRTestServer seed;
    AppStateHarness h;
};

} // namespace

TEST_F(AppStateSpeechTest, SeedASRActivationProbesTheStoredKey)
{
    state().selectASRProvider(ASRProviderOption::localSenseVoice);
    EXPECT_FALSE(activate(ASRProviderOption::volcSeedASR));
    const QString missing = QStringLiteral("❌ 无法生效：请先填入火山豆包语音 API Key（当前配置未生效）");
    EXPECT_EQ(state().statusBanner(), missing);
    EXPECT_EQ(state().asrActivationErrors().value(ASRProviderOption::volcSeedASR), missing);
    EXPECT_EQ(seed.connectionCount(), 0) << "nothing is sent without a key";

    ASSERT_TRUE(h.await(h.keychain.saveVolcSpeechAPIKey(QStringLiteral("volc-stored"))));
    EXPECT_TRUE(activate(ASRProviderOption::volcSeedASR)) << state().statusBanner().toStdString();
    EXPECT_EQ(h.engine->seedProbeKeys, QStringList{QStringLiteral("volc-stored")});
    EXPECT_EQ(seed.connectionCount(), 1);
    EXPECT_EQ(state().llmConfig().asrProvider, ASRProviderOption::volcSeedASR);
    EXPECT_EQ(state().lastSeedASRProbeSummary(),
              QStringLiteral("⚡ 校验通过并已生效（volc.seedasr.sauc.duration）：国内直连首帧 1ms · 已挂载 ") +
                  lexiconCount() + QStringLiteral(" 个专属热词"));
    EXPECT_TRUE(state().statusBanner().startsWith(QStringLiteral("✅ 豆包流式语音大模型 2.0 校验通过")));
    EXPECT_TRUE(state().asrActivationErrors().isEmpty());
    EXPECT_FALSE(state().activatingASRProvider().has_value());
}

TEST_F(AppStateSpeechTest, ConcurrentActivationIsRefusedAndAStalledProbeFailsWithoutSwitching)
{
    state().selectASRProvider(ASRProviderOption::localSenseVoice);
    seed.setHandshakes({SeedASRTestServer::Handshake::stall});
    state().setVolcSpeechKeyInput(QStringLiteral(" volc-typed "));
    auto task = watch(state().activateASRProvider(ASRProviderOption::volcSeedASR));
    ASSERT_TRUE(h.settle([&] { return seed.connectionCount() == 1; }));
    EXPECT_EQ(state().volcSpeechKeyInput(), QStringLiteral("volc-typed")) << "the field shows the stored key";

    const QString banner = state().statusBanner();
    h.engine->localModelOnDisk = true;
    EXPECT_FALSE(activate(ASRProviderOption::localSenseVoice));
    EXPECT_EQ(state().statusBanner(), banner);
    EXPECT_EQ(h.engine->modelReloads, 0);
    EXPECT_TRUE(state().asrActivationErrors().isEmpty());

    h.scheduler.advance(8s); // the probe's overall limit
    ASSERT_TRUE(h.settle([&] { return task->done; }));
    EXPECT_FALSE(task->ok);
    EXPECT_TRUE(state().statusBanner().startsWith(kRefused));
    EXPECT_EQ(state().asrActivationErrors().value(ASRProviderOption::volcSeedASR), state().statusBanner());
    EXPECT_EQ(state().llmConfig().asrProvider, ASRProviderOption::localSenseVoice);
    EXPECT_FALSE(state().activatingASRProvider().has_value());
}

TEST_F(AppStateSpeechTest, TranscriptionActivationSettlesTheEndpointAndChecksTheKey)
{
    // Blank endpoint, no key anywhere: settled to OpenAI's defaults, refused before any request.
    setASRBase(QStringLiteral("  "), QStringLiteral(" "));
    EXPECT_FALSE(activate(ASRProviderOption::openAIWhisper));
    EXPECT_EQ(state().llmConfig().openAIASRBaseURL,
              LLMProviderOption(LLMProviderOption::openai).defaultBaseURL());
    EXPECT_EQ(state().llmConfig().openAIASRModel, QStringLiteral("gpt-4o-mini-transcribe"));
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("❌ 无法生效：缺少 OpenAI API Key，请先填入有效密钥（当前配置未生效）"));

    // Groq never borrows the OpenAI key.
    ASSERT_TRUE(h.await(h.keychain.saveAPIKey(QStringLiteral("sk-openai"), LLMProviderOption::openai)));
    state().refreshSavedKeyFlags();
    setASRBase(QStringLiteral("https://api.groq.com/openai/v1"), {});
    EXPECT_FALSE(activate(ASRProviderOption::openAIWhisper));
    EXPECT_EQ(state().llmConfig().openAIASRModel, QStringLiteral("whisper-large-v3-turbo"));
    EXPECT_TRUE(state().statusBanner().contains(QStringLiteral("缺少 Groq API Key")));
    EXPECT_NE(state().llmConfig().asrProvider, ASRProviderOption::openAIWhisper);
    EXPECT_EQ(transcriptionRequests(), 0);
    EXPECT_FALSE(state().isOpenAIASRReusingLLMKey());
    state().setOpenAIASRKeyInput(QStringLiteral("  gsk-typed "));
    EXPECT_EQ(state().effectiveOpenAIASRKey(), QStringLiteral("gsk-typed")) << "a typed key wins";
    state().setOpenAIASRKeyInput({});

    // A local service needs no key: the probe goes out and the engine is switched.
    ASSERT_TRUE(h.await(h.keychain.saveAPIKey({}, LLMProviderOption::openai)));
    state().refreshSavedKeyFlags();
    setASRBase(h.localBase, QStringLiteral("local-whisper"));
    EXPECT_TRUE(activate(ASRProviderOption::openAIWhisper)) << state().statusBanner().toStdString();
    EXPECT_EQ(transcriptionRequests(), 1);
    EXPECT_EQ(state().llmConfig().asrProvider, ASRProviderOption::openAIWhisper);
    const QString summary = state().lastOpenAIASRProbeSummary();
    EXPECT_TRUE(summary.startsWith(QStringLiteral("⚡ 校验通过并已生效（local-whisper）：音频上传+转写 ")) &&
                summary.endsWith(QStringLiteral("ms · 独立密钥 · 将注入 Top-") + lexiconCount() +
                                 QStringLiteral(" 词库提示")))
        << summary.toStdString();
    EXPECT_TRUE(state().statusBanner().startsWith(QStringLiteral("✅ OpenAI 语音大模型 校验通过")));
}

TEST_F(AppStateSpeechTest, LocalModelActivationAndALoadThatFailsLater)
{
    EXPECT_FALSE(activate(ASRProviderOption::localSenseVoice));
    EXPECT_TRUE(state().statusBanner().contains(QStringLiteral("离线模型尚未下载就绪")));

    h.engine->localModelOnDisk = true;
    EXPECT_TRUE(activate(ASRProviderOption::localSenseVoice));
    EXPECT_EQ(h.engine->modelReloads, 1) << "the model loads in the background";
    EXPECT_EQ(state().llmConfig().asrProvider, ASRProviderOption::localSenseVoice);

    // The background load fails after "ready" was shown: the user hears about it.
    ASSERT_TRUE(h.engine->onModelLoadFailed);
    h.engine->onModelLoadFailed(QStringLiteral("model.onnx 无法读取"));
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("❌ 本机 SenseVoice 离线模型加载失败：model.onnx 无法读取"));
    EXPECT_EQ(state().asrActivationErrors().value(ASRProviderOption::localSenseVoice),
              state().statusBanner());
}

TEST_F(AppStateSpeechTest, SavingKeysAndEndpoints)
{
    state().setVolcSpeechKeyInput({});
    h.await(state().saveVolcSpeechAPIKey());
    EXPECT_EQ(state().statusBanner(), QStringLiteral("已清空豆包语音密钥"));

    state().selectASRProvider(ASRProviderOption::openAIWhisper);
    state().setVolcSpeechKeyInput(QStringLiteral("volc-1"));
    h.await(state().saveVolcSpeechAPIKey());
    EXPECT_TRUE(state().statusBanner().startsWith(QStringLiteral("💾 豆包语音密钥已保存（尚未设为当前生效")))
        << "not the active engine";
    EXPECT_EQ(h.keychain.loadVolcSpeechAPIKey(), QStringLiteral("volc-1"));
    EXPECT_EQ(h.engine->appliedSettings.last().volcSpeechAPIKey, QStringLiteral("volc-1"));

    h.secrets.setWriteFailure(QStringLiteral("locked"));
    state().setVolcSpeechKeyInput(QStringLiteral("volc-2"));
    h.await(state().saveVolcSpeechAPIKey());
    EXPECT_EQ(state().statusBanner(), QStringLiteral("❌ 密钥保存失败：locked"));
    EXPECT_EQ(state().volcSpeechKeyInput(), QStringLiteral("volc-1"));
    h.secrets.setWriteFailure(std::nullopt);

    // The transcription endpoint is trimmed and an empty model means the default one.
    setASRBase(QStringLiteral(" ") + h.localBase + QStringLiteral(" "), {});
    h.await(state().saveOpenAIASRConfig());
    EXPECT_EQ(state().llmConfig().openAIASRBaseURL, h.localBase);
    EXPECT_EQ(state().llmConfig().openAIASRModel, QStringLiteral("gpt-4o-mini-transcribe"));

    state().selectASRProvider(ASRProviderOption::localSenseVoice);
    state().applyOpenAIASRPreset(QStringLiteral("https://api.groq.com/openai/v1"),
                                 QStringLiteral("whisper-large-v3"));
    EXPECT_EQ(state().llmConfig().openAIASRBaseURL, QStringLiteral("https://api.groq.com/openai/v1"));
    EXPECT_EQ(state().llmConfig().openAIASRModel, QStringLiteral("whisper-large-v3"));
    EXPECT_EQ(state().llmConfig().asrProvider, ASRProviderOption::localSenseVoice)
        << "a preset activates nothing";
}

TEST_F(AppStateSpeechTest, Probes)
{
    // The transcription probe stores the field as it is: blank deletes the dedicated key first.
    ASSERT_TRUE(h.await(h.keychain.saveOpenAIASRAPIKey(QStringLiteral("sk-old-asr"))));
    setASRBase(h.localBase, QStringLiteral("local-whisper"));
    state().setOpenAIASRKeyInput({});
    auto probe = watch(state().runOpenAIASRProbe());
    EXPECT_TRUE(h.settle([&] { return h.keychain.loadOpenAIASROverrideKey().isEmpty(); }));
    auto second = watch(state().runOpenAIASRProbe());
    EXPECT_TRUE(second->done) << "a second probe returns at once";
    ASSERT_TRUE(h.settle([&] { return probe->done; }));
    EXPECT_EQ(transcriptionRequests(), 1);
    EXPECT_TRUE(state().lastOpenAIASRProbeSummary().startsWith(QStringLiteral("⚡ 实测通过（local-whisper）")))
        << state().lastOpenAIASRProbeSummary().toStdString();
    EXPECT_FALSE(state().isProbingOpenAIASR());
    EXPECT_NE(state().llmConfig().asrProvider, ASRProviderOption::openAIWhisper)
        << "a probe activates nothing";

    // The Seed-ASR probe with no key: the client's own error, the banner left alone.
    state().setStatusBanner(QStringLiteral("kept"));
    probe = watch(state().runSeedASRProbe());
    ASSERT_TRUE(h.settle([&] { return probe->done; }));
    EXPECT_EQ(state().lastSeedASRProbeSummary(),
              QStringLiteral("❌ 豆包语音连通未通过：请先粘贴豆包语音 API Key"));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("kept"));

    state().setVolcSpeechKeyInput(QStringLiteral("volc-p"));
    probe = watch(state().runSeedASRProbe());
    ASSERT_TRUE(h.settle([&] { return probe->done; }));
    EXPECT_EQ(state().lastSeedASRProbeSummary(),
              QStringLiteral("⚡ 实测通过（volc.seedasr.sauc.duration）：国内直连握手+首帧 1ms · 已挂载 ") +
                  lexiconCount() + QStringLiteral(" 个专属热词"));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("⚡ 豆包 Seed-ASR 2.0 连通成功：首帧 1ms"));
    EXPECT_EQ(h.engine->appliedSettings.last().volcSpeechAPIKey, QStringLiteral("volc-p"));
    EXPECT_FALSE(state().isProbingSeedASR());
}

TEST_F(AppStateSpeechTest, ActivationOutlivedByItsStateEndsQuietly)
{
    seed.setHandshakes({SeedASRTestServer::Handshake::stall});
    ASSERT_TRUE(h.await(h.keychain.saveVolcSpeechAPIKey(QStringLiteral("volc-stored"))));
    auto orphan = watch(state().activateASRProvider(ASRProviderOption::volcSeedASR));
    ASSERT_TRUE(h.settle([&] { return seed.connectionCount() == 1; }));
    h.state.reset();
    h.scheduler.advance(8s);
    ASSERT_TRUE(h.settle([&] { return orphan->done; }));
    EXPECT_FALSE(orphan->ok);
}

// "⚡ 测速" and "校验并切换" accept exactly what dictation accepts: a 200 that is an error, an empty or
// wrongly typed object or a web page fails them and says what came back; a plain-text answer passes.
TEST_F(AppStateSpeechTest, TranscriptionChecksAcceptOnlyWhatDictationAccepts)
{
    setASRBase(h.localBase, QStringLiteral("local-whisper"));
    for (const TranscriptionNonAnswer& c : transcriptionNonAnswers()) {
        SCOPED_TRACE(c.reason.toStdString());
        h.server.setHandler([reply = c.reply](const ScriptedHttpServer::Request& request) {
            return request.path.endsWith("/audio/transcriptions") ? reply : Reply::json(200, "{}");
        });
        auto probe = watch(state().runOpenAIASRProbe());
        ASSERT_TRUE(h.settle([&] { return probe->done; }));
        EXPECT_EQ(state().lastOpenAIASRProbeSummary(),
                  QStringLiteral("❌ OpenAI 语音 连通未通过：") + c.reason);

        EXPECT_FALSE(activate(ASRProviderOption::openAIWhisper));
        EXPECT_EQ(state().statusBanner(), kRefused + c.reason);
        EXPECT_EQ(state().asrActivationErrors().value(ASRProviderOption::openAIWhisper), kRefused + c.reason);
        EXPECT_NE(state().llmConfig().asrProvider, ASRProviderOption::openAIWhisper) << "not switched";
    }

    // A server that ignores "response_format" and answers plain text is a working service.
    h.server.setHandler([](const ScriptedHttpServer::Request& request) {
        Reply plain;
        plain.pieces = {{request.path.endsWith("/audio/transcriptions") ? "嗯" : "", {}}};
        return plain;
    });
    EXPECT_TRUE(activate(ASRProviderOption::openAIWhisper)) << state().statusBanner().toStdString();
    EXPECT_EQ(state().llmConfig().asrProvider, ASRProviderOption::openAIWhisper);
}
