#pragma once

#include "platform/Clipboard.h"

#include <QClipboard>
#include <QObject>
#include <QPointer>
#include <memory>
#include <optional>

class QMimeData;
class SerialQueue;
class ServedMimeData;
class X11ClipboardReader;
class X11ClipboardServer;

// The desktop clipboard through QClipboard. Main thread only. Ownership is ours while the clipboard still
// holds the data object we last set; "requested" means another application asked that object for data,
// which on X11 only happens when a paste target converts the selection. The clipboard carries the PRIMARY
// selection, where the platform has one, as a second QtClipboard of the same kind. Another application's
// contents are read for readSnapshot() over a connection of our own on a queue of our own (labels
// "org.quorbell.clipboard" and "org.quorbell.primary"), and large contents restored for the user are served
// by an X11ClipboardServer, so neither reading nor handing them out holds the main thread. Those count as
// ours while the server holds them.
class QtClipboard final : public QObject, public Clipboard {
public:
    explicit QtClipboard(QObject* parent = nullptr) : QtClipboard(QClipboard::Clipboard, parent) {}
    ~QtClipboard() override;

    Clipboard* primarySelection() override { return m_primary.get(); }
    ClipboardSnapshot snapshot() const override;
    void readSnapshot(SnapshotHandler done) override;
    void readShortText(qsizetype maxBytes, TextHandler done) override;
    void restore(const ClipboardSnapshot& snapshot) override;
    void setText(const QString& text) override;
    QString text() const override;
    quint64 changeCount() const override { return m_changeCount; }
    bool ownsContents() const override;
    bool contentsWereRequested() const override;

private:
    QtClipboard(QClipboard::Mode mode, QObject* parent);
    void put(ServedMimeData* data);
    // What the server holds for the user, while the selection is still its.
    std::optional<ClipboardSnapshot> served() const;
    // The server while it holds contents, else nullptr.
    X11ClipboardServer* servingServer() const;
    // On the reader's queue: what `server` holds, while its window owns the selection.
    static std::optional<ClipboardSnapshot> heldWhileOwner(X11ClipboardReader& reader,
                                                           const X11ClipboardServer& server);
    // readShortText() from the data in this process.
    QString shortTextHere(qsizetype maxBytes) const;
    // The clipboard's data when it is ours, else nullptr.
    ServedMimeData* ours() const;

    QClipboard* m_clipboard = nullptr;
    QClipboard::Mode m_mode;
    std::unique_ptr<QtClipboard> m_primary;
    quint64 m_changeCount = 0;
    QPointer<ServedMimeData> m_ours;
    // Null off X11: there every snapshot is taken through QClipboard.
    std::unique_ptr<SerialQueue> m_readerQueue;
    std::shared_ptr<X11ClipboardReader> m_reader; // used on m_readerQueue only
    // Serves large restored contents off the main thread; null off X11.
    std::unique_ptr<X11ClipboardServer> m_server;
};
