#include "platform/linux/LibsecretStore.h"

#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// libsecret's sync calls wait as long as the service takes: a hung service or one that the bus is still
// trying to start must not hold the caller longer than this.
constexpr std::chrono::milliseconds kCallLimit{900};
const char* const kDefaultAlias = "default";

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

// No session bus, or nothing on it that provides the Secret Service.
bool isServiceAbsent(const GError* error)
{
    if (error->domain == G_IO_ERROR)
        return error->code == G_IO_ERROR_NOT_FOUND || error->code == G_IO_ERROR_CONNECTION_REFUSED;
    if (error->domain == G_DBUS_ERROR)
        return error->code == G_DBUS_ERROR_SERVICE_UNKNOWN || error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
               error->code == G_DBUS_ERROR_SPAWN_EXEC_FAILED || error->code == G_DBUS_ERROR_SPAWN_FAILED ||
               error->code == G_DBUS_ERROR_SPAWN_CHILD_EXITED ||
               error->code == G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND ||
               error->code == G_DBUS_ERROR_SPAWN_SERVICE_INVALID ||
               error->code == G_DBUS_ERROR_SPAWN_FILE_INVALID;
    return false;
}

// Cancels every call of one operation once kCallLimit has passed.
class Deadline {
public:
    Deadline() : m_watch([this] { watch(); }) {}
    ~Deadline()
    {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_changed.notify_all();
        m_watch.join();
        g_object_unref(m_cancellable);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    GCancellable* cancellable() const { return m_cancellable; }

    // Takes ownership of a GError and turns it into a reason that says which of the cases it is (no answer,
    // no Secret Service, or the service's own error); never includes the secret.
    QString reason(GError* error) const
    {
        QString text;
        if (g_cancellable_is_cancelled(m_cancellable))
            text = QStringLiteral("密钥服务 %1 ms 内没有应答").arg(kCallLimit.count());
        else if (!error)
            text = QStringLiteral("密钥服务出错（原因不明）");
        else if (isServiceAbsent(error))
            text = QStringLiteral("没有可用的密钥服务 Secret Service（") + QString::fromUtf8(error->message) +
                   QStringLiteral("）");
        else
            text =
                QStringLiteral("密钥服务出错（") + QString::fromUtf8(error->message) + QStringLiteral("）");
        if (error)
            g_error_free(error);
        return text;
    }

private:
    void watch()
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, kCallLimit, [this] { return m_finished; }))
            g_cancellable_cancel(m_cancellable); // thread-safe; the waiting call ends with an error
    }

    GCancellable* m_cancellable = g_cancellable_new();
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_finished = false; // guarded by m_mutex
    std::thread m_watch;     // last: it uses everything above
};

QString lockedReason()
{
    return QStringLiteral("钥匙环已锁定，请先解锁登录钥匙环");
}

struct Attributes {
    Attributes(const QString& service, const QString& account)
        : s(service.toUtf8()), a(account.toUtf8()),
          table(
              secret_attributes_build(schema(), "service", s.constData(), "account", a.constData(), nullptr))
    {
    }
    ~Attributes() { g_hash_table_unref(table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;

    QByteArray s;
    QByteArray a;
    GHashTable* table;
};

// The items matching the attributes, locked ones included; the secrets of unlocked ones loaded. Never
// unlocks, so no prompt is ever shown.
struct Search {
    ~Search() { g_list_free_full(items, g_object_unref); }
    GList* items = nullptr;
    bool anyLocked = false;
};

// The shared service proxy with a session for moving secrets; nullptr and the reason when it cannot be had.
SecretService* service(const Deadline& deadline, QString* failure)
{
    GError* error = nullptr;
    SecretService* proxy =
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, deadline.cancellable(), &error);
    if (!proxy)
        *failure = deadline.reason(error);
    else if (error)
        g_error_free(error);
    return proxy;
}

bool search(SecretService* proxy, const Attributes& attributes, SecretSearchFlags flags,
            const Deadline& deadline, Search* found, QString* failure)
{
    GError* error = nullptr;
    found->items =
        secret_service_search_sync(proxy, schema(), attributes.table, flags, deadline.cancellable(), &error);
    if (error) {
        *failure = deadline.reason(error);
        return false;
    }
    for (GList* it = found->items; it; it = it->next)
        found->anyLocked = found->anyLocked || secret_item_get_locked(SECRET_ITEM(it->data));
    return true;
}

// Whether the default collection, where our items are stored, is locked; nullopt (with the reason) when that
// cannot be told. A missing default collection is not locked: it holds nothing.
std::optional<bool> defaultCollectionLocked(SecretService* proxy, const Deadline& deadline, QString* failure,
                                            bool* exists = nullptr)
{
    GError* error = nullptr;
    SecretCollection* collection = secret_collection_for_alias_sync(
        proxy, kDefaultAlias, SECRET_COLLECTION_NONE, deadline.cancellable(), &error);
    if (error) {
        if (collection)
            g_object_unref(collection);
        *failure = deadline.reason(error);
        return std::nullopt;
    }
    if (exists)
        *exists = collection != nullptr;
    if (!collection)
        return false;
    const bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    return locked;
}

} // namespace

SecretLookup LibsecretStore::read(const QString& service, const QString& account)
{
    const Deadline deadline;
    QString failure;
    SecretService* proxy = ::service(deadline, &failure);
    if (!proxy)
        return SecretLookup::failed(failure);
    const Attributes attributes(service, account);
    Search found;
    const bool searched =
        search(proxy, attributes, SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), deadline,
               &found, &failure);
    if (!searched) {
        g_object_unref(proxy);
        return SecretLookup::failed(failure);
    }
    for (GList* it = found.items; it; it = it->next) {
        SecretItem* item = SECRET_ITEM(it->data);
        if (secret_item_get_locked(item))
            continue;
        if (SecretValue* value = secret_item_get_secret(item)) {
            QString secret = QString::fromUtf8(secret_value_get_text(value));
            secret_value_unref(value);
            g_object_unref(proxy);
            return SecretLookup::found(std::move(secret));
        }
    }
    // Nothing readable: a locked item or a locked keyring may hold the key, so that is no "not found".
    std::optional<bool> locked =
        found.anyLocked ? std::optional(true) : defaultCollectionLocked(proxy, deadline, &failure);
    g_object_unref(proxy);
    if (!locked)
        return SecretLookup::failed(failure);
    if (*locked)
        return SecretLookup::failed(lockedReason());
    if (found.items) // unlocked items whose secret did not load
        return SecretLookup::failed(QStringLiteral("密钥服务没有交出密钥"));
    return SecretLookup::notFound();
}

Status LibsecretStore::store(const QString& service, const QString& account, const QString& secret)
{
    const Deadline deadline;
    QString failure;
    SecretService* proxy = ::service(deadline, &failure);
    if (!proxy)
        return Status::failure(failure);
    // Storing into a locked or missing collection would ask the user for a password: we never prompt.
    bool exists = false;
    const std::optional<bool> locked = defaultCollectionLocked(proxy, deadline, &failure, &exists);
    if (!locked || *locked || !exists) {
        g_object_unref(proxy);
        if (!locked)
            return Status::failure(failure);
        return Status::failure(*locked ? lockedReason() : QStringLiteral("没有默认钥匙环"));
    }

    const Attributes attributes(service, account);
    const QByteArray label = (service + QStringLiteral(" — ") + account).toUtf8();
    QByteArray bytes = secret.toUtf8();
    SecretValue* value = secret_value_new(bytes.constData(), bytes.size(), "text/plain");
    bytes.fill('\0');
    GError* error = nullptr;
    // Storing under the same attributes replaces the existing item: there is no moment without a key.
    const gboolean ok =
        secret_service_store_sync(proxy, schema(), attributes.table, SECRET_COLLECTION_DEFAULT,
                                  label.constData(), value, deadline.cancellable(), &error);
    secret_value_unref(value);
    g_object_unref(proxy);
    if (!ok || error)
        return Status::failure(deadline.reason(error));
    return Status::success();
}

Status LibsecretStore::remove(const QString& service, const QString& account)
{
    const Deadline deadline;
    QString failure;
    SecretService* proxy = ::service(deadline, &failure);
    if (!proxy)
        return Status::failure(failure);
    const Attributes attributes(service, account);
    Search found;
    if (!search(proxy, attributes, SECRET_SEARCH_ALL, deadline, &found, &failure)) {
        g_object_unref(proxy);
        return Status::failure(failure);
    }
    // A locked keyring may hold the item: removing nothing there would not be a removal.
    const std::optional<bool> locked =
        found.anyLocked ? std::optional(true) : defaultCollectionLocked(proxy, deadline, &failure);
    g_object_unref(proxy);
    if (!locked)
        return Status::failure(failure);
    if (*locked)
        return Status::failure(lockedReason());
    for (GList* it = found.items; it; it = it->next) {
        GError* error = nullptr;
        if (!secret_item_delete_sync(SECRET_ITEM(it->data), deadline.cancellable(), &error))
            return Status::failure(deadline.reason(error));
    }
    return Status::success(); // removing nothing is no error
}
