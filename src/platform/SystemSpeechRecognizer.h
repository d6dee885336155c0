#pragma once

#include "util/Status.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <span>

struct SpeechRecognitionRequest {
    QString localeIdentifier; // empty: the default locale
    QStringList contextualStrings;
    int sampleRate = 0; // of the float32 mono audio that will be appended
};

// A recogniser the desktop itself offers, the last resort when no other engine can run. Linux has none: its
// backend reports unavailable. One session at a time. Safe from any thread (audio comes from the capture
// thread); results arrive on the main thread.
class SystemSpeechRecognizer {
public:
    using ResultHandler = std::function<void(const QString& text, bool isFinal)>;

    virtual ~SystemSpeechRecognizer() = default;

    // Whether a recogniser for the locale (empty: the default one) exists and can run now.
    virtual bool isAvailable(const QString& localeIdentifier) = 0;
    // Replaces a session still running. Partial results are reported as they come.
    virtual Status startSession(const SpeechRecognitionRequest& request, ResultHandler handler) = 0;
    virtual void appendAudio(std::span<const float> samples) = 0;
    // No more audio: the recogniser may still deliver results for what it has.
    virtual void endAudio() = 0;
    // Ends the session; no result is delivered after cancel() has returned.
    virtual void cancel() = 0;
};
