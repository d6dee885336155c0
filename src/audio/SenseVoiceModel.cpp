#include "audio/SenseVoiceModel.h"

#include "sherpa/SherpaOnnxLibrary.h"
#include "sherpa/sherpa_bridge.h"
#include "util/DataFolder.h"
#include "util/Text.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Quiet-speech gain constants: samples below the floor are treated as silence; speech whose level is under
// the target is lifted towards it, by at most the gain cap; peaks above the knee are limited softly.
constexpr size_t kAGCProbeCount = 2000;
constexpr float kAGCSilenceFloor = 0.0015f;
constexpr size_t kAGCMinimumVoicedProbes = 12;
constexpr double kAGCLoudEnough = 0.065;
constexpr double kAGCNearSilence = 0.0018;
constexpr double kAGCTargetLevel = 0.085;
constexpr double kAGCMaximumGain = 7.5;
constexpr double kAGCMinimumUsefulGain = 1.15;
constexpr float kAGCSoftLimitKnee = 0.6f;

std::optional<SenseVoiceModelPaths> pathsIn(const QDir& models, const QString& folder,
                                            const QString& modelFile, bool isFullPrecision)
{
    const QString modelPath = models.filePath(folder + QLatin1Char('/') + modelFile);
    const QString tokensPath = models.filePath(folder + QLatin1Char('/') + SenseVoiceFiles::tokens());
    if (!QFileInfo(modelPath).isFile() || !QFileInfo(tokensPath).isFile())
        return std::nullopt;
    return SenseVoiceModelPaths{modelPath, tokensPath, isFullPrecision};
}

} // namespace

QString senseVoiceModelsFolder()
{
    const QString data = DataFolder::path();
    return data.isEmpty() ? QString() : QDir(data).filePath(QStringLiteral("Models"));
}

std::optional<SenseVoiceModelPaths> senseVoiceModelPaths()
{
    // Only looks: a missing data folder holds no model and is not created here.
    const QDir models(QDir(DataFolder::location()).filePath(QStringLiteral("Models")));
    if (auto full = pathsIn(models, SenseVoiceFiles::fullPrecisionFolder(),
                            SenseVoiceFiles::fullPrecisionModel(), true))
        return full;
    return pathsIn(models, SenseVoiceFiles::int8Folder(), SenseVoiceFiles::int8Model(), false);
}

int senseVoiceThreadCount(bool isFullPrecision, int activeCores)
{
    return std::clamp(activeCores - 2, 4, isFullPrecision ? 8 : 6);
}

std::vector<float> boostQuietSpeechAGC(std::span<const float> samples)
{
    std::vector<float> out(samples.begin(), samples.end());
    const size_t step = samples.size() >= kAGCProbeCount ? samples.size() / kAGCProbeCount : 1;
    double sumOfSquares = 0;
    size_t used = 0;
    for (size_t i = 0; i < samples.size(); i += step) {
        const float sample = samples[i];
        if (std::fabs(sample) > kAGCSilenceFloor) {
            sumOfSquares += static_cast<double>(sample) * sample;
            ++used;
        }
    }
    if (used <= kAGCMinimumVoicedProbes)
        return out;
    const double rms = std::sqrt(sumOfSquares / static_cast<double>(used));
    if (!(rms < kAGCLoudEnough))
        return out;
    const double gain =
        rms <= kAGCNearSilence ? kAGCMaximumGain : std::min(kAGCTargetLevel / rms, kAGCMaximumGain);
    if (gain <= kAGCMinimumUsefulGain)
        return out;
    const auto g = static_cast<float>(gain);
    for (float& sample : out) {
        const float boosted = g * sample;
        sample = std::fabs(boosted) > kAGCSoftLimitKnee ? std::tanh(boosted) : boosted;
    }
    return out;
}

SenseVoiceModel::~SenseVoiceModel()
{
    qb_sensevoice_destroy(m_handle.exchange(nullptr));
}

SenseVoiceModel::LoadResult SenseVoiceModel::loadIfAvailable()
{
    std::lock_guard lock(m_initMutex);
    if (m_handle.load())
        return {LoadOutcome::alreadyLoaded, m_isFullPrecision.load(), {}};
    const std::optional<SenseVoiceModelPaths> paths = senseVoiceModelPaths();
    if (!paths)
        return {LoadOutcome::noModel, false, {}};

    const int threads = senseVoiceThreadCount(paths->isFullPrecision, QThread::idealThreadCount());
    qb_sensevoice* handle = qb_sensevoice_create(paths->modelPath.toUtf8().constData(),
                                                 paths->tokensPath.toUtf8().constData(), threads);
    if (!handle) {
        const sherpa::Library& library = sherpa::Library::shared();
        const QString reason =
            library.isLoaded() ? QStringLiteral("本地模型无法加载，文件可能已损坏：%1").arg(paths->modelPath)
                               : QStringLiteral("本地识别运行库 sherpa-onnx 无法加载（%1）")
                                     .arg(QString::fromStdString(library.error()));
        return {LoadOutcome::failed, paths->isFullPrecision, reason};
    }
    m_isFullPrecision = paths->isFullPrecision;
    m_handle = handle;
    return {LoadOutcome::loaded, paths->isFullPrecision, {}};
}

QString SenseVoiceModel::transcribe(std::span<const float> samples, int sampleRate, bool applyGain) const
{
    qb_sensevoice* handle = m_handle.load();
    if (!handle || samples.empty() || sampleRate < 1 ||
        samples.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        return {};
    std::vector<float> boosted;
    if (applyGain) {
        boosted = boostQuietSpeechAGC(samples);
        samples = boosted;
    }
    char* text =
        qb_sensevoice_transcribe(handle, samples.data(), static_cast<int32_t>(samples.size()), sampleRate);
    const QString result = Text::trimmed(QString::fromUtf8(text ? text : ""));
    qb_sensevoice_free_string(text);
    return result;
}
