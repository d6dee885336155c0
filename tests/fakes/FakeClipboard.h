#pragma once

#include "platform/Clipboard.h"

#include <QStringList>

// A clipboard that tests can copy into as "another application" and request data from as "the paste
// target". Main thread only, like the real one.
class FakeClipboard final : public Clipboard {
public:
    ClipboardSnapshot snapshot() const override { return m_contents; }
    void restore(const ClipboardSnapshot& snapshot) override;
    void setText(const QString& text) override;
    QString text() const override;
    quint64 changeCount() const override { return m_changeCount; }
    bool ownsContents() const override { return m_owned; }
    bool contentsWereRequested() const override { return m_requested; }

    // Another application copies: the contents change and we no longer own them.
    void simulateCopy(const ClipboardSnapshot& contents);
    // The paste target asks for the contents.
    void simulateRequest();

    // Every text put on the clipboard through setText(), in order.
    QStringList textsSet() const { return m_textsSet; }
    int restoreCount() const { return m_restoreCount; }

private:
    void replace(ClipboardSnapshot contents, bool ours);

    ClipboardSnapshot m_contents;
    quint64 m_changeCount = 0;
    bool m_owned = false;
    bool m_requested = false;
    QStringList m_textsSet;
    int m_restoreCount = 0;
};
