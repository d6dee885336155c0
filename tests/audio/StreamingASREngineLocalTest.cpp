#include "audio/StreamingASREngineTestSupport.h"

using namespace std::chrono_literals;
using namespace EngineTest;

namespace {

const QString kNi = QStringLiteral("你");
const QString kNiHao = QStringLiteral("你好");

class StreamingASREngineLocal : public ::testing::Test {
protected:
    void SetUp() override
    {
        installModel();
        h.configure(ASRProviderOption::localSenseVoice);
    }

    Harness h;
};

} // namespace

TEST_F(StreamingASREngineLocal, PartialThenSettledAtPausesThenFinalWithoutDecodingAgain)
{
    h.start();
    EXPECT_EQ(h.modelReadyCount, 1);
    EXPECT_TRUE(h.engine->isFullPrecisionFP32());
    EXPECT_FALSE(h.engine->activeSessionUsesAnyCloudASR());

    h.speak(silence(0.3));
    EXPECT_TRUE(h.partials.isEmpty()) << "silence gives no text";
    h.speak(tone(400, 0.4));
    ASSERT_FALSE(h.partials.isEmpty());
    EXPECT_EQ(h.partials.last(), (Partial{kNi, false}));

    // A short pause repeats the text once as settled, however many ticks it lasts.
    h.speak(silence(0.35));
    EXPECT_EQ(h.count({kNi, true}), 1);
    EXPECT_EQ(h.partials.last(), (Partial{kNi, true}));

    h.speak(tone(4000, 0.4));
    EXPECT_EQ(h.partials.last(), (Partial{kNiHao, false}));
    h.speak(silence(0.3));
    EXPECT_EQ(h.partials.last(), (Partial{kNiHao, true}));
    EXPECT_EQ(h.count({kNiHao, false}), 1) << "an unchanged partial is not sent again";

    // The last partial covered every voiced sample: the finish answers at once, with no decode to wait for.
    h.beginFinish();
    ASSERT_TRUE(h.finished.has_value());
    EXPECT_EQ(h.finished->text, kNiHao);
    EXPECT_NEAR(h.finished->durationSeconds, 1.75, 0.01);

    // Spoken faster than any tick, so no partial decode has run: the finish decodes the tail itself.
    h.partials.clear();
    h.start();
    std::vector<float> utterance = silence(0.2);
    const std::vector<float> ni = tone(400, 0.3);
    utterance.insert(utterance.end(), ni.begin(), ni.end());
    h.capture.feed(utterance);
    EXPECT_TRUE(h.partials.isEmpty());
    EXPECT_EQ(h.finish().text, kNi);
    EXPECT_TRUE(h.errors.isEmpty());
}

TEST_F(StreamingASREngineLocal, SegmentsAreCutAtSentencePausesAfterLongSpeechAndAtFourteenAndAHalfSeconds)
{
    h.start();
    // 5 s of speech and a 0.8 s pause: cut, frozen, with a comma.
    h.speak(tone(400, 5.0));
    h.speak(silence(0.8));
    EXPECT_EQ(h.partials.last(), (Partial{QStringLiteral("你，"), true}));

    // After 9.5 s a breath is enough to cut, without a comma; the frozen prefix leads every later text.
    h.speak(tone(4000, 10.0));
    EXPECT_EQ(h.partials.last(), (Partial{QStringLiteral("你，好"), false}));
    h.speak(silence(0.3));
    EXPECT_EQ(h.partials.last(), (Partial{QStringLiteral("你，好"), true}));
    EXPECT_EQ(h.finish().text, QStringLiteral("你，好"));

    // Continuous speech is cut at 14.5 s whatever happens.
    h.partials.clear();
    h.start();
    h.speak(tone(400, 14.4));
    EXPECT_FALSE(h.partials.contains(Partial{kNi, true}));
    h.speak(tone(400, 0.3));
    EXPECT_TRUE(h.partials.contains(Partial{kNi, true})) << "the forced cut freezes the segment";
    // The tail after the cut is decoded on its own and joined without a comma.
    h.speak(tone(400, 0.4));
    EXPECT_EQ(h.finish().text, QStringLiteral("你你"));
}

TEST_F(StreamingASREngineLocal, CancelThenAnImmediateStartDeliversNothingOfTheOldSession)
{
    h.start();
    h.speak(silence(0.2));
    h.speak(tone(400, 0.4));
    ASSERT_EQ(h.partials.last(), (Partial{kNi, false}));

    // A tick queues a decode of the grown segment; the session is cancelled while it is in flight.
    h.capture.feed(tone(400, 0.2));
    h.scheduler.advance(60ms);
    h.engine->cancel();
    h.engine->startStreamingAsync(QStringLiteral("zh-CN"), {}, {});
    h.partials.clear();
    h.settle();
    EXPECT_TRUE(h.partials.isEmpty()) << "a decode of the cancelled session delivered its text";

    h.speak(silence(0.2));
    h.speak(tone(4000, 0.4));
    h.speak(silence(0.1));
    EXPECT_EQ(h.partials.first(), (Partial{QStringLiteral("好"), false}));
    EXPECT_EQ(h.finish().text, QStringLiteral("好")) << "audio or text of the cancelled session leaked";
    EXPECT_EQ(h.capture.startCount(), 1) << "the hot microphone carries over";

    // The hot microphone stays up for 15 s after the session, then everything is released.
    h.scheduler.advance(14900ms);
    h.settle();
    EXPECT_TRUE(h.capture.isRunning());
    h.scheduler.advance(200ms);
    h.settle();
    EXPECT_FALSE(h.capture.isRunning());
    EXPECT_EQ(h.scheduler.pendingCount(), 0u) << "a timer outlived the session";
    EXPECT_TRUE(h.errors.isEmpty());
}

TEST_F(StreamingASREngineLocal, AFinishRacingTheQueuedStartLeavesNoSessionBehind)
{
    // The finish comes while the start may still be loading the model: a start that runs late must not begin
    // a session that is already over.
    h.engine->startStreamingAsync(QStringLiteral("zh-CN"), {}, {});
    h.beginFinish();
    h.settle();
    h.scheduler.advance(35ms);
    h.settle();
    ASSERT_TRUE(h.finished.has_value());
    EXPECT_EQ(h.finished->text, QString());
    h.capture.feed(tone(400, 0.5));
    h.scheduler.advance(1s);
    h.settle();
    EXPECT_TRUE(h.partials.isEmpty());
}

TEST(StreamingASREngineChoice, RecognizerChoiceAndStartFailures)
{
    {
        // Seed-ASR chosen without a usable key: the loaded local model answers.
        Harness h;
        installModel();
        h.configure(ASRProviderOption::volcSeedASR, QStringLiteral("  \n"));
        h.start();
        EXPECT_FALSE(h.engine->activeSessionUsesCloudSeedASR());
        h.speak(silence(0.2));
        h.speak(tone(400, 0.4));
        EXPECT_EQ(h.partials.last(), (Partial{kNi, false}));
        EXPECT_FALSE(h.recognizer.lastRequest().has_value());
        // Room for 14 s of a segment at the microphone's 48 kHz, and no cloud backup.
        EXPECT_EQ(h.engine->sessionBufferCapacities().segment, 14u * 48000);
        EXPECT_EQ(h.engine->sessionBufferCapacities().backup, 0u);
    }
    {
        // Neither cloud nor model, and no desktop recogniser: an error of the engine's domain.
        Harness h;
        h.configure(ASRProviderOption::volcSeedASR);
        h.start();
        const AppError noRecognizer{QStringLiteral("Quorbell.ASR"), -1,
                                    StreamingASREngine::kNoRecognizerSeedKeyMissing.toString()};
        EXPECT_EQ(h.errorValues, QList<AppError>{noRecognizer});
        EXPECT_FALSE(h.capture.isRunning());
    }
    {
        // No microphone source.
        Harness h;
        installModel();
        h.capture.setSource(std::nullopt);
        h.configure(ASRProviderOption::localSenseVoice);
        h.start();
        const AppError noMicrophone{QStringLiteral("Quorbell.ASR"), -2,
                                    StreamingASREngine::kNoMicrophoneInputMessage.toString()};
        EXPECT_EQ(h.errorValues, QList<AppError>{noMicrophone});
    }
}

TEST(StreamingASREngineChoice, TheDesktopRecognizerIsTheLastResort)
{
    Harness h;
    h.recognizer.setAvailable(QString(), true); // only the default locale
    h.configure(ASRProviderOption::localSenseVoice);
    h.start({QStringLiteral("Quorbell")});
    ASSERT_TRUE(h.recognizer.lastRequest().has_value());
    EXPECT_EQ(h.recognizer.lastRequest()->localeIdentifier, QString());
    EXPECT_EQ(h.recognizer.lastRequest()->contextualStrings, QStringList{QStringLiteral("Quorbell")});
    EXPECT_EQ(h.recognizer.lastRequest()->sampleRate, kRate);

    h.capture.feed(tone(400, 0.5));
    EXPECT_EQ(h.recognizer.appendedSampleCount(), 24000);
    ASSERT_TRUE(h.recognizer.deliverResult(QStringLiteral("你好"), false));
    ASSERT_TRUE(h.recognizer.deliverResult(QString(), false));
    h.settle();
    EXPECT_EQ(h.partials, (QList<Partial>{{kNiHao, false}}));

    // Its answer is the last partial result; the task ends with the session.
    h.beginFinish();
    h.settle();
    EXPECT_FALSE(h.finished.has_value()) << "the recogniser gets a moment for the last audio";
    h.scheduler.advance(35ms);
    h.settle();
    ASSERT_TRUE(h.finished.has_value());
    EXPECT_EQ(h.finished->text, kNiHao);
    EXPECT_TRUE(h.recognizer.audioEnded());
    EXPECT_FALSE(h.recognizer.isSessionActive());
}

// A model that is found but cannot be loaded is reported, not skipped in silence.
TEST(StreamingASREngineChoice, AModelThatFailsToLoadIsReported)
{
    Harness h;
    installModel("model-truncated.onnx");
    h.configure(ASRProviderOption::localSenseVoice);
    h.engine->warmUp(QStringLiteral("zh-CN"));
    h.settle();
    ASSERT_EQ(h.errors.size(), 1);
    EXPECT_TRUE(h.errors.first().contains(SenseVoiceFiles::fullPrecisionFolder()))
        << h.errors.first().toStdString();
    EXPECT_EQ(h.modelReadyCount, 0);

    // A session that cannot run anywhere else says why the model did not answer.
    h.errors.clear();
    h.start();
    ASSERT_EQ(h.errors.size(), 1);
    EXPECT_TRUE(h.errors.first().contains(SenseVoiceFiles::fullPrecisionFolder()))
        << h.errors.first().toStdString();
}

TEST(StreamingASREngineChoice, LevelAndStreamingGain)
{
    const std::vector<float> loud = tone(1000, 0.02, kRate, 0.5);
    EXPECT_NEAR(StreamingASREngine::calculateRMSMetrics(loud).rawRMS, 0.5 / std::sqrt(2.0), 0.01);
    // Only quiet speech is lifted, and only with the gain enabled: neither loud input nor near silence.
    EXPECT_EQ(StreamingASREngine::streamingGain(true, true, 0.01f), 4.5f);
    for (float level : {0.05f, 0.001f})
        EXPECT_EQ(StreamingASREngine::streamingGain(true, true, level), 1.0f) << level;
    EXPECT_EQ(StreamingASREngine::streamingGain(true, false, 0.01f), 1.0f);
    EXPECT_EQ(StreamingASREngine::streamingGain(false, true, 0.01f), 1.0f);
}
