#pragma once

#include "llm/StreamTextAssembler.h"

#include <QByteArray>
#include <QString>
#include <optional>

// Reads the body of a streamed model answer (server-sent events) into cleaned text pieces. Bytes are buffered
// until a line is complete, so a line or a UTF-8 sequence split across network reads is decoded whole.
class ChatStreamReader {
public:
    enum class Protocol {
        chatCompletions,   // "data:" lines with choices[0].delta.content, ended by "[DONE]"
        anthropicMessages, // "content_block_delta" events with delta.text
    };

    // No single event line is longer than this in practice; a longer one is a broken or hostile server.
    static constexpr qsizetype kMaxLineBytes = 1 << 20;
    // Enough of the body to hold an error answer or a page's title.
    static constexpr qsizetype kHeadBytes = 8 * 1024;

    ChatStreamReader(Protocol protocol, bool enablePanguSpacing);

    // Buffers body bytes; false when a line grows past kMaxLineBytes (the stream is then unusable).
    bool append(const QByteArray& bytes);
    // Marks the end of the body: an unterminated last line is read, and held-back text is released.
    void finishInput();

    // The next cleaned, non-empty piece, or nothing until more input arrives (or ever, once done()).
    std::optional<QString> next();
    // "[DONE]" was read, or the input is finished and fully read.
    bool done() const { return m_done; }

    // The whole answer so far: the pieces concatenated, trimmed.
    QString fullText() const;
    // For an answer that carried no text, what came instead, for the user (Chinese; the server's own words
    // follow in brackets): an error sent inside the stream or as the whole body, a web page, or the start
    // of whatever else arrived. Read from the first bytes of the body only.
    QString whatCameBack() const;

private:
    std::optional<QByteArray> takeLine();
    // The content of one event line, or nothing for a line to skip.
    std::optional<QString> contentOf(const QByteArray& line);

    Protocol m_protocol;
    StreamTextAssembler m_assembler;
    QByteArray m_buffer;
    QByteArray m_head;        // the first kHeadBytes of the body, kept to say what came back
    qsizetype m_readFrom = 0; // m_buffer before this offset has been read
    qsizetype m_scanFrom = 0; // m_buffer before this offset holds no unread line feed
    bool m_inputFinished = false;
    bool m_finalFlushed = false;
    bool m_done = false;
};
