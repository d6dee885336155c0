#include "platform/linux/QtClipboard.h"

#include "platform/linux/X11ClipboardReader.h"
#include "platform/linux/X11ClipboardServer.h"
#include "util/AppIdentity.h"
#include "util/SerialQueue.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QMimeData>

namespace {

Q_LOGGING_CATEGORY(lcClipboard, "quorbell.clipboard")

const QString kPlainText = QStringLiteral("text/plain");

// Restored contents larger than this are served off the main thread; smaller ones go through QClipboard.
constexpr qsizetype kServedElsewhereBytes = 1024 * 1024;

// The same caps for both ways of taking a snapshot.
constexpr qsizetype kMaxSnapshotBytes = X11ClipboardReader::kMaxSnapshotBytes;
constexpr qsizetype kMaxSnapshotFormats = X11ClipboardReader::kMaxSnapshotFormats;

// Names the X11 selection protocol lists next to the data formats are not data; the password manager's
// hint is, and goes back with the rest.
bool isDataFormat(const QString& format)
{
    return format.contains(QLatin1Char('/')) || format == kPasswordManagerHintFormat;
}

} // namespace

// Our clipboard data. It notices when someone other than us reads it: on X11 that is a paste target (or a
// clipboard manager) converting the selection.
class ServedMimeData final : public QMimeData {
public:
    bool wasRequested() const { return m_requested; }

    // Marks reads made by this process itself while it lives, so they do not count as requests.
    class OwnRead {
    public:
        explicit OwnRead(ServedMimeData* data) : m_data(data)
        {
            if (m_data)
                ++m_data->m_ownReads;
        }
        ~OwnRead()
        {
            if (m_data)
                --m_data->m_ownReads;
        }
        OwnRead(const OwnRead&) = delete;
        OwnRead& operator=(const OwnRead&) = delete;

    private:
        QPointer<ServedMimeData> m_data;
    };

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        if (m_ownReads == 0)
            m_requested = true;
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    mutable bool m_requested = false;
    int m_ownReads = 0;
};

QtClipboard::QtClipboard(QClipboard::Mode mode, QObject* parent)
    : QObject(parent), m_clipboard(QGuiApplication::clipboard()), m_mode(mode)
{
    connect(m_clipboard, &QClipboard::changed, this, [this](QClipboard::Mode changed) {
        if (changed == m_mode)
            ++m_changeCount;
    });
    if (mode == QClipboard::Clipboard && m_clipboard->supportsSelection())
        m_primary.reset(new QtClipboard(QClipboard::Selection, nullptr));
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    const bool primary = mode == QClipboard::Selection;
    m_readerQueue = std::make_unique<SerialQueue>(
        AppIdentity::queueLabel(primary ? QStringLiteral("primary") : QStringLiteral("clipboard")));
    // Xlib's connection setup is not safe beside other threads' Xlib calls: the builder waits for it.
    std::shared_ptr<X11ClipboardReader> reader;
    const auto selection =
        primary ? X11ClipboardReader::Selection::primary : X11ClipboardReader::Selection::clipboard;
    m_readerQueue->sync([&reader, selection] { reader = std::make_shared<X11ClipboardReader>(selection); });
    if (reader->isAvailable())
        m_reader = std::move(reader);
    else
        m_readerQueue->async([reader = std::move(reader)]() mutable { reader.reset(); });
    auto server = std::make_unique<X11ClipboardServer>(primary ? X11ClipboardServer::Selection::primary
                                                               : X11ClipboardServer::Selection::clipboard);
    if (server->isAvailable())
        m_server = std::move(server);
}

QtClipboard::~QtClipboard()
{
    // The read under way ends (its answer is dropped) and the connection closes on its own thread, before
    // the server it may look at goes.
    if (m_readerQueue) {
        m_readerQueue->async([reader = std::move(m_reader)]() mutable { reader.reset(); });
        m_readerQueue->stop();
    }
    m_server.reset();
}

ServedMimeData* QtClipboard::ours() const
{
    const bool owned =
        m_mode == QClipboard::Selection ? m_clipboard->ownsSelection() : m_clipboard->ownsClipboard();
    if (!m_ours || !owned)
        return nullptr;
    // Another widget of this process may have copied since; then the clipboard holds its data, not ours.
    return m_clipboard->mimeData(m_mode) == m_ours.data() ? m_ours.data() : nullptr;
}

std::optional<ClipboardSnapshot> QtClipboard::served() const
{
    return m_server ? m_server->contents() : std::nullopt;
}

ClipboardSnapshot QtClipboard::snapshot() const
{
    if (std::optional<ClipboardSnapshot> held = served())
        return std::move(*held);
    ClipboardSnapshot snapshot;
    const QMimeData* data = m_clipboard->mimeData(m_mode);
    if (!data)
        return snapshot;
    const ServedMimeData::OwnRead ownRead(ours());
    qsizetype total = 0;
    for (const QString& format : data->formats()) {
        if (!isDataFormat(format))
            continue;
        if (snapshot.formats.size() == kMaxSnapshotFormats) {
            qCWarning(lcClipboard) << "clipboard snapshot keeps the first" << kMaxSnapshotFormats
                                   << "formats";
            break;
        }
        QByteArray bytes = data->data(format);
        if (total + bytes.size() > kMaxSnapshotBytes) {
            qCWarning(lcClipboard) << "clipboard format" << format
                                   << "left out of the snapshot:" << bytes.size() << "bytes";
            continue;
        }
        total += bytes.size();
        snapshot.formats.append({format, std::move(bytes)});
    }
    return snapshot;
}

void QtClipboard::readSnapshot(SnapshotHandler done)
{
    // Our own contents (ours to restore, or copied in our window) are at hand; nobody else is asked.
    const bool ownedHere =
        m_mode == QClipboard::Selection ? m_clipboard->ownsSelection() : m_clipboard->ownsClipboard();
    if (!m_reader || ownedHere) {
        done(snapshot());
        return;
    }
    QPointer<QtClipboard> self(this);
    m_readerQueue->async(
        [self, reader = m_reader, server = servingServer(), done = std::move(done)]() mutable {
            std::optional<ClipboardSnapshot> held = server ? heldWhileOwner(*reader, *server) : std::nullopt;
            ClipboardSnapshot contents = held ? std::move(*held) : reader->read();
            QMetaObject::invokeMethod(
                qApp,
                [self, done = std::move(done), contents = std::move(contents)]() mutable {
                    if (self)
                        done(std::move(contents));
                },
                Qt::QueuedConnection);
        });
}

void QtClipboard::readShortText(qsizetype maxBytes, TextHandler done)
{
    const bool ownedHere =
        m_mode == QClipboard::Selection ? m_clipboard->ownsSelection() : m_clipboard->ownsClipboard();
    if (!m_reader || ownedHere) {
        std::optional<ClipboardSnapshot> held = served();
        done(held ? held->shortText(maxBytes) : shortTextHere(maxBytes));
        return;
    }
    QPointer<QtClipboard> self(this);
    m_readerQueue->async(
        [self, reader = m_reader, server = servingServer(), maxBytes, done = std::move(done)] {
            const std::optional<ClipboardSnapshot> held =
                server ? heldWhileOwner(*reader, *server) : std::nullopt;
            const QString text = (held ? *held : reader->readShortText(maxBytes)).shortText(maxBytes);
            QMetaObject::invokeMethod(
                qApp,
                [self, done = std::move(done), text] {
                    if (self)
                        done(text);
                },
                Qt::QueuedConnection);
        });
}

X11ClipboardServer* QtClipboard::servingServer() const
{
    return served() ? m_server.get() : nullptr;
}

std::optional<ClipboardSnapshot> QtClipboard::heldWhileOwner(X11ClipboardReader& reader,
                                                             const X11ClipboardServer& server)
{
    // Another application may have copied a moment ago, before the server heard of it: what it holds is the
    // clipboard's only while its window still owns the selection.
    if (reader.ownerWindow() != server.windowId())
        return std::nullopt;
    return server.contents();
}

QString QtClipboard::shortTextHere(qsizetype maxBytes) const
{
    const QMimeData* data = m_clipboard->mimeData(m_mode);
    if (!data)
        return {};
    const ServedMimeData::OwnRead ownRead(ours());
    // Only the two formats the rule looks at, and the text only when its size allows: contents restored
    // for the user may be large, and are not copied or converted for this.
    ClipboardSnapshot contents;
    if (data->hasFormat(kPasswordManagerHintFormat))
        contents.formats.append({kPasswordManagerHintFormat, data->data(kPasswordManagerHintFormat)});
    if (contents.isMarkedSecret() || !data->hasText())
        return {};
    QByteArray text = data->data(kPlainText);
    contents.formats.append({kPlainText, text.size() <= maxBytes ? std::move(text) : QByteArray()});
    return contents.shortText(maxBytes);
}

void QtClipboard::restore(const ClipboardSnapshot& snapshot)
{
    if (m_server)
        m_server->release();
    if (snapshot.isEmpty()) {
        m_ours = nullptr;
        m_clipboard->clear(m_mode);
        return;
    }
    qsizetype total = 0;
    for (const ClipboardFormat& format : snapshot.formats)
        total += format.data.size();
    if (m_server && total > kServedElsewhereBytes) {
        m_ours = nullptr;
        m_server->serve(snapshot);
        return;
    }
    auto* data = new ServedMimeData;
    for (const ClipboardFormat& format : snapshot.formats)
        data->setData(format.mimeType, format.data);
    put(data);
}

void QtClipboard::setText(const QString& text)
{
    auto* data = new ServedMimeData;
    data->setText(text);
    put(data);
}

void QtClipboard::put(ServedMimeData* data)
{
    if (m_server)
        m_server->release();
    m_ours = data;
    m_clipboard->setMimeData(data, m_mode); // the clipboard owns it from here
}

QString QtClipboard::text() const
{
    if (std::optional<ClipboardSnapshot> held = served()) {
        for (const ClipboardFormat& format : held->formats) {
            if (format.mimeType == kPlainText)
                return QString::fromUtf8(format.data);
        }
        return {};
    }
    const QMimeData* data = m_clipboard->mimeData(m_mode);
    if (!data)
        return {};
    const ServedMimeData::OwnRead ownRead(ours());
    return data->text();
}

bool QtClipboard::ownsContents() const
{
    return ours() != nullptr || served().has_value();
}

bool QtClipboard::contentsWereRequested() const
{
    const ServedMimeData* data = ours();
    return data && data->wasRequested();
}
