#include "platform/linux/LibsecretStore.h"
#include "core/KeychainHelper.h"
#include "util/AppIdentity.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QProcess>
#include <gtest/gtest.h>

namespace {
const QString kService = AppIdentity::bundleIdentifier();

// Locks the login collection as the desktop does when the screen locks, through the Secret Service itself.
bool lockLoginCollection()
{
    QProcess gdbus;
    gdbus.start(QStringLiteral("gdbus"),
                {QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
                 QStringLiteral("org.freedesktop.secrets"), QStringLiteral("--object-path"),
                 QStringLiteral("/org/freedesktop/secrets"), QStringLiteral("--method"),
                 QStringLiteral("org.freedesktop.Secret.Service.Lock"),
                 QStringLiteral("['/org/freedesktop/secrets/collection/login']")});
    return gdbus.waitForFinished(10000) && gdbus.exitCode() == 0;
}
} // namespace

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
    ASSERT_TRUE(QCoro::waitFor(keychain.saveAPIKey(QStringLiteral("sk-live"), LLMProviderOption::anthropic)));
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
    EXPECT_TRUE(QCoro::waitFor(keychain.refresh()).status);
    EXPECT_EQ(keychain.loadVolcSpeechAPIKey(), QStringLiteral("speech-from-cli"))
        << "seen at the next refresh";
}

// Last in this file: the collection stays locked until the fixture stops the keyring (unlocking needs a
// prompt). A locked keyring is a failure that says so, never a missing key, and never a prompt: a prompt
// would leave the call waiting or end it with another error. The times are printed, never judged (a call
// that hangs meets the test's time-out).
TEST(LibsecretStore, LockedKeyringIsAFailureNeverAMissingKey)
{
    LibsecretStore store;
    KeychainHelper keychain(store);
    qunsetenv("QUORBELL_API_KEY");
    ASSERT_TRUE(
        QCoro::waitFor(keychain.saveAPIKey(QStringLiteral("sk-before-lock"), LLMProviderOption::openai)));
    ASSERT_TRUE(QCoro::waitFor(keychain.refresh()).status);
    ASSERT_TRUE(lockLoginCollection());

    const QString account = KeychainHelper::providerSlot(LLMProviderOption::openai);
    QElapsedTimer timer;
    timer.start();
    const SecretLookup locked = store.read(kService, account);
    const qint64 readMs = timer.elapsed();
    EXPECT_FALSE(locked.status.ok) << "a locked keyring is not an empty one";
    EXPECT_EQ(locked.status.error, QStringLiteral("钥匙环已锁定，请先解锁登录钥匙环"))
        << "and says it is locked";
    EXPECT_FALSE(locked.secret.has_value());
    const SecretLookup missing = store.read(kService, QStringLiteral("never_stored"));
    EXPECT_FALSE(missing.status.ok) << "nothing can be said missing from a locked keyring";

    timer.restart();
    const Status saved = store.store(kService, account, QStringLiteral("sk-during-lock"));
    const qint64 storeMs = timer.elapsed();
    EXPECT_FALSE(saved.ok);
    EXPECT_FALSE(store.remove(kService, account).ok);

    timer.restart();
    const KeychainHelper::Refresh refreshed = QCoro::waitFor(keychain.refresh());
    const qint64 refreshMs = timer.elapsed();
    EXPECT_FALSE(refreshed.status.ok) << "the helper reports the failure";
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::openai), QStringLiteral("sk-before-lock"))
        << "and keeps the key it read before";
    const Status failedSave =
        QCoro::waitFor(keychain.saveAPIKey(QStringLiteral("sk-during-lock"), LLMProviderOption::openai));
    EXPECT_FALSE(failedSave.ok);
    EXPECT_EQ(keychain.loadAPIKey(LLMProviderOption::openai), QStringLiteral("sk-before-lock"));
    std::printf("locked keyring: read %lld ms, store %lld ms, helper refresh %lld ms (%s)\n",
                static_cast<long long>(readMs), static_cast<long long>(storeMs),
                static_cast<long long>(refreshMs), qPrintable(locked.status.error));
}

// Run alone by keyring_absent_test, whose session bus address has no bus behind it: with no Secret Service
// every call fails and says so, and a read never passes for a key that is not stored.
TEST(LibsecretStoreWithoutService, AnAbsentServiceIsAFailureThatSaysSo)
{
    if (!qEnvironmentVariableIsSet("QB_NO_SECRET_SERVICE"))
        GTEST_SKIP() << "needs a session without a Secret Service (keyring_absent_test)";
    LibsecretStore store;
    const QString absent = QStringLiteral("没有可用的密钥服务 Secret Service（");
    const SecretLookup lookup = store.read(kService, QStringLiteral("quorbell_test_key"));
    EXPECT_FALSE(lookup.status.ok) << "an absent service is no empty keyring";
    EXPECT_FALSE(lookup.secret.has_value());
    EXPECT_TRUE(lookup.status.error.startsWith(absent)) << qPrintable(lookup.status.error);
    const Status stored = store.store(kService, QStringLiteral("quorbell_test_key"), QStringLiteral("sk"));
    EXPECT_FALSE(stored.ok);
    EXPECT_TRUE(stored.error.startsWith(absent)) << qPrintable(stored.error);
}
