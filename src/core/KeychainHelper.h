#pragma once

#include "model/APIKeyStore.h"
#include "model/Models.h"
#include "util/Status.h"

#include <QString>

class SecretStore;

// API keys in the user's keyring: one generic password per slot, under our bundle identifier as service.
// Holds nothing but the store: every call asks it, so a key saved anywhere is seen on the next read. The app
// makes one over the real keyring and hands it to whoever reads keys; tests make one over a fake.
class KeychainHelper final : public APIKeyStore {
public:
    static inline const QString kEnvironmentKey = QStringLiteral("QUORBELL_API_KEY");
    static inline const QString kVolcSpeechSlot = QStringLiteral("volc_speech_api_key");
    static inline const QString kOpenAIASRSlot = QStringLiteral("openai_asr_api_key");
    static inline const QString kLegacyLLMSlot = QStringLiteral("llm_api_key");
    // The registrable domain of Groq's API host: an OpenAI key is never sent there.
    static inline const QString kGroqDomain = QStringLiteral("groq.com");

    // The store must outlive the helper.
    explicit KeychainHelper(SecretStore& store) : m_store(store) {}

    static QString providerSlot(LLMProviderOption provider);
    static QString providerSlot(const QString& baseURL);

    // The provider's effective key: QUORBELL_API_KEY when set and not empty, else its slot (DeepSeek also
    // takes over the older single-key slot). Empty when there is none.
    QString loadAPIKey(LLMProviderOption provider) const;
    QString loadAPIKey(const QString& baseURL) const;
    bool hasSavedAPIKey(LLMProviderOption provider) const;
    // Normalises the key (blanks, quotes, a "Bearer " prefix) and replaces the slot; a blank key deletes it.
    Status saveAPIKey(const QString& key, LLMProviderOption provider);
    Status saveAPIKey(const QString& key, const QString& baseURL);

    QString loadVolcSpeechAPIKey() const override;
    // Like saveAPIKey, but a "Bearer " prefix is part of a speech key and stays.
    Status saveVolcSpeechAPIKey(const QString& key);

    QString loadOpenAIASROverrideKey() const;
    Status saveOpenAIASRAPIKey(const QString& key);
    // The key OpenAI-compatible transcription sends to baseURL: its own key, else the OpenAI LLM key unless
    // the endpoint is Groq's.
    QString loadEffectiveOpenAIASRAPIKey(const QString& baseURL) const override;
    bool isReusingOpenAILLMKeyForASR(const QString& baseURL) const;
    static bool isGroqURL(const QString& baseURL);

    // The stored value of a slot; nothing when it is missing, unreadable or the store failed.
    std::optional<QString> readSlot(const QString& slot) const;

    // Blanks and quotes trimmed, and (when asked) a leading "Bearer " removed.
    static QString normalizeKey(const QString& key, bool stripBearer);

private:
    Status saveAPIKeyInSlot(const QString& key, const QString& slot, bool stripBearer = true) const;

    SecretStore& m_store;
};
