#pragma once

#include "fakes/Guarded.h"
#include "platform/SecretStore.h"

#include <QMap>
#include <QPair>
#include <optional>

// In-memory secret store. Reads and writes can be made to fail separately.
class FakeSecretStore final : public SecretStore, private Guarded {
public:
    SecretLookup read(const QString& service, const QString& account) override
    {
        std::lock_guard lock(m_mutex);
        if (m_readFailure)
            return SecretLookup::failed(*m_readFailure);
        const auto it = m_items.constFind({service, account});
        return it == m_items.constEnd() ? SecretLookup::notFound() : SecretLookup::found(*it);
    }
    Status store(const QString& service, const QString& account, const QString& secret) override
    {
        std::lock_guard lock(m_mutex);
        if (m_writeFailure)
            return Status::failure(*m_writeFailure);
        m_items.insert({service, account}, secret);
        return Status::success();
    }
    Status remove(const QString& service, const QString& account) override
    {
        std::lock_guard lock(m_mutex);
        if (m_writeFailure)
            return Status::failure(*m_writeFailure);
        m_items.remove({service, account});
        return Status::success();
    }

    // While set, every read (or every store and remove) fails with this reason and changes nothing.
    void setReadFailure(std::optional<QString> reason) { setGuarded(m_readFailure, std::move(reason)); }
    void setWriteFailure(std::optional<QString> reason) { setGuarded(m_writeFailure, std::move(reason)); }

    std::optional<QString> secret(const QString& service, const QString& account) const
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_items.constFind({service, account});
        return it == m_items.constEnd() ? std::nullopt : std::optional(*it);
    }
    int itemCount() const { return static_cast<int>(guarded(m_items).size()); }

private:
    QMap<QPair<QString, QString>, QString> m_items;
    std::optional<QString> m_readFailure;
    std::optional<QString> m_writeFailure;
};
