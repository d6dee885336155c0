#include "llm/ChatStreamReader.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

using Protocol = ChatStreamReader::Protocol;

// Feeds the body in the given pieces and collects what the reader hands out.
QStringList readPieces(Protocol protocol, const QList<QByteArray>& pieces, bool pangu = false)
{
    ChatStreamReader reader(protocol, pangu);
    QStringList tokens;
    for (const QByteArray& piece : pieces) {
        EXPECT_TRUE(reader.append(piece));
        while (std::optional<QString> token = reader.next())
            tokens.append(*token);
    }
    reader.finishInput();
    while (std::optional<QString> token = reader.next())
        tokens.append(*token);
    EXPECT_TRUE(reader.done());
    return tokens;
}

QByteArray chatEvent(const char* content)
{
    return QByteArray("data: {\"choices\":[{\"delta\":{\"content\":\"") + content + "\"}}]}\n\n";
}

} // namespace

TEST(ChatStreamReader, EveryByteSplitGivesTheSameText)
{
    // Three-byte characters, CR LF endings, an event name line and a final line without terminator.
    const QByteArray body = "event: message\r\n" + chatEvent("你好，") +
                            "data:{\"choices\":[{\"delta\":{\"content\":\"世界\"}}]}\r\n\r\n" +
                            ": keep-alive\n" + "data: {\"choices\":[{\"delta\":{\"content\":\"！\"}}]}";
    for (qsizetype cut = 0; cut <= body.size(); ++cut) {
        const QStringList tokens = readPieces(Protocol::chatCompletions, {body.left(cut), body.mid(cut)});
        EXPECT_EQ(tokens.join(QString()), QStringLiteral("你好，世界！")) << "cut at byte " << cut;
        EXPECT_EQ(tokens.size(), 3) << "cut at byte " << cut;
    }
    // One byte at a time.
    QList<QByteArray> bytes;
    for (char c : body)
        bytes.append(QByteArray(1, c));
    EXPECT_EQ(readPieces(Protocol::chatCompletions, bytes).join(QString()), QStringLiteral("你好，世界！"));
}

TEST(ChatStreamReader, DoneEndsTheStreamAndBadLinesAreSkipped)
{
    const QStringList tokens = readPieces(
        Protocol::chatCompletions,
        {chatEvent("a"), "data: not json\n", "data: [1,2]\n", "data: {\"choices\":[]}\n",
         "data: {\"choices\":[{\"delta\":{}}]}\n", "data: {\"choices\":[{\"delta\":{\"content\":7}}]}\n",
         "data: {\"choices\":[{\"delta\":{\"content\":\"\"}}]}\n", "id: 3\n", "\n", "data: \t[DONE] \n",
         chatEvent("after")});
    EXPECT_EQ(tokens, QStringList{QStringLiteral("a")});
}

TEST(ChatStreamReader, AnthropicTakesOnlyContentBlockDeltas)
{
    const QStringList tokens = readPieces(
        Protocol::anthropicMessages,
        {"event: message_start\ndata: {\"type\":\"message_start\",\"message\":{\"content\":[]}}\n\n",
         "event: content_block_delta\ndata: "
         "{\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":\"text_delta\",\"text\":\"你好\"}"
         "}\n\n",
         "data: {\"type\":\"ping\"}\n\n",
         "data: {\"type\":\"error\",\"error\":{\"type\":\"overloaded_error\",\"message\":\"x\"}}\n\n",
         "data: [DONE]\n\n", "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":\"world\"}}\n\n",
         "data: {\"type\":\"message_stop\"}\n\n"},
        true);
    EXPECT_EQ(tokens, (QStringList{QStringLiteral("你好"), QStringLiteral(" world")}));
}

TEST(ChatStreamReader, OverlongLineIsRefused)
{
    ChatStreamReader reader(Protocol::chatCompletions, false);
    EXPECT_TRUE(reader.append(chatEvent("ok")));
    EXPECT_TRUE(reader.append(QByteArray(ChatStreamReader::kMaxLineBytes, 'x')));
    EXPECT_FALSE(reader.append("y"));
}
