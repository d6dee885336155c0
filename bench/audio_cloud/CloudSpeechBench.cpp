#include "audio/OpenAITranscriptionClient.h"
#include "audio/SeedASRProtocol.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <vector>

namespace {

std::vector<qint16> speechLikeSamples(std::size_t count)
{
    std::vector<qint16> samples(count);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] =
            static_cast<qint16>(6000 * std::sin(i * 0.07) + 900 * std::sin(i * 1.3) + (i * 7919 % 257));
    return samples;
}

// One 100 ms chunk compressed and framed: the send queue does this ten times a second per session.
void BM_BuildAudioFrame(benchmark::State& state)
{
    const std::vector<qint16> samples = speechLikeSamples(1600);
    const QByteArray pcm(reinterpret_cast<const char*>(samples.data()), 3200);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            SeedASRProtocol::buildClientFrame(SeedASRProtocol::ClientFrameKind::audioOnly, pcm));
}
BENCHMARK(BM_BuildAudioFrame);

// A gzip response carrying a long transcript, read on the socket thread.
void BM_ParseResponseFrame(benchmark::State& state)
{
    QString text;
    for (int i = 0; i < 60; ++i)
        text += QStringLiteral("今天我们讨论一下发布计划，");
    const QByteArray json =
        QStringLiteral(R"({"result":{"text":"%1","utterances":[{"definite":true}]}})").arg(text).toUtf8();
    const QByteArray payload = *SeedASRProtocol::gzipCompress(json);
    QByteArray frame = QByteArray::fromHex("11911100000000010000");
    frame.append(static_cast<char>((payload.size() >> 8) & 0xFF));
    frame.append(static_cast<char>(payload.size() & 0xFF));
    frame.append(payload);
    for (auto _ : state)
        benchmark::DoNotOptimize(SeedASRProtocol::parseServerFrame(frame));
}
BENCHMARK(BM_ParseResponseFrame);

// The longest upload the engine keeps: 180 s at 16 kHz.
void BM_EncodeWav180s(benchmark::State& state)
{
    const std::vector<qint16> samples = speechLikeSamples(180 * 16000);
    for (auto _ : state)
        benchmark::DoNotOptimize(OpenAITranscriptionClient::encodePCM16ToWAV(samples, 16000));
}
BENCHMARK(BM_EncodeWav180s)->Unit(benchmark::kMillisecond);

} // namespace
