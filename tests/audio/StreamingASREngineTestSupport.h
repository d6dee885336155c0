#pragma once

#include "audio/SeedASRTestServer.h"
#include "audio/SenseVoiceModel.h"
#include "audio/StreamingASREngine.h"
#include "fakes/FakeAudioCapture.h"
#include "fakes/FakePermissions.h"
#include "fakes/FakeSystemSpeechRecognizer.h"
#include "model/AudioLevelBus.h"
#include "support/TempDataFolder.h"
#include "support/VirtualScheduler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <ostream>

// A headless engine on virtual time: the fake microphone is fed on the test's thread, ticks run when the test
// advances the clock, and the engine's queues are drained after every step, so each run decodes the same
// segments and delivers the same results.
namespace EngineTest {

constexpr int kRate = 48000;

inline std::vector<float> tone(double hz, double seconds, int rate = kRate, double amplitude = 0.3)
{
    std::vector<float> samples(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(amplitude *
                                        std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rate));
    return samples;
}

inline std::vector<float> silence(double seconds, int rate = kRate)
{
    return std::vector<float>(static_cast<size_t>(seconds * rate), 0.0f);
}

// The fixture model: a 400 Hz tone reads "你", a 4000 Hz tone "好", silence nothing.
inline void installModel(const char* modelFixture = "model.onnx")
{
    const QString folder =
        senseVoiceModelsFolder() + QLatin1Char('/') + SenseVoiceFiles::fullPrecisionFolder();
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString fixtures = QStringLiteral(QB_FIXTURES_DIR "/sensevoice/");
    ASSERT_TRUE(QFile::copy(fixtures + QLatin1String(modelFixture), folder + QStringLiteral("/model.onnx")));
    ASSERT_TRUE(QFile::copy(fixtures + QStringLiteral("tokens.txt"), folder + QStringLiteral("/tokens.txt")));
}

struct Partial {
    QString text;
    bool settled = false;
    bool operator==(const Partial&) const = default;
};

inline void PrintTo(const Partial& partial, std::ostream* out)
{
    *out << '"' << partial.text.toStdString() << (partial.settled ? "\" settled" : "\"");
}

inline QCoro::Task<> finishInto(StreamingASREngine* engine, std::optional<SpeechTranscript>* out)
{
    *out = co_await engine->finishStreaming();
}

class Harness {
public:
    explicit Harness(VolcSeedASRClient::Endpoint seedEndpoint = VolcSeedASRClient::Endpoint::volcengine())
    {
        permissions.setMicrophoneStatus(AuthorizationStatus::Authorized);
        StreamingASREngine::Services services;
        services.scheduler = &scheduler;
        services.capture = &capture;
        services.systemRecognizer = &recognizer;
        services.permissions = &permissions;
        services.levelBus = &levelBus;
        services.seedEndpoint = std::move(seedEndpoint);
        engine = std::make_unique<StreamingASREngine>(std::move(services));
        engine->onPartialResult = [this](const QString& text, bool settled) {
            partials.append({text, settled});
        };
        engine->onError = [this](const AppError& error) {
            errors.append(error.description);
            errorValues.append(error);
        };
        engine->onCloudFailoverNotice = [this](const QString& reason) { notices.append(reason); };
        engine->onModelReady = [this] { ++modelReadyCount; };
    }

    ~Harness()
    {
        engine.reset();
        settle();
    }

    void configure(ASRProviderOption::Value provider, const QString& seedKey = {},
                   const QString& openAIBase = {}, const QString& openAIKey = {})
    {
        SpeechEngine::Settings settings;
        settings.asrProvider = provider;
        settings.volcSpeechAPIKey = seedKey;
        settings.openAIASRBaseURL =
            openAIBase.isEmpty() ? OpenAITranscriptionClient::defaultBaseURL() : openAIBase;
        settings.openAIASRModel = OpenAITranscriptionClient::defaultModel();
        settings.openAIASRAPIKey = openAIKey;
        engine->applySettings(settings);
    }

    void start(const QStringList& hotwords = {})
    {
        engine->startStreamingAsync(QStringLiteral("zh-CN"), hotwords, {});
        settle();
    }

    // Runs what the engine's queues hold and delivers what they posted to the main thread.
    void settle()
    {
        for (int round = 0; round < 3; ++round) {
            if (engine)
                engine->waitForBackgroundWork();
            CloudTest::processEventsOnce();
        }
    }

    // Feeds the samples as the microphone would, moving the clock along with the audio.
    void speak(const std::vector<float>& samples)
    {
        constexpr size_t kChunk = AudioCapture::kFramesPerBuffer * 5;
        const int rate = capture.sampleRate() > 0 ? capture.sampleRate() : kRate;
        for (size_t offset = 0; offset < samples.size(); offset += kChunk) {
            const size_t length = std::min(kChunk, samples.size() - offset);
            capture.feed(std::vector<float>(samples.begin() + static_cast<std::ptrdiff_t>(offset),
                                            samples.begin() + static_cast<std::ptrdiff_t>(offset + length)));
            scheduler.advance(seconds(static_cast<double>(length) / rate));
            settle();
        }
    }

    void beginFinish()
    {
        finished.reset();
        finishInto(engine.get(), &finished);
    }

    // Waits (boundedly, on real sockets and queues) for the finish begun earlier to return.
    bool waitFinished()
    {
        return CloudTest::waitUntil([this] {
            settle();
            return finished.has_value();
        });
    }

    SpeechTranscript finish()
    {
        beginFinish();
        EXPECT_TRUE(waitFinished()) << "finish did not return";
        return finished.value_or(SpeechTranscript{});
    }

    int count(const Partial& partial) const { return static_cast<int>(partials.count(partial)); }

    TempDataFolder data;
    VirtualScheduler scheduler;
    FakeAudioCapture capture;
    FakeSystemSpeechRecognizer recognizer;
    FakePermissions permissions;
    AudioLevelBus levelBus;
    std::unique_ptr<StreamingASREngine> engine;

    QList<Partial> partials;
    QStringList errors; // the descriptions of errorValues
    QList<AppError> errorValues;
    QStringList notices;
    int modelReadyCount = 0;
    std::optional<SpeechTranscript> finished;
};

} // namespace EngineTest
