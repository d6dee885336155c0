#pragma once

#include "model/LLMConfig.h"
#include "model/Models.h"
#include "ui/widgets/QBPill.h"

#include <QMap>
#include <QString>
#include <optional>

// What the engine settings page shows, computed from the state alone: the cards only paint these.
namespace EngineSettingsText {

// The OpenAI API's and Groq's OpenAI-compatible base URLs, as the transcription presets write them.
QString openAIBaseURL();
QString groqBaseURL();

// "重录快捷键 (…)" for a recorded shortcut, else the invitation to record one.
QString recordButtonTitle(TriggerKeyOption key, const CustomHotkeySpec& custom);

// The one line under an engine or model card: an error before a probe result before a missing-key warning.
struct Banner {
    enum class Kind { none, probe, warn };
    Kind kind = Kind::none;
    QString text;
    bool operator==(const Banner&) const = default;
};
Banner cardBanner(const QString& error, const QString& summary, bool keyReady, const QString& missingKeyText);

// Seed-ASR's key counts only when it is more than blanks.
bool hasSeedASRKey(const QString& keyInput);

// The transcription card: its key field's placeholder, its missing-key warning and its three presets.
QString openAIASRKeyPlaceholder(bool isGroq, bool reusingLLMKey);
QString openAIASRMissingKeyText(bool isGroq);
struct ASRPreset {
    QString title;
    QString baseURL;
    QString model;
    QString objectName;
};
QList<ASRPreset> asrPresets();
bool isASRPresetActive(const ASRPreset& preset, bool isGroq, const QString& model);
// "复用 OpenAI 密钥" in the key pill's place.
QBPill::Look reusePillLook(bool selected);

// The local model card: the pack pill and the chip.
QString packStatusText(bool loaded, bool fullFP32);
QBPill::Look packStatusLook(bool loaded, bool selected);
QString localChipText(bool fullFP32);

// One language-model card, from the state and its drafts. With a key in the environment, an empty key draft
// is not a missing key: the environment's key is the one used.
struct ProviderDrafts {
    QString apiKey;
    QString modelName;
    QString baseURL;
    bool loaded = false;
};
struct ProviderCardState {
    bool selected = false;
    QString shownModel;
    QString effectiveBaseURL;
    bool keyless = false;
    bool keyReady = false;
    QString error;
    QString summary;
};
ProviderCardState providerCardState(LLMProviderOption provider, const LLMConfig& config,
                                    const ProviderDrafts& drafts,
                                    const QMap<LLMProviderOption, bool>& savedKeys, bool environmentKey,
                                    const QMap<LLMProviderOption, QString>& errors,
                                    const QMap<LLMProviderOption, QString>& summaries,
                                    const QString& lastBenchmarkSummary);
// The drafts as the store holds them: the stored key, and the live model and address for the selected
// provider, else its remembered model and its default address.
ProviderDrafts draftsFromStore(LLMProviderOption provider, const LLMConfig& config, const QString& storedKey);
QString providerDefaultBaseURL(LLMProviderOption provider, const LLMConfig& config);
QString providerKeyPlaceholder(LLMProviderOption provider);
QString providerMissingKeyText(LLMProviderOption provider);

} // namespace EngineSettingsText
