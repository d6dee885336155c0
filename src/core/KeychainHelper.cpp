#include "core/KeychainHelper.h"

#include "platform/SecretStore.h"
#include "util/AppIdentity.h"
#include "util/QueueTask.h"
#include "util/Text.h"

namespace {

constexpr QStringView kBearerPrefix = u"bearer ";

QString trimQuotes(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto isQuote = [](QChar c) { return c == u'"' || c == u'\''; };
    while (begin < end && isQuote(text[begin]))
        ++begin;
    while (end > begin && isQuote(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

} // namespace

QString KeychainHelper::providerSlot(LLMProviderOption provider)
{
    switch (provider) {
    case LLMProviderOption::deepseek: return QStringLiteral("deepseek_api_key");
    case LLMProviderOption::volcengine: return QStringLiteral("ark_api_key");
    case LLMProviderOption::dashscope: return QStringLiteral("dashscope_api_key");
    case LLMProviderOption::openai: return QStringLiteral("openai_api_key");
    case LLMProviderOption::gemini: return QStringLiteral("gemini_api_key");
    case LLMProviderOption::anthropic: return QStringLiteral("anthropic_api_key");
    case LLMProviderOption::custom: return QStringLiteral("custom_api_key");
    }
    return {};
}

QString KeychainHelper::providerSlot(const QString& baseURL)
{
    return providerSlot(LLMProviderOption::infer(baseURL));
}

KeychainHelper::KeychainHelper(SecretStore& store)
    : m_store(store), m_queue(AppIdentity::queueLabel(QStringLiteral("keychain")))
{
}

// The queue finishes a save in flight before the cache it writes goes away.
KeychainHelper::~KeychainHelper()
{
    m_queue.stop();
}

QStringList KeychainHelper::allSlots()
{
    QStringList slots;
    for (LLMProviderOption provider : LLMProviderOption::allCases())
        slots.append(providerSlot(provider));
    slots << kLegacyLLMSlot << kVolcSpeechSlot << kOpenAIASRSlot;
    return slots;
}

QCoro::Task<KeychainHelper::Refresh> KeychainHelper::refresh()
{
    QueueAnswer<Refresh> read = runOnQueue(m_queue, [this] { return readAllSlots(); });
    co_return co_await read;
}

KeychainHelper::Refresh KeychainHelper::refreshNow()
{
    Refresh result;
    m_queue.sync([this, &result] { result = readAllSlots(); });
    return result;
}

KeychainHelper::Refresh KeychainHelper::readAllSlots()
{
    Refresh result;
    QMap<QString, QString> found;
    std::optional<QString> failedSlot;
    for (const QString& slot : allSlots()) {
        const SecretLookup lookup = m_store.read(AppIdentity::bundleIdentifier(), slot);
        if (!lookup.status) {
            result.status = lookup.status;
            failedSlot = slot;
            break;
        }
        if (lookup.secret)
            found.insert(slot, *lookup.secret);
    }
    const QString deepseek = providerSlot(LLMProviderOption::deepseek);
    if (!failedSlot && !found.contains(deepseek) && found.contains(kLegacyLLMSlot)) {
        // Keys of older versions live in one slot: copied over once, the original left in place.
        // A failed copy is tried again on the next refresh; meanwhile DeepSeek reads the older slot.
        const QString legacy = normalizeKey(found.value(kLegacyLLMSlot), true);
        if (!legacy.isEmpty()) {
            const Status copied = m_store.store(AppIdentity::bundleIdentifier(), deepseek, legacy);
            if (copied)
                found.insert(deepseek, legacy);
            else
                qWarning("The older key could not be copied to DeepSeek's slot: %s",
                         qPrintable(copied.error));
        }
    }

    std::lock_guard lock(m_mutex);
    QMap<QString, QString> next = found;
    if (failedSlot) {
        // What could not be read stays as last seen: a keyring that fails for a moment loses no key.
        const QStringList slots = allSlots();
        for (qsizetype i = slots.indexOf(*failedSlot); i < slots.size(); ++i) {
            if (const auto it = m_slots.constFind(slots[i]); it != m_slots.constEnd())
                next.insert(slots[i], *it);
        }
    } else {
        m_loaded = true;
    }
    result.changed = next != m_slots;
    m_slots = std::move(next);
    return result;
}

bool KeychainHelper::isLoaded() const
{
    std::lock_guard lock(m_mutex);
    return m_loaded;
}

std::optional<QString> KeychainHelper::readSlot(const QString& slot) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_slots.constFind(slot);
    return it == m_slots.constEnd() ? std::nullopt : std::optional(*it);
}

QString KeychainHelper::normalizeKey(const QString& key, bool stripBearer)
{
    QString result = trimQuotes(Text::trimmed(key));
    if (stripBearer && result.size() >= kBearerPrefix.size() &&
        QStringView(result).first(kBearerPrefix.size()).compare(kBearerPrefix, Qt::CaseInsensitive) == 0)
        result = Text::trimmed(QStringView(result).sliced(kBearerPrefix.size()));
    return result;
}

QCoro::Task<Status> KeychainHelper::saveSlot(QString key, QString slot, bool stripBearer)
{
    // Named, not a temporary of the co_await: g++ 12 destroys such a temporary's captures twice.
    QueueAnswer<Status> written =
        runOnQueue(m_queue, [this, slot, normalized = normalizeKey(key, stripBearer)] {
            return writeSlot(slot, normalized);
        });
    co_return co_await written;
}

Status KeychainHelper::writeSlot(const QString& slot, const QString& normalized)
{
    // Replacing in one step keeps the old key until the new one is stored; only a blank key deletes.
    const Status written = normalized.isEmpty()
                               ? m_store.remove(AppIdentity::bundleIdentifier(), slot)
                               : m_store.store(AppIdentity::bundleIdentifier(), slot, normalized);
    if (!written)
        return written;
    std::lock_guard lock(m_mutex);
    if (normalized.isEmpty())
        m_slots.remove(slot);
    else
        m_slots.insert(slot, normalized);
    return written;
}

QString KeychainHelper::environmentKey()
{
    return qEnvironmentVariable(kEnvironmentKey.toLatin1().constData());
}

QString KeychainHelper::loadAPIKey(LLMProviderOption provider) const
{
    const QString override = environmentKey();
    if (!override.isEmpty())
        return override;
    const QString stored = readSlot(providerSlot(provider)).value_or(QString());
    if (!stored.isEmpty() || provider != LLMProviderOption::deepseek)
        return stored;
    // Until the refresh has copied it over, DeepSeek reads the older single key where it is.
    return readSlot(kLegacyLLMSlot).value_or(QString());
}

QString KeychainHelper::loadAPIKey(const QString& baseURL) const { return loadAPIKey(LLMProviderOption::infer(baseURL)); }

bool KeychainHelper::hasSavedAPIKey(LLMProviderOption provider) const { return !Text::isBlank(loadAPIKey(provider)); }

QCoro::Task<Status> KeychainHelper::saveAPIKey(QString key, LLMProviderOption provider)
{
    return saveSlot(std::move(key), providerSlot(provider), true);
}

QCoro::Task<Status> KeychainHelper::saveAPIKey(QString key, const QString& baseURL)
{
    return saveSlot(std::move(key), providerSlot(baseURL), true);
}

QString KeychainHelper::loadVolcSpeechAPIKey() const { return readSlot(kVolcSpeechSlot).value_or(QString()); }

QCoro::Task<Status> KeychainHelper::saveVolcSpeechAPIKey(QString key)
{
    return saveSlot(std::move(key), kVolcSpeechSlot, /*stripBearer=*/false);
}

QString KeychainHelper::loadOpenAIASROverrideKey() const { return readSlot(kOpenAIASRSlot).value_or(QString()); }

QCoro::Task<Status> KeychainHelper::saveOpenAIASRAPIKey(QString key)
{
    return saveSlot(std::move(key), kOpenAIASRSlot, true);
}
bool KeychainHelper::isGroqURL(const QString& baseURL) { return baseURL.toLower().contains(kGroqDomain); }

QString KeychainHelper::loadEffectiveOpenAIASRAPIKey(const QString& baseURL) const
{
    const QString own = Text::trimmed(loadOpenAIASROverrideKey());
    if (!own.isEmpty())
        return own;
    if (isGroqURL(baseURL))
        return {};
    return loadAPIKey(LLMProviderOption::openai);
}

bool KeychainHelper::isReusingOpenAILLMKeyForASR(const QString& baseURL) const
{
    if (!Text::isBlank(loadOpenAIASROverrideKey()) || isGroqURL(baseURL))
        return false;
    return !Text::isBlank(loadAPIKey(LLMProviderOption::openai));
}
