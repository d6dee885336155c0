#pragma once

#include "fakes/Guarded.h"
#include "platform/Clipboard.h"

#include <QStringList>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// A clipboard that tests can copy into as "another application" and that a paste target can ask for its
// contents. Used from the main thread, like the real one, except that the paste target may ask from any.
// It carries a PRIMARY selection of the same kind, unless made without one.
class FakeClipboard final : public Clipboard, private Guarded {
public:
    explicit FakeClipboard(bool withPrimarySelection = true)
        : m_primary(withPrimarySelection ? std::make_unique<FakeClipboard>(false) : nullptr)
    {
    }

    FakeClipboard* primarySelection() override { return m_primary.get(); }
    ClipboardSnapshot snapshot() const override { return guarded(m_contents); }
    // At once, unless reads are held.
    void readSnapshot(SnapshotHandler done) override;
    // The snapshot's short text, held like the snapshot reads.
    void readShortText(qsizetype maxBytes, TextHandler done) override;
    void restore(const ClipboardSnapshot& snapshot) override;
    void setText(const QString& text) override;
    QString text() const override { return plainText(snapshot()).value_or(QString()); }
    quint64 changeCount() const override { return guarded(m_changeCount); }
    bool ownsContents() const override { return guarded(m_owned); }
    bool contentsWereRequested() const override;

    // Another application copies: the contents change and we no longer own them.
    void simulateCopy(const ClipboardSnapshot& contents);
    // The paste target asks for the contents and gets their plain text, if there is any.
    std::optional<QString> request();

    // A slow owner: reads take the contents as they are when asked and hand them over only at
    // answerSnapshotReads().
    void holdSnapshotReads(bool hold) { setGuarded(m_holdReads, hold); }
    void answerSnapshotReads();
    int snapshotReadCount() const { return guarded(m_readCount); }

    // Every text put on the clipboard through setText(), in order.
    QStringList textsSet() const { return guarded(m_textsSet); }
    int restoreCount() const { return guarded(m_restoreCount); }

private:
    static std::optional<QString> plainText(const ClipboardSnapshot& contents);
    void replaceLocked(ClipboardSnapshot contents, bool ours);

    std::unique_ptr<FakeClipboard> m_primary;
    ClipboardSnapshot m_contents;
    quint64 m_changeCount = 0;
    bool m_owned = false;
    bool m_requested = false;
    QStringList m_textsSet;
    int m_restoreCount = 0;
    bool m_holdReads = false;
    int m_readCount = 0;
    std::vector<std::pair<SnapshotHandler, ClipboardSnapshot>> m_heldReads;
};
