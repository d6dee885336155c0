#include "fakes/FakeClipboard.h"

namespace {
const QString kPlainText = QStringLiteral("text/plain");
}

void FakeClipboard::restore(const ClipboardSnapshot& snapshot)
{
    std::lock_guard lock(m_mutex);
    ++m_restoreCount;
    replaceLocked(snapshot, true);
}

void FakeClipboard::setText(const QString& text)
{
    std::lock_guard lock(m_mutex);
    m_textsSet.append(text);
    replaceLocked({{{kPlainText, text.toUtf8()}}}, true);
}

void FakeClipboard::readSnapshot(SnapshotHandler done)
{
    ClipboardSnapshot contents;
    {
        std::lock_guard lock(m_mutex);
        ++m_readCount;
        if (m_holdReads) {
            m_heldReads.emplace_back(std::move(done), m_contents);
            return;
        }
        contents = m_contents;
    }
    done(std::move(contents));
}

void FakeClipboard::readShortText(qsizetype maxBytes, TextHandler done)
{
    readSnapshot([maxBytes, done = std::move(done)](const ClipboardSnapshot& contents) {
        done(contents.shortText(maxBytes));
    });
}

void FakeClipboard::answerSnapshotReads()
{
    std::vector<std::pair<SnapshotHandler, ClipboardSnapshot>> reads;
    {
        std::lock_guard lock(m_mutex);
        reads.swap(m_heldReads);
    }
    for (auto& [done, contents] : reads)
        done(std::move(contents));
}

bool FakeClipboard::contentsWereRequested() const
{
    std::lock_guard lock(m_mutex);
    return m_owned && m_requested;
}

void FakeClipboard::simulateCopy(const ClipboardSnapshot& contents)
{
    std::lock_guard lock(m_mutex);
    replaceLocked(contents, false);
}

std::optional<QString> FakeClipboard::request()
{
    std::lock_guard lock(m_mutex);
    m_requested = true;
    return plainText(m_contents);
}

std::optional<QString> FakeClipboard::plainText(const ClipboardSnapshot& contents)
{
    for (const ClipboardFormat& format : contents.formats) {
        if (format.mimeType == kPlainText)
            return QString::fromUtf8(format.data);
    }
    return std::nullopt;
}

void FakeClipboard::replaceLocked(ClipboardSnapshot contents, bool ours)
{
    m_contents = std::move(contents);
    ++m_changeCount;
    m_owned = ours;
    m_requested = false;
}
