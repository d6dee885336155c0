#include "fakes/FakeSecretStore.h"

SecretLookup FakeSecretStore::read(const QString& service, const QString& account)
{
    std::lock_guard lock(m_mutex);
    if (m_readFailure)
        return SecretLookup::failed(*m_readFailure);
    const auto it = m_items.constFind({service, account});
    return it == m_items.constEnd() ? SecretLookup::notFound() : SecretLookup::found(*it);
}

Status FakeSecretStore::store(const QString& service, const QString& account, const QString& secret)
{
    std::lock_guard lock(m_mutex);
    if (m_writeFailure)
        return Status::failure(*m_writeFailure);
    m_items.insert({service, account}, secret);
    return Status::success();
}

Status FakeSecretStore::remove(const QString& service, const QString& account)
{
    std::lock_guard lock(m_mutex);
    if (m_writeFailure)
        return Status::failure(*m_writeFailure);
    m_items.remove({service, account});
    return Status::success();
}

void FakeSecretStore::setReadFailure(std::optional<QString> reason)
{
    std::lock_guard lock(m_mutex);
    m_readFailure = std::move(reason);
}

void FakeSecretStore::setWriteFailure(std::optional<QString> reason)
{
    std::lock_guard lock(m_mutex);
    m_writeFailure = std::move(reason);
}

std::optional<QString> FakeSecretStore::secret(const QString& service, const QString& account) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_items.constFind({service, account});
    return it == m_items.constEnd() ? std::nullopt : std::optional<QString>(*it);
}

int FakeSecretStore::itemCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_items.size());
}
