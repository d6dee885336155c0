#include "core/KeychainHelper.h"

#include "fakes/FakeSecretStore.h"
#include "util/AppIdentity.h"

#include <QCoroTask>
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
    // Stored by another client; the helper sees it at its next refresh.
    void put(const char* slot, const QString& value)
    {
        store.put(AppIdentity::bundleIdentifier(), QString::fromLatin1(slot), value);
    }
    KeychainHelper::Refresh refresh() { return QCoro::waitFor(keychain.refresh()); }
    template <typename T> static T await(QCoro::Task<T>&& task) { return QCoro::waitFor(std::move(task)); }

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
        EXPECT_TRUE(await(keychain.saveAPIKey(QString::fromUtf8(pasted), LLMProviderOption::openai)));
        EXPECT_EQ(stored("openai_api_key"), QString::fromUtf8(kept)) << pasted;
    }
    EXPECT_EQ(store.itemCount(), 1) << "each save replaces the item";

    ASSERT_TRUE(await(keychain.saveVolcSpeechAPIKey(QStringLiteral(" 'Bearer abc' "))));
    EXPECT_EQ(keychain.loadVolcSpeechAPIKey(), QStringLiteral("Bearer abc")) << "the speech key keeps it";
}

TEST_F(KeychainHelperTest, BlankKeyDeletesAndFailedSaveIsReported)
{
    const LLMProviderOption volc = LLMProviderOption::volcengine;
    ASSERT_TRUE(await(keychain.saveAPIKey(QStringLiteral("sk-1"), volc)));
    EXPECT_EQ(stored("ark_api_key"), QStringLiteral("sk-1"));
    EXPECT_EQ(keychain.loadAPIKey(volc), QStringLiteral("sk-1")) << "written through to the cache";

    store.setWriteFailure(QStringLiteral("keyring locked"));
    const Status failed = await(keychain.saveAPIKey(QStringLiteral("sk-2"), volc));
    EXPECT_FALSE(failed.ok) << "a failed save is never success";
    EXPECT_EQ(failed.error, QStringLiteral("keyring locked"));
    EXPECT_EQ(stored("ark_api_key"), QStringLiteral("sk-1")) << "and the old key survives it";
    EXPECT_EQ(keychain.loadAPIKey(volc), QStringLiteral("sk-1")) << "in the cache too";
    store.setWriteFailure(std::nullopt);

    ASSERT_TRUE(await(keychain.saveAPIKey(QStringLiteral("  \n"), volc)));
    EXPECT_FALSE(stored("ark_api_key").has_value());
    EXPECT_FALSE(keychain.hasSavedAPIKey(volc));

    ASSERT_TRUE(await(keychain.saveAPIKey(QStringLiteral("sk-3"), volc)));
    EXPECT_EQ(store.mainThreadCallCount(), 0) << "saves never wait on the keyring on the main thread";
}

TEST_F(KeychainHelperTest, RefreshSeesOtherClientsAndAFailingKeyringLosesNoKey)
{
    put("ark_api_key", QStringLiteral("ark-1"));
    EXPECT_FALSE(keychain.isLoaded());
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::volcengine), QString())
        << "nothing read yet, nothing waits";
    KeychainHelper::Refresh first = refresh();
    ASSERT_TRUE(first.status);
    EXPECT_TRUE(first.changed);
    EXPECT_TRUE(keychain.isLoaded());
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::volcengine), QStringLiteral("ark-1"));
    EXPECT_FALSE(refresh().changed) << "the same keys again";

    put("volc_speech_api_key", QStringLiteral("speech-from-cli"));
    EXPECT_TRUE(refresh().changed);
    EXPECT_EQ(keychain.loadVolcSpeechAPIKey(), QStringLiteral("speech-from-cli"));

    store.setReadFailure(QStringLiteral("the keyring is locked"));
    const int callsBefore = store.callCount();
    const KeychainHelper::Refresh failed = refresh();
    EXPECT_FALSE(failed.status.ok);
    EXPECT_EQ(failed.status.error, QStringLiteral("the keyring is locked"));
    EXPECT_FALSE(failed.changed);
    EXPECT_EQ(store.callCount(), callsBefore + 1) << "the first failure ends the pass";
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::volcengine), QStringLiteral("ark-1"))
        << "a key read before is not taken for gone";
    EXPECT_EQ(keychain.loadVolcSpeechAPIKey(), QStringLiteral("speech-from-cli"));
    EXPECT_EQ(store.mainThreadCallCount(), 0) << "the keyring is read off the main thread";
}

TEST_F(KeychainHelperTest, EnvironmentOverridesEveryProviderButNeverReachesTheStore)
{
    put("openai_api_key", QStringLiteral("stored"));
    put("volc_speech_api_key", QStringLiteral("speech"));
    ASSERT_TRUE(refresh().status);
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
    ASSERT_TRUE(refresh().status);
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::openai), QString()) << "only DeepSeek looks there";
    EXPECT_EQ(stored("deepseek_api_key"), QStringLiteral("sk-legacy"));
    EXPECT_EQ(stored("llm_api_key"), QStringLiteral("  sk-legacy ")) << "the older slot is left in place";
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::deepseek), QStringLiteral("sk-legacy"));
    put("deepseek_api_key", QStringLiteral("sk-new"));
    ASSERT_TRUE(refresh().status);
    EXPECT_EQ(stored("deepseek_api_key"), QStringLiteral("sk-new")) << "copied once, never over a newer key";
}

TEST_F(KeychainHelperTest, TranscriptionKeyResolution)
{
    const QString groq = QStringLiteral("https://API.GROQ.COM/openai/v1");
    const QString openai = QStringLiteral("https://api.openai.com/v1");
    put("openai_api_key", QStringLiteral("sk-openai"));
    ASSERT_TRUE(refresh().status);
    EXPECT_EQ(keychain.loadEffectiveOpenAIASRAPIKey(groq), QString()) << "no OpenAI key goes to Groq";
    EXPECT_FALSE(keychain.isReusingOpenAILLMKeyForASR(groq));
    EXPECT_EQ(keychain.loadEffectiveOpenAIASRAPIKey(openai), QStringLiteral("sk-openai"));
    EXPECT_EQ(keychain.loadEffectiveOpenAIASRAPIKey(QStringLiteral("http://relay.local/v1")),
              QStringLiteral("sk-openai"));
    EXPECT_TRUE(keychain.isReusingOpenAILLMKeyForASR(openai));

    ASSERT_TRUE(await(keychain.saveOpenAIASRAPIKey(QStringLiteral("gsk-own"))));
    EXPECT_EQ(keychain.loadEffectiveOpenAIASRAPIKey(groq), QStringLiteral("gsk-own"));
    EXPECT_EQ(keychain.loadEffectiveOpenAIASRAPIKey(openai), QStringLiteral("gsk-own"));
    EXPECT_FALSE(keychain.isReusingOpenAILLMKeyForASR(openai));
}
