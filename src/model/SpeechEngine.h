#pragma once

#include "model/Models.h"
#include "util/AppError.h"

#include <QCoroTask>
#include <QString>
#include <QStringList>
#include <functional>

// What one dictation produced: the transcript and how long the user spoke.
struct SpeechTranscript {
    QString text;
    double durationSeconds = 0;
    // Voice was heard in the recording: an empty text then is a failure to recognise, not silence.
    bool heardVoice = false;
};

// The speech engine as the application state drives it. The real engine captures the microphone and runs the
// cloud or local recognizers; tests script one. Everything here is called on the main thread, and every
// callback is delivered on the main thread.
class SpeechEngine {
public:
    struct Settings {
        ASRProviderOption asrProvider = ASRProviderOption::volcSeedASR;
        QString volcSpeechAPIKey;
        QString openAIASRBaseURL;
        QString openAIASRModel;
        QString openAIASRAPIKey;
        bool enableWhisperAGC = true;
    };

    virtual ~SpeechEngine() = default;

    // Settings are pushed whole whenever a setting or key changes.
    virtual void applySettings(const Settings& settings) = 0;

    // Callbacks, set once by the application state.
    std::function<void()> onModelReady;
    std::function<void(const QString& text, bool settled)> onPartialResult;
    // A session could not start, or cloud transcription failed; the user sees the error's description.
    std::function<void(const AppError& error)> onError;
    std::function<void(const QString& reason)> onCloudFailoverNotice;
    // The cloud recogniser failed during a dictation and no local model can take over: the recording should
    // end now. What the cloud streamed before is still the session's transcript.
    std::function<void(const QString& reason)> onCloudRecognitionFailed;
    // The transcript the finish returns is the last streamed text, without the service's final answer: it
    // may be incomplete.
    std::function<void(const QString& reason)> onTranscriptMayBeIncomplete;
    // The microphone stopped in the middle of a session (the sound server went away, the device was
    // removed); what was recorded until then is kept for the finish.
    std::function<void(const QString& reason)> onCaptureLost;
    // A local model that was found on disk could not be loaded (also reported through onError).
    std::function<void(const QString& reason)> onModelLoadFailed;

    virtual bool isMicrophoneAuthorized() const = 0;
    virtual bool isSpeechAuthorized() const = 0;
    // Answers (microphone granted, speech recognition granted) later, on the main thread.
    virtual void requestPermissions(std::function<void(bool microphone, bool speech)> completion) = 0;
    // A local model is on disk.
    virtual bool hasLocalModel() const = 0;

    virtual void warmUp(const QString& localeIdentifier) = 0;
    virtual void prewarmCloudSocketIfReady() = 0;
    virtual void prewarmHotMicAsync() = 0;
    virtual void reloadSenseVoiceModelAsync() = 0;
    // One handshake with the engine's Seed-ASR service: the round trip in whole milliseconds, or the error.
    virtual QCoro::Task<Result<qint64>> probeSeedASRHandshake(QString apiKey, QString resourceID) = 0;

    virtual void startStreamingAsync(const QString& localeIdentifier, const QStringList& contextualStrings,
                                     const QStringList& dialogContext) = 0;
    virtual QCoro::Task<SpeechTranscript> finishStreaming() = 0;
    virtual void cancel() = 0;

    virtual bool isUsingSenseVoice() const = 0;
    virtual bool isFullPrecisionFP32() const = 0;
    virtual bool activeSessionUsesCloudSeedASR() const = 0;
    virtual bool activeSessionUsesOpenAIASR() const = 0;
};
