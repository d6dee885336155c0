#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <utility>

struct ClipboardFormat {
    QString mimeType;
    QByteArray data;

    bool operator==(const ClipboardFormat&) const = default;
};

// Password managers put this format, holding "secret", beside what they copy: such contents are only ever
// put back as they were, never read for their text.
inline const QString kPasswordManagerHintFormat = QStringLiteral("x-kde-passwordManagerHint");

// Everything the clipboard held, every format of it.
struct ClipboardSnapshot {
    ClipboardSnapshot() = default;
    ClipboardSnapshot(QList<ClipboardFormat> formats, QString unreadReason = {})
        : formats(std::move(formats)), unreadReason(std::move(unreadReason))
    {
    }

    QList<ClipboardFormat> formats;
    // Why some or all of the contents could not be read (the owner did not answer, a format was too large),
    // in words for the user; empty when everything was read.
    QString unreadReason;

    bool isEmpty() const { return formats.isEmpty(); }
    bool operator==(const ClipboardSnapshot&) const = default;

    // A password manager marked the contents secret (a hint format that cannot be read counts as secret).
    bool isMarkedSecret() const
    {
        for (const ClipboardFormat& format : formats) {
            if (format.mimeType == kPasswordManagerHintFormat)
                return format.data.isNull() || format.data.trimmed() == QByteArrayLiteral("secret");
        }
        return false;
    }
    // The plain text when it takes at most `maxBytes` of UTF-8 and the contents are not marked secret;
    // empty otherwise.
    QString shortText(qsizetype maxBytes) const
    {
        if (isMarkedSecret())
            return {};
        for (const ClipboardFormat& format : formats) {
            if (format.mimeType == QLatin1String("text/plain"))
                return format.data.size() <= maxBytes ? QString::fromUtf8(format.data) : QString();
        }
        return {};
    }
};

// The desktop clipboard. Main thread only.
class Clipboard {
public:
    using SnapshotHandler = std::function<void(ClipboardSnapshot)>;
    using TextHandler = std::function<void(QString)>;

    virtual ~Clipboard() = default;

    // The PRIMARY selection (what the xterm family pastes with Shift+Insert) behind the same operations;
    // nullptr where the desktop has none, and for the selection itself. It lives as long as this clipboard.
    virtual Clipboard* primarySelection() { return nullptr; }

    // Waits on the clipboard's owner when that is another application: not for the main thread's hot paths.
    virtual ClipboardSnapshot snapshot() const = 0;
    // The same snapshot, read without the main thread waiting on another application: `done` gets it later,
    // on the main thread (at once when nobody else has to be asked). Never called once the clipboard is gone.
    virtual void readSnapshot(SnapshotHandler done) = 0;
    // The plain text for a short use (the recogniser's hint), read like readSnapshot() and only as far as
    // that use goes: `done` gets it when it takes at most `maxBytes` of UTF-8, else "" (a longer text is not
    // read past that). Contents a password manager marked secret are not read at all: "".
    virtual void readShortText(qsizetype maxBytes, TextHandler done) = 0;
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
