#include "platform/linux/X11GlobalKeySource.h"

#include "platform/linux/X11EventThread.h"
#include "platform/linux/X11KeyMap.h"
#include "platform/linux/X11PrivateDisplay.h"

#include <QString>
#include <bitset>
#include <map>
#include <set>

#include "platform/linux/XlibIncludes.h"

namespace {

// Keys found down when we start belong to no device we know yet.
constexpr int kUnknownDevice = -1;

bool isWaylandSession()
{
    return qgetenv("XDG_SESSION_TYPE") == "wayland";
}

} // namespace

// One running watch: the connection, the reading thread and the key state it keeps. Built and torn down on
// the caller's thread; between the two only the reading thread touches the state.
class X11GlobalKeySource::Reader {
public:
    static std::unique_ptr<Reader> create(const QByteArray& displayName, Handler handler, QString* error)
    {
        auto reader = std::unique_ptr<Reader>(new Reader(std::move(handler)));
        *error = reader->connect(displayName);
        if (!error->isEmpty())
            return nullptr;
        *error = reader->m_events.start(reader->m_connection->display(), "qb.keys.global", {},
                                        [raw = reader.get()](XEvent& event) { raw->handle(event); });
        return error->isEmpty() ? std::move(reader) : nullptr;
    }

    bool isRunning() const { return m_events.isRunning(); }

private:
    explicit Reader(Handler handler) : m_handler(std::move(handler)) {}

    QString connect(const QByteArray& displayName)
    {
        QString error;
        m_connection = X11PrivateDisplay::open(displayName, &error);
        if (!m_connection)
            return error;
        Display* display = m_connection->display();

        int event = 0;
        int errorBase = 0;
        if (!XQueryExtension(display, "XInputExtension", &m_xiOpcode, &event, &errorBase))
            return QStringLiteral("X 服务器没有 XInput 扩展");
        int major = 2;
        int minor = 2;
        if (XIQueryVersion(display, &major, &minor) != Success || major < 2)
            return QStringLiteral("X 服务器不支持 XInput2（版本 %1.%2）").arg(major).arg(minor);

        int xkbOpcode = 0;
        int xkbError = 0;
        int xkbMajor = XkbMajorVersion;
        int xkbMinor = XkbMinorVersion;
        if (!XkbQueryExtension(display, &xkbOpcode, &m_xkbEventBase, &xkbError, &xkbMajor, &xkbMinor))
            return QStringLiteral("X 服务器没有 XKB 扩展");
        // Raw events never get the fake releases of auto-repeat, but the connection should not either.
        XkbSetDetectableAutoRepeat(display, 1, nullptr);
        XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask | XkbNewKeyboardNotifyMask,
                        XkbMapNotifyMask | XkbNewKeyboardNotifyMask);
        if (!m_keymap.load(display))
            return QStringLiteral("无法读取 X 服务器的键盘映射");
        refreshDevices();
        readInitialState();

        unsigned char rawMask[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(rawMask, XI_RawKeyPress);
        XISetMask(rawMask, XI_RawKeyRelease);
        unsigned char hierarchyMask[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(hierarchyMask, XI_HierarchyChanged);
        XIEventMask masks[2] = {{XIAllMasterDevices, sizeof rawMask, rawMask},
                                {XIAllDevices, sizeof hierarchyMask, hierarchyMask}};
        XISelectEvents(display, DefaultRootWindow(display), masks, 2);
        if (const int code = m_connection->syncAndTakeError())
            return QStringLiteral("X 服务器拒绝了原始按键事件（错误 %1）").arg(code);
        return {};
    }

    void handle(XEvent& event)
    {
        if (event.type == GenericEvent && event.xcookie.extension == m_xiOpcode &&
            XGetEventData(m_connection->display(), &event.xcookie)) {
            switch (event.xcookie.evtype) {
            case XI_RawKeyPress:
            case XI_RawKeyRelease: {
                const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
                handleKey(raw->sourceid, static_cast<unsigned>(raw->detail),
                          event.xcookie.evtype == XI_RawKeyPress, (raw->flags & XIKeyRepeat) != 0,
                          static_cast<std::uint32_t>(raw->time));
                break;
            }
            case XI_HierarchyChanged:
                refreshDevices();
                break;
            default:
                break;
            }
            XFreeEventData(m_connection->display(), &event.xcookie);
            return;
        }
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            m_keymap.load(m_connection->display());
        } else if (event.type == m_xkbEventBase) {
            const int xkbType = reinterpret_cast<const XkbAnyEvent*>(&event)->xkb_type;
            if (xkbType == XkbMapNotify || xkbType == XkbNewKeyboardNotify)
                m_keymap.load(m_connection->display());
        }
    }

    void handleKey(int device, unsigned keycode, bool press, bool repeatFlag, std::uint32_t time)
    {
        if (keycode >= 256)
            return;
        std::bitset<256>& down = m_down[device];
        const bool wasDown = down.test(keycode);
        if (press) {
            down.set(keycode);
        } else {
            down.reset(keycode);
            m_down[kUnknownDevice].reset(keycode); // it was down before we started, on whichever device
        }

        const X11KeyMap::MacKey& key = m_keymap.at(keycode);
        KeyEvent event;
        event.keyCode = key.keyCode;
        event.nativeCode = keycode;
        event.time = time;
        event.isSynthetic = m_xtestDevices.count(device) > 0;

        if (key.isCapsLock) {
            if (!press || wasDown)
                return; // a lock changes on its press only
            m_capsLocked = !m_capsLocked;
            event.kind = KeyEvent::Kind::FlagsChanged;
            event.flags = modifierFlags();
            m_reportedModifiers = event.flags;
            deliver(event);
            return;
        }
        if (key.isModifier()) {
            // Only a change of the combined state is news: a second device pressing the same modifier, a
            // release another device still holds, or a repeat changes nothing.
            const std::uint64_t flags = modifierFlags();
            if (flags == m_reportedModifiers)
                return;
            m_reportedModifiers = flags;
            event.kind = KeyEvent::Kind::FlagsChanged;
            event.flags = flags;
            deliver(event);
            return;
        }
        event.kind = press ? KeyEvent::Kind::KeyDown : KeyEvent::Kind::KeyUp;
        event.flags = modifierFlags() | key.keyFlags;
        event.isAutoRepeat = press && (wasDown || repeatFlag);
        deliver(event);
    }

    std::uint64_t modifierFlags() const
    {
        std::uint64_t flags = m_capsLocked ? ModifierFlag::CapsLock : 0;
        for (unsigned keycode : m_keymap.modifierKeycodes()) {
            for (const auto& [device, down] : m_down) {
                if (down.test(keycode)) {
                    flags |= m_keymap.at(keycode).modifierFlags;
                    break;
                }
            }
        }
        return flags;
    }

    void deliver(const KeyEvent& event) { m_handler(event); }

    // XTEST devices (one per master keyboard) mark synthetic keys; devices that went away lose their state.
    void refreshDevices()
    {
        Display* display = m_connection->display();
        const Atom xtestProperty = XInternAtom(display, "XTEST Device", 1);
        int count = 0;
        XIDeviceInfo* devices = XIQueryDevice(display, XIAllDevices, &count);
        std::set<int> present{kUnknownDevice};
        m_xtestDevices.clear();
        for (int i = 0; i < count; ++i) {
            const XIDeviceInfo& device = devices[i];
            present.insert(device.deviceid);
            if (device.use != XISlaveKeyboard)
                continue;
            if (hasProperty(device.deviceid, xtestProperty) ||
                QByteArray(device.name).endsWith("XTEST keyboard"))
                m_xtestDevices.insert(device.deviceid);
        }
        if (devices)
            XIFreeDeviceInfo(devices);
        for (auto it = m_down.begin(); it != m_down.end();)
            it = present.count(it->first) ? std::next(it) : m_down.erase(it);
    }

    bool hasProperty(int deviceId, Atom property)
    {
        if (property == 0)
            return false;
        Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        const int result = XIGetProperty(m_connection->display(), deviceId, property, 0, 1, 0,
                                         AnyPropertyType, &type, &format, &items, &after, &data);
        if (data)
            XFree(data);
        m_connection->syncAndTakeError(); // a device gone meanwhile is no XTEST device
        return result == Success && items > 0;
    }

    void readInitialState()
    {
        Display* display = m_connection->display();
        char keys[32] = {};
        XQueryKeymap(display, keys);
        std::bitset<256>& down = m_down[kUnknownDevice];
        for (unsigned keycode = 0; keycode < 256; ++keycode) {
            if (keys[keycode / 8] & (1 << (keycode % 8)))
                down.set(keycode);
        }
        XkbStateRec state{};
        if (XkbGetState(display, XkbUseCoreKbd, &state) == Success)
            m_capsLocked = (state.locked_mods & LockMask) != 0;
        m_reportedModifiers = modifierFlags();
    }

    Handler m_handler;
    std::unique_ptr<X11PrivateDisplay> m_connection;
    int m_xiOpcode = 0;
    int m_xkbEventBase = 0;

    X11KeyMap::KeycodeTable m_keymap;
    std::set<int> m_xtestDevices;
    std::map<int, std::bitset<256>> m_down; // keys down, per source device
    bool m_capsLocked = false;
    std::uint64_t m_reportedModifiers = 0;
    // Declared last: the thread is joined before the state it touches goes.
    X11EventThread m_events;
};

X11GlobalKeySource::X11GlobalKeySource(QByteArray displayName) : m_displayName(std::move(displayName)) {}

X11GlobalKeySource::~X11GlobalKeySource()
{
    stop();
}

Status X11GlobalKeySource::start(Handler handler)
{
    stop();
    if (isWaylandSession())
        return Status::failure(QStringLiteral("Wayland 会话中无法监听其他应用的按键，需要 X11 会话"));
    QString error;
    m_reader = Reader::create(m_displayName, std::move(handler), &error);
    if (!m_reader)
        return Status::failure(error);
    return Status::success();
}

void X11GlobalKeySource::stop()
{
    m_reader.reset(); // joins the reading thread: the handler is not called again
}

bool X11GlobalKeySource::isRunning() const
{
    return m_reader && m_reader->isRunning();
}
