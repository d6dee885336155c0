#pragma once

#include "model/Models.h"

#include <QString>
#include <variant>

// The state of the dictation pipeline.
struct PipelinePhase {
    struct Listening {
        QString livePreview;
        DictationMode mode;
        bool operator==(const Listening&) const = default;
    };
    struct Polishing {
        QString rawText;
        bool operator==(const Polishing&) const = default;
    };
    struct Completed {
        QString finalText;
        qint64 latencyMs = 0;
        bool operator==(const Completed&) const = default;
    };
    struct SavedToClipboard {
        QString textPreview;
        bool operator==(const SavedToClipboard&) const = default;
    };
    struct Error {
        QString message;
        bool operator==(const Error&) const = default;
    };
    struct Idle {
        bool operator==(const Idle&) const = default;
    };

    std::variant<Listening, Polishing, Completed, SavedToClipboard, Error, Idle> state = Idle{};

    static PipelinePhase listening(QString livePreview, DictationMode mode) { return {Listening{std::move(livePreview), mode}}; }
    static PipelinePhase polishing(QString rawText) { return {Polishing{std::move(rawText)}}; }
    static PipelinePhase completed(QString finalText, qint64 latencyMs) { return {Completed{std::move(finalText), latencyMs}}; }
    static PipelinePhase savedToClipboard(QString textPreview) { return {SavedToClipboard{std::move(textPreview)}}; }
    static PipelinePhase error(QString message) { return {Error{std::move(message)}}; }
    static PipelinePhase idle() { return {Idle{}}; }

    template <typename Case>
    bool is() const { return std::holds_alternative<Case>(state); }
    template <typename Case>
    const Case* as() const { return std::get_if<Case>(&state); }
    bool isListening() const { return is<Listening>(); }

    bool operator==(const PipelinePhase&) const = default;
};
