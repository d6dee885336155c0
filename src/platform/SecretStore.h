#pragma once

#include "util/Status.h"

#include <QString>
#include <optional>

// Result of reading one secret: found, not there, or the store could not be asked.
struct [[nodiscard]] SecretLookup {
    std::optional<QString> secret; // present only when the item exists
    Status status;                 // failure when the store could not be read

    static SecretLookup found(QString value) { return {std::move(value), Status::success()}; }
    static SecretLookup notFound() { return {std::nullopt, Status::success()}; }
    static SecretLookup failed(QString reason) { return {std::nullopt, Status::failure(std::move(reason))}; }
};

// Generic passwords keyed by (service, account), in the user's login keyring. Synchronous and safe from any
// thread, but a call may wait on another process (for a bounded time), so never on the main thread. Nothing
// is cached: every call asks the store, so a secret saved anywhere is seen on the next read. A store that
// cannot answer (locked, absent, failing) reports a failure, never a missing item, and never asks the user.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    virtual SecretLookup read(const QString& service, const QString& account) = 0;
    // Replaces the item in one step: there is never a moment without the old or the new secret.
    virtual Status store(const QString& service, const QString& account, const QString& secret) = 0;
    // Removing an item that does not exist succeeds.
    virtual Status remove(const QString& service, const QString& account) = 0;
};
