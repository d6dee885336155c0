#include "sherpa/SherpaOnnxLibrary.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>

namespace sherpa {
namespace {

template <typename Function> bool resolve(void* handle, const char* name, Function& slot, std::string& error)
{
    void* symbol = dlsym(handle, name);
    if (!symbol) {
        error = std::string("missing symbol ") + name;
        return false;
    }
    // POSIX guarantees object and function pointers convert both ways.
    slot = reinterpret_cast<Function>(symbol);
    return true;
}

bool fileExists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string sharedFolder()
{
    const char* configured = std::getenv(Library::kFolderEnvironment);
    if (configured && *configured)
        return configured;
#ifdef QB_SHERPA_ONNX_DEFAULT_DIR
    const std::string buildFolder = QB_SHERPA_ONNX_DEFAULT_DIR;
    if (fileExists(buildFolder + '/' + Library::kFileName))
        return buildFolder;
#endif
    return {};
}

} // namespace

Library::Library(const std::string& folder)
{
    const std::string path = folder.empty() ? std::string(kFileName) : folder + '/' + kFileName;
    dlerror();
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* reason = dlerror();
        m_error = reason ? reason : "cannot load " + path;
        return;
    }
    const bool complete =
        resolve(m_handle, "SherpaOnnxCreateOfflineRecognizer", m_api.createOfflineRecognizer, m_error) &&
        resolve(m_handle, "SherpaOnnxDestroyOfflineRecognizer", m_api.destroyOfflineRecognizer, m_error) &&
        resolve(m_handle, "SherpaOnnxCreateOfflineStream", m_api.createOfflineStream, m_error) &&
        resolve(m_handle, "SherpaOnnxDestroyOfflineStream", m_api.destroyOfflineStream, m_error) &&
        resolve(m_handle, "SherpaOnnxAcceptWaveformOffline", m_api.acceptWaveformOffline, m_error) &&
        resolve(m_handle, "SherpaOnnxDecodeOfflineStream", m_api.decodeOfflineStream, m_error) &&
        resolve(m_handle, "SherpaOnnxGetOfflineStreamResult", m_api.getOfflineStreamResult, m_error) &&
        resolve(m_handle, "SherpaOnnxDestroyOfflineRecognizerResult", m_api.destroyOfflineRecognizerResult,
                m_error);
    if (!complete) {
        dlclose(m_handle);
        m_handle = nullptr;
        m_api = {};
    }
}

Library::~Library()
{
    if (m_handle)
        dlclose(m_handle);
}

const Library& Library::shared()
{
    static const Library* library = new Library(sharedFolder());
    return *library;
}

OfflineRecognizerConfig senseVoiceConfig(const char* modelPath, const char* tokensPath, int32_t threadCount)
{
    OfflineRecognizerConfig config;
    std::memset(&config, 0, sizeof config);
    config.featConfig.sampleRate = 16000;
    config.featConfig.featureDim = 80;
    config.modelConfig.tokens = tokensPath;
    config.modelConfig.numThreads = threadCount > 0 ? threadCount : 4;
    config.modelConfig.debug = 0;
    config.modelConfig.provider = "cpu";
    config.modelConfig.senseVoice.model = modelPath;
    config.modelConfig.senseVoice.language = "zh";
    config.modelConfig.senseVoice.useItn = 1;
    config.decodingMethod = "greedy_search";
    return config;
}

} // namespace sherpa
