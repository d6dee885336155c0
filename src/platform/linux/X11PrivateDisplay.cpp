#include "platform/linux/X11PrivateDisplay.h"

#include <mutex>
#include <unordered_map>

// As in XlibIncludes.h, plus Xlib's internal header, which only this file needs.
#define KeyCode XKeyCode
#include <X11/Xlib.h>
#include <X11/Xlibint.h>
#undef KeyCode
#undef Status
#undef Bool
#undef None

namespace {

// First error code per connection since it was last taken. Xlib calls the hook on whichever thread made
// the failing request, with that display locked; the map itself is shared by all our connections.
std::mutex errorsMutex;
std::unordered_map<Display*, int> firstErrors;

int recordError(Display* display, xError* error, XExtCodes*, int* returnCode)
{
    {
        std::lock_guard lock(errorsMutex);
        auto it = firstErrors.find(display);
        if (it == firstErrors.end())
            return 0; // not ours after all: let Xlib's handler have it
        if (it->second == 0)
            it->second = error->errorCode;
    }
    *returnCode = 0;
    return 1; // handled: Xlib's process-wide handler is not called
}

} // namespace

std::unique_ptr<X11PrivateDisplay> X11PrivateDisplay::open(const QByteArray& displayName, QString* error)
{
    Display* display = XOpenDisplay(displayName.isEmpty() ? nullptr : displayName.constData());
    if (!display) {
        if (error) {
            const QByteArray name = displayName.isEmpty() ? qgetenv("DISPLAY") : displayName;
            *error = name.isEmpty() ? QStringLiteral("没有设置 X 显示（DISPLAY 为空）")
                                    : QStringLiteral("无法连接 X 显示 %1").arg(QString::fromLocal8Bit(name));
        }
        return nullptr;
    }
    // An extension record of our own carries the per-connection error hook; Xlib asks every extension's
    // hook about an error before its global handler.
    XExtCodes* codes = XAddExtension(display);
    if (!codes) {
        XCloseDisplay(display);
        if (error)
            *error = QStringLiteral("无法建立 X 连接");
        return nullptr;
    }
    {
        std::lock_guard lock(errorsMutex);
        firstErrors[display] = 0;
    }
    XESetError(display, codes->extension, &recordError);
    return std::unique_ptr<X11PrivateDisplay>(new X11PrivateDisplay(display));
}

X11PrivateDisplay::X11PrivateDisplay(Display* display) : m_display(display) {}

X11PrivateDisplay::~X11PrivateDisplay()
{
    XCloseDisplay(m_display);
    std::lock_guard lock(errorsMutex);
    firstErrors.erase(m_display);
}

int X11PrivateDisplay::syncAndTakeError()
{
    XSync(m_display, 0);
    std::lock_guard lock(errorsMutex);
    return std::exchange(firstErrors[m_display], 0);
}
