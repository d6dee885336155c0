#include "selftest/RecordingReader.h"

#include <QFile>
#include <sndfile.h>

std::variant<Recording, RecordingError> readRecording(const QString& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return RecordingError{RecordingError::Kind::cannotOpen, QString::fromUtf8(sf_strerror(nullptr))};
    std::variant<Recording, RecordingError> result = RecordingError{RecordingError::Kind::readFailed, {}};
    if (info.channels < 1 || info.samplerate < 1 || info.frames < 0) {
        result = RecordingError{RecordingError::Kind::readFailed, QStringLiteral("no usable audio format")};
    } else {
        // libsndfile interleaves the channels; only the first is kept.
        std::vector<float> interleaved(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
        const sf_count_t read =
            interleaved.empty() ? 0 : sf_readf_float(file, interleaved.data(), info.frames);
        if (read != info.frames) {
            result = RecordingError{RecordingError::Kind::readFailed, QString::fromUtf8(sf_strerror(file))};
        } else {
            Recording recording;
            recording.sampleRate = info.samplerate;
            recording.samples.reserve(static_cast<size_t>(info.frames));
            for (size_t i = 0; i < interleaved.size(); i += static_cast<size_t>(info.channels))
                recording.samples.push_back(interleaved[i]);
            result = std::move(recording);
        }
    }
    sf_close(file);
    return result;
}
