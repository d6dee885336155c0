#include "sherpa/SherpaOnnxLibrary.h"
#include "sherpa/sherpa_bridge.h"

#include <QTemporaryFile>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <numbers>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string fixture(const char* name)
{
    return std::string(QB_FIXTURES_DIR) + "/sensevoice/" + name;
}

// Audio the tiny model understands: a 400 Hz tone reads as "你", a 4000 Hz tone as "好", silence as nothing.
class Utterance {
public:
    explicit Utterance(int rate) : m_rate(rate) {}

    Utterance& tone(double frequency, double seconds, double amplitude = 0.3)
    {
        const int count = static_cast<int>(seconds * m_rate);
        const double fade = 0.01 * m_rate; // soft edges: an abrupt start would splash energy into every band
        for (int i = 0; i < count; ++i) {
            const double envelope = std::min(1.0, std::min(i, count - 1 - i) / fade);
            m_samples.push_back(static_cast<float>(amplitude * envelope *
                                                   std::sin(2 * std::numbers::pi * frequency * i / m_rate)));
        }
        return *this;
    }
    Utterance& pause(double seconds)
    {
        m_samples.insert(m_samples.end(), static_cast<size_t>(seconds * m_rate), 0.0f);
        return *this;
    }
    const std::vector<float>& samples() const { return m_samples; }
    int rate() const { return m_rate; }

private:
    int m_rate;
    std::vector<float> m_samples;
};

struct HandleDeleter {
    void operator()(qb_sensevoice* handle) const { qb_sensevoice_destroy(handle); }
};
using Handle = std::unique_ptr<qb_sensevoice, HandleDeleter>;

Handle create(const std::string& model, const std::string& tokens, int threads = 1)
{
    return Handle(qb_sensevoice_create(model.c_str(), tokens.c_str(), threads));
}

std::string transcribe(qb_sensevoice* handle, const float* samples, int32_t count, int32_t rate)
{
    char* text = qb_sensevoice_transcribe(handle, samples, count, rate);
    EXPECT_NE(text, nullptr);
    std::string result = text ? text : "<null>";
    qb_sensevoice_free_string(text);
    return result;
}

std::string transcribe(qb_sensevoice* handle, const Utterance& utterance)
{
    return transcribe(handle, utterance.samples().data(), static_cast<int32_t>(utterance.samples().size()),
                      utterance.rate());
}

// Collects what the library prints on stderr while `work` runs.
template <typename Work> std::string captureStderr(Work work)
{
    QTemporaryFile capture;
    if (!capture.open())
        return {};
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(capture.handle(), STDERR_FILENO);
    work();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    capture.seek(0);
    return capture.readAll().toStdString();
}

class SherpaBridgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const sherpa::Library& library = sherpa::Library::shared();
        ASSERT_TRUE(library.isLoaded())
            << "sherpa-onnx is not loadable (run scripts/setup): " << library.error();
    }
};

TEST(SherpaLibrary, MissingLibraryIsReportedNotFatal)
{
    sherpa::Library missing("/nonexistent/sherpa-onnx");
    EXPECT_FALSE(missing.isLoaded());
    EXPECT_NE(missing.error().find("libsherpa-onnx-c-api.so"), std::string::npos) << missing.error();
}

// Our declarations of the configuration must put every value where the library reads it: the library prints
// what it received when debug is on, so values set at both ends of the structure are checked there.
TEST_F(SherpaBridgeTest, LibraryReadsTheConfigurationAsWeLayItOut)
{
    const std::string model = fixture("model.onnx");
    const std::string tokens = fixture("tokens.txt");
    sherpa::OfflineRecognizerConfig config = sherpa::senseVoiceConfig(model.c_str(), tokens.c_str(), 3);
    config.modelConfig.debug = 1;
    config.lmConfig.scale = 0.5f;
    config.maxActivePaths = 7;
    config.hotwordsScore = 2.5f;
    config.blankPenalty = 0.25f;

    const sherpa::Api& api = sherpa::Library::shared().api();
    const sherpa::OfflineRecognizer* recognizer = nullptr;
    const std::string dump = captureStderr([&] { recognizer = api.createOfflineRecognizer(&config); });
    ASSERT_NE(recognizer, nullptr) << dump;
    api.destroyOfflineRecognizer(recognizer);

    for (const std::string& expected : {
             std::string("sampling_rate=16000"),
             std::string("feature_dim=80"),
             "sense_voice=OfflineSenseVoiceModelConfig(model=\"" + model +
                 "\", language=\"zh\", use_itn=True)",
             "tokens=\"" + tokens + "\", num_threads=3, debug=True, provider=\"cpu\"",
             std::string("scale=0.5"),
             std::string("decoding_method=\"greedy_search\", max_active_paths=7"),
             std::string("hotwords_score=2.5, blank_penalty=0.25"),
             std::string("hr=HomophoneReplacerConfig(lexicon=\"\", rule_fsts=\"\")"),
         })
        EXPECT_NE(dump.find(expected), std::string::npos) << "missing " << expected << " in\n" << dump;
}

TEST_F(SherpaBridgeTest, DecodesTheTinyModelAtTheDeviceRate)
{
    Handle handle = create(fixture("model.onnx"), fixture("tokens.txt"));
    ASSERT_TRUE(handle);

    for (int rate : {16000, 44100, 48000}) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(transcribe(handle.get(),
                             Utterance(rate).pause(0.3).tone(400, 0.4).pause(0.3).tone(4000, 0.4).pause(0.3)),
                  "你好");
    }
    EXPECT_EQ(transcribe(handle.get(), Utterance(48000).tone(4000, 0.5).pause(0.3).tone(400, 0.5)), "好你");
    // A repeated token needs the blank between its two halves.
    EXPECT_EQ(transcribe(handle.get(), Utterance(48000).tone(400, 0.4).pause(0.3).tone(400, 0.4)), "你你");
    EXPECT_EQ(transcribe(handle.get(), Utterance(48000).pause(1.0)), "");
}

TEST_F(SherpaBridgeTest, BadInputGivesNullOrEmptyTextWithoutCrashing)
{
    EXPECT_EQ(qb_sensevoice_create(nullptr, fixture("tokens.txt").c_str(), 1), nullptr);
    EXPECT_EQ(qb_sensevoice_create(fixture("model.onnx").c_str(), nullptr, 1), nullptr);
    EXPECT_FALSE(create(fixture("missing.onnx"), fixture("tokens.txt")));
    EXPECT_FALSE(create(fixture("model.onnx"), fixture("missing.txt")));
    // The runtime throws while parsing the cut-off model; the bridge turns that into null.
    EXPECT_FALSE(create(fixture("model-truncated.onnx"), fixture("tokens.txt")));

    // A tokens file without the ids the model emits loads, but every decode fails inside the library.
    const Utterance speech = Utterance(16000).tone(400, 0.4).pause(0.3).tone(4000, 0.4);
    Handle shortTokens = create(fixture("model.onnx"), fixture("tokens-short.txt"));
    ASSERT_TRUE(shortTokens);
    EXPECT_EQ(transcribe(shortTokens.get(), speech), "");
    EXPECT_EQ(transcribe(shortTokens.get(), speech), "") << "a failed decode leaves the recognizer usable";

    Handle handle = create(fixture("model.onnx"), fixture("tokens.txt"), 0);
    ASSERT_TRUE(handle);
    const float* samples = speech.samples().data();
    const auto count = static_cast<int32_t>(speech.samples().size());
    EXPECT_EQ(transcribe(nullptr, samples, count, 16000), "");
    EXPECT_EQ(transcribe(handle.get(), nullptr, count, 16000), "");
    EXPECT_EQ(transcribe(handle.get(), samples, 0, 16000), "");
    EXPECT_EQ(transcribe(handle.get(), samples, -5, 16000), "");
    EXPECT_EQ(transcribe(handle.get(), samples, count, 0), "");
    EXPECT_EQ(transcribe(handle.get(), samples, count, 16000), "你好");

    qb_sensevoice_free_string(nullptr);
    qb_sensevoice_destroy(nullptr);
}

} // namespace
