#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

struct ClipboardFormat {
    QString mimeType;
    QByteArray data;

    bool operator==(const ClipboardFormat&) const = default;
};

// Everything the clipboard held, every format of it.
struct ClipboardSnapshot {
    QList<ClipboardFormat> formats;

    bool isEmpty() const { return formats.isEmpty(); }
    bool operator==(const ClipboardSnapshot&) const = default;
};

// The desktop clipboard. Main thread only.
class Clipboard {
public:
    using SnapshotHandler = std::function<void(ClipboardSnapshot)>;

    virtual ~Clipboard() = default;

    // The PRIMARY selection (what the xterm family pastes with Shift+Insert) behind the same operations;
    // nullptr where the desktop has none, and for the selection itself. It lives as long as this clipboard.
    virtual Clipboard* primarySelection() { return nullptr; }

    // Waits on the clipboard's owner when that is another application: not for the main thread's hot paths.
    virtual ClipboardSnapshot snapshot() const = 0;
    // The same snapshot, read without the main thread waiting on another application: `done` gets it later,
    // on the main thread (at once when nobody else has to be asked). Never called once the clipboard is gone.
    virtual void readSnapshot(SnapshotHandler done) = 0;
    // Puts the snapshot back with all its formats; an empty snapshot clears the clipboard.
    virtual void restore(const ClipboardSnapshot& snapshot) = 0;
    // Replaces the contents with plain text.
    virtual void setText(const QString& text) = 0;
    // The plain text on the clipboard, empty when there is none.
    virtual QString text() const = 0;

    // Grows with every change of the contents, ours or anyone's.
    virtual quint64 changeCount() const = 0;
    // Whether the contents are still the ones we last put there (nobody has copied since).
    virtual bool ownsContents() const = 0;
    // Whether another application has asked for the contents we last put there. A paste target asks when it
    // pastes, so restoring earlier would paste the old contents.
    virtual bool contentsWereRequested() const = 0;
};
