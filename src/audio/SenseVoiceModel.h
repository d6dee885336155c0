#pragma once

#include <QString>
#include <atomic>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

struct qb_sensevoice;

// Where a local SenseVoice model lives and which one it is.
struct SenseVoiceModelPaths {
    QString modelPath;
    QString tokensPath;
    bool isFullPrecision = false;
};

namespace SenseVoiceFiles {
// The full-precision model's folder, as its release archive unpacks it; the offline downloader installs it.
inline QString fullPrecisionFolder()
{
    return QStringLiteral("sherpa-onnx-sense-voice-zh-en-ja-ko-yue-2025-09-09");
}
inline QString int8Folder()
{
    return QStringLiteral("sherpa-onnx-sense-voice-zh-en-ja-ko-yue-int8-2025-09-09");
}
inline QString fullPrecisionModel()
{
    return QStringLiteral("model.onnx");
}
inline QString int8Model()
{
    return QStringLiteral("model.int8.onnx");
}
inline QString tokens()
{
    return QStringLiteral("tokens.txt");
}
} // namespace SenseVoiceFiles

// "Models" in the app's data folder; empty when the data folder cannot be created.
QString senseVoiceModelsFolder();

// The full-precision model when both its files exist, else the INT8 one, else nothing.
std::optional<SenseVoiceModelPaths> senseVoiceModelPaths();

// Recognizer threads: cores - 2, kept within 4..8 for the full-precision model and 4..6 for INT8.
int senseVoiceThreadCount(bool isFullPrecision, int activeCores);

// Whole-utterance gain for quiet speech: lifts a quiet recording towards a speaking level, softly limiting
// peaks; a recording that is loud enough, or nearly silent, comes back unchanged.
std::vector<float> boostQuietSpeechAGC(std::span<const float> samples);

// The local recognizer: loaded once, then kept for the life of the object.
class SenseVoiceModel {
public:
    enum class LoadOutcome { alreadyLoaded, loaded, noModel, failed };
    struct [[nodiscard]] LoadResult {
        LoadOutcome outcome = LoadOutcome::noModel;
        bool isFullPrecision = false;
        QString error; // for failed: why, for the user
    };

    SenseVoiceModel() = default;
    ~SenseVoiceModel();
    SenseVoiceModel(const SenseVoiceModel&) = delete;
    SenseVoiceModel& operator=(const SenseVoiceModel&) = delete;

    // Loads the model senseVoiceModelPaths() finds, unless one is loaded. Calls from several threads are
    // serialised; which model is loaded is decided once (a later full-precision download does not replace a
    // loaded INT8 model). A model that is found but cannot be loaded is reported as failed, so a model shown
    // as ready that then fails is not silently skipped.
    LoadResult loadIfAvailable();

    bool isLoaded() const { return m_handle.load() != nullptr; }
    bool isFullPrecision() const { return m_isFullPrecision.load(); }

    // The text of samples at sampleRate Hz, trimmed; "" without a model, for no samples, or when decoding
    // fails. With applyGain the quiet-speech gain is applied first. Decodes must not overlap: run them all on
    // one queue.
    QString transcribe(std::span<const float> samples, int sampleRate, bool applyGain) const;

private:
    std::mutex m_initMutex;
    std::atomic<qb_sensevoice*> m_handle = nullptr;
    std::atomic<bool> m_isFullPrecision = false;
};
