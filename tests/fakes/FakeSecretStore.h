#pragma once

#include "fakes/Guarded.h"
#include "platform/SecretStore.h"

#include <QCoreApplication>
#include <QMap>
#include <QPair>
#include <QThread>
#include <condition_variable>
#include <optional>

// In-memory secret store. Reads and writes can be made to fail separately, and calls can be held until
// released. It counts the calls, and those made on the main thread, which must never wait on the keyring.
class FakeSecretStore final : public SecretStore, private Guarded {
public:
    SecretLookup read(const QString& service, const QString& account) override
    {
        std::unique_lock lock(m_mutex);
        enter(lock);
        if (m_readFailure)
            return SecretLookup::failed(*m_readFailure);
        const auto it = m_items.constFind({service, account});
        return it == m_items.constEnd() ? SecretLookup::notFound() : SecretLookup::found(*it);
    }
    Status store(const QString& service, const QString& account, const QString& secret) override
    {
        std::unique_lock lock(m_mutex);
        enter(lock);
        if (m_writeFailure)
            return Status::failure(*m_writeFailure);
        m_items.insert({service, account}, secret);
        return Status::success();
    }
    Status remove(const QString& service, const QString& account) override
    {
        std::unique_lock lock(m_mutex);
        enter(lock);
        if (m_writeFailure)
            return Status::failure(*m_writeFailure);
        m_items.remove({service, account});
        return Status::success();
    }

    // While set, every read (or every store and remove) fails with this reason and changes nothing.
    void setReadFailure(std::optional<QString> reason) { setGuarded(m_readFailure, std::move(reason)); }
    void setWriteFailure(std::optional<QString> reason) { setGuarded(m_writeFailure, std::move(reason)); }
    // While held, every call waits (off the test's thread) until released.
    void hold() { setGuarded(m_holding, true); }
    void release()
    {
        setGuarded(m_holding, false);
        m_released.notify_all();
    }

    // Puts an item as another client of the keyring would, without counting it as a call.
    void put(const QString& service, const QString& account, const QString& secret)
    {
        std::lock_guard lock(m_mutex);
        m_items.insert({service, account}, secret);
    }
    std::optional<QString> secret(const QString& service, const QString& account) const
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_items.constFind({service, account});
        return it == m_items.constEnd() ? std::nullopt : std::optional(*it);
    }
    int itemCount() const { return static_cast<int>(guarded(m_items).size()); }
    // Calls begun so far, and how many of them came from the main thread.
    int callCount() const { return guarded(m_calls); }
    int mainThreadCallCount() const { return guarded(m_mainThreadCalls); }

private:
    void enter(std::unique_lock<std::mutex>& lock)
    {
        ++m_calls;
        if (QCoreApplication::instance() &&
            QThread::currentThread() == QCoreApplication::instance()->thread())
            ++m_mainThreadCalls;
        m_released.wait(lock, [this] { return !m_holding; });
    }

    QMap<QPair<QString, QString>, QString> m_items;
    std::optional<QString> m_readFailure;
    std::optional<QString> m_writeFailure;
    bool m_holding = false;
    std::condition_variable m_released;
    int m_calls = 0;
    int m_mainThreadCalls = 0;
};
