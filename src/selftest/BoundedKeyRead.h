#pragma once

#include "util/Scheduler.h"

#include <QString>
#include <functional>
#include <memory>

class KeychainHelper;
class SecretStore;

// A key read for the speech modes, and why the keyring could not give it.
struct BoundedKeyRead {
    QString key;     // empty when none is stored or the keyring failed
    QString problem; // set when the keyring failed or did not answer in time
};

// The keyring may sit behind a session bus that starts a Secret Service on demand, or one that never
// answers; the speech modes must not hang on it. `read` runs on a thread of its own over a KeychainHelper of
// `store`; past `limit` the read counts as having found no key and the thread is left to finish alone (it
// keeps the store alive).
BoundedKeyRead readKeyWithin(std::shared_ptr<SecretStore> store,
                             std::function<QString(const KeychainHelper& keys)> read, Duration limit);
