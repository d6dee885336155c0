#include "selftest/BoundedKeyRead.h"

#include "core/KeychainHelper.h"
#include "platform/SecretStore.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Passes reads through and refuses writes: the speech modes only look.
class ReadOnlyStore final : public SecretStore {
public:
    explicit ReadOnlyStore(SecretStore& inner) : m_inner(inner) {}

    SecretLookup read(const QString& service, const QString& account) override
    {
        return m_inner.read(service, account);
    }
    Status store(const QString&, const QString&, const QString&) override
    {
        return Status::failure(QStringLiteral("the speech modes never write to the keyring"));
    }
    Status remove(const QString&, const QString&) override
    {
        return Status::failure(QStringLiteral("the speech modes never write to the keyring"));
    }

private:
    SecretStore& m_inner;
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
        ReadOnlyStore readOnly(*store);
        KeychainHelper keys(readOnly);
        // A refresh stops at the first slot the keyring could not read; that is the mode's problem.
        const KeychainHelper::Refresh refreshed = keys.refreshNow();
        BoundedKeyRead result{read(keys), refreshed.status ? QString() : refreshed.status.error};
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
