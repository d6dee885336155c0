#include "fakes/FileSecretStore.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

FileSecretStore::FileSecretStore(QString folder) : m_folder(std::move(folder)) {}

QString FileSecretStore::filePath() const
{
    return QDir(m_folder).filePath(QStringLiteral("secrets.json"));
}

SecretLookup FileSecretStore::read(const QString& service, const QString& account)
{
    std::lock_guard lock(m_mutex);
    QJsonObject services;
    if (const Status loaded = load(services); !loaded)
        return SecretLookup::failed(loaded.error);
    const QJsonValue value = services.value(service).toObject().value(account);
    if (!value.isString())
        return SecretLookup::notFound();
    return SecretLookup::found(value.toString());
}

Status FileSecretStore::store(const QString& service, const QString& account, const QString& secret)
{
    std::lock_guard lock(m_mutex);
    QJsonObject services;
    if (const Status loaded = load(services); !loaded)
        return loaded;
    QJsonObject accounts = services.value(service).toObject();
    accounts.insert(account, secret);
    services.insert(service, accounts);
    return save(services);
}

Status FileSecretStore::remove(const QString& service, const QString& account)
{
    std::lock_guard lock(m_mutex);
    QJsonObject services;
    if (const Status loaded = load(services); !loaded)
        return loaded;
    QJsonObject accounts = services.value(service).toObject();
    if (!accounts.contains(account))
        return Status::success();
    accounts.remove(account);
    if (accounts.isEmpty())
        services.remove(service);
    else
        services.insert(service, accounts);
    return save(services);
}

Status FileSecretStore::load(QJsonObject& services) const
{
    QFile file(filePath());
    if (!file.exists()) {
        services = {};
        return Status::success();
    }
    if (!file.open(QIODevice::ReadOnly))
        return Status::failure(file.errorString());
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return Status::failure(QStringLiteral("unreadable secret file: ") + parseError.errorString());
    services = document.object();
    return Status::success();
}

Status FileSecretStore::save(const QJsonObject& services) const
{
    QSaveFile file(filePath());
    if (!file.open(QIODevice::WriteOnly))
        return Status::failure(file.errorString());
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(services).toJson());
    if (!file.commit())
        return Status::failure(file.errorString());
    return Status::success();
}
