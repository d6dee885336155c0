#pragma once

#include "model/Models.h"

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>

// The one persisted settings record ("config.json").
struct LLMConfig {
    static inline const QString kDefaultOpenAIASRBaseURL = QStringLiteral("https://api.openai.com/v1");
    static inline const QString kDefaultOpenAIASRModel = QStringLiteral("gpt-4o-mini-transcribe");
    static inline const QString kDefaultSpeechLocale = QStringLiteral("zh-CN");

    // Field order is the encoding order. The initialisers are the first-run record.
    LLMProviderOption selectedProvider = LLMProviderOption::deepseek;
    QString baseURL = LLMProviderOption(LLMProviderOption::deepseek).defaultBaseURL();
    QString modelName = LLMProviderOption(LLMProviderOption::deepseek).defaultModelName();
    QString customBaseURL = LLMProviderOption(LLMProviderOption::custom).defaultBaseURL();
    QMap<QString, QString> providerModels = {{QStringLiteral("deepseek"), QStringLiteral("deepseek-flash")}};
    FormattingStyle formattingStyle = FormattingStyle::structured;
    ASRProviderOption asrProvider = ASRProviderOption::volcSeedASR;
    QString openAIASRBaseURL = kDefaultOpenAIASRBaseURL;
    QString openAIASRModel = kDefaultOpenAIASRModel;
    bool enableVolcSeedASR = true;
    bool enableLiveInlineTyping = false;
    bool enableFastBypassForShortPhrases = true;
    bool stripTrailingPeriodInChatApps = true;
    bool enablePanguSpacing = true;
    bool enableWhisperAGC = true;
    bool enableAutoLearn = true;
    bool enableAutoMuteDuringDictation = true;
    bool showInDock = false;
    QString speechLocale = kDefaultSpeechLocale;

    // The arguments of the memberwise constructor; the two engines are optional and inferred when absent.
    struct Params {
        std::optional<LLMProviderOption> selectedProvider{};
        QString baseURL{};
        QString modelName{};
        QString customBaseURL{};
        QMap<QString, QString> providerModels{};
        FormattingStyle formattingStyle = FormattingStyle::structured;
        std::optional<ASRProviderOption> asrProvider{};
        QString openAIASRBaseURL{};
        QString openAIASRModel{};
        bool enableVolcSeedASR = true;
        bool enableLiveInlineTyping = false;
        bool enableFastBypassForShortPhrases = true;
        bool stripTrailingPeriodInChatApps = true;
        bool enablePanguSpacing = true;
        bool enableWhisperAGC = true;
        bool enableAutoLearn = true;
        bool enableAutoMuteDuringDictation = true;
        bool showInDock = false;
        QString speechLocale{};
    };
    static LLMConfig make(const Params& params);
    static LLMConfig defaults();

    // Switches the LLM provider, remembering the model (and custom base URL) of the one being left.
    void selectProvider(LLMProviderOption provider);
    // Remembers the edited model (and custom base URL) of the current provider.
    void syncActiveEndpointEdits();
    void selectASRProvider(ASRProviderOption provider);

    QJsonObject toJson() const;
    // Reads leniently, key by key, each with its fallback. Fails only when the value is not an object.
    // legacyArkEndpointId is the older Volcengine endpoint identifier kept in the defaults, if any. The keys
    // present with a value that could not be used (a wrong type, an unknown name) go to unusableKeys; a
    // missing key is only an older file.
    static std::optional<LLMConfig> fromJson(const QJsonValue& json, const QString& legacyArkEndpointId = {},
                                             QStringList* unusableKeys = nullptr);

    bool operator==(const LLMConfig&) const = default;
};
