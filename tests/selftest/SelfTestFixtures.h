#pragma once

#include "audio/SenseVoiceModel.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <cmath>
#include <numbers>
#include <sndfile.h>
#include <vector>

// Files the test modes read: a tone recording and the tiny SenseVoice-shaped fixture model.
namespace SelfTestFixtures {

// `silenceSeconds` of silence, then `toneSeconds` of a 440 Hz tone at amplitude 0.5, 16-bit mono WAV.
inline bool writeToneWav(const QString& path, int sampleRate, double toneSeconds, double silenceSeconds = 0)
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    const auto silence = static_cast<size_t>(std::lround(silenceSeconds * sampleRate));
    std::vector<float> samples(silence + static_cast<size_t>(std::lround(toneSeconds * sampleRate)), 0.0f);
    for (size_t i = silence; i < samples.size(); ++i)
        samples[i] = static_cast<float>(
            0.5 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i - silence) / sampleRate));
    const auto frames = static_cast<sf_count_t>(samples.size());
    const bool written = sf_writef_float(file, samples.data(), frames) == frames;
    return sf_close(file) == 0 && written;
}

// Installs tests/fixtures/sensevoice as the full-precision or the INT8 model under `modelsFolder` ("Models"
// of a data folder); `modelFixture` picks the model file (a truncated one cannot be loaded). Returns the
// folder that holds the model, empty on failure.
inline QString installFixtureModel(const QString& modelsFolder, bool fullPrecision,
                                   const QString& modelFixture = QStringLiteral("model.onnx"))
{
    const QString folder =
        QDir(modelsFolder)
            .filePath(fullPrecision ? SenseVoiceFiles::fullPrecisionFolder() : SenseVoiceFiles::int8Folder());
    const QString fixtures = QStringLiteral(QB_FIXTURES_DIR "/sensevoice/");
    const QString model =
        fullPrecision ? SenseVoiceFiles::fullPrecisionModel() : SenseVoiceFiles::int8Model();
    if (!QDir().mkpath(folder) || !QFile::copy(fixtures + modelFixture, QDir(folder).filePath(model)) ||
        !QFile::copy(fixtures + QStringLiteral("tokens.txt"),
                     QDir(folder).filePath(SenseVoiceFiles::tokens())))
        return {};
    return folder;
}

} // namespace SelfTestFixtures
