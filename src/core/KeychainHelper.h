#pragma once

#include "model/APIKeyStore.h"
#include "model/Models.h"
#include "util/SerialQueue.h"
#include "util/Status.h"

#include <QCoroTask>
#include <QMap>
#include <QString>
#include <mutex>
#include <optional>

class SecretStore;

// API keys in the user's keyring: one generic password per slot, under our bundle identifier as service.
// The keyring lives in another process, so the slots are kept in memory: every read is a cache read that
// never waits, from any thread. The cache is filled and refreshed on the keychain's own queue (a key stored
// by another client appears at the next refresh) and saves write through that queue, so a refresh never
// overtakes a save. The app makes one over the real keyring and hands it to whoever reads keys; tests make
// one over a fake.
class KeychainHelper final : public APIKeyStore {
public:
    static inline const QString kEnvironmentKey = QStringLiteral("QUORBELL_API_KEY");
    static inline const QString kVolcSpeechSlot = QStringLiteral("volc_speech_api_key");
    static inline const QString kOpenAIASRSlot = QStringLiteral("openai_asr_api_key");
    static inline const QString kLegacyLLMSlot = QStringLiteral("llm_api_key");
    // The registrable domain of Groq's API host: an OpenAI key is never sent there.
    static inline const QString kGroqDomain = QStringLiteral("groq.com");

    // What one refresh found: whether the store answered, and whether any cached slot changed.
    struct [[nodiscard]] Refresh {
        Status status;
        bool changed = false;
    };

    // The store must outlive the helper.
    explicit KeychainHelper(SecretStore& store);
    ~KeychainHelper() override;

    static QString providerSlot(LLMProviderOption provider);
    static QString providerSlot(const QString& baseURL);
    // Every slot the helper keeps.
    static QStringList allSlots();

    // Reads every slot on the keychain's queue and resumes on the main thread. A slot the store could not
    // read keeps its cached value, and the first failure ends the pass: the store would fail the rest alike.
    // An older single key is copied to DeepSeek's slot here, the first time it is seen without one.
    QCoro::Task<Refresh> refresh();
    // The same pass, waited for on the calling thread: for the command-line modes, which run no event loop
    // of the app. Never on the main thread of the app.
    Refresh refreshNow();
    // Some refresh has read every slot.
    bool isLoaded() const;

    // QUORBELL_API_KEY as set; empty when it is not. It stands in for every provider's key and is never
    // stored.
    static QString environmentKey();
    // The provider's effective key: QUORBELL_API_KEY when set and not empty, else its slot (DeepSeek also
    // takes over the older single-key slot). Empty when there is none.
    QString loadAPIKey(LLMProviderOption provider) const;
    QString loadAPIKey(const QString& baseURL) const;
    bool hasSavedAPIKey(LLMProviderOption provider) const;
    // Normalises the key (blanks, quotes, a "Bearer " prefix) and replaces the slot; a blank key deletes it.
    // The cache changes only when the store took the change.
    QCoro::Task<Status> saveAPIKey(QString key, LLMProviderOption provider);
    QCoro::Task<Status> saveAPIKey(QString key, const QString& baseURL);

    QString loadVolcSpeechAPIKey() const override;
    // Like saveAPIKey, but a "Bearer " prefix is part of a speech key and stays.
    QCoro::Task<Status> saveVolcSpeechAPIKey(QString key);

    QString loadOpenAIASROverrideKey() const;
    QCoro::Task<Status> saveOpenAIASRAPIKey(QString key);
    // The key OpenAI-compatible transcription sends to baseURL: its own key, else the OpenAI LLM key unless
    // the endpoint is Groq's.
    QString loadEffectiveOpenAIASRAPIKey(const QString& baseURL) const override;
    bool isReusingOpenAILLMKeyForASR(const QString& baseURL) const;
    static bool isGroqURL(const QString& baseURL);

    // The cached value of a slot; nothing when it is not stored (or was never read).
    std::optional<QString> readSlot(const QString& slot) const;

    // Blanks and quotes trimmed, and (when asked) a leading "Bearer " removed.
    static QString normalizeKey(const QString& key, bool stripBearer);

private:
    QCoro::Task<Status> saveSlot(QString key, QString slot, bool stripBearer);
    // On the queue: the store's write, then the cache.
    Status writeSlot(const QString& slot, const QString& normalized);
    Refresh readAllSlots();

    SecretStore& m_store;
    mutable std::mutex m_mutex;     // guards m_slots and m_loaded
    QMap<QString, QString> m_slots; // stored slots only
    bool m_loaded = false;
    // Every call to the store runs here, in order.
    SerialQueue m_queue;
};
