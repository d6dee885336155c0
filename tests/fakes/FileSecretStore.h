#pragma once

#include "platform/SecretStore.h"

#include <QJsonObject>
#include <mutex>

// Secret store kept in one JSON file ("secrets.json") in a folder the test owns. Every call reads the file
// afresh, so several instances on the same folder see each other's writes, as separate runs of the app see
// one keyring.
class FileSecretStore final : public SecretStore {
public:
    explicit FileSecretStore(QString folder);

    SecretLookup read(const QString& service, const QString& account) override;
    Status store(const QString& service, const QString& account, const QString& secret) override;
    Status remove(const QString& service, const QString& account) override;

    QString filePath() const;

private:
    // {service: {account: secret}}; an absent file is an empty store.
    Status load(QJsonObject& services) const;
    Status save(const QJsonObject& services) const;

    QString m_folder;
    std::mutex m_mutex;
};
