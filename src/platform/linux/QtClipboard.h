#pragma once

#include "platform/Clipboard.h"

#include <QObject>
#include <QPointer>

class QClipboard;
class QMimeData;
class ServedMimeData;

// The desktop clipboard through QClipboard. Main thread only. Ownership is ours while the clipboard still
// holds the data object we last set; "requested" means another application asked that object for data,
// which on X11 only happens when a paste target converts the selection.
class QtClipboard final : public QObject, public Clipboard {
public:
    explicit QtClipboard(QObject* parent = nullptr);
    ~QtClipboard() override;

    ClipboardSnapshot snapshot() const override;
    void restore(const ClipboardSnapshot& snapshot) override;
    void setText(const QString& text) override;
    QString text() const override;
    quint64 changeCount() const override { return m_changeCount; }
    bool ownsContents() const override;
    bool contentsWereRequested() const override;

private:
    void put(ServedMimeData* data);
    // The clipboard's data when it is ours, else nullptr.
    ServedMimeData* ours() const;

    QClipboard* m_clipboard = nullptr;
    quint64 m_changeCount = 0;
    QPointer<ServedMimeData> m_ours;
};
