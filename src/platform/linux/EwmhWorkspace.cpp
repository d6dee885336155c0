#include "platform/linux/EwmhWorkspace.h"

#include "platform/linux/X11PrivateDisplay.h"
#include "platform/linux/X11WindowProperty.h"
#include "util/AppIdentity.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QLocale>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>

#include "platform/linux/XlibIncludes.h"

namespace {

// Desktop files are small; anything larger is not read.
constexpr qint64 kMaxDesktopFileBytes = 256 * 1024;
// How long a killed program gets to go away.
constexpr int kKillWaitMs = 1000;

// The Name of a desktop file's [Desktop Entry] group, in the user's language where it has one.
QString nameFromDesktopFile(const QByteArray& contents)
{
    const QString locale = QLocale::system().name(); // e.g. zh_CN
    const QStringList keys{QStringLiteral("Name[%1]").arg(locale),
                           QStringLiteral("Name[%1]").arg(locale.section(QLatin1Char('_'), 0, 0)),
                           QStringLiteral("Name")};
    QHash<QString, QString> found;
    bool inEntry = false;
    for (const QByteArray& rawLine : contents.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inEntry)
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (keys.contains(key) && !found.contains(key)) {
            QString value = line.mid(equals + 1).trimmed();
            value.replace(QLatin1String("\\s"), QLatin1String(" "));
            found.insert(key, value);
        }
    }
    for (const QString& key : keys) {
        if (!found.value(key).isEmpty())
            return found.value(key);
    }
    return {};
}

} // namespace

// One X connection and the atoms we read. Windows vanish while we read them: the read then fails, and the
// error stays on this connection.
class EwmhWorkspace::XConnection {
public:
    explicit XConnection(const QByteArray& displayName)
    {
        m_connection = X11PrivateDisplay::open(displayName, nullptr);
        if (!m_connection)
            return;
        m_display = m_connection->display();
        m_root = DefaultRootWindow(m_display);
        m_activeWindow = atom("_NET_ACTIVE_WINDOW");
        m_wmPid = atom("_NET_WM_PID");
        m_wmName = atom("_NET_WM_NAME");
        m_utf8 = atom("UTF8_STRING");
        m_gtkApplicationId = atom("_GTK_APPLICATION_ID");
        m_kdeDesktopFile = atom("_KDE_NET_WM_DESKTOP_FILE");
        m_wmState = atom("WM_STATE");
    }
    // Forgets the errors of the last reads: a vanished window is an ordinary answer here.
    void forgetErrors()
    {
        if (m_connection)
            m_connection->syncAndTakeError();
    }

    ::Display* display() const { return m_display; }
    Window root() const { return m_root; }
    Atom activeWindowAtom() const { return m_activeWindow; }

    // The active window: _NET_ACTIVE_WINDOW where the window manager keeps it, else the top-level window
    // that holds the input focus. 0 when none.
    Window activeWindow()
    {
        if (const std::optional<X11WindowProperty> active = property(m_root, m_activeWindow)) {
            if (active->type == XA_WINDOW)
                return active->firstLong().value_or(0);
        }
        return focusWindow();
    }

    // The top-level window that holds the keyboard focus, 0 when none: one request where the focus is on the
    // top-level window itself, as toolkits keep it, and one more per level of a focus held further in.
    Window focusWindow()
    {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(m_display, &focus, &revert);
        if (focus == kXNone || focus == PointerRoot)
            return 0;
        return clientWindow(focus);
    }

    // What the window says about its application, and the ids a desktop file may describe it under.
    struct WindowFacts {
        FrontmostApplication application;
        QString desktopId;
        QString windowClass;
    };

    std::optional<WindowFacts> facts(Window window)
    {
        XWindowAttributes attributes;
        if (!window || !XGetWindowAttributes(m_display, window, &attributes))
            return std::nullopt;
        FrontmostApplication application;
        application.windowId = window;
        if (const auto pid = property(window, m_wmPid); pid && pid->type == XA_CARDINAL)
            application.processId = static_cast<qint64>(pid->firstLong().value_or(0));
        application.windowTitle = windowTitle(window);

        QString desktopId;
        for (Atom idAtom : {m_gtkApplicationId, m_kdeDesktopFile}) {
            if (const auto id = property(window, idAtom); id && !id->utf8().isEmpty()) {
                desktopId = id->utf8();
                break;
            }
        }
        if (desktopId.endsWith(QLatin1String(".desktop")))
            desktopId.chop(8);
        const QString windowClass = wmClass(window);
        application.bundleIdentifier = desktopId.isEmpty() ? windowClass : desktopId;
        return WindowFacts{application, desktopId, windowClass};
    }

    QString wmClass(Window window)
    {
        const std::optional<X11WindowProperty> value = property(window, XA_WM_CLASS);
        if (!value || value->format != 8)
            return {};
        // Instance name and class name, each NUL-terminated.
        const QList<QByteArray> parts = value->bytes.split('\0');
        return parts.size() >= 2 ? QString::fromLatin1(parts[1]) : QString();
    }

    std::optional<X11WindowProperty> property(Window window, Atom name)
    {
        return X11WindowProperty::read(m_display, window, name);
    }

private:
    Atom atom(const char* name) { return XInternAtom(m_display, name, False); }

    QString windowTitle(Window window)
    {
        if (const auto name = property(window, m_wmName); name && name->type == m_utf8)
            return name->utf8();
        XTextProperty text{};
        if (!XGetWMName(m_display, window, &text) || !text.value)
            return {};
        QString title;
        char** list = nullptr;
        int count = 0;
        if (Xutf8TextPropertyToTextList(m_display, &text, &list, &count) >= Success && list && count > 0)
            title = QString::fromUtf8(list[0]);
        if (list)
            XFreeStringList(list);
        XFree(text.value);
        return title;
    }

    // Walks up from a focused (possibly inner) window to the application's top-level window.
    Window clientWindow(Window window)
    {
        for (int depth = 0; window && window != m_root && depth < 64; ++depth) {
            if (property(window, m_wmState) || property(window, XA_WM_CLASS))
                return window;
            Window root = 0, parent = 0;
            Window* children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(m_display, window, &root, &parent, &children, &count))
                return 0;
            if (children)
                XFree(children);
            if (parent == m_root)
                return window;
            window = parent;
        }
        return 0;
    }

    std::unique_ptr<X11PrivateDisplay> m_connection;
    ::Display* m_display = nullptr;
    Window m_root = 0;
    Atom m_activeWindow = 0;
    Atom m_wmPid = 0;
    Atom m_wmName = 0;
    Atom m_utf8 = 0;
    Atom m_gtkApplicationId = 0;
    Atom m_kdeDesktopFile = 0;
    Atom m_wmState = 0;
};

EwmhWorkspace::EwmhWorkspace(const QByteArray& displayName, QObject* parent)
    : QObject(parent), m_query(std::make_unique<XConnection>(displayName)),
      m_events(std::make_unique<XConnection>(displayName)),
      m_ownName(QGuiApplication::applicationDisplayName())
{
    ::Display* events = m_events->display();
    if (!events)
        return;
    XSelectInput(events, m_events->root(), PropertyChangeMask);
    XFlush(events);
    m_notifier = new QSocketNotifier(ConnectionNumber(events), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EwmhWorkspace::readEvents);
    std::lock_guard lock(m_queryMutex);
    if (m_query->display()) {
        m_lastActiveWindow = m_query->activeWindow();
        m_query->forgetErrors();
    }
}

EwmhWorkspace::~EwmhWorkspace()
{
    delete m_notifier; // before its connection closes
}

quint64 EwmhWorkspace::keyboardFocusWindow()
{
    std::lock_guard lock(m_queryMutex);
    if (!m_query->display())
        return 0;
    const Window window = m_query->focusWindow();
    m_query->forgetErrors();
    return window;
}

std::optional<FrontmostApplication> EwmhWorkspace::frontmostApplication()
{
    std::optional<XConnection::WindowFacts> facts;
    {
        std::lock_guard lock(m_queryMutex);
        if (!m_query->display())
            return std::nullopt;
        facts = m_query->facts(m_query->activeWindow());
        m_query->forgetErrors();
    }
    if (!facts)
        return std::nullopt;
    FrontmostApplication& application = facts->application;
    if (application.processId == QCoreApplication::applicationPid()) {
        application.bundleIdentifier = AppIdentity::bundleIdentifier();
        application.name = m_ownName;
        return application;
    }
    // The name the desktop shows for the application, else its window class.
    application.name = desktopFileName(facts->desktopId);
    if (application.name.isEmpty())
        application.name = desktopFileName(facts->windowClass.toLower());
    if (application.name.isEmpty())
        application.name = facts->windowClass;
    return application;
}

QString EwmhWorkspace::desktopFileName(const QString& desktopId)
{
    if (desktopId.isEmpty() || desktopId.contains(QLatin1Char('/')))
        return {};
    {
        std::lock_guard lock(m_namesMutex);
        const auto cached = m_desktopNames.constFind(desktopId);
        if (cached != m_desktopNames.constEnd())
            return *cached;
    }
    QString name;
    const QString path =
        QStandardPaths::locate(QStandardPaths::ApplicationsLocation, desktopId + QLatin1String(".desktop"));
    QFile file(path);
    if (!path.isEmpty() && file.size() <= kMaxDesktopFileBytes && file.open(QIODevice::ReadOnly))
        name = nameFromDesktopFile(file.read(kMaxDesktopFileBytes));
    std::lock_guard lock(m_namesMutex);
    m_desktopNames.insert(desktopId, name);
    return name;
}

void EwmhWorkspace::setActivationHandler(ActivationHandler handler)
{
    m_activationHandler = std::move(handler);
}

void EwmhWorkspace::readEvents()
{
    ::Display* events = m_events->display();
    bool activeChanged = false;
    while (XPending(events) > 0) {
        XEvent event;
        XNextEvent(events, &event);
        if (event.type == PropertyNotify && event.xproperty.window == m_events->root() &&
            event.xproperty.atom == m_events->activeWindowAtom())
            activeChanged = true;
    }
    if (!activeChanged)
        return;
    Window active = 0;
    {
        std::lock_guard lock(m_queryMutex);
        active = m_query->activeWindow();
        m_query->forgetErrors();
    }
    if (active == m_lastActiveWindow)
        return;
    m_lastActiveWindow = active;
    if (!active || !m_activationHandler)
        return;
    if (const std::optional<FrontmostApplication> application = frontmostApplication())
        m_activationHandler(*application);
}

Status EwmhWorkspace::openUrl(const QUrl& url)
{
    if (!url.isValid() || url.scheme().isEmpty())
        return Status::failure(QStringLiteral("not a URL: %1").arg(url.toString()));
    if (!QDesktopServices::openUrl(url))
        return Status::failure(QStringLiteral("the desktop could not open %1").arg(url.toString()));
    return Status::success();
}

ProcessResult EwmhWorkspace::runProcess(const QString& program, const QStringList& arguments,
                                        std::chrono::milliseconds timeout)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    // Nobody reads the output; a full pipe must never stall the program.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    const int limitMs = static_cast<int>(std::clamp<long long>(timeout.count(), 0, INT_MAX));
    QElapsedTimer elapsed;
    elapsed.start();
    process.start();
    if (!process.waitForStarted(limitMs))
        return {Status::failure(QStringLiteral("%1 could not start: %2").arg(program, process.errorString())),
                -1};
    const int remainingMs = static_cast<int>(std::max<qint64>(0, limitMs - elapsed.elapsed()));
    if (!process.waitForFinished(remainingMs)) {
        process.kill();
        process.waitForFinished(kKillWaitMs);
        return {Status::failure(QStringLiteral("%1 ran past its time limit").arg(program)), -1};
    }
    if (process.exitStatus() == QProcess::CrashExit)
        return {Status::failure(QStringLiteral("%1 crashed").arg(program)), -1};
    return {Status::success(), process.exitCode()};
}
