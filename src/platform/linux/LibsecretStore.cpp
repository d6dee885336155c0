#include "platform/linux/LibsecretStore.h"

#include <libsecret/secret.h>

namespace {

const SecretSchema* schema()
{
    static const SecretSchema instance = {
        "org.quorbell.Quorbell.GenericPassword",
        SECRET_SCHEMA_DONT_MATCH_NAME, // items are found by service and account, whoever stored them
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &instance;
}

// Takes ownership of a GError and turns it into a reason; never includes the secret.
QString takeError(GError* error)
{
    const QString reason = error ? QString::fromUtf8(error->message) : QStringLiteral("unknown keyring error");
    if (error)
        g_error_free(error);
    return reason;
}

} // namespace

SecretLookup LibsecretStore::read(const QString& service, const QString& account)
{
    const QByteArray s = service.toUtf8();
    const QByteArray a = account.toUtf8();
    GError* error = nullptr;
    gchar* value = secret_password_lookup_sync(schema(), nullptr, &error, "service", s.constData(), "account",
                                               a.constData(), nullptr);
    if (error)
        return SecretLookup::failed(takeError(error));
    if (!value)
        return SecretLookup::notFound();
    QString secret = QString::fromUtf8(value);
    secret_password_free(value);
    return SecretLookup::found(std::move(secret));
}

Status LibsecretStore::store(const QString& service, const QString& account, const QString& secret)
{
    const QByteArray s = service.toUtf8();
    const QByteArray a = account.toUtf8();
    const QByteArray label = (service + QStringLiteral(" — ") + account).toUtf8();
    QByteArray value = secret.toUtf8();
    GError* error = nullptr;
    // Storing under the same attributes replaces the existing item: there is no moment without a key.
    const gboolean ok = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.constData(),
                                                   value.constData(), nullptr, &error, "service", s.constData(),
                                                   "account", a.constData(), nullptr);
    value.fill('\0');
    if (!ok || error)
        return Status::failure(takeError(error));
    return Status::success();
}

Status LibsecretStore::remove(const QString& service, const QString& account)
{
    const QByteArray s = service.toUtf8();
    const QByteArray a = account.toUtf8();
    GError* error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "service", s.constData(), "account", a.constData(),
                               nullptr);
    if (error) // clearing nothing is not an error
        return Status::failure(takeError(error));
    return Status::success();
}
