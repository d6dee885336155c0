// Frames the Seed-ASR service sends: the header, sizes and gzip payload as they come, and the input once
// more as the JSON payload of a well-formed response (raw and gzipped), so the JSON reader is reached too.
#include "fuzz/FuzzTarget.h"

#include "audio/SeedASRProtocol.h"
#include "util/Text.h"

#include <QJsonDocument>

namespace {

QByteArray responseAround(const QByteArray& payload, bool gzip)
{
    // Full server response with a sequence number (flags 1), JSON serialisation.
    QByteArray frame("\x11\x91", 2);
    frame.append(gzip ? '\x11' : '\x10');
    frame.append('\0');
    frame.append("\0\0\0\1", 4);
    const auto size = static_cast<quint32>(payload.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        frame.append(static_cast<char>((size >> shift) & 0xFF));
    frame.append(payload);
    return frame;
}

SeedASRProtocol::ServerFrame checkFrame(const QByteArray& bytes)
{
    using SeedASRProtocol::ServerFrame;
    const ServerFrame frame = SeedASRProtocol::parseServerFrame(bytes);
    if (bytes.size() < 8)
        FUZZ_CHECK(frame.kind == ServerFrame::Kind::tooShort);
    if (frame.text)
        FUZZ_CHECK(*frame.text == Text::trimmed(*frame.text));
    if (frame.errorMessage)
        FUZZ_CHECK(!frame.errorMessage->isEmpty());
    // A frame that was read is never also unreadable; only a response can be.
    if (frame.text)
        FUZZ_CHECK(!frame.unreadable);
    if (frame.unreadable)
        FUZZ_CHECK(frame.kind == ServerFrame::Kind::response);
    return frame;
}

// A JSON payload that arrived whole is unreadable exactly when it does not parse.
void checkReadable(const SeedASRProtocol::ServerFrame& frame, const QByteArray& json)
{
    QJsonParseError error{};
    QJsonDocument::fromJson(json, &error);
    FUZZ_CHECK(frame.unreadable == (!json.isEmpty() && error.error != QJsonParseError::NoError));
}

} // namespace

QB_FUZZ_TARGET(seedasr_frame)
{
    checkFrame(input);
    checkReadable(checkFrame(responseAround(input, false)), input);
    if (const std::optional<QByteArray> compressed = SeedASRProtocol::gzipCompress(input)) {
        if (input.size() <= SeedASRProtocol::kMaxDecompressedBytes)
            checkReadable(checkFrame(responseAround(*compressed, true)), input);
        FUZZ_CHECK(SeedASRProtocol::gzipDecompress(*compressed) == input);
        FUZZ_CHECK(SeedASRProtocol::gzipDecompressWhole(*compressed) == input);
        // Cut anywhere, the stream is never taken as whole.
        if (compressed->size() > 1)
            FUZZ_CHECK(!SeedASRProtocol::gzipDecompressWhole(compressed->first(compressed->size() / 2)));
    }
    // Whatever a stream claims, the inflater stops at its cap.
    FUZZ_CHECK(SeedASRProtocol::gzipDecompress(input, 4096).size() <= 4096);
}
