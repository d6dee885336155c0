#pragma once

#include <QString>
#include <algorithm>
#include <initializer_list>
#include <optional>
#include <vector>

#include "platform/linux/XlibIncludes.h"

// A second client of the test display: window facts as the X server and the window manager have them (EWMH
// properties, titles, mapping), and requests to the window manager as a pager sends them.
class XWindows {
public:
    XWindows() : m_display(XOpenDisplay(nullptr)) {}
    ~XWindows()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    XWindows(const XWindows&) = delete;
    XWindows& operator=(const XWindows&) = delete;
    bool isOpen() const { return m_display != nullptr; }
    Display* display() const { return m_display; }
    Window root() const { return DefaultRootWindow(m_display); }
    Atom atom(const char* name) { return XInternAtom(m_display, name, False); }

    std::vector<unsigned long> longs(Window window, const char* property, Atom type)
    {
        Atom actualType = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> values;
        if (XGetWindowProperty(m_display, window, atom(property), 0, 1024, False, type, &actualType, &format,
                               &items, &after, &data) == Success &&
            data) {
            if (format == 32)
                values.assign(reinterpret_cast<unsigned long*>(data),
                              reinterpret_cast<unsigned long*>(data) + items);
            XFree(data);
        }
        return values;
    }
    std::optional<unsigned long> cardinal(Window window, const char* property)
    {
        const std::vector<unsigned long> values = longs(window, property, XA_CARDINAL);
        return values.empty() ? std::nullopt : std::optional(values.front());
    }
    Window activeWindow()
    {
        const std::vector<unsigned long> values = longs(root(), "_NET_ACTIVE_WINDOW", XA_WINDOW);
        return values.empty() ? 0 : values.front();
    }
    bool hasWindowManager() { return !longs(root(), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW).empty(); }
    bool hasTray() { return XGetSelectionOwner(m_display, atom("_NET_SYSTEM_TRAY_S0")) != kXNone; }

    // The managed window of the process with this title, 0 while there is none.
    Window clientOf(qint64 processId, const QString& title)
    {
        for (unsigned long window : longs(root(), "_NET_CLIENT_LIST", XA_WINDOW)) {
            if (cardinal(window, "_NET_WM_PID") == static_cast<unsigned long>(processId) &&
                titleOf(window) == title)
                return window;
        }
        return 0;
    }
    bool isMaximised(Window window)
    {
        const std::vector<unsigned long> state = longs(window, "_NET_WM_STATE", XA_ATOM);
        auto has = [&](const char* name) {
            return std::find(state.begin(), state.end(), atom(name)) != state.end();
        };
        return has("_NET_WM_STATE_MAXIMIZED_VERT") && has("_NET_WM_STATE_MAXIMIZED_HORZ");
    }
    bool isViewable(Window window)
    {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(m_display, window, &attributes) && attributes.map_state == IsViewable;
    }

    // A request to the window manager, as EWMH has clients and pagers send them.
    void request(Window window, const char* type, std::initializer_list<long> data)
    {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = atom(type);
        event.xclient.format = 32;
        int i = 0;
        for (long value : data)
            event.xclient.data.l[i++] = value;
        XSendEvent(m_display, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XFlush(m_display);
    }

    QString titleOf(Window window)
    {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        QString title;
        if (XGetWindowProperty(m_display, window, atom("_NET_WM_NAME"), 0, 256, False, atom("UTF8_STRING"),
                               &type, &format, &items, &after, &data) == Success &&
            data) {
            title = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(items));
            XFree(data);
        }
        return title;
    }

private:
    Display* m_display;
};
