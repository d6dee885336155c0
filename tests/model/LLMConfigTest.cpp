#include "model/LLMConfig.h"

#include "util/FileIO.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>

namespace {

const QString kDeepSeekURL = QStringLiteral("https://api.deepseek.com/v1");
const QString kSiliconFlowURL = QStringLiteral("https://api.siliconflow.cn/v1");

LLMConfig read(const char* json, const QString& arkEndpoint = {})
{
    const auto config = LLMConfig::fromJson(QJsonDocument::fromJson(json).object(), arkEndpoint);
    EXPECT_TRUE(config.has_value());
    return config.value_or(LLMConfig{});
}

LLMConfig roundTrip(const LLMConfig& config)
{
    const QByteArray bytes = QJsonDocument(config.toJson()).toJson(QJsonDocument::Compact);
    return LLMConfig::fromJson(QJsonDocument::fromJson(bytes).object()).value_or(LLMConfig{});
}

} // namespace

TEST(LLMConfig, FirstRunRecordAndItsFile)
{
    const LLMConfig config = LLMConfig::defaults();
    EXPECT_EQ(config, LLMConfig{}) << "the member initialisers are the first-run record";
    EXPECT_EQ(config.toJson().size(), 19) << "every key is always written";
    EXPECT_EQ(read("{}"), config) << "an empty object reads as the first run";
    EXPECT_FALSE(LLMConfig::fromJson(QJsonValue(QJsonArray{})).has_value());
}

TEST(LLMConfig, MemberwiseConstructionKeepsItsInvariants)
{
    const LLMConfig custom = LLMConfig::make({.baseURL = QStringLiteral("http://localhost:11434/v1"),
                                              .modelName = QStringLiteral("qwen3"),
                                              .customBaseURL = kSiliconFlowURL,
                                              .enableVolcSeedASR = false});
    EXPECT_EQ(custom.selectedProvider, LLMProviderOption::custom);
    EXPECT_EQ(custom.customBaseURL, QStringLiteral("http://localhost:11434/v1"));
    EXPECT_EQ(custom.providerModels.value(QStringLiteral("custom")), QStringLiteral("qwen3"));
    EXPECT_EQ(custom.asrProvider, ASRProviderOption::localSenseVoice);

    const LLMConfig forced = LLMConfig::make({.baseURL = kDeepSeekURL,
                                              .asrProvider = ASRProviderOption::openAIWhisper,
                                              .enableVolcSeedASR = true});
    EXPECT_FALSE(forced.enableVolcSeedASR) << "the older flag always follows the engine";
}

TEST(LLMConfig, ReadsDamagedAndOlderFilesKeyByKey)
{
    const LLMConfig dashscope = read(R"({"baseURL":"https://dashscope.aliyuncs.com/compatible-mode/v1"})");
    EXPECT_EQ(dashscope.selectedProvider, LLMProviderOption::dashscope);
    EXPECT_EQ(dashscope.modelName, QStringLiteral("deepseek-flash"));
    EXPECT_EQ(dashscope.customBaseURL, kSiliconFlowURL);
    EXPECT_EQ(dashscope.providerModels,
              (QMap<QString, QString>{{QStringLiteral("dashscope"), QStringLiteral("deepseek-flash")}}));

    EXPECT_EQ(read(R"({"modelName":"deepseek-chat"})").modelName, QStringLiteral("deepseek-flash"));
    EXPECT_EQ(read(R"({"modelName":""})").modelName, QStringLiteral("deepseek-flash"));
    EXPECT_EQ(read(R"({"modelName":" "})").modelName, QStringLiteral(" ")) << "a blank is not empty";
    EXPECT_EQ(read(R"({"modelName":42})").modelName, QStringLiteral("deepseek-flash"));

    EXPECT_EQ(
        read(R"({"selectedProvider":"mistral","baseURL":"https://api.openai.com/v1"})").selectedProvider,
        LLMProviderOption::openai);
    // A provider value that does not read: the stand-in keeps the model remembered for it, and the other
    // providers' models stay.
    for (const char* provider : {"7", "null", "\"\"", "\"lmstudio\""}) {
        SCOPED_TRACE(provider);
        const QByteArray json =
            QByteArray(R"({"selectedProvider":)") + provider +
            R"(,"customBaseURL":"http://localhost:1234/v1","baseURL":"http://localhost:1234/v1",)"
            R"("modelName":"deepseek-ai/DeepSeek-V3","providerModels":{"custom":"local-model","openai":"gpt-5-mini"}})";
        const LLMConfig unusable = read(json.constData());
        EXPECT_EQ(unusable.selectedProvider, LLMProviderOption::custom);
        EXPECT_EQ(unusable.modelName, QStringLiteral("local-model"));
        EXPECT_EQ(unusable.providerModels.value(QStringLiteral("custom")), QStringLiteral("local-model"));
        EXPECT_EQ(unusable.providerModels.value(QStringLiteral("openai")), QStringLiteral("gpt-5-mini"));
    }
    const LLMConfig customNoRemembered = read(R"({"selectedProvider":"custom","baseURL":"http://relay/v1"})");
    EXPECT_EQ(customNoRemembered.customBaseURL, QStringLiteral("http://relay/v1"));

    const LLMConfig local = read(R"({"enableVolcSeedASR":false})");
    EXPECT_EQ(local.asrProvider, ASRProviderOption::localSenseVoice);
    EXPECT_FALSE(local.enableVolcSeedASR);
    const LLMConfig whisper = read(R"({"asrProvider":"openAIWhisper","enableVolcSeedASR":true})");
    EXPECT_EQ(whisper.asrProvider, ASRProviderOption::openAIWhisper);
    EXPECT_FALSE(whisper.enableVolcSeedASR);
    EXPECT_EQ(read(R"({"asrProvider":"siri","enableVolcSeedASR":"no"})").asrProvider,
              ASRProviderOption::volcSeedASR);

    EXPECT_EQ(read(R"({"openAIASRModel":"  \n"})").openAIASRModel, QStringLiteral("gpt-4o-mini-transcribe"));
    EXPECT_EQ(read(R"({"openAIASRBaseURL":""})").openAIASRBaseURL,
              QStringLiteral("https://api.openai.com/v1"));
    EXPECT_EQ(read(R"({"speechLocale":""})").speechLocale, QString()) << "an empty locale is kept";
    EXPECT_EQ(read(R"({"showInDock":1,"enableAutoLearn":null})"), LLMConfig::defaults());
    EXPECT_TRUE(read(R"({"providerModels":{"openai":"gpt-5-mini","gemini":7}})").providerModels.size() == 1)
        << "a map with a non-text value does not read";
}

TEST(LLMConfig, OlderArkEndpointIdentifierFillsOnlyAMissingEntry)
{
    const QString endpoint = QStringLiteral("ep-20250101-abcde");
    EXPECT_EQ(read("{}", endpoint).providerModels.value(QStringLiteral("volcengine")), endpoint);
    EXPECT_EQ(read(R"({"providerModels":{"volcengine":"doubao-x"}})", endpoint)
                  .providerModels.value(QStringLiteral("volcengine")),
              QStringLiteral("doubao-x"));
    const LLMConfig active = read(
        R"({"selectedProvider":"volcengine","baseURL":"https://ark.cn-beijing.volces.com/api/v3","modelName":"doubao-now"})",
        endpoint);
    EXPECT_EQ(active.providerModels.value(QStringLiteral("volcengine")), QStringLiteral("doubao-now"))
        << "the current model wins over the older identifier";
}

TEST(LLMConfig, HandWrittenFileDecodesAndRoundTrips)
{
    const auto bytes = FileIO::readAll(QStringLiteral(QB_FIXTURES_DIR "/core/config.json"));
    ASSERT_TRUE(bytes.has_value());
    const auto config = LLMConfig::fromJson(QJsonDocument::fromJson(*bytes).object());
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->selectedProvider, LLMProviderOption::custom);
    EXPECT_EQ(config->baseURL, QStringLiteral("https://relay.example.net/v1")) << "escaped slashes read back";
    EXPECT_EQ(config->customBaseURL, QStringLiteral("https://relay.example.net/v1"));
    EXPECT_EQ(config->providerModels,
              (QMap<QString, QString>{{QStringLiteral("openai"), QStringLiteral("gpt-5-mini")},
                                      {QStringLiteral("deepseek"), QStringLiteral("deepseek-flash")},
                                      {QStringLiteral("custom"), QStringLiteral("qwen-max")}}));
    EXPECT_EQ(config->formattingStyle, FormattingStyle::lightPolish);
    EXPECT_EQ(config->asrProvider, ASRProviderOption::openAIWhisper);
    EXPECT_FALSE(config->enableVolcSeedASR);
    EXPECT_EQ(config->openAIASRBaseURL, QStringLiteral("http://127.0.0.1:8080/v1"));
    EXPECT_TRUE(config->enableLiveInlineTyping);
    EXPECT_FALSE(config->enableFastBypassForShortPhrases);
    EXPECT_FALSE(config->enablePanguSpacing);
    EXPECT_FALSE(config->enableAutoLearn);
    EXPECT_TRUE(config->showInDock);
    EXPECT_EQ(config->speechLocale, QStringLiteral("en-US"));
    EXPECT_EQ(roundTrip(*config), *config);
    EXPECT_EQ(roundTrip(LLMConfig::defaults()), LLMConfig::defaults());
}

TEST(LLMConfig, SwitchingProvidersRemembersModelsAndSyncsEdits)
{
    LLMConfig config = LLMConfig::defaults();
    config.providerModels.clear();
    config.selectProvider(LLMProviderOption::openai);
    EXPECT_EQ(config.baseURL, QStringLiteral("https://api.openai.com/v1"));
    EXPECT_EQ(config.modelName, QStringLiteral("gpt-4.1-mini"));
    EXPECT_EQ(config.providerModels,
              (QMap<QString, QString>{{QStringLiteral("deepseek"), QStringLiteral("deepseek-flash")}}));
    config.selectProvider(LLMProviderOption::deepseek);
    EXPECT_EQ(config.modelName, QStringLiteral("deepseek-flash"));
    EXPECT_EQ(config.providerModels.value(QStringLiteral("openai")), QStringLiteral("gpt-4.1-mini"));

    config.selectProvider(LLMProviderOption::custom);
    EXPECT_EQ(config.baseURL, kSiliconFlowURL);
    config.baseURL = QStringLiteral("https://relay.example.net/v1");
    config.selectProvider(LLMProviderOption::deepseek);
    EXPECT_EQ(config.customBaseURL, QStringLiteral("https://relay.example.net/v1"));
    config.selectProvider(LLMProviderOption::custom);
    EXPECT_EQ(config.baseURL, QStringLiteral("https://relay.example.net/v1"));
    config.baseURL = QStringLiteral("   ");
    config.selectProvider(LLMProviderOption::openai);
    EXPECT_EQ(config.customBaseURL, QStringLiteral("https://relay.example.net/v1"))
        << "a blank URL is not kept";

    config.providerModels.insert(QStringLiteral("gemini"), QStringLiteral("  gemini-2.5-flash \n"));
    config.selectProvider(LLMProviderOption::gemini);
    EXPECT_EQ(config.modelName, QStringLiteral("gemini-2.5-flash"));
    config.baseURL = QStringLiteral("https://proxy.example/gemini");
    config.selectProvider(LLMProviderOption::openai);
    config.selectProvider(LLMProviderOption::gemini);
    EXPECT_EQ(config.baseURL, QStringLiteral("https://generativelanguage.googleapis.com/v1beta/openai"))
        << "a built-in provider's typed URL is not remembered";

    config.selectProvider(LLMProviderOption::custom);
    config.modelName = QStringLiteral("glm-5");
    config.baseURL = QStringLiteral("http://127.0.0.1:1234/v1");
    config.syncActiveEndpointEdits();
    EXPECT_EQ(config.providerModels.value(QStringLiteral("custom")), QStringLiteral("glm-5"));
    EXPECT_EQ(config.customBaseURL, QStringLiteral("http://127.0.0.1:1234/v1"));

    config.selectASRProvider(ASRProviderOption::localSenseVoice);
    EXPECT_FALSE(config.enableVolcSeedASR);
    config.selectASRProvider(ASRProviderOption::volcSeedASR);
    EXPECT_TRUE(config.enableVolcSeedASR) << "the older flag follows the engine";
}
