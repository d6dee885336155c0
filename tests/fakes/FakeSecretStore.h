#pragma once

#include "platform/SecretStore.h"

#include <QMap>
#include <QPair>
#include <mutex>
#include <optional>

// In-memory secret store. Reads and writes can be made to fail separately.
class FakeSecretStore final : public SecretStore {
public:
    SecretLookup read(const QString& service, const QString& account) override;
    Status store(const QString& service, const QString& account, const QString& secret) override;
    Status remove(const QString& service, const QString& account) override;

    // While set, every read (or every store and remove) fails with this reason and changes nothing.
    void setReadFailure(std::optional<QString> reason);
    void setWriteFailure(std::optional<QString> reason);

    std::optional<QString> secret(const QString& service, const QString& account) const;
    int itemCount() const;

private:
    using Key = QPair<QString, QString>;

    mutable std::mutex m_mutex;
    QMap<Key, QString> m_items;
    std::optional<QString> m_readFailure;
    std::optional<QString> m_writeFailure;
};
