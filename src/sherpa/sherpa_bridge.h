#pragma once

// The local SenseVoice recognizer as four plain C functions over the dlopen'ed sherpa-onnx library. Strings
// are NUL-terminated UTF-8. No function lets an exception or a crash out: the library throws C++ exceptions
// through its C API on a truncated model or a short tokens file, and every such failure becomes null or "".

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qb_sensevoice qb_sensevoice;

// A recognizer for the model and tokens files, or null when either path is null, the library is unavailable
// or the recognizer cannot be created. thread_count <= 0 means 4.
qb_sensevoice* qb_sensevoice_create(const char* model_path, const char* tokens_path, int32_t thread_count);

// The text of samples (float in [-1, 1] at sample_rate Hz; the recognizer resamples). The caller frees the
// result with qb_sensevoice_free_string. Any failure, and a null handle, null samples, count < 1 or a rate
// < 1, gives "". Null only when no memory is left for the copy.
char* qb_sensevoice_transcribe(qb_sensevoice* handle, const float* samples, int32_t count,
                               int32_t sample_rate);

// Frees a string from qb_sensevoice_transcribe; null is ignored.
void qb_sensevoice_free_string(char* text);

// Destroys the recognizer and the handle; null is ignored.
void qb_sensevoice_destroy(qb_sensevoice* handle);

#ifdef __cplusplus
}
#endif
