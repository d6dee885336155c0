#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <optional>

// The Seed-ASR streaming frame format: four header bytes, a big-endian payload size and a gzip payload, in
// both directions. Pure functions; everything read from the wire is treated as untrusted.
namespace SeedASRProtocol {

// A transcript is a few kilobytes; anything that inflates past this is hostile or broken.
inline constexpr qsizetype kMaxDecompressedBytes = 8 * 1024 * 1024;

// Raw 16 kHz mono 16-bit little-endian PCM.
inline constexpr int kSampleRate = 16000;
// 3200 bytes of silence (100 ms): the audio of the handshake probe.
inline constexpr qsizetype kProbeSilenceBytes = 3200;

// Compresses into one gzip stream. Nothing when zlib could not finish the stream.
std::optional<QByteArray> gzipCompress(QByteArrayView input);
// Inflates a gzip or zlib stream. A corrupt or truncated stream yields what was produced before the fault;
// output stops at `cap` bytes.
QByteArray gzipDecompress(QByteArrayView input, qsizetype cap = kMaxDecompressedBytes);
// The same, but only a stream that inflates cleanly to its end within `cap` bytes counts: nothing otherwise.
std::optional<QByteArray> gzipDecompressWhole(QByteArrayView input, qsizetype cap = kMaxDecompressedBytes);

enum class ClientFrameKind { fullClientRequest, audioOnly, lastAudio };

// One frame as the client sends it: header, payload size at offset 4, the gzip payload at offset 8.
QByteArray buildClientFrame(ClientFrameKind kind, QByteArrayView payload);
// The same with the compression already done: without a compressed payload the frame carries the raw one
// and says so (compression bits cleared).
QByteArray assembleClientFrame(ClientFrameKind kind, QByteArrayView payload,
                               const std::optional<QByteArray>& compressed);

// What the reader takes from one received frame.
struct ServerFrame {
    enum class Kind { tooShort, error, response };
    Kind kind = Kind::tooShort;
    // response: flags 2 or 3 end the session.
    bool isFinal = false;
    // response: the transcript so far, trimmed, when the payload is JSON with result.text.
    std::optional<QString> text;
    // response: "definite" of the last utterance.
    bool definite = false;
    // response: a payload came that cannot be read (a broken or truncated gzip stream, JSON that does not
    // parse), so whatever the frame meant is unknown.
    bool unreadable = false;
    // error: the message, when there is a readable, non-empty one.
    std::optional<QString> errorMessage;
};
ServerFrame parseServerFrame(QByteArrayView frame);

// The corpus text: compact JSON of the hotwords (first 65) and up to two dialog texts (trimmed, last 120
// characters each); empty when neither remains.
QString buildCorpusText(const QStringList& hotwords, const QStringList& dialogContext);
QByteArray buildFullClientRequestJson(const QStringList& hotwords, const QStringList& dialogContext,
                                      bool enableDDC, bool enableNonstream);
QByteArray buildProbeRequestJson();

// The handshake headers, in sending order, with two fresh UUIDs.
QList<QPair<QByteArray, QByteArray>> handshakeHeaders(const QString& trimmedKey, const QString& resourceId);

} // namespace SeedASRProtocol
