// A sound file for the speech modes, through libsndfile: any header and any data, whatever they claim.
#include "fuzz/FuzzTarget.h"

#include "selftest/RecordingReader.h"
#include "util/FileIO.h"

QB_FUZZ_TARGET(wav_file)
{
    const QString path = fuzzScratchFolder() + QStringLiteral("/recording.wav");
    FUZZ_CHECK(FileIO::writeAtomically(path, input));
    const std::variant<Recording, RecordingError> read = readRecording(path);
    if (const auto* recording = std::get_if<Recording>(&read))
        FUZZ_CHECK(recording->sampleRate >= 1);
}
