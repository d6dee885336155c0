#include "audio/SeedASRProtocol.h"
#include "util/Endpoint.h"

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

// A server frame's header bytes 1 and 2 (type and flags, serialization and compression).
QByteArray head(int typeAndFlags, int serialization)
{
    return bytes({0x11, typeAndFlags, serialization, 0});
}

QByteArray sized(const QByteArray& payload)
{
    return bigEndian(quint32(payload.size())) + payload;
}

// The frame as one line, to compare with a table.
std::string describe(const ServerFrame& frame)
{
    const char* kinds[] = {"tooShort", "error", "response"};
    QString out = QLatin1String(kinds[static_cast<int>(frame.kind)]);
    if (frame.isFinal)
        out += QStringLiteral(" final");
    if (frame.text)
        out += QStringLiteral(" text=") + *frame.text;
    if (frame.definite)
        out += QStringLiteral(" definite");
    if (frame.errorMessage)
        out += QStringLiteral(" message=") + *frame.errorMessage;
    if (frame.unreadable)
        out += QStringLiteral(" unreadable");
    return out.toStdString();
}

} // namespace

TEST(SeedASRProtocol, SentFramesCarryTheirHeaderBigEndianSizeAndGzipPayload)
{
    const struct {
        ClientFrameKind kind;
        QByteArray payload;
        QByteArray header;
    } cases[] = {{ClientFrameKind::fullClientRequest, R"({"a":1})", bytes({0x11, 0x10, 0x11, 0x00})},
                 {ClientFrameKind::audioOnly, QByteArray(1920, '\x05'), bytes({0x11, 0x20, 0x01, 0x00})},
                 {ClientFrameKind::lastAudio, QByteArray(), bytes({0x11, 0x22, 0x01, 0x00})}};
    for (const auto& c : cases) {
        const QByteArray frame = buildClientFrame(c.kind, c.payload);
        EXPECT_EQ(frame.left(4), c.header);
        const QByteArray wire = frame.mid(8);
        EXPECT_EQ(frame.mid(4, 4), bigEndian(quint32(wire.size())));
        ASSERT_GE(wire.size(), 18) << "even an empty input is a complete gzip stream";
        EXPECT_EQ(gzipDecompress(wire), c.payload);
    }

    // Compression that does not complete: the raw payload goes out, and the header says so.
    EXPECT_EQ(assembleClientFrame(ClientFrameKind::fullClientRequest, "{}", std::nullopt),
              bytes({0x11, 0x10, 0x10, 0x00, 0, 0, 0, 2, '{', '}'}));
    EXPECT_EQ(assembleClientFrame(ClientFrameKind::audioOnly, "ab", std::nullopt).left(4),
              bytes({0x11, 0x20, 0x00, 0x00}));
}

TEST(SeedASRProtocol, ReceivedFramesFollowTheSizeAndFlagRules)
{
    const QByteArray json =
        R"({"result":{"text":"  你好 ","utterances":[{"definite":false},{"definite":true}]}})";
    const QByteArray error = *gzipCompress(QStringLiteral("资源包已用尽").toUtf8());
    // 16 MB of zeros packs into about 16 KB; inflating stops at the cap, and the frame cannot be read.
    const QByteArray bomb = *gzipCompress(QByteArray(16 * 1024 * 1024, '\0'));
    const QByteArray packed = *gzipCompress(json);
    QByteArray damaged = packed;
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x5A);
    const struct {
        QByteArray frame;
        const char* expected;
    } cases[] = {
        {bytes({0x11, 0x90, 0x10, 0, 0, 0, 0}), "tooShort"},
        {head(0x90, 0x10) + bigEndian(5), "response"}, // flags 0: the size sits at offset 4
        {head(0x90, 0x10) + sized(json) + "junk", "response text=你好 definite"},
        {head(0x92, 0x11) + bigEndian(9) + sized(*gzipCompress(json)), "response final text=你好 definite"},
        {head(0x93, 0x11) + bigEndian(1) + bigEndian(0), "response final"},
        {head(0x91, 0x10) + bigEndian(1) + bigEndian(0xFFFFFFF0) + json, "response text=你好 definite"},
        {head(0x90, 0x10) + bigEndian(25) + R"({"result":{"text":"a"}} )", "response text=a"},
        {head(0x90, 0x10) + sized(R"({"result":{"text":"b","utterances":[]}})"), "response text=b"},
        {head(0x90, 0x00) + sized(json), "response"}, // not a JSON serialization
        {head(0x90, 0x10) + sized("[]"), "response"},
        {head(0x91, 0x11) + bigEndian(1) + sized(bomb), "response unreadable"},
        // A final whose gzip stream is cut short or damaged, or whose JSON does not parse: nothing is known.
        {head(0x92, 0x11) + bigEndian(9) + sized(packed.left(packed.size() - 6)),
         "response final unreadable"},
        {head(0x93, 0x11) + bigEndian(9) + sized(damaged), "response final unreadable"},
        {head(0x92, 0x10) + bigEndian(9) + sized(R"({"result":{"text":"你)"), "response final unreadable"},
        {head(0x92, 0x11) + bigEndian(9) + sized(*gzipCompress(R"({"result":{}})")), "response final"},
        {head(0xF0, 0x10) + bytes({0, 0, 0, 1, 0}), "error"},
        {head(0xF3, 0x11) + bigEndian(45000001) + sized(error), "error message=资源包已用尽"},
        {head(0xF0, 0x10) + bigEndian(1) + sized(bytes({0xC3, 0x28})), "error"}, // invalid UTF-8
        {head(0xF0, 0x10) + bigEndian(1) + bigEndian(0), "error"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describe(parseServerFrame(c.frame)), c.expected) << c.frame.toHex().toStdString();
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

    // Only a stream read to its end, within the cap, counts as whole.
    EXPECT_EQ(gzipDecompressWhole(packed), std::optional<QByteArray>(text));
    EXPECT_FALSE(gzipDecompressWhole(packed.left(packed.size() - 1)).has_value());
    EXPECT_FALSE(gzipDecompressWhole(corrupt).has_value());
    EXPECT_EQ(gzipDecompressWhole(packed, text.size()), std::optional<QByteArray>(text)) << "just fits";
    EXPECT_FALSE(gzipDecompressWhole(packed, text.size() - 1).has_value());
    EXPECT_FALSE(gzipDecompressWhole("not a gzip stream").has_value());

    EXPECT_TRUE(gzipDecompress(QByteArray()).isEmpty());
    EXPECT_TRUE(gzipDecompress("not a gzip stream").isEmpty());
    EXPECT_EQ(gzipDecompress(*gzipCompress(QByteArray(16 * 1024 * 1024, '\0'))).size(),
              kMaxDecompressedBytes);
}

TEST(SeedASRProtocol, RequestCorpusKeepsTheFirstHotwordsAndTheTailsOfTwoDialogTexts)
{
    QStringList hotwords;
    for (int i = 0; i < 70; ++i)
        hotwords << QStringLiteral(" w%1").arg(i);
    const QString longText = QString(180, QLatin1Char('x')) + QString(120, QChar(0x4E2D));
    const QByteArray json = buildFullClientRequestJson(
        hotwords, {QStringLiteral("  \n"), longText, QStringLiteral(" 第二 "), QStringLiteral("第三")}, true,
        false);
    const QJsonObject request =
        QJsonDocument::fromJson(json).object().value(QStringLiteral("request")).toObject();
    const QJsonObject corpus = QJsonDocument::fromJson(request.value(QStringLiteral("corpus"))
                                                           .toObject()
                                                           .value(QStringLiteral("context"))
                                                           .toString()
                                                           .toUtf8())
                                   .object();
    const QJsonArray words = corpus.value(QStringLiteral("hotwords")).toArray();
    ASSERT_EQ(words.size(), 65);
    EXPECT_EQ(words[0].toObject().value(QStringLiteral("word")).toString(), QStringLiteral(" w0"))
        << "untrimmed";
    const QJsonArray dialog = corpus.value(QStringLiteral("context_data")).toArray();
    ASSERT_EQ(dialog.size(), 2);
    EXPECT_EQ(dialog[0].toObject().value(QStringLiteral("text")).toString(), QString(120, QChar(0x4E2D)));
    EXPECT_EQ(dialog[1].toObject().value(QStringLiteral("text")).toString(), QStringLiteral("第二"));

    // Nothing left to say: no corpus at all.
    const QByteArray bare = buildFullClientRequestJson({}, {QStringLiteral(" "), QString()}, true, true);
    EXPECT_FALSE(bare.contains("corpus"));
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
    for (const QString& unsafe :
         {QStringLiteral("sk-abc\r\nX-Evil: 1"), QStringLiteral("sk\x01"), QString(QChar(0x2028))})
        EXPECT_FALSE(::Endpoint::isHeaderSafe(unsafe)) << unsafe.toStdString();
}
