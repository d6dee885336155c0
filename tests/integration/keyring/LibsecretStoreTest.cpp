#include "platform/linux/LibsecretStore.h"
#include "core/KeychainHelper.h"
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
    EXPECT_EQ(store.read(kService, account).secret, QStringLiteral("sk-second"))
        << "a save replaces the item";
    EXPECT_FALSE(store.read(QStringLiteral("org.example.Other"), account).secret.has_value())
        << "items are per service";

    ASSERT_TRUE(store.remove(kService, account));
    EXPECT_FALSE(store.read(kService, account).secret.has_value());
}

// Another Secret Service client, secret-tool, finds what we save and we find what it stores, under our
// service and the slot's account name.
TEST(LibsecretStore, KeysAreSharedWithOtherSecretServiceClients)
{
    LibsecretStore store;
    KeychainHelper keychain(store);
    qunsetenv("QUORBELL_API_KEY");
    ASSERT_TRUE(keychain.saveAPIKey(QStringLiteral("sk-live"), LLMProviderOption::anthropic));
    QProcess lookup;
    lookup.start(QStringLiteral("secret-tool"),
                 {QStringLiteral("lookup"), QStringLiteral("service"), kService, QStringLiteral("account"),
                  QStringLiteral("anthropic_api_key")});
    ASSERT_TRUE(lookup.waitForFinished(10000));
    EXPECT_EQ(lookup.readAllStandardOutput().trimmed(), QByteArray("sk-live"));

    QProcess storeKey;
    storeKey.start(QStringLiteral("secret-tool"),
                   {QStringLiteral("store"), QStringLiteral("--label=Quorbell"), QStringLiteral("service"),
                    kService, QStringLiteral("account"), QStringLiteral("volc_speech_api_key")});
    storeKey.write("speech-from-cli");
    storeKey.closeWriteChannel();
    ASSERT_TRUE(storeKey.waitForFinished(10000));
    EXPECT_EQ(keychain.loadVolcSpeechAPIKey(), QStringLiteral("speech-from-cli"));
}
