// The streamed answer of a language model, in both protocols. The first byte picks the protocol and the
// spacing switch, the next two where the body is split between two network reads: the text read must not
// depend on where the reads fall.
#include "fuzz/FuzzTarget.h"

#include "llm/ChatStreamReader.h"
#include "util/Text.h"

namespace {

struct Read {
    QString pieces;
    QString fullText;
    bool refused = false;
};

Read readStream(ChatStreamReader::Protocol protocol, bool spacing, const QList<QByteArray>& chunks)
{
    ChatStreamReader reader(protocol, spacing);
    Read read;
    for (const QByteArray& chunk : chunks) {
        if (!reader.append(chunk)) {
            read.refused = true;
            return read;
        }
        while (std::optional<QString> piece = reader.next()) {
            FUZZ_CHECK(!piece->isEmpty());
            read.pieces += *piece;
        }
    }
    reader.finishInput();
    while (std::optional<QString> piece = reader.next())
        read.pieces += *piece;
    FUZZ_CHECK(reader.done());
    FUZZ_CHECK(!reader.next());
    read.fullText = reader.fullText();
    return read;
}

} // namespace

QB_FUZZ_TARGET(chat_stream)
{
    if (input.size() < 3)
        return;
    const auto mode = static_cast<quint8>(input[0]);
    const auto protocol = (mode & 1) ? ChatStreamReader::Protocol::anthropicMessages
                                     : ChatStreamReader::Protocol::chatCompletions;
    const bool spacing = (mode & 2) != 0;
    const QByteArray body = input.sliced(3);
    const qsizetype split =
        body.isEmpty() ? 0
                       : ((static_cast<quint8>(input[1]) << 8) | static_cast<quint8>(input[2])) % body.size();

    const Read whole = readStream(protocol, spacing, {body});
    const Read twoReads = readStream(protocol, spacing, {body.first(split), body.sliced(split)});
    FUZZ_CHECK(whole.refused == twoReads.refused);
    if (whole.refused)
        return;
    FUZZ_CHECK(whole.pieces == twoReads.pieces);
    FUZZ_CHECK(whole.fullText == twoReads.fullText);
    FUZZ_CHECK(whole.fullText == Text::trimmed(whole.pieces));
}
