#pragma once

#include "model/LLMConfig.h"

#include <QString>
#include <QStringList>

class AppState;

// What the sidebar's texts say, computed from the state alone, without widgets.
namespace SidebarStatus {

// The inputs of the speech status line.
struct SpeechInputs {
    ASRProviderOption provider = ASRProviderOption::localSenseVoice;
    QString volcSpeechKey;
    bool hasEffectiveOpenAIASRKey = false;
    bool isGroqASRSelected = false;
    bool senseVoiceLoaded = false;
    bool senseVoiceFullFP32 = false;

    static SpeechInputs from(const AppState& state);
};

// The one-line speech-engine status under the product name, e.g. "SEED-ASR 2.0 · CLOUD".
QString asrStatusText(const SpeechInputs& in);
// Every text that line can show, so the sidebar can be checked to leave room for the longest.
QStringList asrStatusTexts();
// Whether that line is drawn in the ready colour.
bool asrStatusReady(const SpeechInputs& in);
// The polishing engine's short name in the status card.
QString activeEngineShortLabel(const LLMConfig& config);
// "%lld ms" for the latency row; the row is shown only for an average of at least 1.
bool showsLatency(qint64 averageMs);
QString latencyText(qint64 averageMs);

} // namespace SidebarStatus
