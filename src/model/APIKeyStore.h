#pragma once

#include <QString>

// The stored API keys as the areas below the application core read them. The core's KeychainHelper keeps
// them in the keyring and is handed down by the app; tests hand down a helper over a fake keyring. Reads come
// from memory and never wait on the keyring, so they are safe on hot paths and from any thread.
class APIKeyStore {
public:
    virtual ~APIKeyStore() = default;

    // The Seed-ASR key; empty when none is stored or the keyring was never read.
    virtual QString loadVolcSpeechAPIKey() const = 0;
    // The key OpenAI-compatible transcription sends to baseURL; empty when there is none.
    virtual QString loadEffectiveOpenAIASRAPIKey(const QString& baseURL) const = 0;
};
