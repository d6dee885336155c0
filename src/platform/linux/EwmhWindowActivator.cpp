#include "platform/linux/EwmhWindowActivator.h"

#include "platform/linux/X11PrivateDisplay.h"
#include "platform/linux/X11WindowProperty.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QVector>
#include <cstring>
#include <optional>

#include "platform/linux/XlibIncludes.h"

namespace {

// _NET_WM_DESKTOP of a window shown on every workspace.
constexpr unsigned long kAllDesktops = 0xFFFFFFFF;
// Source indications of EWMH requests: an application's own, or one made for the user by a pager or taskbar.
constexpr long kSourceApplication = 1;
constexpr long kSourcePager = 2;
// _NET_SUPPORTED lists a few hundred atoms at most.
constexpr long kMaxSupportedAtoms = 4096;

// Whether server time `a` comes after `b`: the 32-bit millisecond clock wraps about every 49 days.
bool isLater(quint32 a, quint32 b)
{
    return static_cast<qint32>(a - b) > 0;
}

QVector<unsigned long> atomsOf(Display* display, Window window, Atom property)
{
    const std::optional<X11WindowProperty> value =
        X11WindowProperty::read(display, window, property, kMaxSupportedAtoms);
    return value && value->type == XA_ATOM ? value->longs() : QVector<unsigned long>{};
}

std::optional<unsigned long> cardinalOf(Display* display, Window window, Atom property)
{
    const std::optional<X11WindowProperty> value = X11WindowProperty::read(display, window, property, 1);
    return value && value->type == XA_CARDINAL ? value->firstLong() : std::nullopt;
}

// A request to the window manager about one of its clients, sent to the root window as EWMH asks.
void sendToWindowManager(Display* display, Window window, Atom request, long first, long second)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = request;
    event.xclient.format = 32;
    event.xclient.data.l[0] = first;
    event.xclient.data.l[1] = second;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &event);
}

// The server's time now, from the notification of an empty change to a property of a window of our own.
quint32 serverTimeNow(Display* display)
{
    const Window window = XCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0, CopyFromParent,
                                        InputOnly, CopyFromParent, 0, nullptr);
    XSelectInput(display, window, PropertyChangeMask);
    const Atom property = XInternAtom(display, "_QUORBELL_TIME", False);
    XChangeProperty(display, window, property, XA_CARDINAL, 32, PropModeAppend, nullptr, 0);
    // The server sends the notification before it answers the round trip.
    XSync(display, False);
    XEvent event{};
    quint32 time = 0;
    if (XCheckTypedWindowEvent(display, window, PropertyNotify, &event))
        time = static_cast<quint32>(event.xproperty.time);
    XDestroyWindow(display, window);
    XSync(display, False);
    return time;
}

} // namespace

// Times the user's input to our windows from the events Qt reads on its own connection: the core key and
// button events, and the XInput2 ones Qt takes the pointer and touch from.
class EwmhWindowActivator::InputTimer final : public QAbstractNativeEventFilter {
public:
    InputTimer(quint32 launchTime, int xiOpcode) : m_latest(launchTime), m_xiOpcode(xiOpcode)
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~InputTimer() override
    {
        if (QCoreApplication* application = QCoreApplication::instance())
            application->removeNativeEventFilter(this);
    }

    quint32 latest() const { return m_latest.load(); }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        // The wire layout of X events: the type in the first byte (the top bit marks a sent event, which no
        // user made); a core input event's time at byte 4, an XInput2 event's type at byte 8, its time at 12.
        const auto* bytes = static_cast<const unsigned char*>(message);
        const int type = bytes[0];
        std::optional<quint32> time;
        if (type == KeyPress || type == KeyRelease || type == ButtonPress || type == ButtonRelease) {
            time = readTime(bytes + 4);
        } else if (type == GenericEvent && m_xiOpcode != 0 && bytes[1] == m_xiOpcode) {
            quint16 xiType = 0;
            std::memcpy(&xiType, bytes + 8, sizeof xiType);
            if (xiType == XI_KeyPress || xiType == XI_KeyRelease || xiType == XI_ButtonPress ||
                xiType == XI_ButtonRelease || xiType == XI_TouchBegin || xiType == XI_TouchEnd)
                time = readTime(bytes + 12);
        }
        if (time && *time != 0) {
            quint32 seen = m_latest.load();
            while ((seen == 0 || isLater(*time, seen)) && !m_latest.compare_exchange_weak(seen, *time)) {
            }
        }
        return false;
    }

private:
    static quint32 readTime(const unsigned char* at)
    {
        quint32 time = 0;
        std::memcpy(&time, at, sizeof time);
        return time;
    }

    std::atomic<quint32> m_latest;
    const int m_xiOpcode;
};

EwmhWindowActivator::EwmhWindowActivator(QByteArray displayName, quint32 launchTime)
{
    m_connection = X11PrivateDisplay::open(displayName, &m_failure);
    int xiOpcode = 0;
    if (m_connection) {
        int event = 0, error = 0;
        if (!XQueryExtension(m_connection->display(), "XInputExtension", &xiOpcode, &event, &error))
            xiOpcode = 0;
    }
    if (QCoreApplication::instance())
        m_inputTimer = std::make_unique<InputTimer>(launchTime, xiOpcode);
}

EwmhWindowActivator::~EwmhWindowActivator() = default;

quint32 EwmhWindowActivator::launchTime(const QByteArray& startupId, const QByteArray& displayName)
{
    static const QRegularExpression launcherTime(QStringLiteral("_TIME(\\d+)$"));
    const QRegularExpressionMatch match = launcherTime.match(QString::fromLatin1(startupId));
    if (match.hasMatch()) {
        bool ok = false;
        const quint32 time = match.captured(1).toUInt(&ok);
        if (ok && time != 0)
            return time;
    }
    const std::unique_ptr<X11PrivateDisplay> connection = X11PrivateDisplay::open(displayName, nullptr);
    return connection ? serverTimeNow(connection->display()) : 0;
}

quint32 EwmhWindowActivator::serverTime()
{
    std::lock_guard lock(m_mutex);
    if (!m_connection)
        return 0;
    const quint32 time = serverTimeNow(m_connection->display());
    // A refused request leaves no error behind for the next activation to report.
    return m_connection->syncAndTakeError() == 0 ? time : 0;
}

quint32 EwmhWindowActivator::latestUserTime() const
{
    return m_inputTimer ? m_inputTimer->latest() : 0;
}

WindowActivator::Outcome EwmhWindowActivator::bringToUser(quint64 windowId, quint32 userTime)
{
    std::lock_guard lock(m_mutex);
    if (!m_connection)
        return {Status::failure(m_failure)};
    Display* display = m_connection->display();
    const Window root = DefaultRootWindow(display);
    const auto window = static_cast<Window>(windowId);
    const Atom supportedAtom = XInternAtom(display, "_NET_SUPPORTED", False);
    const Atom currentDesktopAtom = XInternAtom(display, "_NET_CURRENT_DESKTOP", False);
    const Atom windowDesktopAtom = XInternAtom(display, "_NET_WM_DESKTOP", False);
    const Atom activeWindowAtom = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    const QVector<unsigned long> supported = atomsOf(display, root, supportedAtom);

    if (supported.contains(windowDesktopAtom) && supported.contains(currentDesktopAtom)) {
        const std::optional<unsigned long> current = cardinalOf(display, root, currentDesktopAtom);
        // A window the manager has not placed yet has no desktop; it is placed on the current one.
        const std::optional<unsigned long> placed = cardinalOf(display, window, windowDesktopAtom);
        if (current && placed && *placed != *current && *placed != kAllDesktops)
            sendToWindowManager(display, window, windowDesktopAtom, static_cast<long>(*current),
                                kSourcePager);
    }
    const bool activationRequested = supported.contains(activeWindowAtom);
    // With the time of the user's request the window manager's focus guard judges it against what the user
    // did since. Without one only the pager's indication gets the window the focus.
    if (activationRequested)
        sendToWindowManager(display, window, activeWindowAtom, userTime ? kSourceApplication : kSourcePager,
                            static_cast<long>(userTime));
    if (const int error = m_connection->syncAndTakeError(); error != 0) {
        char text[128] = {};
        XGetErrorText(display, error, text, sizeof text - 1);
        return {
            Status::failure(QStringLiteral("X11 拒绝了窗口请求（%1）").arg(QString::fromLocal8Bit(text)))};
    }
    return {Status::success(), activationRequested};
}
