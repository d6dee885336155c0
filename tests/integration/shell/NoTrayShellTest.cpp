// The shell on a desktop without a tray, as stock GNOME on X11 or a bare window manager has it: the real
// quorbell binary with the default settings under openbox, a window manager with workspaces and maximised
// windows. What happens is read from the window manager's EWMH properties, as a pager would see it.
#include "AppProcess.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <optional>
#include <vector>

#include "platform/linux/XlibIncludes.h"

namespace {

constexpr int kWaitMs = AppProcess::kWaitMs;
constexpr long kAdd = 1;         // _NET_WM_STATE action
constexpr long kSourcePager = 2; // EWMH source indication: on the user's behalf

// The test's own connection to the display: reads the window manager's properties and sends it requests.
class Ewmh {
public:
    Ewmh() : m_display(XOpenDisplay(nullptr)) {}
    ~Ewmh()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    bool isOpen() const { return m_display != nullptr; }
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

private:
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

    Display* m_display;
};

class NoTrayShell : public ::testing::Test {
protected:
    // openbox with two workspaces, on the test display for this suite only.
    static void SetUpTestSuite()
    {
        s_config = new QTemporaryDir;
        QFile rc(s_config->filePath(QStringLiteral("rc.xml")));
        if (rc.open(QIODevice::WriteOnly))
            rc.write("<?xml version=\"1.0\"?>\n<openbox_config xmlns=\"http://openbox.org/3.4/rc\">"
                     "<desktops><number>2</number></desktops></openbox_config>\n");
        rc.close();
        s_windowManager = new QProcess;
        s_windowManager->setProcessChannelMode(QProcess::MergedChannels);
        s_windowManager->start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable"),
                                                           QStringLiteral("--config-file"), rc.fileName()});
    }
    static void TearDownTestSuite()
    {
        // A terminated openbox takes its properties off the root window: later tests see a bare display.
        s_windowManager->terminate();
        if (!s_windowManager->waitForFinished(kWaitMs))
            s_windowManager->kill();
        s_windowManager->waitForFinished(kWaitMs);
        delete s_windowManager;
        delete s_config;
    }

    void SetUp() override
    {
        ASSERT_TRUE(x.isOpen()) << "no X display";
        ASSERT_TRUE(QTest::qWaitFor([&] { return x.hasWindowManager(); }, kWaitMs))
            << "openbox did not come up: " << s_windowManager->readAll().toStdString()
            << s_windowManager->errorString().toStdString();
        ASSERT_FALSE(x.hasTray()) << "a tray is left on the test display";
        app.markFirstRunDone();
        ASSERT_TRUE(app.start());
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                main = x.clientOf(app.processId(), QStringLiteral("Quorbell"));
                return (main && x.isViewable(main)) || !app.isRunning();
            },
            15000));
        ASSERT_TRUE(app.isRunning()) << "quorbell ended early";
    }

    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "--- quorbell's log ---\n%s\n", app.log().constData());
    }

    // Another window takes the focus, as the user works elsewhere.
    void focusElsewhere(QWidget& other)
    {
        other.setWindowTitle(QStringLiteral("elsewhere"));
        other.resize(300, 200);
        other.show();
        other.activateWindow();
        x.request(other.winId(), "_NET_ACTIVE_WINDOW", {kSourcePager, CurrentTime, 0});
        ASSERT_TRUE(QTest::qWaitFor([&] { return x.activeWindow() == other.winId(); }, kWaitMs));
    }

    static QTemporaryDir* s_config;
    static QProcess* s_windowManager;
    Ewmh x;
    AppProcess app;
    Window main = 0;
};

QTemporaryDir* NoTrayShell::s_config = nullptr;
QProcess* NoTrayShell::s_windowManager = nullptr;

} // namespace

TEST_F(NoTrayShell, ClosingTheMainWindowQuits)
{
    // The first-run default keeps the window off the taskbar; the close still has to end the process.
    x.request(main, "_NET_CLOSE_WINDOW", {CurrentTime, kSourcePager});
    ASSERT_TRUE(app.process().waitForFinished(10000)) << "quorbell kept running with no window and no icon";
    EXPECT_EQ(app.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.process().exitCode(), 0);
}

TEST_F(NoTrayShell, ASecondLaunchBringsTheWindowAsTheUserLeftItToTheCurrentWorkspace)
{
    x.request(main, "_NET_WM_STATE",
              {kAdd, static_cast<long>(x.atom("_NET_WM_STATE_MAXIMIZED_VERT")),
               static_cast<long>(x.atom("_NET_WM_STATE_MAXIMIZED_HORZ")), kSourcePager});
    ASSERT_TRUE(QTest::qWaitFor([&] { return x.isMaximised(main); }, kWaitMs));

    // Brought forward, the window is still maximised: the window manager handles the app's requests in order,
    // so a restore to the normal size would show by the time the activation does.
    QWidget other;
    focusElsewhere(other);
    EXPECT_EQ(app.launchAgain(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return x.activeWindow() == main; }, kWaitMs))
        << "the running quorbell did not come forward";
    EXPECT_TRUE(x.isMaximised(main)) << "bringing the window restored it to its normal size";

    // On another workspace, out of the user's sight.
    x.request(main, "_NET_WM_DESKTOP", {1, kSourcePager});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return x.cardinal(main, "_NET_WM_DESKTOP") == 1u && !x.isViewable(main); }, kWaitMs));
    ASSERT_EQ(x.cardinal(x.root(), "_NET_CURRENT_DESKTOP"), 0u);
    focusElsewhere(other);
    EXPECT_EQ(app.launchAgain(), 0);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return x.activeWindow() == main && x.isViewable(main) &&
                   x.cardinal(main, "_NET_WM_DESKTOP") == x.cardinal(x.root(), "_NET_CURRENT_DESKTOP");
        },
        kWaitMs))
        << "the window stayed on workspace " << x.cardinal(main, "_NET_WM_DESKTOP").value_or(-1)
        << " while the user is on " << x.cardinal(x.root(), "_NET_CURRENT_DESKTOP").value_or(-1);
    EXPECT_TRUE(x.isMaximised(main));
}
