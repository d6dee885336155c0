#include "selftest/BoundedKeyRead.h"

#include "core/KeychainHelper.h"
#include "platform/SecretStore.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Passes every call through and keeps the first failure, so the mode can say the keyring failed.
class FailureRecordingStore final : public SecretStore {
public:
    explicit FailureRecordingStore(SecretStore& inner) : m_inner(inner) {}

    SecretLookup read(const QString& service, const QString& account) override
    {
        SecretLookup lookup = m_inner.read(service, account);
        if (!lookup.status.ok && m_firstFailure.isEmpty())
            m_firstFailure = lookup.status.error;
        return lookup;
    }
    Status store(const QString&, const QString&, const QString&) override
    {
        return Status::failure(QStringLiteral("the speech modes never write to the keyring"));
    }
    Status remove(const QString&, const QString&) override
    {
        return Status::failure(QStringLiteral("the speech modes never write to the keyring"));
    }

    const QString& firstFailure() const { return m_firstFailure; }

private:
    SecretStore& m_inner;
    QString m_firstFailure;
};

struct SharedRead {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    BoundedKeyRead result;
};

} // namespace

BoundedKeyRead readKeyWithin(std::shared_ptr<SecretStore> store,
                             std::function<QString(const KeychainHelper& keys)> read, Duration limit)
{
    auto shared = std::make_shared<SharedRead>();
    std::thread([store = std::move(store), read = std::move(read), shared] {
        FailureRecordingStore recording(*store);
        KeychainHelper keys(recording);
        keys.refreshNow(); // a failure is kept by the recording store
        BoundedKeyRead result{read(keys), recording.firstFailure()};
        std::lock_guard lock(shared->mutex);
        shared->result = std::move(result);
        shared->done = true;
        shared->finished.notify_all();
    }).detach();

    std::unique_lock lock(shared->mutex);
    if (!shared->finished.wait_for(lock, limit, [&] { return shared->done; })) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
        return {QString(), QStringLiteral("the keyring did not answer within %1 ms").arg(ms)};
    }
    return shared->result;
}
