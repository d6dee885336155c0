#include "audio/SenseVoiceModel.h"

#include "support/TempDataFolder.h"

#include <QDir>
#include <QFile>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <vector>

namespace {

QString fixture(const char* name)
{
    return QStringLiteral(QB_FIXTURES_DIR "/sensevoice/") + QLatin1String(name);
}

// Puts model and tokens fixtures into a model folder under the data folder's "Models".
void installModel(const QString& folder, const char* modelFixture, const QString& modelName,
                  const char* tokensFixture = "tokens.txt")
{
    const QString target = senseVoiceModelsFolder() + QLatin1Char('/') + folder;
    ASSERT_TRUE(QDir().mkpath(target));
    EXPECT_TRUE(!modelFixture || QFile::copy(fixture(modelFixture), target + QLatin1Char('/') + modelName));
    EXPECT_TRUE(!tokensFixture ||
                QFile::copy(fixture(tokensFixture), target + QStringLiteral("/tokens.txt")));
}

// "你" for the 400 Hz tone and "好" for the 4000 Hz one, in the tiny fixture model.
std::vector<float> speech(int rate, double amplitude)
{
    std::vector<float> samples;
    auto tone = [&](double frequency) {
        const int count = static_cast<int>(0.4 * rate);
        for (int i = 0; i < count; ++i) {
            const double envelope = std::min(1.0, std::min(i, count - 1 - i) / (0.01 * rate));
            samples.push_back(static_cast<float>(amplitude * envelope *
                                                 std::sin(2 * std::numbers::pi * frequency * i / rate)));
        }
    };
    auto pause = [&] { samples.insert(samples.end(), static_cast<size_t>(0.3 * rate), 0.0f); };
    pause();
    tone(400);
    pause();
    tone(4000);
    pause();
    return samples;
}

TEST(SenseVoiceModelPaths, FullPrecisionFirstAndOnlyWithBothFiles)
{
    TempDataFolder data;
    EXPECT_FALSE(senseVoiceModelPaths());

    // A model without its tokens does not count.
    installModel(SenseVoiceFiles::fullPrecisionFolder(), "model.onnx", QStringLiteral("model.onnx"), nullptr);
    EXPECT_FALSE(senseVoiceModelPaths());

    installModel(SenseVoiceFiles::int8Folder(), "model.onnx", QStringLiteral("model.int8.onnx"));
    std::optional<SenseVoiceModelPaths> paths = senseVoiceModelPaths();
    ASSERT_TRUE(paths);
    EXPECT_FALSE(paths->isFullPrecision);
    EXPECT_TRUE(paths->modelPath.endsWith(QStringLiteral("int8-2025-09-09/model.int8.onnx")))
        << paths->modelPath.toStdString();

    installModel(SenseVoiceFiles::fullPrecisionFolder(), nullptr, {});
    paths = senseVoiceModelPaths();
    ASSERT_TRUE(paths);
    EXPECT_TRUE(paths->isFullPrecision);
    const QString folder = data.path() + QStringLiteral("/Models/") + SenseVoiceFiles::fullPrecisionFolder();
    EXPECT_EQ(paths->modelPath, folder + QStringLiteral("/model.onnx"));
    EXPECT_EQ(paths->tokensPath, folder + QStringLiteral("/tokens.txt"));

    // Looking only reads: a data folder that does not exist yet is not created by it.
    const QString absent = data.filePath(QStringLiteral("not-yet"));
    DataFolder::setOverride(absent);
    EXPECT_FALSE(senseVoiceModelPaths());
    EXPECT_FALSE(QDir(absent).exists());
}

TEST(SenseVoiceModel, QuietSpeechGain)
{
    // Loud enough already, near silence, or too few voiced probes: unchanged.
    std::vector<float> fewVoiced(13, 0.0f);
    std::fill_n(fewVoiced.begin(), 12, 0.01f);
    for (const std::vector<float>& unchanged :
         {std::vector<float>(4000, 0.2f), std::vector<float>(4000, 0.001f), fewVoiced})
        EXPECT_EQ(boostQuietSpeechAGC(unchanged), unchanged);

    // Level 0.034: gain 0.085 / 0.034 = 2.5.
    std::vector<float> quiet(4000);
    for (size_t i = 0; i < quiet.size(); ++i)
        quiet[i] = i % 2 ? -0.034f : 0.034f;
    quiet[1] = 0.3f; // odd samples are skipped by the probe stride of 2; this one is limited softly
    std::vector<float> boosted = boostQuietSpeechAGC(quiet);
    ASSERT_EQ(boosted.size(), quiet.size());
    EXPECT_NEAR(boosted[0], 0.085f, 1e-5);
    EXPECT_NEAR(boosted[3], -0.085f, 1e-5);
    EXPECT_NEAR(boosted[1], std::tanh(0.75f), 1e-5);

    // Below the near-silence level, and very quiet above it: the gain is capped at 7.5.
    EXPECT_NEAR(boostQuietSpeechAGC(std::vector<float>(4000, 0.0016f))[10], 0.012f, 1e-6);
    EXPECT_NEAR(boostQuietSpeechAGC(std::vector<float>(4000, 0.005f))[10], 0.0375f, 1e-6);
}

TEST(SenseVoiceModel, LoadsOnceAndDecodesThroughTheBridge)
{
    TempDataFolder data;
    SenseVoiceModel model;
    EXPECT_EQ(model.loadIfAvailable().outcome, SenseVoiceModel::LoadOutcome::noModel);
    EXPECT_EQ(model.transcribe(speech(48000, 0.3), 48000, false), QString());

    installModel(SenseVoiceFiles::int8Folder(), "model.onnx", QStringLiteral("model.int8.onnx"));
    const SenseVoiceModel::LoadResult first = model.loadIfAvailable();
    ASSERT_EQ(first.outcome, SenseVoiceModel::LoadOutcome::loaded) << first.error.toStdString();
    EXPECT_FALSE(model.isFullPrecision());

    // Which model is loaded is decided once: a full-precision model arriving later does not replace it.
    installModel(SenseVoiceFiles::fullPrecisionFolder(), "model.onnx", QStringLiteral("model.onnx"));
    EXPECT_EQ(model.loadIfAvailable().outcome, SenseVoiceModel::LoadOutcome::alreadyLoaded);
    EXPECT_FALSE(model.isFullPrecision());

    EXPECT_EQ(model.transcribe(speech(48000, 0.3), 48000, false), QStringLiteral("你好"));
    EXPECT_EQ(model.transcribe(speech(44100, 0.02), 44100, true), QStringLiteral("你好"));
    EXPECT_EQ(model.transcribe({}, 48000, true), QString());
}

// A model that is found but cannot be loaded is a failure the caller can report, not a silent "no model".
TEST(SenseVoiceModel, BrokenModelIsReportedAsFailed)
{
    TempDataFolder data;
    installModel(SenseVoiceFiles::fullPrecisionFolder(), "model-truncated.onnx",
                 QStringLiteral("model.onnx"));
    SenseVoiceModel model;
    const SenseVoiceModel::LoadResult result = model.loadIfAvailable();
    EXPECT_EQ(result.outcome, SenseVoiceModel::LoadOutcome::failed);
    EXPECT_TRUE(result.error.contains(SenseVoiceFiles::fullPrecisionFolder())) << result.error.toStdString();
    EXPECT_FALSE(model.isLoaded());
    EXPECT_EQ(model.transcribe(speech(16000, 0.3), 16000, false), QString());
}

} // namespace
