#include "platform/linux/X11ClipboardReader.h"

#include "platform/linux/X11PrivateDisplay.h"

#include <QList>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <optional>
#include <poll.h>
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
constexpr QStringView kLeftOutReason = u"未能读取的格式：";

// A property's items as bytes; 32-bit items come from Xlib as longs and are packed back to 32 bits, as they
// travel on the wire and as QClipboard hands them on.
struct Property {
    Atom type = 0;
    QByteArray bytes;
    std::vector<Atom> atoms; // the items of a 32-bit property
};

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
        m_property = atom("QB_CLIPBOARD_READ");
        m_window = createWindow();
        if (m_connection->syncAndTakeError() != 0)
            m_window = 0;
    }

    ~Connection()
    {
        if (m_window)
            XDestroyWindow(m_display, m_window);
    }

    bool isAvailable() const { return m_window != 0; }

    ClipboardSnapshot read()
    {
        ClipboardSnapshot snapshot;
        if (!isAvailable() || XGetSelectionOwner(m_display, m_clipboard) == kXNone)
            return snapshot;
        discardEvents();
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
        if (!leftOut.isEmpty())
            snapshot.unreadReason = kLeftOutReason.toString() + leftOut.join(u'、');
        return snapshot;
    }

    ClipboardSnapshot readShortText(qsizetype maxBytes)
    {
        ClipboardSnapshot snapshot;
        if (!isAvailable() || XGetSelectionOwner(m_display, m_clipboard) == kXNone)
            return snapshot;
        discardEvents();
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
        XDeleteProperty(m_display, m_window, m_property);
        XConvertSelection(m_display, m_clipboard, target, m_property, m_window, CurrentTime);
        const Clock::time_point deadline = std::min(giveUpAt, Clock::now() + kOwnerAnswerLimit);
        const std::optional<XEvent> notified = waitForEvent(
            [&](const XEvent& event) {
                return event.type == SelectionNotify && event.xselection.requestor == m_window &&
                       event.xselection.selection == m_clipboard && event.xselection.target == target;
            },
            deadline);
        if (!notified || notified->xselection.property == kXNone)
            return std::nullopt;
        std::optional<Property> property = take(maxBytes);
        if (!property || property->type != m_incr)
            return property;

        // Sent in pieces: each one we delete asks for the next, and an empty piece ends it. The owner
        // announces at least the size to come: more than we take is refused before the first piece.
        const qsizetype announced =
            property->atoms.empty() ? 0
                                    : static_cast<qsizetype>(static_cast<quint32>(property->atoms.front()));
        if (announced > maxBytes) {
            abandonTransfer();
            return std::nullopt;
        }
        Property whole;
        whole.bytes.reserve(announced); // one block of the right size, not a chain of ever larger copies
        for (;;) {
            const std::optional<XEvent> piece = waitForEvent(
                [&](const XEvent& event) {
                    return event.type == PropertyNotify && event.xproperty.window == m_window &&
                           event.xproperty.atom == m_property && event.xproperty.state == PropertyNewValue;
                },
                std::min(giveUpAt, Clock::now() + kOwnerAnswerLimit));
            // Each piece goes straight into the whole: no copy of it on the side.
            const qsizetype before = whole.bytes.size();
            if (!piece || !takeInto(whole, maxBytes)) {
                abandonTransfer();
                return std::nullopt;
            }
            if (whole.bytes.size() == before)
                return whole;
        }
    }

    // A transfer in pieces we stop taking would go on writing into our window's property as soon as a later
    // request deletes it: that window goes, and the next requests come from a new one.
    void abandonTransfer()
    {
        XDestroyWindow(m_display, m_window);
        m_window = createWindow();
        XFlush(m_display);
    }

    Window createWindow()
    {
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        return XCreateWindow(m_display, DefaultRootWindow(m_display), -10, -10, 1, 1, 0, CopyFromParent,
                             InputOnly, CopyFromParent, CWEventMask, &attributes);
    }

    // Reads and deletes our property; nullopt when it is missing or larger than `maxBytes`.
    std::optional<Property> take(qsizetype maxBytes)
    {
        Property property;
        if (!takeInto(property, maxBytes))
            return std::nullopt;
        return property;
    }

    // take(), appending to `property`, whose bytes then hold at most `maxBytes` in all.
    bool takeInto(Property& property, qsizetype maxBytes)
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
                return false;
            if (type == kXNone) {
                if (data)
                    XFree(data);
                return false;
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
            if (property.bytes.size() + static_cast<qsizetype>(bytesAfter) > maxBytes) {
                XDeleteProperty(m_display, m_window, m_property);
                return false;
            }
        } while (bytesAfter > 0);
        XDeleteProperty(m_display, m_window, m_property);
        XFlush(m_display);
        return true;
    }

    std::unique_ptr<X11PrivateDisplay> m_connection;
    ::Display* m_display = nullptr;
    Window m_window = 0;
    Atom m_clipboard = 0;
    Atom m_targets = 0;
    Atom m_utf8 = 0;
    Atom m_text = 0;
    Atom m_incr = 0;
    Atom m_property = 0;
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

ClipboardSnapshot X11ClipboardReader::read()
{
    return m_connection->read();
}

ClipboardSnapshot X11ClipboardReader::readShortText(qsizetype maxBytes)
{
    return m_connection->readShortText(maxBytes);
}
