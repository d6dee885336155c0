#pragma once

#include "core/Models.h"
#include "util/Status.h"

#include <QString>

class SecretStore;

// API keys in the user's keyring: one generic password per slot, under our bundle identifier as service.
// Stateless: every call asks the store, so a key saved anywhere is seen on the next read. The app installs
// the real store once at start; tests install a fake.
class KeychainHelper {
public:
    static inline const QString kEnvironmentKey = QStringLiteral("QUORBELL_API_KEY");
    static inline const QString kVolcSpeechSlot = QStringLiteral("volc_speech_api_key");
    static inline const QString kOpenAIASRSlot = QStringLiteral("openai_asr_api_key");
    static inline const QString kLegacyLLMSlot = QStringLiteral("llm_api_key");
    // The registrable domain of Groq's API host: an OpenAI key is never sent there.
    static inline const QString kGroqDomain = QStringLiteral("groq.com");

    KeychainHelper() = delete;

    static void installStore(SecretStore* store);

    static QString providerSlot(LLMProviderOption provider);
    static QString providerSlot(const QString& baseURL);

    // The provider's effective key: QUORBELL_API_KEY when set and not empty, else its slot (DeepSeek also
    // takes over the older single-key slot). Empty when there is none.
    static QString loadAPIKey(LLMProviderOption provider);
    static QString loadAPIKey(const QString& baseURL);
    static bool hasSavedAPIKey(LLMProviderOption provider);
    // Normalises the key (blanks, quotes, a "Bearer " prefix) and replaces the slot; a blank key deletes it.
    static Status saveAPIKey(const QString& key, LLMProviderOption provider);
    static Status saveAPIKey(const QString& key, const QString& baseURL);

    static QString loadVolcSpeechAPIKey();
    // Like saveAPIKey, but a "Bearer " prefix is part of a speech key and stays.
    static Status saveVolcSpeechAPIKey(const QString& key);

    static QString loadOpenAIASROverrideKey();
    static Status saveOpenAIASRAPIKey(const QString& key);
    // The key OpenAI-compatible transcription sends to baseURL: its own key, else the OpenAI LLM key unless
    // the endpoint is Groq's.
    static QString loadEffectiveOpenAIASRAPIKey(const QString& baseURL);
    static bool isReusingOpenAILLMKeyForASR(const QString& baseURL);
    static bool isGroqURL(const QString& baseURL);

    // The stored value of a slot; nothing when it is missing, unreadable or the store failed.
    static std::optional<QString> readSlot(const QString& slot);

    // Blanks and quotes trimmed, and (when asked) a leading "Bearer " removed.
    static QString normalizeKey(const QString& key, bool stripBearer);

private:
    static Status saveAPIKeyInSlot(const QString& key, const QString& slot, bool stripBearer = true);
};
