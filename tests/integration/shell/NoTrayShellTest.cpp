// The shell on a desktop without a tray, as stock GNOME on X11 or a bare window manager has it: the real
// quorbell binary with the default settings under openbox, a window manager with workspaces and maximised
// windows. What happens is read from the window manager's EWMH properties, as a pager would see it.
#include "AppProcess.h"
#include "WindowManager.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <vector>

// Xlib last: its macros collide with Qt's names.
#include "XWindows.h"

namespace {

// Bounds for what must happen; generous, so a loaded machine or a sanitizer build is no failure.
constexpr int kWaitMs = 30000;
constexpr long kAdd = 1;               // _NET_WM_STATE action
constexpr long kSourceApplication = 1; // EWMH source indications: an application's own request,
constexpr long kSourcePager = 2;       // or one on the user's behalf

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
        s_windowManager = new WindowManager({QStringLiteral("--config-file"), rc.fileName()});
    }
    static void TearDownTestSuite()
    {
        // A terminated openbox takes its properties off the root window: later tests see a bare display.
        delete s_windowManager;
        delete s_config;
    }

    void SetUp() override
    {
        ASSERT_TRUE(x.isOpen()) << "no X display";
        ASSERT_TRUE(QTest::qWaitFor([&] { return x.hasWindowManager(); }, kWaitMs))
            << "openbox did not come up: " << s_windowManager->describe();
        ASSERT_FALSE(x.hasTray()) << "a tray is left on the test display";
        app.markFirstRunDone();
        ASSERT_TRUE(app.start());
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                main = x.clientOf(app.processId(), QStringLiteral("Quorbell"));
                return (main && x.isViewable(main)) || !app.isRunning();
            },
            AppProcess::kStartMs));
        ASSERT_TRUE(app.isRunning()) << "quorbell ended early";
        // The start's activation has landed, so none of it can arrive after a test has moved the window on.
        ASSERT_TRUE(QTest::qWaitFor([&] { return x.activeWindow() == main; }, kWaitMs))
            << "the window was not activated at start";
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
        // The window manager passes over a request for a window it does not manage yet, and the map request
        // may still sit in Qt's buffer when ours arrives: ask once the window is on the screen.
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&other, kWaitMs));
        other.activateWindow();
        x.request(other.winId(), "_NET_ACTIVE_WINDOW", {kSourcePager, CurrentTime, 0});
        ASSERT_TRUE(QTest::qWaitFor([&] { return x.activeWindow() == other.winId(); }, kWaitMs));
    }

    static QTemporaryDir* s_config;
    static WindowManager* s_windowManager;
    XWindows x;
    AppProcess app;
    Window main = 0;
};

QTemporaryDir* NoTrayShell::s_config = nullptr;
WindowManager* NoTrayShell::s_windowManager = nullptr;

} // namespace

TEST_F(NoTrayShell, ClosingTheMainWindowQuits)
{
    // The first-run default keeps the window off the taskbar; the close still has to end the process.
    x.request(main, "_NET_CLOSE_WINDOW", {CurrentTime, kSourcePager});
    ASSERT_TRUE(app.process().waitForFinished(kWaitMs)) << "quorbell kept running with no window and no icon";
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
    // Active only through the window manager's request, which follows the move to the user's workspace:
    // once active, nothing of this launch is still on its way.
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

namespace {

// The display server's time now, from the notification of an empty change to a property of `window`, which
// selects property changes.
unsigned long serverTime(XWindows& x, Window window)
{
    XChangeProperty(x.display(), window, x.atom("_QB_TEST_TIME"), XA_CARDINAL, 32, PropModeAppend, nullptr,
                    0);
    XSync(x.display(), False);
    XEvent event{};
    return XCheckTypedWindowEvent(x.display(), window, PropertyNotify, &event) ? event.xproperty.time : 0;
}

} // namespace

TEST_F(NoTrayShell, ASecondLaunchAsksForTheWindowWithTheTimeOfTheLaunch)
{
    // The launcher's time of the user's click, which it hands the program in its startup notification id.
    // A window manager that guards the focus refuses a request older than the user's later input elsewhere;
    // without the time (or as a pager) a late request takes the focus from wherever the user went since.
    const Window clock = XCreateSimpleWindow(x.display(), x.root(), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(x.display(), clock, PropertyChangeMask);
    const unsigned long launchedAt = serverTime(x, clock);
    ASSERT_NE(launchedAt, 0u);
    QWidget other;
    focusElsewhere(other);

    // Requests to the window manager, as a second client of the root window sees them.
    XWindows watcher;
    XSelectInput(watcher.display(), watcher.root(), SubstructureNotifyMask);
    XSync(watcher.display(), False);
    EXPECT_EQ(app.launchAgain(QStringLiteral("qb-test-launcher-1_TIME%1").arg(launchedAt)), 0);
    // The first launch's own activation of its window may still be on its way on a busy machine: it carries
    // the time of that launch, earlier than ours, and is passed over.
    std::optional<XClientMessageEvent> request;
    std::vector<unsigned long> earlier;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            XEvent event{};
            while (!request && XPending(watcher.display()) > 0) {
                XNextEvent(watcher.display(), &event);
                if (event.type != ClientMessage || event.xclient.window != main ||
                    event.xclient.message_type != watcher.atom("_NET_ACTIVE_WINDOW"))
                    continue;
                const auto time = static_cast<unsigned long>(event.xclient.data.l[1]);
                if (time != 0 && time < launchedAt)
                    earlier.push_back(time);
                else
                    request = event.xclient;
            }
            return request.has_value();
        },
        kWaitMs))
        << "quorbell asked the window manager for no activation after the second launch (" << earlier.size()
        << " older requests)";
    EXPECT_EQ(static_cast<unsigned long>(request->data.l[1]), launchedAt)
        << "the activation does not carry the time of the launch that asked for it";
    EXPECT_EQ(request->data.l[0], kSourceApplication) << "a pager's request is not judged by its time";
    ASSERT_TRUE(QTest::qWaitFor([&] { return x.activeWindow() == main; }, kWaitMs))
        << "the running quorbell did not come forward";
    XDestroyWindow(x.display(), clock);
    XSync(x.display(), False);
}
