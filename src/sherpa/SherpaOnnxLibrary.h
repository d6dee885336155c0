#pragma once

#include "sherpa/SherpaOnnxApi.h"

#include <string>

namespace sherpa {

// The dlopen'ed sherpa-onnx C library. The app builds and starts without it; the local recognizer is simply
// unavailable then.
class Library {
public:
    static constexpr const char* kFileName = "libsherpa-onnx-c-api.so";
    // Overrides the folder the shared library is loaded from.
    static constexpr const char* kFolderEnvironment = "QUORBELL_SHERPA_ONNX_DIR";

    // Loads kFileName from folder (its ONNX Runtime is found beside it), or through the system's library
    // search when folder is empty.
    explicit Library(const std::string& folder);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool isLoaded() const { return m_handle != nullptr; }
    // Valid only when loaded.
    const Api& api() const { return m_api; }
    // Why loading failed; empty when loaded.
    const std::string& error() const { return m_error; }

    // The process-wide library, loaded on first use from the folder named by kFolderEnvironment when set,
    // else from the folder the build was configured with when it holds the library, else through the system's
    // library search. Never unloaded: the runtime's threads may outlive any owner.
    static const Library& shared();

private:
    void* m_handle = nullptr;
    Api m_api;
    std::string m_error;
};

// The recognizer configuration the bridge uses for a SenseVoice model: everything zero except 16 kHz 80-bin
// features, the tokens, the thread count (4 when not above 0), the CPU provider, the model with language "zh"
// and inverse text normalisation on, and greedy search. The strings must outlive the configuration.
OfflineRecognizerConfig senseVoiceConfig(const char* modelPath, const char* tokensPath, int32_t threadCount);

} // namespace sherpa
