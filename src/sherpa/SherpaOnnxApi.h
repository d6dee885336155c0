#pragma once

// Our own declarations of the part of the sherpa-onnx 1.13.8 C API the bridge uses. The library ships without
// a header, so the layout is written out field by field in the library's order and guarded below: a mismatch
// would hand the library garbage pointers, so it must fail the build instead.

#include <cstddef>
#include <cstdint>

namespace sherpa {

struct FeatureConfig {
    int32_t sampleRate;
    int32_t featureDim;
};

struct TransducerModelConfig {
    const char* encoder;
    const char* decoder;
    const char* joiner;
};

struct SingleFileModelConfig {
    const char* model;
};

struct WhisperModelConfig {
    const char* encoder;
    const char* decoder;
    const char* language;
    const char* task;
    int32_t tailPaddings;
    int32_t enableTokenTimestamps;
    int32_t enableSegmentTimestamps;
};

struct SenseVoiceModelConfig {
    const char* model;
    const char* language;
    int32_t useItn;
};

struct MoonshineModelConfig {
    const char* preprocessor;
    const char* encoder;
    const char* uncachedDecoder;
    const char* cachedDecoder;
    const char* mergedDecoder;
};

struct EncoderDecoderModelConfig {
    const char* encoder;
    const char* decoder;
};

struct CanaryModelConfig {
    const char* encoder;
    const char* decoder;
    const char* srcLang;
    const char* tgtLang;
    int32_t usePnc;
};

struct FunAsrNanoModelConfig {
    const char* encoderAdaptor;
    const char* llm;
    const char* embedding;
    const char* tokenizer;
    const char* systemPrompt;
    const char* userPrompt;
    int32_t maxNewTokens;
    float temperature;
    float topP;
    int32_t seed;
    const char* language;
    int32_t itn;
    const char* hotwords;
};

struct Qwen3AsrModelConfig {
    const char* convFrontend;
    const char* encoder;
    const char* decoder;
    const char* tokenizer;
    int32_t maxTotalLen;
    int32_t maxNewTokens;
    float temperature;
    float topP;
    int32_t seed;
    const char* hotwords;
};

struct CohereTranscribeModelConfig {
    const char* encoder;
    const char* decoder;
    const char* language;
    int32_t usePunct;
    int32_t useItn;
};

struct OfflineModelConfig {
    TransducerModelConfig transducer;
    SingleFileModelConfig paraformer;
    SingleFileModelConfig nemoCtc;
    WhisperModelConfig whisper;
    SingleFileModelConfig tdnn;
    const char* tokens;
    int32_t numThreads;
    int32_t debug;
    const char* provider;
    const char* modelType;
    const char* modelingUnit;
    const char* bpeVocab;
    const char* telespeechCtc;
    SenseVoiceModelConfig senseVoice;
    MoonshineModelConfig moonshine;
    EncoderDecoderModelConfig fireRedAsr;
    SingleFileModelConfig dolphin;
    SingleFileModelConfig zipformerCtc;
    CanaryModelConfig canary;
    SingleFileModelConfig wenetCtc;
    SingleFileModelConfig omnilingual;
    SingleFileModelConfig medAsr;
    FunAsrNanoModelConfig funAsrNano;
    SingleFileModelConfig fireRedAsrCtc;
    Qwen3AsrModelConfig qwen3Asr;
    CohereTranscribeModelConfig cohereTranscribe;
};

struct OfflineLMConfig {
    const char* model;
    float scale;
};

struct HomophoneReplacerConfig {
    const char* dictDir;
    const char* lexicon;
    const char* ruleFsts;
};

struct OfflineRecognizerConfig {
    FeatureConfig featConfig;
    OfflineModelConfig modelConfig;
    OfflineLMConfig lmConfig;
    const char* decodingMethod;
    int32_t maxActivePaths;
    const char* hotwordsFile;
    float hotwordsScore;
    const char* ruleFsts;
    const char* ruleFars;
    float blankPenalty;
    HomophoneReplacerConfig hr;
};

// Only the leading field is read; the rest of the library's result is never touched.
struct OfflineRecognizerResult {
    const char* text;
};

struct OfflineRecognizer;
struct OfflineStream;

static_assert(sizeof(void*) == 8, "the layout below is the x86-64 one");
static_assert(sizeof(OfflineRecognizerConfig) == 608);
static_assert(offsetof(OfflineRecognizerConfig, modelConfig) == 8);
static_assert(offsetof(OfflineRecognizerConfig, modelConfig.tokens) == 104);
static_assert(offsetof(OfflineRecognizerConfig, modelConfig.numThreads) == 112);
static_assert(offsetof(OfflineRecognizerConfig, modelConfig.senseVoice) == 160);
static_assert(offsetof(OfflineRecognizerConfig, lmConfig) == 512);
static_assert(offsetof(OfflineRecognizerConfig, decodingMethod) == 528);
static_assert(offsetof(OfflineRecognizerConfig, hr) == 584);

// The C functions, resolved from the loaded library.
struct Api {
    const OfflineRecognizer* (*createOfflineRecognizer)(const OfflineRecognizerConfig*) = nullptr;
    void (*destroyOfflineRecognizer)(const OfflineRecognizer*) = nullptr;
    const OfflineStream* (*createOfflineStream)(const OfflineRecognizer*) = nullptr;
    void (*destroyOfflineStream)(const OfflineStream*) = nullptr;
    void (*acceptWaveformOffline)(const OfflineStream*, int32_t sampleRate, const float* samples,
                                  int32_t count) = nullptr;
    void (*decodeOfflineStream)(const OfflineRecognizer*, const OfflineStream*) = nullptr;
    const OfflineRecognizerResult* (*getOfflineStreamResult)(const OfflineStream*) = nullptr;
    void (*destroyOfflineRecognizerResult)(const OfflineRecognizerResult*) = nullptr;
};

} // namespace sherpa
