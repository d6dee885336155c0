#include "core/KeychainHelper.h"
#include "platform/linux/LibsecretStore.h"
#include "util/AppIdentity.h"

#include <QProcess>
#include <gtest/gtest.h>

namespace {
const QString kService = AppIdentity::bundleIdentifier();
}

TEST(LibsecretStore, StoresReplacesAndRemovesRealItems)
{
    LibsecretStore store;
    const QString account = QStringLiteral("quorbell_test_key");
    ASSERT_TRUE(store.remove(kService, account)) << "removing a missing item succeeds";
    const SecretLookup missing = store.read(kService, account);
    ASSERT_TRUE(missing.status.ok) << qPrintable(missing.status.error);
    EXPECT_FALSE(missing.secret.has_value());

    ASSERT_TRUE(store.store(kService, account, QStringLiteral("sk-первый-密钥")));
    EXPECT_EQ(store.read(kService, account).secret, QStringLiteral("sk-первый-密钥"));
    ASSERT_TRUE(store.store(kService, account, QStringLiteral("sk-second")));
    EXPECT_EQ(store.read(kService, account).secret, QStringLiteral("sk-second")) << "a save replaces the item";
    EXPECT_FALSE(store.read(QStringLiteral("org.example.Other"), account).secret.has_value())
        << "items are per service";

    ASSERT_TRUE(store.remove(kService, account));
    EXPECT_FALSE(store.read(kService, account).secret.has_value());
}

TEST(LibsecretStore, KeychainHelperRoundTripThroughTheKeyring)
{
    LibsecretStore store;
    KeychainHelper::installStore(&store);
    qunsetenv("QUORBELL_API_KEY");
    ASSERT_TRUE(KeychainHelper::saveAPIKey(QStringLiteral(" Bearer sk-live "), LLMProviderOption::anthropic));
    EXPECT_EQ(KeychainHelper::loadAPIKey(LLMProviderOption::anthropic), QStringLiteral("sk-live"));
    EXPECT_EQ(store.read(kService, QStringLiteral("anthropic_api_key")).secret, QStringLiteral("sk-live"));
    // Another Secret Service client finds the key under our service and slot.
    QProcess lookup;
    lookup.start(QStringLiteral("secret-tool"), {QStringLiteral("lookup"), QStringLiteral("service"), kService,
                                                 QStringLiteral("account"), QStringLiteral("anthropic_api_key")});
    ASSERT_TRUE(lookup.waitForFinished(10000));
    EXPECT_EQ(lookup.readAllStandardOutput().trimmed(), QByteArray("sk-live"));
    // And a key stored by another client under our service and slot is ours too.
    QProcess storeKey;
    storeKey.start(QStringLiteral("secret-tool"), {QStringLiteral("store"), QStringLiteral("--label=Quorbell"),
                                                   QStringLiteral("service"), kService, QStringLiteral("account"),
                                                   QStringLiteral("volc_speech_api_key")});
    storeKey.write("speech-from-cli");
    storeKey.closeWriteChannel();
    ASSERT_TRUE(storeKey.waitForFinished(10000));
    EXPECT_EQ(KeychainHelper::loadVolcSpeechAPIKey(), QStringLiteral("speech-from-cli"));
    ASSERT_TRUE(KeychainHelper::saveAPIKey(QString(), LLMProviderOption::anthropic));
    EXPECT_FALSE(KeychainHelper::hasSavedAPIKey(LLMProviderOption::anthropic));
    KeychainHelper::installStore(nullptr);
}
