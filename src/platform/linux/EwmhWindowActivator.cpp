#include "platform/linux/EwmhWindowActivator.h"

#include "platform/linux/X11PrivateDisplay.h"

#include <QVector>
#include <optional>

#include "platform/linux/XlibIncludes.h"

namespace {

// _NET_WM_DESKTOP of a window shown on every workspace.
constexpr unsigned long kAllDesktops = 0xFFFFFFFF;
// Source indication of a request made for the user by a pager or taskbar, as EWMH defines it.
constexpr long kSourcePager = 2;
// _NET_SUPPORTED lists a few hundred atoms at most.
constexpr long kMaxSupportedAtoms = 4096;

// The 32-bit items of a property of the given type; empty when it is missing.
QVector<unsigned long> longsOf(Display* display, Window window, Atom property, Atom type, long maxItems)
{
    Atom actualType = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long bytesAfter = 0;
    unsigned char* data = nullptr;
    QVector<unsigned long> values;
    if (XGetWindowProperty(display, window, property, 0, maxItems, False, type, &actualType, &format, &items,
                           &bytesAfter, &data) == Success &&
        data) {
        if (actualType == type && format == 32) {
            const auto* longs = reinterpret_cast<const unsigned long*>(data);
            values = QVector<unsigned long>(longs, longs + items);
        }
        XFree(data);
    }
    return values;
}

std::optional<unsigned long> cardinalOf(Display* display, Window window, Atom property)
{
    const QVector<unsigned long> values = longsOf(display, window, property, XA_CARDINAL, 1);
    if (values.isEmpty())
        return std::nullopt;
    return values.first();
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

} // namespace

EwmhWindowActivator::EwmhWindowActivator(QByteArray displayName) : m_displayName(std::move(displayName)) {}

EwmhWindowActivator::~EwmhWindowActivator() = default;

WindowActivator::Outcome EwmhWindowActivator::bringToUser(quint64 windowId)
{
    std::lock_guard lock(m_mutex);
    if (!m_connection) {
        QString error;
        m_connection = X11PrivateDisplay::open(m_displayName, &error);
        if (!m_connection)
            return {Status::failure(error)};
    }
    Display* display = m_connection->display();
    const Window root = DefaultRootWindow(display);
    const auto window = static_cast<Window>(windowId);
    const Atom supportedAtom = XInternAtom(display, "_NET_SUPPORTED", False);
    const Atom currentDesktopAtom = XInternAtom(display, "_NET_CURRENT_DESKTOP", False);
    const Atom windowDesktopAtom = XInternAtom(display, "_NET_WM_DESKTOP", False);
    const Atom activeWindowAtom = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    const QVector<unsigned long> supported =
        longsOf(display, root, supportedAtom, XA_ATOM, kMaxSupportedAtoms);

    if (supported.contains(windowDesktopAtom) && supported.contains(currentDesktopAtom)) {
        const std::optional<unsigned long> current = cardinalOf(display, root, currentDesktopAtom);
        // A window the manager has not placed yet has no desktop; it is placed on the current one.
        const std::optional<unsigned long> placed = cardinalOf(display, window, windowDesktopAtom);
        if (current && placed && *placed != *current && *placed != kAllDesktops)
            sendToWindowManager(display, window, windowDesktopAtom, static_cast<long>(*current),
                                kSourcePager);
    }
    const bool activationRequested = supported.contains(activeWindowAtom);
    if (activationRequested)
        sendToWindowManager(display, window, activeWindowAtom, kSourcePager, CurrentTime);
    if (const int error = m_connection->syncAndTakeError(); error != 0) {
        char text[128] = {};
        XGetErrorText(display, error, text, sizeof text - 1);
        return {
            Status::failure(QStringLiteral("X11 拒绝了窗口请求（%1）").arg(QString::fromLocal8Bit(text)))};
    }
    return {Status::success(), activationRequested};
}
