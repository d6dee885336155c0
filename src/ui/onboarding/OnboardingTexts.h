#pragma once

#include "model/Models.h"

#include <QList>
#include <QString>

class AppState;

// What the first-run wizard shows, computed from the state alone, without widgets.
namespace OnboardingTexts {

// The inputs of the step-2 badge.
struct EngineInputs {
    ASRProviderOption provider = ASRProviderOption::volcSeedASR;
    QString volcSpeechKeyInput;
    bool hasEffectiveOpenAIASRKey = false;
    bool senseVoiceLoaded = false;

    static EngineInputs from(const AppState& state);
};

// Whether the chosen speech engine can run: a typed Seed-ASR key (as typed, spaces count), a usable
// transcription key, or the loaded local model.
bool engineReady(const EngineInputs& in);
// The step-2 badge "双引擎已就绪": a ready engine and a typed model key (as typed).
bool showsEnginesReadyBadge(const EngineInputs& in, const QString& apiKeyInput);

// The pickers' entries, in their order, with their labels.
struct SpeechEntry {
    ASRProviderOption provider;
    QString label;
};
QList<SpeechEntry> speechEntries();
struct ModelEntry {
    LLMProviderOption provider;
    QString label;
};
// Six providers; the custom endpoint is chosen elsewhere and is no entry here.
QList<ModelEntry> modelEntries();
// The entry's place in the list; -1 when it is none of them (the custom endpoint).
int speechIndex(ASRProviderOption provider);
int modelIndex(LLMProviderOption provider);

// The speech key field's placeholder for the chosen engine (empty for the local engine, which has no field).
QString speechKeyPlaceholder(ASRProviderOption provider, bool reusingLLMKey);
// "粘贴 <picker label> API Key", or 自定义接口 for the custom endpoint.
QString modelKeyPlaceholder(LLMProviderOption provider);

// What step 3 shows under the grid: the running download, the download button, or nothing once the full
// model is installed.
enum class DownloadArea { progress, button, none };
DownloadArea downloadArea(bool isDownloading, bool fullModelInstalled);

// Finish stores a typed key only when it is not blank.
bool isEntered(const QString& key);

} // namespace OnboardingTexts
