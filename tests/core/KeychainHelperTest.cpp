#include "core/KeychainHelper.h"

#include "fakes/FakeSecretStore.h"
#include "util/AppIdentity.h"

#include <gtest/gtest.h>

namespace {

class KeychainHelperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_savedOverride = qgetenv("QUORBELL_API_KEY");
        qunsetenv("QUORBELL_API_KEY");
    }
    void TearDown() override { qputenv("QUORBELL_API_KEY", m_savedOverride); }
    std::optional<QString> stored(const char* slot) const
    {
        return store.secret(AppIdentity::bundleIdentifier(), QString::fromLatin1(slot));
    }
    void put(const char* slot, const QString& value)
    {
        store.store(AppIdentity::bundleIdentifier(), QString::fromLatin1(slot), value);
    }

    FakeSecretStore store;
    KeychainHelper keychain{store};

private:
    QByteArray m_savedOverride;
};

} // namespace

TEST_F(KeychainHelperTest, StoresPastedKeysBareReplacingTheItem)
{
    const std::pair<const char*, const char*> rows[] = {
        {"  sk-abc\n", "sk-abc"},          {"\"'sk-abc'\"", "sk-abc"},      {" \"sk-abc\" \n", "sk-abc"},
        {"BeArEr    sk-abc", "sk-abc"},    {"\"Bearer sk-abc\"", "sk-abc"}, // quotes go first, then the word
        {"Bearer \"sk-abc\"", "\"sk-abc"}, // quotes are trimmed only once, before the word
        {"Bearer   ", "Bearer"},           // the word alone is kept
    };
    for (const auto& [pasted, kept] : rows) {
        EXPECT_TRUE(keychain.saveAPIKey(QString::fromUtf8(pasted), LLMProviderOption::openai));
        EXPECT_EQ(stored("openai_api_key"), QString::fromUtf8(kept)) << pasted;
    }
    EXPECT_EQ(store.itemCount(), 1) << "each save replaces the item";

    ASSERT_TRUE(keychain.saveVolcSpeechAPIKey(QStringLiteral(" 'Bearer abc' ")));
    EXPECT_EQ(keychain.loadVolcSpeechAPIKey(), QStringLiteral("Bearer abc")) << "the speech key keeps it";
}

TEST_F(KeychainHelperTest, BlankKeyDeletesAndFailedSaveIsReported)
{
    const LLMProviderOption volc = LLMProviderOption::volcengine;
    ASSERT_TRUE(keychain.saveAPIKey(QStringLiteral("sk-1"), volc));
    EXPECT_EQ(stored("ark_api_key"), QStringLiteral("sk-1"));

    store.setWriteFailure(QStringLiteral("keyring locked"));
    EXPECT_FALSE(keychain.saveAPIKey(QStringLiteral("sk-2"), volc).ok) << "a failed save is never success";
    EXPECT_EQ(stored("ark_api_key"), QStringLiteral("sk-1")) << "and the old key survives it";
    store.setWriteFailure(std::nullopt);

    ASSERT_TRUE(keychain.saveAPIKey(QStringLiteral("  \n"), volc));
    EXPECT_FALSE(stored("ark_api_key").has_value());
    EXPECT_FALSE(keychain.hasSavedAPIKey(volc));

    ASSERT_TRUE(keychain.saveAPIKey(QStringLiteral("sk-3"), volc));
    store.setReadFailure(QStringLiteral("no service"));
    EXPECT_EQ(keychain.loadAPIKey(volc), QString()) << "a failed read is no key";
}

TEST_F(KeychainHelperTest, EnvironmentOverridesEveryProviderButNeverReachesTheStore)
{
    put("openai_api_key", QStringLiteral("stored"));
    put("volc_speech_api_key", QStringLiteral("speech"));
    qputenv("QUORBELL_API_KEY", " from-env ");
    for (LLMProviderOption provider : LLMProviderOption::allCases()) {
        EXPECT_EQ(keychain.loadAPIKey(provider), QStringLiteral(" from-env ")) << "used as it is";
        EXPECT_TRUE(keychain.hasSavedAPIKey(provider));
    }
    EXPECT_EQ(keychain.loadVolcSpeechAPIKey(), QStringLiteral("speech"));
    EXPECT_EQ(store.itemCount(), 2) << "the environment key is never written";

    qputenv("QUORBELL_API_KEY", "");
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::openai), QStringLiteral("stored"));
}

TEST_F(KeychainHelperTest, DeepSeekTakesOverTheOlderSingleKeyOnce)
{
    put("llm_api_key", QStringLiteral("  sk-legacy "));
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::openai), QString()) << "only DeepSeek looks there";
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::deepseek), QStringLiteral("  sk-legacy "));
    EXPECT_EQ(stored("deepseek_api_key"), QStringLiteral("sk-legacy"));
    EXPECT_EQ(stored("llm_api_key"), QStringLiteral("  sk-legacy ")) << "the older slot is left in place";
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::deepseek), QStringLiteral("sk-legacy"));
}

TEST_F(KeychainHelperTest, TranscriptionKeyResolution)
{
    const QString groq = QStringLiteral("https://API.GROQ.COM/openai/v1");
    const QString openai = QStringLiteral("https://api.openai.com/v1");
    put("openai_api_key", QStringLiteral("sk-openai"));
    EXPECT_EQ(keychain.loadEffectiveOpenAIASRAPIKey(groq), QString()) << "no OpenAI key goes to Groq";
    EXPECT_FALSE(keychain.isReusingOpenAILLMKeyForASR(groq));
    EXPECT_EQ(keychain.loadEffectiveOpenAIASRAPIKey(openai), QStringLiteral("sk-openai"));
    EXPECT_EQ(keychain.loadEffectiveOpenAIASRAPIKey(QStringLiteral("http://relay.local/v1")),
              QStringLiteral("sk-openai"));
    EXPECT_TRUE(keychain.isReusingOpenAILLMKeyForASR(openai));

    ASSERT_TRUE(keychain.saveOpenAIASRAPIKey(QStringLiteral("gsk-own")));
    EXPECT_EQ(keychain.loadEffectiveOpenAIASRAPIKey(groq), QStringLiteral("gsk-own"));
    EXPECT_EQ(keychain.loadEffectiveOpenAIASRAPIKey(openai), QStringLiteral("gsk-own"));
    EXPECT_FALSE(keychain.isReusingOpenAILLMKeyForASR(openai));
}
