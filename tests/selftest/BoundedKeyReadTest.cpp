#include "selftest/BoundedKeyRead.h"
#include "core/KeychainHelper.h"
#include "fakes/FakeSecretStore.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

using namespace std::chrono_literals;

namespace {

// A keyring that does not answer until released.
class StalledSecretStore final : public SecretStore {
public:
    SecretLookup read(const QString&, const QString&) override
    {
        std::unique_lock lock(m_mutex);
        m_released.wait(lock, [this] { return m_release; });
        return SecretLookup::found(QStringLiteral("too-late"));
    }
    Status store(const QString&, const QString&, const QString&) override { return Status::success(); }
    Status remove(const QString&, const QString&) override { return Status::success(); }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_release = true;
        m_released.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_release = false;
};

} // namespace

TEST(BoundedKeyRead, AKeyringThatDoesNotAnswerOrFailsYieldsNoKeyAndSaysWhy)
{
    const auto speechKey = [](const KeychainHelper& keys) {
        return keys.readSlot(KeychainHelper::kVolcSpeechSlot).value_or(QString());
    };

    auto store = std::make_shared<FakeSecretStore>();
    KeychainHelper(*store).saveVolcSpeechAPIKey(QStringLiteral("speech-key"));
    BoundedKeyRead read = readKeyWithin(store, speechKey, 30s);
    EXPECT_EQ(read.key, QStringLiteral("speech-key"));
    EXPECT_TRUE(read.problem.isEmpty());

    store->setReadFailure(QStringLiteral("collection is locked"));
    read = readKeyWithin(store, speechKey, 30s);
    EXPECT_TRUE(read.key.isEmpty());
    EXPECT_EQ(read.problem, QStringLiteral("collection is locked"));

    auto stalled = std::make_shared<StalledSecretStore>();
    read = readKeyWithin(stalled, speechKey, 20ms);
    stalled->release(); // the abandoned read finishes on its own thread
    EXPECT_TRUE(read.key.isEmpty());
    EXPECT_EQ(read.problem, QStringLiteral("the keyring did not answer within 20 ms"));
}
