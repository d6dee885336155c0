// The real quorbell binary living in a tray under openbox, as a panel user has it: the icon's menu opened
// with the main window closed, and the panel going away and coming back. What is on the screen is read from
// the X server (mapped windows, their parents), and the clicks are real pointer clicks through XTest.
#include "AppProcess.h"
#include "WindowManager.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

// Xlib last: its macros collide with Qt's names.
#include "XWindows.h"

// For the failure messages.
void PrintTo(const QRect& rect, std::ostream* out)
{
    *out << rect.width() << "x" << rect.height() << "+" << rect.x() << "+" << rect.y();
}

namespace {

constexpr int kWaitMs = 30000;
constexpr long kSourcePager = 2;
const QString kMainTitle = QStringLiteral("Quorbell");

class Desktop : public XWindows {
public:
    // The process's mapped windows anywhere in the tree (inside the window manager's frames, the tray's
    // socket), with what tells them apart.
    struct Mapped {
        Window id = 0;
        bool embeddable = false; // icon-sized, inside another client's window: the tray icon
        bool popup = false;      // a top-level the window manager leaves alone: the menu
    };
    std::vector<Mapped> windowsOf(qint64 processId)
    {
        std::vector<Mapped> found;
        collect(root(), processId, found);
        return found;
    }
    Window trayIcon(qint64 processId)
    {
        return first(processId, [](const Mapped& w) { return w.embeddable; });
    }
    Window menu(qint64 processId)
    {
        return first(processId, [](const Mapped& w) { return w.popup; });
    }
    Window mainWindow(qint64 processId)
    {
        return first(processId, [this](const Mapped& w) {
            return !w.embeddable && !w.popup && titleOf(w.id) == kMainTitle;
        });
    }
    // Where the window's centre is on the screen, once it has stopped moving (the tray lays out its icons
    // again after each change).
    QPoint settledCentreOf(Window window)
    {
        QPoint last(-1, -1);
        QPoint now = centreOf(window);
        for (int i = 0; i < 50 && now != last; ++i) {
            QTest::qWait(100);
            last = now;
            now = centreOf(window);
        }
        return now;
    }
    // Where the window is on the screen and its size, as the X server has them.
    QRect rectOf(Window window)
    {
        XWindowAttributes attributes{};
        int x = 0;
        int y = 0;
        Window child = 0;
        if (!XGetWindowAttributes(display(), window, &attributes))
            return {};
        XTranslateCoordinates(display(), window, root(), 0, 0, &x, &y, &child);
        return {x, y, attributes.width, attributes.height};
    }
    QPoint centreOf(Window window)
    {
        const QRect rect = rectOf(window);
        return rect.topLeft() + QPoint(rect.width() / 2, rect.height() / 2);
    }
    void click(QPoint at, unsigned button)
    {
        // A press soon after the last one is the second half of a double click to Qt, which a tray icon does
        // not take as a click: as a user's clicks are, this one is the first of its own.
        if (m_lastClick.isValid() && m_lastClick.elapsed() < kDoubleClickMs)
            QTest::qWait(static_cast<int>(kDoubleClickMs - m_lastClick.elapsed()));
        m_lastClick.start();
        XTestFakeMotionEvent(display(), -1, at.x(), at.y(), 0);
        XTestFakeButtonEvent(display(), button, 1, 0);
        XTestFakeButtonEvent(display(), button, 0, 0);
        XSync(display(), 0);
    }

private:
    // Qt's double-click interval, with room to spare.
    static constexpr qint64 kDoubleClickMs = 1000;
    QElapsedTimer m_lastClick;

    template <typename Test> Window first(qint64 processId, Test test)
    {
        for (const Mapped& window : windowsOf(processId)) {
            if (test(window))
                return window.id;
        }
        return 0;
    }
    void collect(Window parent, qint64 processId, std::vector<Mapped>& found)
    {
        Window rootWindow = 0;
        Window parentWindow = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display(), parent, &rootWindow, &parentWindow, &children, &count))
            return;
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attributes{};
            if (!XGetWindowAttributes(display(), children[i], &attributes) ||
                attributes.map_state != IsViewable)
                continue;
            if (cardinal(children[i], "_NET_WM_PID") == static_cast<unsigned long>(processId))
                found.push_back({children[i], parent != root() && attributes.height <= 48,
                                 parent == root() && attributes.override_redirect});
            collect(children[i], processId, found);
        }
        if (children)
            XFree(children);
    }
};

// trayer docked at the top right; it can be killed as a crashing panel goes, and started again.
class Tray {
public:
    bool start()
    {
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->start(QStringLiteral("trayer"),
                         {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                          QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request"),
                          QStringLiteral("--height"), QStringLiteral("24"), QStringLiteral("--transparent"),
                          QStringLiteral("false")});
        return m_process->waitForStarted(kWaitMs) &&
               QTest::qWaitFor([this] { return m_desktop.hasTray(); }, kWaitMs);
    }
    bool kill()
    {
        m_process->kill();
        return m_process->waitForFinished(kWaitMs) &&
               QTest::qWaitFor([this] { return !m_desktop.hasTray(); }, kWaitMs);
    }
    ~Tray()
    {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(kWaitMs);
        }
    }

private:
    std::unique_ptr<QProcess> m_process;
    XWindows m_desktop;
};

class TrayProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_windowManager = new WindowManager; }
    static void TearDownTestSuite() { delete s_windowManager; }

    void SetUp() override
    {
        ASSERT_TRUE(x.isOpen()) << "no X display";
        ASSERT_TRUE(QTest::qWaitFor([&] { return x.hasWindowManager(); }, kWaitMs))
            << "openbox did not come up";
        ASSERT_TRUE(tray.start()) << "trayer did not provide a system tray";
        app.markFirstRunDone();
        ASSERT_TRUE(app.start());
        ASSERT_TRUE(waitForIcon()) << "the icon did not dock in the tray" << describe();
        EXPECT_EQ(x.mainWindow(app.processId()), 0UL) << "with a tray the window waits to be asked for";
    }

    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "--- quorbell's log ---\n%s\n", app.log().constData());
    }

    std::string describe()
    {
        std::string text;
        for (const Desktop::Mapped& w : x.windowsOf(app.processId()))
            text += "\n" + std::to_string(w.id) + " " + x.titleOf(w.id).toStdString() +
                    (w.embeddable ? " icon" : "") + (w.popup ? " popup" : "");
        return text;
    }
    bool waitForIcon()
    {
        return QTest::qWaitFor([&] { return x.trayIcon(app.processId()) != 0 || !app.isRunning(); },
                               AppProcess::kStartMs) &&
               app.isRunning();
    }
    Window waitForMainWindow()
    {
        Window main = 0;
        (void)QTest::qWaitFor([&] { return (main = x.mainWindow(app.processId())) != 0; }, kWaitMs);
        return main;
    }
    // A click on the icon, tried again when the tray moved the icon away under it; true once `done` holds.
    // A click that landed on the icon is waited for however slowly a busy machine answers it: clicking
    // again would undo what the first click is still doing.
    template <typename Done> bool clickIcon(unsigned button, Done done)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const Window icon = x.trayIcon(app.processId());
            if (!icon)
                return false;
            const QPoint at = x.settledCentreOf(icon);
            x.click(at, button);
            (void)QTest::qWaitFor(
                [&] { return done() || x.trayIcon(app.processId()) != icon || x.centreOf(icon) != at; },
                kWaitMs);
            if (done())
                return true;
        }
        return false;
    }
    void closeWindow(Window window) { x.request(window, "_NET_CLOSE_WINDOW", {CurrentTime, kSourcePager}); }

    static WindowManager* s_windowManager;
    Desktop x;
    Tray tray;
    AppProcess app;
};

WindowManager* TrayProcess::s_windowManager = nullptr;

} // namespace

TEST_F(TrayProcess, TheMenuStaysOpenWhileTheStateChanges)
{
    // The everyday state: the window was opened from the icon and closed into the tray.
    Window main = 0;
    ASSERT_TRUE(clickIcon(1, [&] { return (main = x.mainWindow(app.processId())) != 0; }))
        << "a click on the icon did not bring the window";
    closeWindow(main);
    ASSERT_TRUE(QTest::qWaitFor([&] { return x.mainWindow(app.processId()) == 0; }, kWaitMs));

    Window menu = 0;
    ASSERT_TRUE(clickIcon(3, [&] { return (menu = x.menu(app.processId())) != 0; }))
        << "a right click on the icon did not open the menu";

    // The permission check runs every 2.2 s and changes the state each time; the menu stays for the user.
    QElapsedTimer open;
    open.start();
    while (open.elapsed() < 5000) {
        QTest::qWait(50);
        ASSERT_EQ(x.menu(app.processId()), menu)
            << "the menu closed by itself after " << open.elapsed() << " ms";
    }
    ASSERT_TRUE(x.isViewable(menu));
}

TEST_F(TrayProcess, WithoutATrayTheWindowComesBackAndClosingItQuits)
{
    // The panel goes away: the window comes back, as after a start without a tray.
    ASSERT_TRUE(tray.kill());
    Window main = waitForMainWindow();
    ASSERT_NE(main, 0UL) << "the tray went away and left no window";

    // A tray again: the icon docks, and closing the window keeps the application in the tray.
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(waitForIcon()) << "the icon did not dock in the new tray";
    closeWindow(main);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return x.mainWindow(app.processId()) == 0 || !app.isRunning(); }, kWaitMs));
    ASSERT_TRUE(app.isRunning()) << "closing the window quit although the icon sits in a tray";
    ASSERT_TRUE(clickIcon(1, [&] { return (main = x.mainWindow(app.processId())) != 0; }))
        << "a click on the docked icon did not bring the window";

    // The panel goes once more: closing the window now quits.
    ASSERT_TRUE(tray.kill());
    ASSERT_TRUE(QTest::qWaitFor([&] { return x.isViewable(main); }, kWaitMs));
    closeWindow(main);
    ASSERT_TRUE(app.process().waitForFinished(kWaitMs)) << "quorbell kept running with no window and no icon";
    EXPECT_EQ(app.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.process().exitCode(), 0);
}

TEST_F(TrayProcess, TheWindowComesBackFromTheTrayWhereTheUserLeftItAtTheirSize)
{
    Window main = 0;
    ASSERT_TRUE(clickIcon(1, [&] { return (main = x.mainWindow(app.processId())) != 0; }))
        << "a click on the icon did not bring the window";
    ASSERT_TRUE(QTest::qWaitFor([&] { return x.activeWindow() == main; }, kWaitMs));
    const QRect placed = x.rectOf(main);

    // The user moves it and makes it larger, through the window manager as a pager or a drag does.
    const QRect moved(placed.x() > 200 ? 40 : 300, placed.y() > 150 ? 60 : 160, placed.width() + 80,
                      placed.height() + 40);
    constexpr long kPosition = 1L << 8, kSize = 3L << 10, kFromUser = kSourcePager << 12;
    x.request(
        main, "_NET_MOVERESIZE_WINDOW",
        {kPosition | (1L << 9) | kSize | kFromUser, moved.x(), moved.y(), moved.width(), moved.height()});
    QRect before;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            before = x.rectOf(main);
            return before.size() == moved.size() && before.topLeft() != placed.topLeft();
        },
        kWaitMs))
        << "openbox did not move the window";

    // Closed into the tray and opened again from the icon.
    closeWindow(main);
    ASSERT_TRUE(QTest::qWaitFor([&] { return x.mainWindow(app.processId()) == 0; }, kWaitMs));
    ASSERT_TRUE(clickIcon(1, [&] { return (main = x.mainWindow(app.processId())) != 0; }))
        << "a click on the icon did not bring the window back";
    // Placed once it is active: the window manager has handled the map and everything before it.
    ASSERT_TRUE(QTest::qWaitFor([&] { return x.activeWindow() == main; }, kWaitMs));
    EXPECT_EQ(x.rectOf(main), before) << "the window came back elsewhere or at another size";
}
