#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// One fuzz target: a function that feeds one input to a real parser and aborts when an invariant breaks.
// Built on its own it is a libFuzzer program (QB_FUZZ); in the normal build every target is linked into
// fuzz_replay_test, which runs it over its seed corpus and the inputs of past findings.
using FuzzFunction = void (*)(const QByteArray& input);

namespace FuzzRegistry {
// Called from static initialisers only (the replay program's list of targets).
bool add(const char* name, FuzzFunction function);
} // namespace FuzzRegistry

// Stops the run with the broken invariant; libFuzzer then keeps the input that caused it.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);           \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)

#ifdef QB_FUZZ_STANDALONE
#define QB_FUZZ_TARGET(name)                                                                                 \
    static void name(const QByteArray& input);                                                               \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)                        \
    {                                                                                                        \
        name(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));                 \
        return 0;                                                                                            \
    }                                                                                                        \
    static void name(const QByteArray& input)
#else
#define QB_FUZZ_TARGET(name)                                                                                 \
    static void name(const QByteArray& input);                                                               \
    [[maybe_unused]] static const bool name##Registered = FuzzRegistry::add(#name, &name);                   \
    static void name(const QByteArray& input)
#endif

// A private folder for targets whose parser reads files, on a memory file system when there is one: a
// fuzzer writes a file for every input.
inline const QString& fuzzScratchFolder()
{
    static QTemporaryDir dir(
        QDir(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath())
            .filePath(QStringLiteral("qb-fuzz-XXXXXX")));
    static const QString path = dir.path();
    return path;
}
