#include "core/KeychainHelper.h"

#include "platform/SecretStore.h"
#include "util/AppIdentity.h"
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

std::optional<QString> KeychainHelper::readSlot(const QString& slot) const
{
    SecretLookup lookup = m_store.read(AppIdentity::bundleIdentifier(), slot);
    if (!lookup.status)
        return std::nullopt;
    return lookup.secret;
}

QString KeychainHelper::normalizeKey(const QString& key, bool stripBearer)
{
    QString result = trimQuotes(Text::trimmed(key));
    if (stripBearer && result.size() >= kBearerPrefix.size() &&
        QStringView(result).first(kBearerPrefix.size()).compare(kBearerPrefix, Qt::CaseInsensitive) == 0)
        result = Text::trimmed(QStringView(result).sliced(kBearerPrefix.size()));
    return result;
}

Status KeychainHelper::saveAPIKeyInSlot(const QString& key, const QString& slot, bool stripBearer) const
{
    const QString normalized = normalizeKey(key, stripBearer);
    // Replacing in one step keeps the old key until the new one is stored; only a blank key deletes.
    if (normalized.isEmpty())
        return m_store.remove(AppIdentity::bundleIdentifier(), slot);
    return m_store.store(AppIdentity::bundleIdentifier(), slot, normalized);
}

QString KeychainHelper::loadAPIKey(LLMProviderOption provider) const
{
    const QString override = qEnvironmentVariable(kEnvironmentKey.toLatin1().constData());
    if (!override.isEmpty())
        return override;
    const QString slot = providerSlot(provider);
    const QString stored = readSlot(slot).value_or(QString());
    if (!stored.isEmpty())
        return stored;
    if (provider == LLMProviderOption::deepseek) {
        // Keys of older versions live in one slot: copy it over on first use, leaving the original.
        const QString legacy = readSlot(kLegacyLLMSlot).value_or(QString());
        if (!legacy.isEmpty()) {
            saveAPIKeyInSlot(legacy, slot);
            return legacy;
        }
    }
    return {};
}

QString KeychainHelper::loadAPIKey(const QString& baseURL) const { return loadAPIKey(LLMProviderOption::infer(baseURL)); }

bool KeychainHelper::hasSavedAPIKey(LLMProviderOption provider) const { return !Text::isBlank(loadAPIKey(provider)); }

Status KeychainHelper::saveAPIKey(const QString& key, LLMProviderOption provider)
{
    return saveAPIKeyInSlot(key, providerSlot(provider));
}

Status KeychainHelper::saveAPIKey(const QString& key, const QString& baseURL)
{
    return saveAPIKeyInSlot(key, providerSlot(baseURL));
}

QString KeychainHelper::loadVolcSpeechAPIKey() const { return readSlot(kVolcSpeechSlot).value_or(QString()); }

Status KeychainHelper::saveVolcSpeechAPIKey(const QString& key)
{
    return saveAPIKeyInSlot(key, kVolcSpeechSlot, /*stripBearer=*/false);
}

QString KeychainHelper::loadOpenAIASROverrideKey() const { return readSlot(kOpenAIASRSlot).value_or(QString()); }

Status KeychainHelper::saveOpenAIASRAPIKey(const QString& key) { return saveAPIKeyInSlot(key, kOpenAIASRSlot); }

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
