#include "util/Endpoint.h"
#include "audio/SeedASRProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace SeedASRProtocol;

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

QByteArray bigEndian(quint32 value)
{
    return bytes({int(value >> 24), int((value >> 16) & 0xFF), int((value >> 8) & 0xFF), int(value & 0xFF)});
}

QJsonObject parse(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

QJsonObject corpusOf(const QByteArray& requestJson)
{
    const QJsonObject request = parse(requestJson).value(QStringLiteral("request")).toObject();
    return parse(request.value(QStringLiteral("corpus"))
                     .toObject()
                     .value(QStringLiteral("context"))
                     .toString()
                     .toUtf8());
}

} // namespace

TEST(SeedASRProtocol, SentFramesCarryTheirHeaderBigEndianSizeAndGzipPayload)
{
    const QByteArray pcm(1920, '\x05');
    const struct {
        ClientFrameKind kind;
        QByteArray payload;
        QByteArray header;
    } cases[] = {{ClientFrameKind::fullClientRequest, R"({"a":1})", bytes({0x11, 0x10, 0x11, 0x00})},
                 {ClientFrameKind::audioOnly, pcm, bytes({0x11, 0x20, 0x01, 0x00})},
                 {ClientFrameKind::lastAudio, QByteArray(), bytes({0x11, 0x22, 0x01, 0x00})}};
    for (const auto& c : cases) {
        const QByteArray frame = buildClientFrame(c.kind, c.payload);
        EXPECT_EQ(frame.left(4), c.header);
        const QByteArray wire = frame.mid(8);
        EXPECT_EQ(frame.mid(4, 4), bigEndian(quint32(wire.size())));
        ASSERT_GE(wire.size(), 18) << "even an empty input is a complete gzip stream";
        EXPECT_EQ(wire.left(2), bytes({0x1f, 0x8b}));
        EXPECT_EQ(gzipDecompress(wire), c.payload);
    }

    // Compression that does not complete: the raw payload goes out, and the header says so.
    const QByteArray raw = assembleClientFrame(ClientFrameKind::fullClientRequest, "{}", std::nullopt);
    EXPECT_EQ(raw, bytes({0x11, 0x10, 0x10, 0x00, 0, 0, 0, 2, '{', '}'}));
    EXPECT_EQ(assembleClientFrame(ClientFrameKind::audioOnly, "ab", std::nullopt).left(4),
              bytes({0x11, 0x20, 0x00, 0x00}));
}

TEST(SeedASRProtocol, ReceivedFramesFollowTheSizeAndFlagRules)
{
    const QByteArray json =
        R"({"result":{"text":"  你好 ","utterances":[{"definite":false},{"definite":true}]}})";

    EXPECT_EQ(parseServerFrame(bytes({0x11, 0x90, 0x10, 0, 0, 0, 0})).kind, ServerFrame::Kind::tooShort);

    // Exactly 8 bytes, flags 0: the size sits at offset 4, no payload.
    ServerFrame frame = parseServerFrame(bytes({0x11, 0x90, 0x10, 0, 0, 0, 0, 5}));
    EXPECT_EQ(frame.kind, ServerFrame::Kind::response);
    EXPECT_FALSE(frame.isFinal);
    EXPECT_FALSE(frame.text);

    // Flags 0: payload at offset 8; trailing bytes after the declared size are ignored.
    frame = parseServerFrame(bytes({0x11, 0x90, 0x10, 0}) + bigEndian(quint32(json.size())) + json + "junk");
    ASSERT_TRUE(frame.text);
    EXPECT_EQ(*frame.text, QStringLiteral("你好"));
    EXPECT_TRUE(frame.definite) << "taken from the last utterance";

    // Flags 2 reads a sequence number first, like 1 and 3, and is final.
    frame = parseServerFrame(bytes({0x11, 0x92, 0x11, 0}) + bigEndian(9) +
                             bigEndian(quint32(gzipCompress(json)->size())) + *gzipCompress(json));
    EXPECT_TRUE(frame.isFinal);
    ASSERT_TRUE(frame.text);
    EXPECT_EQ(*frame.text, QStringLiteral("你好"));

    // Final with size 0: final, no text.
    frame = parseServerFrame(bytes({0x11, 0x93, 0x11, 0}) + bigEndian(1) + bigEndian(0));
    EXPECT_TRUE(frame.isFinal);
    EXPECT_FALSE(frame.text);

    // A declared size past the end is cut at the frame's end and still parsed.
    frame = parseServerFrame(bytes({0x11, 0x91, 0x10, 0}) + bigEndian(1) + bigEndian(0xFFFFFFF0) + json);
    ASSERT_TRUE(frame.text);
    EXPECT_EQ(*frame.text, QStringLiteral("你好"));

    // No "utterances", a non-JSON serialization, a JSON array: no definite flag, no text.
    frame = parseServerFrame(bytes({0x11, 0x90, 0x10, 0}) + bigEndian(25) + R"({"result":{"text":"a"}} )");
    EXPECT_FALSE(frame.definite);
    const QByteArray empty = R"({"result":{"text":"b","utterances":[]}})";
    EXPECT_FALSE(
        parseServerFrame(bytes({0x11, 0x90, 0x10, 0}) + bigEndian(quint32(empty.size())) + empty).definite);
    EXPECT_FALSE(
        parseServerFrame(bytes({0x11, 0x90, 0x00, 0}) + bigEndian(quint32(json.size())) + json).text);
    EXPECT_FALSE(parseServerFrame(bytes({0x11, 0x90, 0x10, 0}) + bigEndian(2) + "[]").text);
}

TEST(SeedASRProtocol, ErrorFramesYieldTheirMessageOrNothing)
{
    ServerFrame frame = parseServerFrame(bytes({0x11, 0xF0, 0x10, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(frame.kind, ServerFrame::Kind::error);
    EXPECT_FALSE(frame.errorMessage) << "9 bytes: the default reason applies";

    const QByteArray message = QStringLiteral("资源包已用尽").toUtf8();
    const QByteArray packed = *gzipCompress(message);
    frame = parseServerFrame(bytes({0x11, 0xF3, 0x11, 0}) + bigEndian(45000001) +
                             bigEndian(quint32(packed.size())) + packed);
    ASSERT_TRUE(frame.errorMessage);
    EXPECT_EQ(*frame.errorMessage, QStringLiteral("资源包已用尽"));

    frame =
        parseServerFrame(bytes({0x11, 0xF0, 0x10, 0}) + bigEndian(1) + bigEndian(2) + bytes({0xC3, 0x28}));
    EXPECT_FALSE(frame.errorMessage) << "invalid UTF-8";
    frame = parseServerFrame(bytes({0x11, 0xF0, 0x10, 0}) + bigEndian(1) + bigEndian(0));
    EXPECT_FALSE(frame.errorMessage);
}

TEST(SeedASRProtocol, GzipDecompressionSurvivesBadStreamsAndStopsAtTheCap)
{
    QByteArray text;
    for (int i = 0; i < 20000; ++i)
        text += QByteArray::number(i * 7919 % 10007) + ',';
    const QByteArray packed = *gzipCompress(text);

    const QByteArray truncated = gzipDecompress(packed.left(packed.size() / 2));
    EXPECT_FALSE(truncated.isEmpty());
    EXPECT_TRUE(text.startsWith(truncated));

    QByteArray corrupt = packed;
    for (qsizetype i = corrupt.size() / 2; i < corrupt.size() / 2 + 64; ++i)
        corrupt[i] = static_cast<char>(~corrupt[i]);
    const QByteArray salvaged = gzipDecompress(corrupt);
    ASSERT_GE(salvaged.size(), text.size() / 4);
    EXPECT_TRUE(text.startsWith(salvaged.left(text.size() / 4))) << "bytes before the fault are kept";

    EXPECT_TRUE(gzipDecompress(QByteArray()).isEmpty());
    EXPECT_TRUE(gzipDecompress("not a gzip stream").isEmpty());

    // 16 MB of zeros packs into about 16 KB; inflating stops at 8 MB.
    const QByteArray bomb = *gzipCompress(QByteArray(16 * 1024 * 1024, '\0'));
    ASSERT_LT(bomb.size(), 32 * 1024);
    EXPECT_EQ(gzipDecompress(bomb).size(), kMaxDecompressedBytes);

    // A frame carrying the bomb reads as a frame without text.
    const ServerFrame frame = parseServerFrame(bytes({0x11, 0x91, 0x11, 0}) + bigEndian(1) +
                                               bigEndian(quint32(bomb.size())) + bomb);
    EXPECT_EQ(frame.kind, ServerFrame::Kind::response);
    EXPECT_FALSE(frame.text);
}

TEST(SeedASRProtocol, RequestAndCorpusJson)
{
    QStringList hotwords;
    for (int i = 0; i < 70; ++i)
        hotwords << QStringLiteral(" w%1").arg(i);
    const QString longText = QString(180, QLatin1Char('x')) + QString(120, QChar(0x4E2D));
    QJsonObject corpus = corpusOf(buildFullClientRequestJson(
        hotwords, {QStringLiteral("  \n"), longText, QStringLiteral(" 第二 "), QStringLiteral("第三")}, true,
        false));
    const QJsonArray words = corpus.value(QStringLiteral("hotwords")).toArray();
    ASSERT_EQ(words.size(), 65);
    EXPECT_EQ(words[0].toObject().value(QStringLiteral("word")).toString(), QStringLiteral(" w0"))
        << "untrimmed";
    EXPECT_EQ(corpus.value(QStringLiteral("context_type")).toString(), QStringLiteral("dialog_ctx"));
    const QJsonArray dialog = corpus.value(QStringLiteral("context_data")).toArray();
    ASSERT_EQ(dialog.size(), 2);
    EXPECT_EQ(dialog[0].toObject().value(QStringLiteral("text")).toString(), QString(120, QChar(0x4E2D)));
    EXPECT_EQ(dialog[1].toObject().value(QStringLiteral("text")).toString(), QStringLiteral("第二"));

    const QByteArray bare = buildFullClientRequestJson({}, {QStringLiteral(" "), QString()}, true, true);
    EXPECT_FALSE(bare.contains(' ')) << "compact JSON";
    const QJsonObject root = parse(bare);
    const QJsonObject request = root.value(QStringLiteral("request")).toObject();
    EXPECT_FALSE(request.contains(QStringLiteral("corpus")));
    EXPECT_EQ(request.value(QStringLiteral("model_name")).toString(), QStringLiteral("bigmodel"));
    EXPECT_TRUE(request.value(QStringLiteral("enable_ddc")).toBool());
    EXPECT_TRUE(request.value(QStringLiteral("enable_nonstream")).toBool());
    EXPECT_TRUE(request.value(QStringLiteral("show_utterances")).toBool());
    EXPECT_EQ(request.value(QStringLiteral("result_type")).toString(), QStringLiteral("full"));
    EXPECT_EQ(root.value(QStringLiteral("user")).toObject().value(QStringLiteral("uid")).toString(),
              QStringLiteral("quorbell_macos_client"));
    EXPECT_TRUE(bare.contains(R"("audio":{)"));
    EXPECT_TRUE(bare.contains(R"("rate":16000)"));

    const QJsonObject probe = parse(buildProbeRequestJson());
    EXPECT_EQ(probe.value(QStringLiteral("user")).toObject().value(QStringLiteral("uid")).toString(),
              QStringLiteral("quorbell_probe"));
    EXPECT_EQ(probe.value(QStringLiteral("request")).toObject().keys(),
              (QStringList{QStringLiteral("enable_itn"), QStringLiteral("enable_punc"),
                           QStringLiteral("model_name"), QStringLiteral("result_type")}));
}

TEST(SeedASRProtocol, HandshakeHeadersAreOrderedWithFreshUuidsAndKeysAreScreened)
{
    const auto headers =
        handshakeHeaders(QStringLiteral("key-1"), QStringLiteral("volc.seedasr.sauc.duration"));
    ASSERT_EQ(headers.size(), 4);
    EXPECT_EQ(headers[0], (QPair<QByteArray, QByteArray>("X-Api-Key", "key-1")));
    EXPECT_EQ(headers[1].first, QByteArray("X-Api-Resource-Id"));
    EXPECT_EQ(headers[2].first, QByteArray("X-Api-Connect-Id"));
    EXPECT_EQ(headers[3].first, QByteArray("X-Api-Request-Id"));
    const QRegularExpression uuid(
        QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
    EXPECT_TRUE(uuid.match(QString::fromLatin1(headers[2].second)).hasMatch());
    EXPECT_TRUE(uuid.match(QString::fromLatin1(headers[3].second)).hasMatch());
    EXPECT_NE(headers[2].second, headers[3].second);

    EXPECT_TRUE(::Endpoint::isHeaderSafe(QStringLiteral("sk-abc_123")));
    EXPECT_FALSE(::Endpoint::isHeaderSafe(QStringLiteral("sk-abc\r\nX-Evil: 1")));
    EXPECT_FALSE(::Endpoint::isHeaderSafe(QStringLiteral("sk\x01")));
    EXPECT_FALSE(::Endpoint::isHeaderSafe(QString(QChar(0x2028))));
}
