#pragma once

#include "platform/SecretStore.h"

// Generic passwords in the Secret Service (GNOME Keyring, KWallet's bridge, ...) through libsecret's
// synchronous API. Items carry the attributes "service" and "account" under our own schema. Every call ends
// within about a second; nothing is ever unlocked, so no prompt appears, and a locked keyring is a failure.
class LibsecretStore final : public SecretStore {
public:
    SecretLookup read(const QString& service, const QString& account) override;
    Status store(const QString& service, const QString& account, const QString& secret) override;
    Status remove(const QString& service, const QString& account) override;
};
