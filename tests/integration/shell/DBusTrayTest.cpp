// The real quorbell binary in a D-Bus tray under openbox, as KDE Plasma, GNOME with the AppIndicator
// extension and most panels today have it: a StatusNotifierWatcher on the session bus (the test's own, on a
// private bus), so Qt's tray icon is a D-Bus item whose clicks and menu actions arrive over the bus, with no
// X event on quorbell's windows. The window manager refuses an application's activation older than the user's
// last input elsewhere; the requests are read from the root window as the window manager gets them.
#include "AppProcess.h"
#include "WindowManager.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QKeyEvent>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <optional>

// Xlib last: its macros collide with Qt's names.
#include "XWindows.h"

namespace {

constexpr int kWaitMs = 30000;
constexpr long kSourceApplication = 1;
constexpr long kSourcePager = 2;
const QString kMainTitle = QStringLiteral("Quorbell");
const QString kOpenItem = QStringLiteral("打开 Quorbell 主界面");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");

// A private session bus for this suite.
class SessionBus {
public:
    SessionBus()
    {
        m_address = QStringLiteral("unix:path=") + m_folder.filePath(QStringLiteral("bus"));
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"),
                        QStringLiteral("--print-address"), QStringLiteral("--address=") + m_address});
        // It prints its address once it listens.
        m_up = m_daemon.waitForStarted(kWaitMs) &&
               QTest::qWaitFor(
                   [this] { return m_daemon.canReadLine() || m_daemon.state() != QProcess::Running; },
                   kWaitMs) &&
               m_daemon.state() == QProcess::Running;
    }
    ~SessionBus()
    {
        m_daemon.kill();
        m_daemon.waitForFinished(kWaitMs);
    }
    bool isUp() const { return m_up; }
    QString address() const { return m_address; }

private:
    QTemporaryDir m_folder;
    QString m_address;
    QProcess m_daemon;
    bool m_up = false;
};

// A minimal StatusNotifierWatcher, as a panel provides it: it takes the items' registrations and says a host
// (the panel that shows them) is there.
class Watcher final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    QStringList items() const { return m_items; }
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) { m_items.append(service); }
    void RegisterStatusNotifierHost(const QString&) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    QStringList m_items;
};

// The id of the dbusmenu item labelled `label` in a GetLayout answer, walked depth first.
std::optional<int> itemLabelled(const QDBusArgument& layout, const QString& label)
{
    std::optional<int> found;
    int id = 0;
    QVariantMap properties;
    layout.beginStructure();
    layout >> id >> properties;
    if (QString(properties.value(QStringLiteral("label")).toString()).remove(u'&') == label)
        found = id;
    layout.beginArray();
    while (!layout.atEnd()) {
        QDBusVariant child;
        layout >> child;
        if (!found)
            found = itemLabelled(child.variant().value<QDBusArgument>(), label);
    }
    layout.endArray();
    layout.endStructure();
    return found;
}

// Another application the user works in: it remembers when the user last typed into it.
class OtherWindow final : public QWidget {
public:
    unsigned long typedAt = 0;

protected:
    void keyPressEvent(QKeyEvent* event) override { typedAt = event->timestamp(); }
};

class DBusTray : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_windowManager = new WindowManager;
        s_bus = new SessionBus;
    }
    static void TearDownTestSuite()
    {
        delete s_bus;
        delete s_windowManager;
    }

    void SetUp() override
    {
        ASSERT_TRUE(x.isOpen()) << "no X display";
        ASSERT_TRUE(QTest::qWaitFor([&] { return x.hasWindowManager(); }, kWaitMs))
            << "openbox did not come up: " << s_windowManager->describe();
        ASSERT_FALSE(x.hasTray()) << "an X tray is left on the test display";
        ASSERT_TRUE(s_bus->isUp()) << "dbus-daemon did not start";
        bus = QDBusConnection::connectToBus(s_bus->address(), QStringLiteral("qb-tray-test"));
        ASSERT_TRUE(bus.isConnected()) << bus.lastError().message().toStdString();
        ASSERT_TRUE(bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                                       QDBusConnection::ExportAllContents));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));

        app.setEnvironment(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), s_bus->address());
        app.markFirstRunDone();
        ASSERT_TRUE(app.start());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.items().isEmpty() || !app.isRunning(); },
                                    AppProcess::kStartMs))
            << "quorbell registered no item with the watcher";
        ASSERT_TRUE(app.isRunning());
        item = watcher.items().constFirst();
        EXPECT_EQ(x.clientOf(app.processId(), kMainTitle), 0UL)
            << "with a tray the window waits to be asked for";

        XSelectInput(requests.display(), requests.root(), SubstructureNotifyMask);
        XSync(requests.display(), False);
    }

    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "--- quorbell's log ---\n%s\n", app.log().constData());
        bus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
        QDBusConnection::disconnectFromBus(QStringLiteral("qb-tray-test"));
    }

    // The user works in another window and types into it; returns the time of that key press.
    unsigned long typeElsewhere()
    {
        other.setWindowTitle(QStringLiteral("elsewhere"));
        other.resize(300, 200);
        other.show();
        other.typedAt = 0;
        // Asked for only once the window manager manages the window: it passes over a request for one it
        // does not.
        if (!QTest::qWaitForWindowExposed(&other, kWaitMs))
            return 0;
        x.request(other.winId(), "_NET_ACTIVE_WINDOW", {kSourcePager, CurrentTime, 0});
        if (!QTest::qWaitFor([&] { return x.activeWindow() == other.winId() && other.isActiveWindow(); },
                             kWaitMs))
            return 0;
        const XKeyCode key = XKeysymToKeycode(x.display(), XK_a);
        XTestFakeKeyEvent(x.display(), key, True, 0);
        XTestFakeKeyEvent(x.display(), key, False, 0);
        XSync(x.display(), False);
        (void)QTest::qWaitFor([&] { return other.typedAt != 0; }, kWaitMs);
        return other.typedAt;
    }

    // The next activation quorbell asks the window manager for (the test's own requests are passed over).
    std::optional<XClientMessageEvent> nextActivation()
    {
        std::optional<XClientMessageEvent> found;
        (void)QTest::qWaitFor(
            [&] {
                while (!found && XPending(requests.display()) > 0) {
                    XEvent event{};
                    XNextEvent(requests.display(), &event);
                    if (event.type == ClientMessage && event.xclient.window != other.winId() &&
                        event.xclient.message_type == requests.atom("_NET_ACTIVE_WINDOW"))
                        found = event.xclient;
                }
                return found.has_value();
            },
            kWaitMs);
        return found;
    }

    QDBusMessage callItem(const QString& path, const QString& interface, const QString& method,
                          const QVariantList& arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(item, path, interface, method);
        call.setArguments(arguments);
        return bus.call(call, QDBus::Block, kWaitMs);
    }

    // The request that brings the window carries a time no older than the user's input elsewhere, or
    // is a pager's, and the window manager lets the window come forward.
    void expectTheWindowComesForward(unsigned long typedAt, const char* what)
    {
        const std::optional<XClientMessageEvent> request = nextActivation();
        ASSERT_TRUE(request.has_value()) << what << ": quorbell asked for no activation";
        const long source = request->data.l[0];
        const auto time = static_cast<unsigned long>(request->data.l[1]);
        EXPECT_TRUE(source == kSourcePager || (source == kSourceApplication && time >= typedAt))
            << what << ": source " << source << " at " << time << ", the user typed elsewhere at " << typedAt;
        Window main = 0;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return (main = x.clientOf(app.processId(), kMainTitle)) != 0 && x.activeWindow() == main; },
            kWaitMs))
            << what << ": the window stayed behind the one the user was in";
    }

    static WindowManager* s_windowManager;
    static SessionBus* s_bus;
    XWindows x;
    XWindows requests; // the requests to the window manager, as a second client of the root window sees them
    QDBusConnection bus{QString()};
    Watcher watcher;
    QString item;
    OtherWindow other;
    AppProcess app;
};

WindowManager* DBusTray::s_windowManager = nullptr;
SessionBus* DBusTray::s_bus = nullptr;

} // namespace

TEST_F(DBusTray, AClickOnTheIconOrItsMenuBringsTheWindowForwardAfterInputElsewhere)
{
    // The panel's click on the icon.
    unsigned long typedAt = typeElsewhere();
    ASSERT_NE(typedAt, 0UL) << "the key press did not reach the other window";
    const QDBusMessage activated =
        callItem(QStringLiteral("/StatusNotifierItem"), kItemInterface, QStringLiteral("Activate"), {0, 0});
    ASSERT_NE(activated.type(), QDBusMessage::ErrorMessage) << activated.errorMessage().toStdString();
    expectTheWindowComesForward(typedAt, "Activate");

    // The same from the menu's first item, after the user has gone back to the other window.
    typedAt = typeElsewhere();
    ASSERT_NE(typedAt, 0UL);
    const QDBusMessage property =
        callItem(QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.freedesktop.DBus.Properties"),
                 QStringLiteral("Get"), {kItemInterface, QStringLiteral("Menu")});
    ASSERT_EQ(property.type(), QDBusMessage::ReplyMessage) << property.errorMessage().toStdString();
    const QString menuPath =
        property.arguments().value(0).value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
    ASSERT_FALSE(menuPath.isEmpty());
    const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
    callItem(menuPath, menuInterface, QStringLiteral("AboutToShow"), {0});
    const QDBusMessage layout =
        callItem(menuPath, menuInterface, QStringLiteral("GetLayout"), {0, -1, QStringList()});
    ASSERT_EQ(layout.type(), QDBusMessage::ReplyMessage) << layout.errorMessage().toStdString();
    const std::optional<int> open =
        itemLabelled(layout.arguments().value(1).value<QDBusArgument>(), kOpenItem);
    ASSERT_TRUE(open.has_value()) << "the exported menu has no item " << kOpenItem.toStdString();
    const QDBusMessage clicked =
        callItem(menuPath, menuInterface, QStringLiteral("Event"),
                 {*open, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    ASSERT_NE(clicked.type(), QDBusMessage::ErrorMessage) << clicked.errorMessage().toStdString();
    expectTheWindowComesForward(typedAt, "the menu's item");
}

#include "DBusTrayTest.moc"
