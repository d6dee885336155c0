#pragma once

#include "platform/Clipboard.h"

#include <QByteArray>
#include <chrono>
#include <memory>

// Reads what another application holds on the CLIPBOARD (or PRIMARY) selection over an X connection of its
// own, so the wait for the owner's answers (an image owner encodes every image format it offers on request)
// is the calling thread's and never the main thread's. Formats are named and converted as QClipboard does it
// (the X text targets become "text/plain" in UTF-8), so the snapshot equals one taken through QClipboard and
// goes back through it the same way. Blocking; one thread at a time.
class X11ClipboardReader final {
public:
    // A snapshot keeps at most this much of another application's clipboard, so a huge image cannot take the
    // memory with it. Formats past the caps are left out, the others still come back.
    static constexpr qsizetype kMaxSnapshotBytes = 64 * 1024 * 1024;
    static constexpr qsizetype kMaxSnapshotFormats = 64;
    // An owner that has not answered one request by then is taken as unable to: that format is left out.
    static constexpr std::chrono::milliseconds kOwnerAnswerLimit{1000};
    // Past this the formats not yet read are left out, so a sluggish owner cannot hold a paste for long.
    static constexpr std::chrono::milliseconds kReadLimit{3000};
    // A transfer in pieces (INCR) under way goes on past kReadLimit while its owner keeps sending (a text of
    // 50 MB from xsel comes in 13,000 pieces): it is given up on when a piece takes longer than kPieceLimit,
    // or the whole longer than kTransferLimit.
    static constexpr std::chrono::milliseconds kPieceLimit{5000};
    static constexpr std::chrono::milliseconds kTransferLimit{30000};

    enum class Selection { clipboard, primary };

    // Connects to `displayName`, or to $DISPLAY when empty.
    explicit X11ClipboardReader(Selection selection = Selection::clipboard,
                                const QByteArray& displayName = {});
    ~X11ClipboardReader();
    X11ClipboardReader(const X11ClipboardReader&) = delete;
    X11ClipboardReader& operator=(const X11ClipboardReader&) = delete;

    bool isAvailable() const;
    // The X window that owns the selection now (0 for none).
    unsigned long ownerWindow();
    // Every format the clipboard's owner offers, in its order; empty when nobody owns the clipboard. Formats
    // left out (no answer, over the caps) are logged and said in the snapshot's unreadReason.
    ClipboardSnapshot read();
    // The plain text alone, when it takes at most `maxBytes` (a longer one is refused once its size is known,
    // without taking it), with the password manager's hint format if the owner offers it; the text is not
    // asked for when that hint says secret.
    ClipboardSnapshot readShortText(qsizetype maxBytes);

    // Why a snapshot is not whole, in words for the user: the kinds of contents (文本, 图片…) among
    // `leftOut` of which nothing is among `kept`; empty when nothing the user would miss was left out (an
    // encoding of a text that came back).
    static QString lostContentsReason(const QList<ClipboardFormat>& kept, const QStringList& leftOut);

private:
    class Connection;
    std::unique_ptr<Connection> m_connection;
};
