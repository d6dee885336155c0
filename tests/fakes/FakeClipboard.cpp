#include "fakes/FakeClipboard.h"

namespace {
const QString kPlainText = QStringLiteral("text/plain");
}

void FakeClipboard::restore(const ClipboardSnapshot& snapshot)
{
    ++m_restoreCount;
    replace(snapshot, true);
}

void FakeClipboard::setText(const QString& text)
{
    m_textsSet.append(text);
    replace({{{kPlainText, text.toUtf8()}}}, true);
}

QString FakeClipboard::text() const
{
    for (const ClipboardFormat& format : m_contents.formats) {
        if (format.mimeType == kPlainText)
            return QString::fromUtf8(format.data);
    }
    return {};
}

void FakeClipboard::simulateCopy(const ClipboardSnapshot& contents)
{
    replace(contents, false);
}

void FakeClipboard::simulateRequest()
{
    m_requested = true;
}

void FakeClipboard::replace(ClipboardSnapshot contents, bool ours)
{
    m_contents = std::move(contents);
    ++m_changeCount;
    m_owned = ours;
    m_requested = false;
}
