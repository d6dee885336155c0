#include "platform/linux/X11ClipboardReader.h"

#include "platform/linux/X11PrivateDisplay.h"

#include <QList>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <array>
#include <optional>
#include <poll.h>
#include <string>
#include <vector>

#include "platform/linux/XlibIncludes.h"

namespace {

Q_LOGGING_CATEGORY(lcClipboardReader, "quorbell.clipboard")

using Clock = std::chrono::steady_clock;

// Property reads go in pieces of this many 32-bit units.
constexpr long kPropertyChunkLongs = 256 * 1024;

const QString kPlainText = QStringLiteral("text/plain");
// The password manager's hint holds a word ("secret"); anything longer is not a hint.
constexpr qsizetype kMaxHintBytes = 64;

constexpr QStringView kNoAnswerReason = u"剪贴板所属的程序没有响应";
constexpr QStringView kLeftOutReason = u"未能读取其中的";

// A property's items as bytes; 32-bit items come from Xlib as longs and are packed back to 32 bits, as they
// travel on the wire and as QClipboard hands them on.
struct Property {
    Atom type = 0;
    QByteArray bytes;
    std::vector<Atom> atoms; // the items of a 32-bit property
};

// What a user calls the contents of a format; empty for data only its own kind of application reads.
QString contentsKind(const QString& mimeType)
{
    const QString base = mimeType.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
    if (base == kPlainText)
        return QStringLiteral("文本");
    if (base == u"text/html" || base == u"text/rtf" || base == u"text/richtext" || base == u"application/rtf")
        return QStringLiteral("带格式的文本");
    if (base == u"text/uri-list" || base == u"x-special/gnome-copied-files")
        return QStringLiteral("文件");
    if (base.startsWith(u"image/"))
        return QStringLiteral("图片");
    return {};
}

// The UTF-16 that some applications offer HTML in, as QClipboard recognises it.
bool looksLikeUtf16(const QByteArray& data)
{
    if (data.size() < 2)
        return false;
    const auto first = static_cast<quint8>(data.at(0));
    const auto second = static_cast<quint8>(data.at(1));
    return (first == 0xff && second == 0xfe) || (first == 0xfe && second == 0xff) ||
           (first != 0 && second == 0) || (first == 0 && second != 0);
}

} // namespace

class X11ClipboardReader::Connection {
public:
    Connection(const QByteArray& displayName, const char* selection)
    {
        m_connection = X11PrivateDisplay::open(displayName, nullptr);
        if (!m_connection)
            return;
        m_display = m_connection->display();
        m_clipboard = atom(selection);
        m_targets = atom("TARGETS");
        m_utf8 = atom("UTF8_STRING");
        m_text = atom("TEXT");
        m_incr = atom("INCR");
        for (std::size_t i = 0; i < m_properties.size(); ++i)
            m_properties[i] = atom(("QB_CLIPBOARD_READ" + std::to_string(i)).c_str());
        m_window = createWindow();
        if (m_connection->syncAndTakeError() != 0)
            m_window = 0;
    }

    ~Connection()
    {
        if (m_window)
            XDestroyWindow(m_display, m_window);
        for (const Parked& parked : m_parked)
            XDestroyWindow(m_display, parked.window);
    }

    bool isAvailable() const { return m_window != 0; }

    Window owner() { return isAvailable() ? XGetSelectionOwner(m_display, m_clipboard) : 0; }

    ClipboardSnapshot read()
    {
        ClipboardSnapshot snapshot;
        if (!beginRead())
            return snapshot;
        const Clock::time_point giveUpAt = Clock::now() + kReadLimit;
        const std::optional<Property> offered = convert(m_targets, giveUpAt);
        if (!offered) {
            qCWarning(lcClipboardReader) << "the clipboard's owner did not list its formats";
            snapshot.unreadReason = kNoAnswerReason.toString();
            return snapshot;
        }
        QStringList leftOut;
        qsizetype total = 0;
        const std::vector<Wanted> wanted = wantedFormats(offered->atoms);
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (snapshot.formats.size() == kMaxSnapshotFormats) {
                qCWarning(lcClipboardReader)
                    << "clipboard snapshot keeps the first" << kMaxSnapshotFormats << "formats";
                for (std::size_t rest = i; rest < wanted.size(); ++rest)
                    leftOut.append(wanted[rest].mimeType);
                break;
            }
            if (Clock::now() >= giveUpAt) {
                qCWarning(lcClipboardReader) << "clipboard format" << wanted[i].mimeType
                                             << "and those after it left out: the owner is too slow";
                for (std::size_t rest = i; rest < wanted.size(); ++rest)
                    leftOut.append(wanted[rest].mimeType);
                break;
            }
            const std::optional<Property> data =
                convert(wanted[i].target, giveUpAt, kMaxSnapshotBytes - total);
            if (!data) {
                qCWarning(lcClipboardReader)
                    << "clipboard format" << wanted[i].mimeType
                    << "left out of the snapshot: unreadable or over" << kMaxSnapshotBytes << "bytes in all";
                leftOut.append(wanted[i].mimeType);
                continue;
            }
            QByteArray bytes = asQClipboardGivesIt(wanted[i], data->bytes);
            total += bytes.size();
            snapshot.formats.append({wanted[i].mimeType, std::move(bytes)});
        }
        // A password manager's hint that could not be read still marks the contents: they go back marked
        // secret, so that clipboard histories leave them out.
        if (leftOut.removeAll(kPasswordManagerHintFormat) > 0)
            snapshot.formats.append({kPasswordManagerHintFormat, QByteArrayLiteral("secret")});
        snapshot.unreadReason = X11ClipboardReader::lostContentsReason(snapshot.formats, leftOut);
        return snapshot;
    }

    ClipboardSnapshot readShortText(qsizetype maxBytes)
    {
        ClipboardSnapshot snapshot;
        if (!beginRead())
            return snapshot;
        const Clock::time_point giveUpAt = Clock::now() + kReadLimit;
        const std::optional<Property> offered = convert(m_targets, giveUpAt);
        if (!offered)
            return snapshot;
        std::optional<Wanted> text;
        for (const Wanted& wanted : wantedFormats(offered->atoms)) {
            if (wanted.mimeType == kPasswordManagerHintFormat) {
                // An unreadable hint counts as secret (a null format).
                const std::optional<Property> hint = convert(wanted.target, giveUpAt, kMaxHintBytes);
                snapshot.formats.append({wanted.mimeType, hint ? hint->bytes : QByteArray()});
                if (snapshot.isMarkedSecret())
                    return snapshot;
            } else if (wanted.mimeType == kPlainText) {
                text = wanted;
            }
        }
        if (!text)
            return snapshot;
        // The text goes last, so a secret hint listed after it is seen before it is asked for.
        if (const std::optional<Property> data = convert(text->target, giveUpAt, maxBytes))
            snapshot.formats.append({kPlainText, asQClipboardGivesIt(*text, data->bytes)});
        return snapshot;
    }

private:
    struct Wanted {
        QString mimeType;
        Atom target = 0;
    };

    Atom atom(const char* name) { return XInternAtom(m_display, name, False); }

    bool isTextTarget(Atom target) const
    {
        return target == m_utf8 || target == XA_STRING || target == m_text;
    }

    // The formats QClipboard would list for these targets, in the owner's order, each with the target it
    // would read it from: the text targets are one "text/plain" read from the best of them; names without a
    // "/" (TARGETS, TIMESTAMP, SAVE_TARGETS...) are not data, but for the password manager's hint, which
    // goes back with the rest so that clipboard managers still leave the secret out.
    std::vector<Wanted> wantedFormats(const std::vector<Atom>& targets)
    {
        std::vector<Atom> named;
        for (Atom target : targets) {
            if (target != kXNone)
                named.push_back(target);
        }
        std::vector<char*> names(named.size(), nullptr);
        if (!named.empty() &&
            !XGetAtomNames(m_display, named.data(), static_cast<int>(named.size()), names.data()))
            return {};
        Atom bestText = kXNone;
        for (Atom preferred : {m_utf8, Atom(XA_STRING), m_text}) {
            if (bestText == kXNone && std::find(named.begin(), named.end(), preferred) != named.end())
                bestText = preferred;
        }
        std::vector<Wanted> wanted;
        QStringList seen;
        for (std::size_t i = 0; i < named.size(); ++i) {
            const QString name = QString::fromLatin1(names[i] ? names[i] : "");
            if (names[i])
                XFree(names[i]);
            QString mimeType;
            Atom target = named[i];
            if (isTextTarget(target) || name == kPlainText) {
                mimeType = kPlainText;
                if (bestText != kXNone)
                    target = bestText;
            } else if (name.contains(QLatin1Char('/')) || name == kPasswordManagerHintFormat) {
                mimeType = name;
            }
            if (mimeType.isEmpty() || seen.contains(mimeType))
                continue;
            seen.append(mimeType);
            wanted.push_back({mimeType, target});
        }
        return wanted;
    }

    // QClipboard's conversions of what arrived: text as UTF-8 without a closing NUL, HTML sent as UTF-16 as
    // UTF-8.
    QByteArray asQClipboardGivesIt(const Wanted& wanted, QByteArray data) const
    {
        if (wanted.mimeType == kPlainText) {
            if (data.endsWith('\0'))
                data.chop(1);
            if (wanted.target == XA_STRING || wanted.target == m_text)
                return QString::fromLatin1(data).toUtf8();
            return data;
        }
        if (wanted.mimeType == QLatin1String("text/html")) {
            if (looksLikeUtf16(data)) {
                const QString text =
                    QString::fromUtf16(reinterpret_cast<const char16_t*>(data.constData()), data.size() / 2);
                if (!text.isNull())
                    return text.toUtf8();
            }
            if (data.endsWith('\0'))
                data.chop(1);
        }
        return data;
    }

    // Starts a read of whoever owns the selection now; false when nobody does.
    bool beginRead()
    {
        if (!isAvailable())
            return false;
        m_owner = XGetSelectionOwner(m_display, m_clipboard);
        releaseParkedWindows();
        if (m_owner == kXNone)
            return false;
        discardEvents();
        return true;
    }

    void discardEvents()
    {
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
        }
    }

    // The next event `matches` accepts, waiting no later than `deadline`.
    template <typename Match> std::optional<XEvent> waitForEvent(Match matches, Clock::time_point deadline)
    {
        for (;;) {
            while (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                if (matches(event))
                    return event;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd connection{ConnectionNumber(m_display), POLLIN, 0};
            ::poll(&connection, 1, static_cast<int>(left.count()));
        }
    }

    // Asks the owner for `target` and takes the answer, through INCR pieces when it sends it so; nullopt
    // when it refuses, does not answer in time or sends more than `maxBytes`.
    std::optional<Property> convert(Atom target, Clock::time_point giveUpAt,
                                    qsizetype maxBytes = kMaxSnapshotBytes)
    {
        // Each request names a property of its own: xsel confirms a finished transfer in pieces with one
        // more notification, which must not pass for the answer to the next request.
        m_property = m_properties[m_requests++ % m_properties.size()];
        XDeleteProperty(m_display, m_window, m_property);
        XConvertSelection(m_display, m_clipboard, target, m_property, m_window, CurrentTime);
        const Clock::time_point deadline = std::min(giveUpAt, Clock::now() + kOwnerAnswerLimit);
        const std::optional<XEvent> notified = waitForEvent(
            [&](const XEvent& event) {
                return event.type == SelectionNotify && event.xselection.requestor == m_window &&
                       event.xselection.selection == m_clipboard && event.xselection.target == target &&
                       (event.xselection.property == m_property || event.xselection.property == kXNone);
            },
            deadline);
        if (!notified) {
            parkWindow(); // a late answer would still come here
            return std::nullopt;
        }
        if (notified->xselection.property == kXNone)
            return std::nullopt;
        Property property;
        const Taken answer = takeInto(property, maxBytes);
        XDeleteProperty(m_display, m_window, m_property);
        XFlush(m_display);
        if (answer != Taken::whole)
            return std::nullopt;
        if (property.type != m_incr)
            return property;
        return takePieces(property, maxBytes);
    }

    // The rest of a transfer in pieces whose header `header` was just taken (and deleted, which asks for
    // the first piece): each piece we delete asks for the next, and an empty piece ends it. Pieces past
    // `maxBytes` are still asked for and deleted unread, so the owner finishes: some owners (xclip) answer
    // nobody else while a transfer is under way, and end when the window it goes to disappears.
    std::optional<Property> takePieces(const Property& header, qsizetype maxBytes)
    {
        // The owner announces at least the size to come (xclip announces nothing).
        const qsizetype announced =
            header.atoms.empty() ? 0 : static_cast<qsizetype>(static_cast<quint32>(header.atoms.front()));
        Property whole;
        bool keeping = announced <= maxBytes;
        if (keeping)
            whole.bytes.reserve(announced); // one block of the right size, not a chain of ever larger copies
        const Clock::time_point endBy = Clock::now() + kTransferLimit;
        for (;;) {
            const std::optional<XEvent> piece = waitForEvent(
                [&](const XEvent& event) {
                    return event.type == PropertyNotify && event.xproperty.window == m_window &&
                           event.xproperty.atom == m_property && event.xproperty.state == PropertyNewValue;
                },
                std::min(endBy, Clock::now() + kPieceLimit));
            if (!piece) {
                qCWarning(lcClipboardReader) << "the clipboard's owner stopped sending in pieces";
                parkWindow();
                return std::nullopt;
            }
            qsizetype pieceBytes = 0;
            if (keeping) {
                // Each piece goes straight into the whole: no copy of it on the side.
                const qsizetype before = whole.bytes.size();
                const Taken taken = takeInto(whole, maxBytes);
                if (taken == Taken::tooLarge) {
                    keeping = false;
                    whole = {};
                    pieceBytes = 1; // not the closing piece
                } else {
                    pieceBytes = taken == Taken::whole ? whole.bytes.size() - before : -1;
                }
            } else {
                pieceBytes = propertySize();
            }
            if (pieceBytes < 0) {
                parkWindow();
                return std::nullopt;
            }
            XDeleteProperty(m_display, m_window, m_property);
            XFlush(m_display);
            if (pieceBytes == 0)
                return keeping ? std::optional<Property>(std::move(whole)) : std::nullopt;
        }
    }

    Window createWindow()
    {
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        return XCreateWindow(m_display, DefaultRootWindow(m_display), -10, -10, 1, 1, 0, CopyFromParent,
                             InputOnly, CopyFromParent, CWEventMask, &attributes);
    }

    // An owner that stopped in the middle of a transfer (or has not answered yet) may still write into our
    // window's property whenever it is deleted, and some end on finding the window gone: the window is left
    // to it as it is, and the next requests come from a new one.
    void parkWindow()
    {
        m_parked.push_back({m_window, m_owner});
        if (m_parked.size() > kMaxParkedWindows) {
            XDestroyWindow(m_display, m_parked.front().window);
            m_parked.erase(m_parked.begin());
        }
        m_window = createWindow();
        XFlush(m_display);
    }

    // The windows left to an owner that no longer holds the selection are not written to any more.
    void releaseParkedWindows()
    {
        std::erase_if(m_parked, [this](const Parked& parked) {
            if (parked.owner == m_owner)
                return false;
            XDestroyWindow(m_display, parked.window);
            return true;
        });
    }

    // The size of our property in bytes, -1 when it is missing; nothing of it is read.
    qsizetype propertySize()
    {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, bytesAfter = 0;
        unsigned char* data = nullptr;
        const bool read = XGetWindowProperty(m_display, m_window, m_property, 0, 0, False, AnyPropertyType,
                                             &type, &format, &items, &bytesAfter, &data) == Success;
        if (data)
            XFree(data);
        return read && type != kXNone ? static_cast<qsizetype>(bytesAfter) : -1;
    }

    enum class Taken { whole, tooLarge, missing };

    // Appends our property to `property`, whose bytes then hold at most `maxBytes` in all; a property too
    // large is not read past its first piece. The property stays: the caller deletes it.
    Taken takeInto(Property& property, qsizetype maxBytes)
    {
        long offset = 0;
        unsigned long bytesAfter = 0;
        do {
            Atom type = 0;
            int format = 0;
            unsigned long items = 0;
            unsigned char* data = nullptr;
            // No more than one unit past `maxBytes` is asked for, so a property too large is known as such
            // from its first piece.
            const qsizetype room = std::max<qsizetype>(0, maxBytes - property.bytes.size());
            const long chunk = std::min<long>(kPropertyChunkLongs, static_cast<long>(room / 4 + 1));
            if (XGetWindowProperty(m_display, m_window, m_property, offset, chunk, False, AnyPropertyType,
                                   &type, &format, &items, &bytesAfter, &data) != Success)
                return Taken::missing;
            if (type == kXNone) {
                if (data)
                    XFree(data);
                return Taken::missing;
            }
            property.type = type;
            if (offset == 0 && format == 8 && property.bytes.isEmpty() &&
                static_cast<qsizetype>(items + bytesAfter) <= maxBytes)
                property.bytes.reserve(static_cast<qsizetype>(items + bytesAfter));
            if (format == 32) {
                const auto* longs = reinterpret_cast<const unsigned long*>(data);
                for (unsigned long i = 0; i < items; ++i) {
                    const auto item = static_cast<quint32>(longs[i]);
                    property.atoms.push_back(longs[i]);
                    property.bytes.append(reinterpret_cast<const char*>(&item), sizeof item);
                }
            } else {
                property.bytes.append(reinterpret_cast<const char*>(data),
                                      static_cast<qsizetype>(items) * (format == 16 ? 2 : 1));
            }
            if (data)
                XFree(data);
            offset += static_cast<long>(items) * format / 32;
            if (property.bytes.size() + static_cast<qsizetype>(bytesAfter) > maxBytes)
                return Taken::tooLarge;
        } while (bytesAfter > 0);
        return Taken::whole;
    }

    struct Parked {
        Window window = 0;
        Window owner = 0; // the selection's owner when the window was left to it
    };
    static constexpr std::size_t kMaxParkedWindows = 8;

    std::unique_ptr<X11PrivateDisplay> m_connection;
    ::Display* m_display = nullptr;
    Window m_window = 0;
    Window m_owner = 0; // the selection's owner as the current read began
    std::vector<Parked> m_parked;
    Atom m_clipboard = 0;
    Atom m_targets = 0;
    Atom m_utf8 = 0;
    Atom m_text = 0;
    Atom m_incr = 0;
    std::array<Atom, 8> m_properties{};
    std::size_t m_requests = 0;
    Atom m_property = 0; // the current request's
};

X11ClipboardReader::X11ClipboardReader(Selection selection, const QByteArray& displayName)
    : m_connection(std::make_unique<Connection>(displayName,
                                                selection == Selection::primary ? "PRIMARY" : "CLIPBOARD"))
{
}

X11ClipboardReader::~X11ClipboardReader() = default;

bool X11ClipboardReader::isAvailable() const
{
    return m_connection->isAvailable();
}

unsigned long X11ClipboardReader::ownerWindow()
{
    return m_connection->owner();
}

ClipboardSnapshot X11ClipboardReader::read()
{
    return m_connection->read();
}

ClipboardSnapshot X11ClipboardReader::readShortText(qsizetype maxBytes)
{
    return m_connection->readShortText(maxBytes);
}

QString X11ClipboardReader::lostContentsReason(const QList<ClipboardFormat>& kept, const QStringList& leftOut)
{
    QStringList lost;
    for (const QString& format : leftOut) {
        QString kind = contentsKind(format);
        // Two formats of a known kind hold the same contents (a text in two encodings, an image in two file
        // types); two private formats hold different data.
        const bool cameBack =
            !kind.isEmpty() && std::any_of(kept.begin(), kept.end(), [&](const auto& other) {
                return contentsKind(other.mimeType) == kind;
            });
        if (kind.isEmpty())
            kind = QStringLiteral("其他内容");
        if (!cameBack && !lost.contains(kind))
            lost.append(kind);
    }
    return lost.isEmpty() ? QString() : kLeftOutReason.toString() + lost.join(u'、');
}
