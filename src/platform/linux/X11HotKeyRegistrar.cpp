#include "platform/linux/X11HotKeyRegistrar.h"

#include "platform/linux/X11KeyMap.h"
#include "platform/linux/X11PrivateDisplay.h"

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <array>

#include "platform/linux/XlibIncludes.h"

// The connection and the grab it holds. Events are read on the main thread when the socket has data, and
// after each of our own round trips (which may pull events into Xlib's queue behind the socket's back).
class X11HotKeyRegistrar::Grabber : public QObject {
public:
    static std::unique_ptr<Grabber> open(const QByteArray& displayName, QString* error)
    {
        std::unique_ptr<X11PrivateDisplay> connection = X11PrivateDisplay::open(displayName, error);
        if (!connection)
            return nullptr;
        return std::unique_ptr<Grabber>(new Grabber(std::move(connection)));
    }

    ~Grabber() override { ungrab(); }

    HotKeyRegistration grab(HotKey key, Handler handler)
    {
        ungrab();
        Display* display = m_connection->display();
        unsigned keycode = 0;
        for (unsigned long keysym : X11KeyMap::keysymsFor(key.keyCode)) {
            keycode = XKeysymToKeycode(display, keysym);
            if (keycode != 0)
                break;
        }
        if (keycode == 0)
            return HotKeyRegistration::failed(QStringLiteral("键盘上没有键码为 %1 的按键").arg(key.keyCode));

        const unsigned modifiers = X11KeyMap::x11Modifiers(key.carbonModifiers);
        m_connection->syncAndTakeError(); // start clean: only the grab's own errors count
        for (unsigned variant : lockVariants())
            XGrabKey(display, static_cast<int>(keycode), modifiers | variant, DefaultRootWindow(display), 0,
                     GrabModeAsync, GrabModeAsync);
        const int error = m_connection->syncAndTakeError();
        scheduleRead();
        if (error != 0) {
            // Some variants may have been granted before one was refused; give them back.
            for (unsigned variant : lockVariants())
                XUngrabKey(display, static_cast<int>(keycode), modifiers | variant,
                           DefaultRootWindow(display));
            m_connection->syncAndTakeError();
            if (error == BadAccess)
                return HotKeyRegistration::taken(QStringLiteral("该组合键已被其他应用占用"));
            return HotKeyRegistration::failed(QStringLiteral("X 服务器拒绝了按键抓取（错误 %1）").arg(error));
        }
        m_keycode = keycode;
        m_modifiers = modifiers;
        m_handler = std::move(handler);
        m_isDown = false;
        return HotKeyRegistration::registered();
    }

    void ungrab()
    {
        if (m_keycode == 0)
            return;
        Display* display = m_connection->display();
        for (unsigned variant : lockVariants())
            XUngrabKey(display, static_cast<int>(m_keycode), m_modifiers | variant,
                       DefaultRootWindow(display));
        m_connection->syncAndTakeError();
        scheduleRead();
        m_keycode = 0;
        m_modifiers = 0;
        m_handler = nullptr;
        m_isDown = false;
    }

private:
    explicit Grabber(std::unique_ptr<X11PrivateDisplay> connection) : m_connection(std::move(connection))
    {
        Display* display = m_connection->display();
        int supported = 0;
        XkbSetDetectableAutoRepeat(display, 1, &supported);
        m_detectableAutoRepeat = supported != 0;
        m_numLockMask = XkbKeysymToModifiers(display, XK_Num_Lock);
        if (m_numLockMask == 0)
            m_numLockMask = Mod2Mask;
        m_notifier = new QSocketNotifier(ConnectionNumber(display), QSocketNotifier::Read, this);
        QObject::connect(m_notifier, &QSocketNotifier::activated, this, [this] { read(); });
    }

    // The grab must hold whatever the state of Caps Lock and Num Lock.
    std::array<unsigned, 4> lockVariants() const
    {
        return {0u, static_cast<unsigned>(LockMask), m_numLockMask, LockMask | m_numLockMask};
    }

    void scheduleRead()
    {
        QMetaObject::invokeMethod(
            this, [this] { read(); }, Qt::QueuedConnection);
    }

    void read()
    {
        Display* display = m_connection->display();
        QPointer<Grabber> alive(this);
        while (alive && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MappingNotify)
                XRefreshKeyboardMapping(&event.xmapping);
            else if (event.type == KeyPress || event.type == KeyRelease)
                handleKey(event);
        }
    }

    void handleKey(const XEvent& event)
    {
        // While the grab is active every key comes to us; only the grabbed one means anything.
        if (m_keycode == 0 || event.xkey.keycode != m_keycode || !m_handler)
            return;
        if (event.type == KeyRelease) {
            if (!m_detectableAutoRepeat && isRepeatRelease(event))
                return;
            if (!m_isDown)
                return;
            m_isDown = false;
            const Handler handler = m_handler; // it may re-register while it runs
            handler(Action::Released, false);
            return;
        }
        const bool isAutoRepeat = m_isDown;
        m_isDown = true;
        const Handler handler = m_handler;
        handler(Action::Pressed, isAutoRepeat);
    }

    // Without detectable auto-repeat the server sends a release and a press at the same instant per repeat.
    bool isRepeatRelease(const XEvent& release)
    {
        Display* display = m_connection->display();
        if (XEventsQueued(display, QueuedAfterReading) == 0)
            return false;
        XEvent next;
        XPeekEvent(display, &next);
        return next.type == KeyPress && next.xkey.keycode == release.xkey.keycode &&
               next.xkey.time == release.xkey.time;
    }

    std::unique_ptr<X11PrivateDisplay> m_connection;
    QSocketNotifier* m_notifier = nullptr;
    bool m_detectableAutoRepeat = false;
    unsigned m_numLockMask = 0;
    unsigned m_keycode = 0;
    unsigned m_modifiers = 0;
    Handler m_handler;
    bool m_isDown = false;
};

X11HotKeyRegistrar::X11HotKeyRegistrar(QByteArray displayName) : m_displayName(std::move(displayName)) {}

X11HotKeyRegistrar::~X11HotKeyRegistrar() = default;

HotKeyRegistration X11HotKeyRegistrar::registerHotKey(HotKey key, Handler handler)
{
    if (!m_grabber) {
        QString error;
        m_grabber = Grabber::open(m_displayName, &error);
        if (!m_grabber)
            return HotKeyRegistration::failed(error);
    }
    return m_grabber->grab(key, std::move(handler));
}

void X11HotKeyRegistrar::unregisterHotKey()
{
    if (m_grabber)
        m_grabber->ungrab();
}
