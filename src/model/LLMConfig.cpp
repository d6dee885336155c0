#include "model/LLMConfig.h"

#include "util/Json.h"
#include "util/Text.h"

namespace {
const QString kLegacyDeepSeekModel = QStringLiteral("deepseek-chat");
} // namespace

LLMConfig LLMConfig::make(const Params& p)
{
    LLMConfig config;
    config.selectedProvider = p.selectedProvider.value_or(LLMProviderOption::infer(p.baseURL));
    config.baseURL = p.baseURL;
    config.modelName = p.modelName;
    config.customBaseURL = p.customBaseURL;
    if (config.selectedProvider == LLMProviderOption::custom && !p.baseURL.isEmpty())
        config.customBaseURL = p.baseURL;
    config.providerModels = p.providerModels;
    config.providerModels.insert(config.selectedProvider.rawValue(), p.modelName);
    config.formattingStyle = p.formattingStyle;
    config.asrProvider = p.asrProvider.value_or(p.enableVolcSeedASR ? ASRProviderOption::volcSeedASR
                                                                    : ASRProviderOption::localSenseVoice);
    config.openAIASRBaseURL = p.openAIASRBaseURL;
    config.openAIASRModel = p.openAIASRModel;
    config.enableVolcSeedASR = config.asrProvider == ASRProviderOption::volcSeedASR;
    config.enableLiveInlineTyping = p.enableLiveInlineTyping;
    config.enableFastBypassForShortPhrases = p.enableFastBypassForShortPhrases;
    config.stripTrailingPeriodInChatApps = p.stripTrailingPeriodInChatApps;
    config.enablePanguSpacing = p.enablePanguSpacing;
    config.enableWhisperAGC = p.enableWhisperAGC;
    config.enableAutoLearn = p.enableAutoLearn;
    config.enableAutoMuteDuringDictation = p.enableAutoMuteDuringDictation;
    config.showInDock = p.showInDock;
    config.speechLocale = p.speechLocale;
    return config;
}

LLMConfig LLMConfig::defaults()
{
    return make({
        .baseURL = LLMProviderOption(LLMProviderOption::deepseek).defaultBaseURL(),
        .modelName = LLMProviderOption(LLMProviderOption::deepseek).defaultModelName(),
        .customBaseURL = LLMProviderOption(LLMProviderOption::custom).defaultBaseURL(),
        .openAIASRBaseURL = kDefaultOpenAIASRBaseURL,
        .openAIASRModel = kDefaultOpenAIASRModel,
        .speechLocale = kDefaultSpeechLocale,
    });
}

void LLMConfig::selectProvider(LLMProviderOption provider)
{
    providerModels.insert(selectedProvider.rawValue(), modelName);
    if (selectedProvider == LLMProviderOption::custom && !Text::isBlank(baseURL))
        customBaseURL = baseURL;
    selectedProvider = provider;
    // A base URL typed for a built-in provider is not remembered: switching back restores its default.
    baseURL = provider == LLMProviderOption::custom ? customBaseURL : provider.defaultBaseURL();
    const QString remembered = Text::trimmed(providerModels.value(provider.rawValue()));
    modelName = remembered.isEmpty() ? provider.defaultModelName() : remembered;
}

void LLMConfig::syncActiveEndpointEdits()
{
    providerModels.insert(selectedProvider.rawValue(), modelName);
    if (selectedProvider == LLMProviderOption::custom && !Text::isBlank(baseURL))
        customBaseURL = baseURL;
}

void LLMConfig::selectASRProvider(ASRProviderOption provider)
{
    asrProvider = provider;
    enableVolcSeedASR = provider == ASRProviderOption::volcSeedASR;
}

QJsonObject LLMConfig::toJson() const
{
    QJsonObject models;
    for (auto it = providerModels.cbegin(); it != providerModels.cend(); ++it)
        models.insert(it.key(), it.value());
    return QJsonObject{
        {QStringLiteral("selectedProvider"), selectedProvider.rawValue()},
        {QStringLiteral("baseURL"), baseURL},
        {QStringLiteral("modelName"), modelName},
        {QStringLiteral("customBaseURL"), customBaseURL},
        {QStringLiteral("providerModels"), models},
        {QStringLiteral("formattingStyle"), formattingStyle.rawValue()},
        {QStringLiteral("asrProvider"), asrProvider.rawValue()},
        {QStringLiteral("openAIASRBaseURL"), openAIASRBaseURL},
        {QStringLiteral("openAIASRModel"), openAIASRModel},
        {QStringLiteral("enableVolcSeedASR"), enableVolcSeedASR},
        {QStringLiteral("enableLiveInlineTyping"), enableLiveInlineTyping},
        {QStringLiteral("enableFastBypassForShortPhrases"), enableFastBypassForShortPhrases},
        {QStringLiteral("stripTrailingPeriodInChatApps"), stripTrailingPeriodInChatApps},
        {QStringLiteral("enablePanguSpacing"), enablePanguSpacing},
        {QStringLiteral("enableWhisperAGC"), enableWhisperAGC},
        {QStringLiteral("enableAutoLearn"), enableAutoLearn},
        {QStringLiteral("enableAutoMuteDuringDictation"), enableAutoMuteDuringDictation},
        {QStringLiteral("showInDock"), showInDock},
        {QStringLiteral("speechLocale"), speechLocale},
    };
}

std::optional<LLMConfig> LLMConfig::fromJson(const QJsonValue& json, const QString& legacyArkEndpointId,
                                             QStringList* unusableKeys)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject o = json.toObject();
    QStringList unusable;
    // A present value that does not read is noted, then the key takes its fallback like a missing one.
    auto read = [&](const char* key, auto reader) {
        const QJsonValue value = o.value(QLatin1String(key));
        auto result = reader(value);
        if (!result && !value.isUndefined())
            unusable.append(QLatin1String(key));
        return result;
    };
    auto text = [&](const char* key) { return read(key, Json::string); };
    auto flag = [&](const char* key, bool fallback) { return read(key, Json::boolean).value_or(fallback); };

    // Later fallbacks depend on earlier results, so the order of these reads matters.
    LLMConfig c;
    c.baseURL = text("baseURL").value_or(LLMProviderOption(LLMProviderOption::deepseek).defaultBaseURL());

    const QString storedModel = text("modelName").value_or(QString());
    c.modelName = storedModel;
    if (c.modelName.isEmpty() || c.modelName == kLegacyDeepSeekModel)
        c.modelName = LLMProviderOption(LLMProviderOption::deepseek).defaultModelName();

    const QJsonValue storedProvider = o.value(QStringLiteral("selectedProvider"));
    const std::optional<LLMProviderOption> provider = read("selectedProvider", LLMProviderOption::fromJson);
    c.selectedProvider = provider.value_or(LLMProviderOption::infer(c.baseURL));
    // A provider this version does not know (a newer version's, say): its model and address are its own.
    const bool unknownProvider =
        !provider && storedProvider.isString() && !storedProvider.toString().isEmpty();

    c.customBaseURL = text("customBaseURL").value_or(QString());
    if (c.customBaseURL.isEmpty()) {
        c.customBaseURL = c.selectedProvider == LLMProviderOption::custom && !unknownProvider
                              ? c.baseURL
                              : LLMProviderOption(LLMProviderOption::custom).defaultBaseURL();
    }

    // A map with any non-text value does not read at all.
    c.providerModels.clear();
    const QJsonValue models = o.value(QStringLiteral("providerModels"));
    if (models.isObject()) {
        const QJsonObject modelObject = models.toObject();
        for (auto it = modelObject.begin(); it != modelObject.end(); ++it) {
            if (!it.value().isString()) {
                c.providerModels.clear();
                unusable.append(QStringLiteral("providerModels"));
                break;
            }
            c.providerModels.insert(it.key(), it.value().toString());
        }
    } else if (!models.isUndefined()) {
        unusable.append(QStringLiteral("providerModels"));
    }
    const QString volcengineKey = LLMProviderOption(LLMProviderOption::volcengine).rawValue();
    if (!legacyArkEndpointId.isEmpty() && !c.providerModels.contains(volcengineKey))
        c.providerModels.insert(volcengineKey, legacyArkEndpointId);
    if (unknownProvider) {
        // The unknown provider's model is remembered under its own name; the provider that stands in for it
        // uses its own remembered model and address, never the unknown one's (the file is kept aside).
        c.providerModels.insert(storedProvider.toString(), storedModel);
        const QString remembered = Text::trimmed(c.providerModels.value(c.selectedProvider.rawValue()));
        c.modelName = remembered.isEmpty() ? c.selectedProvider.defaultModelName() : remembered;
        c.baseURL = c.selectedProvider == LLMProviderOption::custom ? c.customBaseURL
                                                                    : c.selectedProvider.defaultBaseURL();
    } else if (!provider && !storedProvider.isUndefined()) {
        // A provider value that does not read at all: the stand-in inferred from the address keeps the model
        // the user chose for it; the stored one, which was another provider's, never replaces it.
        const QString remembered = Text::trimmed(c.providerModels.value(c.selectedProvider.rawValue()));
        if (!remembered.isEmpty())
            c.modelName = remembered;
    }
    c.providerModels.insert(c.selectedProvider.rawValue(), c.modelName);

    c.formattingStyle =
        read("formattingStyle", FormattingStyle::fromJson).value_or(FormattingStyle::structured);

    const bool storedSeedFlag = flag("enableVolcSeedASR", true);
    c.asrProvider =
        read("asrProvider", ASRProviderOption::fromJson)
            .value_or(storedSeedFlag ? ASRProviderOption::volcSeedASR : ASRProviderOption::localSenseVoice);

    c.openAIASRBaseURL = text("openAIASRBaseURL").value_or(QString());
    if (Text::isBlank(c.openAIASRBaseURL))
        c.openAIASRBaseURL = kDefaultOpenAIASRBaseURL;
    c.openAIASRModel = text("openAIASRModel").value_or(QString());
    if (Text::isBlank(c.openAIASRModel))
        c.openAIASRModel = kDefaultOpenAIASRModel;

    c.enableLiveInlineTyping = flag("enableLiveInlineTyping", false);
    c.enableFastBypassForShortPhrases = flag("enableFastBypassForShortPhrases", true);
    c.stripTrailingPeriodInChatApps = flag("stripTrailingPeriodInChatApps", true);
    c.enablePanguSpacing = flag("enablePanguSpacing", true);
    c.enableWhisperAGC = flag("enableWhisperAGC", true);
    c.enableAutoLearn = flag("enableAutoLearn", true);
    c.enableAutoMuteDuringDictation = flag("enableAutoMuteDuringDictation", true);
    c.showInDock = flag("showInDock", false);
    c.speechLocale = text("speechLocale").value_or(kDefaultSpeechLocale);
    c.enableVolcSeedASR = c.asrProvider == ASRProviderOption::volcSeedASR;
    if (unusableKeys)
        *unusableKeys = std::move(unusable);
    return c;
}
