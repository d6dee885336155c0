#pragma once

#include <QString>
#include <variant>
#include <vector>

// A sound file read whole for the speech modes: the first channel as 32-bit floats at the file's own rate.
struct Recording {
    std::vector<float> samples;
    double sampleRate = 0;
};

// Why a file gave no recording: it could not be opened, or it opened but its samples could not be read.
struct RecordingError {
    enum class Kind { cannotOpen, readFailed };
    Kind kind = Kind::cannotOpen;
    QString reason; // libsndfile's own words
};

[[nodiscard]] std::variant<Recording, RecordingError> readRecording(const QString& path);
