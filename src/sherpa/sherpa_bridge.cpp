#include "sherpa/sherpa_bridge.h"

#include "sherpa/SherpaOnnxLibrary.h"

#include <cstdlib>
#include <cstring>
#include <memory>

struct qb_sensevoice {
    const sherpa::OfflineRecognizer* recognizer;
};

namespace {

char* copyOf(const char* text)
{
    return strdup(text ? text : "");
}

} // namespace

extern "C" {

qb_sensevoice* qb_sensevoice_create(const char* model_path, const char* tokens_path, int32_t thread_count)
{
    if (!model_path || !tokens_path)
        return nullptr;
    try {
        const sherpa::Library& library = sherpa::Library::shared();
        if (!library.isLoaded())
            return nullptr;
        const sherpa::Api& api = library.api();
        const sherpa::OfflineRecognizerConfig config =
            sherpa::senseVoiceConfig(model_path, tokens_path, thread_count);
        const sherpa::OfflineRecognizer* recognizer = api.createOfflineRecognizer(&config);
        if (!recognizer)
            return nullptr;
        auto* handle = static_cast<qb_sensevoice*>(std::calloc(1, sizeof(qb_sensevoice)));
        if (!handle) {
            api.destroyOfflineRecognizer(recognizer);
            return nullptr;
        }
        handle->recognizer = recognizer;
        return handle;
    } catch (...) {
        return nullptr;
    }
}

char* qb_sensevoice_transcribe(qb_sensevoice* handle, const float* samples, int32_t count,
                               int32_t sample_rate)
{
    if (!handle || !handle->recognizer || !samples || count < 1 || sample_rate < 1)
        return copyOf("");
    try {
        const sherpa::Api& api = sherpa::Library::shared().api();
        auto destroyStream = [&api](const sherpa::OfflineStream* s) { api.destroyOfflineStream(s); };
        std::unique_ptr<const sherpa::OfflineStream, decltype(destroyStream)> stream(
            api.createOfflineStream(handle->recognizer), destroyStream);
        if (!stream)
            return copyOf("");
        api.acceptWaveformOffline(stream.get(), sample_rate, samples, count);
        api.decodeOfflineStream(handle->recognizer, stream.get());
        auto destroyResult = [&api](const sherpa::OfflineRecognizerResult* r) {
            api.destroyOfflineRecognizerResult(r);
        };
        std::unique_ptr<const sherpa::OfflineRecognizerResult, decltype(destroyResult)> result(
            api.getOfflineStreamResult(stream.get()), destroyResult);
        if (!result)
            return copyOf("");
        return copyOf(result->text);
    } catch (...) {
        return copyOf("");
    }
}

void qb_sensevoice_free_string(char* text)
{
    std::free(text);
}

void qb_sensevoice_destroy(qb_sensevoice* handle)
{
    if (!handle)
        return;
    if (handle->recognizer) {
        try {
            sherpa::Library::shared().api().destroyOfflineRecognizer(handle->recognizer);
        } catch (...) {
        }
    }
    std::free(handle);
}

} // extern "C"
