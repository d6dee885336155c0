#include "audio/SeedASRProtocol.h"

#include "util/Json.h"
#include "util/Text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QUuid>
#include <algorithm>
#include <zlib.h>

namespace SeedASRProtocol {

namespace {

constexpr quint8 kHeaderByte0 = 0x11; // protocol version 1, header of one 4-byte unit
constexpr quint8 kSerializationJson = 0x10;
constexpr quint8 kCompressionGzip = 0x01;
constexpr quint8 kErrorTypeFloor = 0xF0;

constexpr int kMaxHotwords = 65;
constexpr int kMaxDialogTexts = 2;
constexpr int kDialogTextTail = 120;

QString key(const char* name)
{
    return QLatin1String(name);
}

quint32 readBigEndian32(QByteArrayView data, qsizetype offset)
{
    const auto byte = [&](qsizetype i) {
        return static_cast<quint32>(static_cast<quint8>(data[offset + i]));
    };
    return (byte(0) << 24) | (byte(1) << 16) | (byte(2) << 8) | byte(3);
}

void appendBigEndian32(QByteArray& out, quint32 value)
{
    out.append(static_cast<char>((value >> 24) & 0xFF));
    out.append(static_cast<char>((value >> 16) & 0xFF));
    out.append(static_cast<char>((value >> 8) & 0xFF));
    out.append(static_cast<char>(value & 0xFF));
}

// The payload a size field at `sizeOffset` declares, cut at the end of the frame.
QByteArrayView declaredPayload(QByteArrayView frame, qsizetype sizeOffset)
{
    if (frame.size() < sizeOffset + 4)
        return {};
    const qsizetype size = readBigEndian32(frame, sizeOffset);
    const qsizetype start = sizeOffset + 4;
    return frame.sliced(start, std::min(size, frame.size() - start));
}

std::optional<QString> strictUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

void readResponseJson(QByteArrayView payload, ServerFrame& frame)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError) {
        frame.unreadable = true;
        return;
    }
    if (!document.isObject())
        return;
    const QJsonValue result = document.object().value(key("result"));
    if (!result.isObject())
        return;
    const std::optional<QString> text = Json::string(result.toObject().value(key("text")));
    if (!text)
        return;
    frame.text = Text::trimmed(*text);
    const QJsonArray utterances = result.toObject().value(key("utterances")).toArray();
    if (!utterances.isEmpty())
        frame.definite = utterances.last().toObject().value(key("definite")).toBool(false);
}

QJsonObject audioFormat()
{
    return QJsonObject{{key("format"), key("pcm")},
                       {key("codec"), key("raw")},
                       {key("rate"), kSampleRate},
                       {key("bits"), 16},
                       {key("channel"), 1}};
}

QByteArray compactJson(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

struct Inflation {
    QByteArray bytes;
    bool complete = false; // the stream ended within the cap
};

Inflation inflateStream(QByteArrayView input, qsizetype cap)
{
    Inflation result;
    if (input.isEmpty() || cap <= 0)
        return result;
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 32) != Z_OK) { // gzip or zlib header, detected
        result.bytes = input.toByteArray();
        return result;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    // One byte past the cap is asked for, so a stream that ends exactly at the cap is told from a longer one.
    const qsizetype limit = cap + 1;
    const qsizetype window = std::min<qsizetype>(std::max<qsizetype>(4096, 4 * input.size()), limit);
    QByteArray chunk(window, Qt::Uninitialized);
    while (result.bytes.size() < limit) {
        const qsizetype room = std::min(window, limit - result.bytes.size());
        stream.next_out = reinterpret_cast<Bytef*>(chunk.data());
        stream.avail_out = static_cast<uInt>(room);
        const int status = inflate(&stream, Z_NO_FLUSH);
        const qsizetype produced = room - static_cast<qsizetype>(stream.avail_out);
        result.bytes.append(chunk.constData(), produced);
        if (status == Z_STREAM_END)
            result.complete = true;
        if (status != Z_OK || produced < room)
            break;
    }
    inflateEnd(&stream);
    if (result.bytes.size() > cap) {
        result.bytes.truncate(cap);
        result.complete = false;
    }
    return result;
}

} // namespace

std::optional<QByteArray> gzipCompress(QByteArrayView input)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::nullopt;
    // deflateBound covers incompressible input; one Z_FINISH call then always completes the stream.
    const uLong bound = std::max<uLong>(deflateBound(&stream, static_cast<uLong>(input.size())),
                                        static_cast<uLong>(input.size()) + 64);
    QByteArray output(static_cast<qsizetype>(bound), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = static_cast<uInt>(output.size());
    const int status = deflate(&stream, Z_FINISH);
    const qsizetype produced = static_cast<qsizetype>(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_STREAM_END)
        return std::nullopt;
    output.truncate(produced);
    return output;
}

QByteArray gzipDecompress(QByteArrayView input, qsizetype cap)
{
    return inflateStream(input, cap).bytes;
}

std::optional<QByteArray> gzipDecompressWhole(QByteArrayView input, qsizetype cap)
{
    Inflation inflated = inflateStream(input, cap);
    if (!inflated.complete)
        return std::nullopt;
    return std::move(inflated.bytes);
}

QByteArray assembleClientFrame(ClientFrameKind kind, QByteArrayView payload,
                               const std::optional<QByteArray>& compressed)
{
    quint8 typeAndFlags = 0x20;
    quint8 serialization = 0x00;
    switch (kind) {
    case ClientFrameKind::fullClientRequest:
        typeAndFlags = 0x10;
        serialization = kSerializationJson;
        break;
    case ClientFrameKind::audioOnly:
        typeAndFlags = 0x20;
        break;
    case ClientFrameKind::lastAudio:
        typeAndFlags = 0x22;
        break;
    }
    const QByteArrayView body = compressed ? QByteArrayView(*compressed) : payload;
    QByteArray frame;
    frame.reserve(body.size() + 8);
    frame.append(static_cast<char>(kHeaderByte0));
    frame.append(static_cast<char>(typeAndFlags));
    frame.append(static_cast<char>(serialization | (compressed ? kCompressionGzip : 0)));
    frame.append('\0');
    appendBigEndian32(frame, static_cast<quint32>(body.size()));
    frame.append(body);
    return frame;
}

QByteArray buildClientFrame(ClientFrameKind kind, QByteArrayView payload)
{
    return assembleClientFrame(kind, payload, gzipCompress(payload));
}

ServerFrame parseServerFrame(QByteArrayView data)
{
    ServerFrame frame;
    if (data.size() < 8)
        return frame;
    const quint8 typeAndFlags = static_cast<quint8>(data[1]);
    const quint8 serializationAndCompression = static_cast<quint8>(data[2]);
    const bool gzipped = (serializationAndCompression & 0x0F) == kCompressionGzip;

    if (typeAndFlags >= kErrorTypeFloor) {
        frame.kind = ServerFrame::Kind::error;
        QByteArrayView message = declaredPayload(data, 8);
        QByteArray inflated;
        if (gzipped && !message.isEmpty()) {
            inflated = gzipDecompress(message);
            message = inflated;
        }
        std::optional<QString> text = strictUtf8(message);
        if (text && !text->isEmpty())
            frame.errorMessage = std::move(text);
        return frame;
    }

    frame.kind = ServerFrame::Kind::response;
    const quint8 flags = typeAndFlags & 0x0F;
    // Flags 1 to 3 announce a sequence number in front of the size; flags 2 and 3 mark the final answer.
    const bool hasSequence = flags >= 1 && flags <= 3;
    frame.isFinal = flags == 2 || flags == 3;
    QByteArrayView payload = declaredPayload(data, hasSequence ? 8 : 4);
    if (payload.isEmpty())
        return frame;
    QByteArray inflated;
    if (gzipped) {
        std::optional<QByteArray> whole = gzipDecompressWhole(payload);
        if (!whole) {
            frame.unreadable = true;
            return frame;
        }
        inflated = std::move(*whole);
        payload = inflated;
    }
    if ((serializationAndCompression >> 4) == 1 && !payload.isEmpty())
        readResponseJson(payload, frame);
    return frame;
}

QString buildCorpusText(const QStringList& hotwords, const QStringList& dialogContext)
{
    QJsonObject corpus;
    if (!hotwords.isEmpty()) {
        QJsonArray words;
        for (const QString& word : hotwords.mid(0, kMaxHotwords))
            words.append(QJsonObject{{key("word"), word}});
        corpus.insert(key("hotwords"), words);
    }
    QJsonArray dialog;
    for (const QString& text : dialogContext) {
        if (dialog.size() == kMaxDialogTexts)
            break;
        const QString tail = Text::graphemeSuffix(Text::trimmed(text), kDialogTextTail);
        if (!tail.isEmpty())
            dialog.append(QJsonObject{{key("text"), tail}});
    }
    if (!dialog.isEmpty()) {
        corpus.insert(key("context_type"), key("dialog_ctx"));
        corpus.insert(key("context_data"), dialog);
    }
    if (corpus.isEmpty())
        return {};
    return QString::fromUtf8(compactJson(corpus));
}

QByteArray buildFullClientRequestJson(const QStringList& hotwords, const QStringList& dialogContext,
                                      bool enableDDC, bool enableNonstream)
{
    QJsonObject request{{key("model_name"), key("bigmodel")},
                        {key("enable_itn"), true},
                        {key("enable_punc"), true},
                        {key("enable_ddc"), enableDDC},
                        {key("enable_nonstream"), enableNonstream},
                        {key("show_utterances"), true},
                        {key("result_type"), key("full")}};
    const QString corpus = buildCorpusText(hotwords, dialogContext);
    if (!corpus.isEmpty())
        request.insert(key("corpus"), QJsonObject{{key("context"), corpus}});
    return compactJson(QJsonObject{{key("user"), QJsonObject{{key("uid"), key("quorbell_macos_client")}}},
                                   {key("audio"), audioFormat()},
                                   {key("request"), request}});
}

QByteArray buildProbeRequestJson()
{
    const QJsonObject request{{key("model_name"), key("bigmodel")},
                              {key("enable_itn"), true},
                              {key("enable_punc"), true},
                              {key("result_type"), key("full")}};
    return compactJson(QJsonObject{{key("user"), QJsonObject{{key("uid"), key("quorbell_probe")}}},
                                   {key("audio"), audioFormat()},
                                   {key("request"), request}});
}

QList<QPair<QByteArray, QByteArray>> handshakeHeaders(const QString& trimmedKey, const QString& resourceId)
{
    return {{"X-Api-Key", trimmedKey.toUtf8()},
            {"X-Api-Resource-Id", resourceId.toUtf8()},
            {"X-Api-Connect-Id", Json::uuidText(QUuid::createUuid()).toLatin1()},
            {"X-Api-Request-Id", Json::uuidText(QUuid::createUuid()).toLatin1()}};
}

} // namespace SeedASRProtocol
