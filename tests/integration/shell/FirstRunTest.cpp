// The first run as a new user meets it: the real quorbell binary, started with empty data on a private X
// server that has a tray, brings its main window with the first-run wizard on top. What is on the screen is
// read from the X server (titles, transient parent, stacking), not from the app; a picture of the screen is
// saved as screenshots/first-run.png for a look by eye.
#include "AppProcess.h"
#include "ScreenPixels.h"
#include "TrayHost.h"
#include "WindowManager.h"
#include "ui/theme/QBTheme.h"

#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QSettings>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <vector>

// Xlib last: its macros collide with Qt's names.
#include "XWindows.h"

namespace {

const QString kMainTitle = QStringLiteral("Quorbell");
const QString kSheetTitle = QStringLiteral("欢迎使用 Quorbell");

// A top-level window as the X server has it.
struct TopLevel {
    Window id = 0;
    QString title;
    Window transientFor = 0;
    QRect geometry;
    int stacking = -1; // place in the root's stacking order, bottom first
};

// The mapped top-level windows of one process, read through a connection of the test's own.
class WindowsOf : public XWindows {
public:
    std::vector<TopLevel> mapped(qint64 processId)
    {
        std::vector<TopLevel> found;
        Window rootWindow = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display(), root(), &rootWindow, &parent, &children, &count))
            return found;
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attributes{};
            if (!XGetWindowAttributes(display(), children[i], &attributes) ||
                attributes.map_state != IsViewable)
                continue;
            if (cardinal(children[i], "_NET_WM_PID") != static_cast<unsigned long>(processId))
                continue;
            TopLevel window;
            window.id = children[i];
            window.title = titleOf(children[i]);
            XGetTransientForHint(display(), children[i], &window.transientFor);
            window.geometry = QRect(attributes.x, attributes.y, attributes.width, attributes.height);
            window.stacking = static_cast<int>(i);
            found.push_back(window);
        }
        if (children)
            XFree(children);
        return found;
    }
};

const TopLevel* titled(const std::vector<TopLevel>& windows, const QString& title)
{
    for (const TopLevel& window : windows) {
        if (window.title == title)
            return &window;
    }
    return nullptr;
}

// The wizard is drawn at `sheet` on the screen: its violet finish button at the bottom right, where the main
// window has nothing violet.
bool wizardDrawnAt(const QImage& screen, const QRect& sheet)
{
    const QRect finishArea(sheet.center().x(), sheet.bottom() - 80, sheet.width() / 2, 80);
    return pixelsNear(screen, finishArea, QBTheme::violet(), 12) > 500;
}

class FirstRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_tray = new TrayHost; }
    static void TearDownTestSuite()
    {
        delete s_tray;
        s_tray = nullptr;
    }

    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "--- quorbell's log ---\n%s\n", m_app.log().constData());
    }

    static TrayHost* s_tray;
    AppProcess m_app;
    WindowsOf m_windows;
};

TrayHost* FirstRun::s_tray = nullptr;

} // namespace

TEST_F(FirstRun, EmptyDataShowsTheMainWindowWithTheWizardOnTop)
{
    ASSERT_TRUE(m_windows.isOpen()) << "no X display";
    ASSERT_TRUE(s_tray->isUp()) << "trayer did not provide a system tray: " << s_tray->log().toStdString();
    ASSERT_TRUE(m_app.start());

    // With a tray the window would wait in it; the first run brings it, with the sheet over it.
    std::vector<TopLevel> windows;
    const bool both = QTest::qWaitFor(
        [&] {
            windows = m_windows.mapped(m_app.processId());
            return (titled(windows, kMainTitle) && titled(windows, kSheetTitle)) || !m_app.isRunning();
        },
        30000);
    ASSERT_TRUE(m_app.isRunning()) << "quorbell ended early";
    ASSERT_TRUE(both) << "mapped windows of quorbell: " << windows.size();
    const TopLevel main = *titled(windows, kMainTitle);
    const TopLevel sheet = *titled(windows, kSheetTitle);
    EXPECT_EQ(sheet.transientFor, main.id) << "the wizard belongs to the main window";
    EXPECT_GT(sheet.stacking, main.stacking) << "the wizard is on top of the main window";
    EXPECT_EQ(sheet.geometry.width(), 590);
    EXPECT_GE(main.geometry.width(), 960);
    EXPECT_GE(main.geometry.height(), 650);
    EXPECT_GT(sheet.geometry.height(), 400) << "the wizard's three steps are laid out";

    // The sheet is the first-run wizard of a first run: nothing has marked the first run done yet.
    QSettings defaults(m_app.settingsPath(), QSettings::IniFormat);
    EXPECT_FALSE(defaults.value(QStringLiteral("qb_onboarding_done_v1")).toBool());

    // The wizard is drawn there. A picture of the screen is kept.
    const QRect sheetRect = sheet.geometry;
    QImage screen;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
            return wizardDrawnAt(screen, sheetRect);
        },
        kWaitMs))
        << "the wizard is not drawn on the screen; sheet at " << sheetRect.x() << "," << sheetRect.y() << " "
        << sheetRect.width() << "x" << sheetRect.height();
    // And the main window around it: the sidebar's paper, left of the sheet.
    const QRect sidebarArea(main.geometry.x(), main.geometry.y() + 300,
                            std::max(0, sheetRect.x() - main.geometry.x()), 150);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
            return pixelsNear(screen, sidebarArea, QBTheme::sidebarBg(), 12) > sidebarArea.width() * 100;
        },
        kWaitMs))
        << "the main window is not drawn around the wizard";
    EXPECT_TRUE(screen.save(screenshotPath(QStringLiteral("first-run.png"))));
}

// A window manager stacks the windows it manages itself: there too the wizard stays over the window it blocks,
// and is drawn where it is.
TEST_F(FirstRun, UnderAWindowManagerTheWizardStaysOverTheMainWindow)
{
    ASSERT_TRUE(m_windows.isOpen()) << "no X display";
    WindowManager windowManager;
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_windows.hasWindowManager(); }, kWaitMs))
        << "openbox did not start: " << windowManager.describe();
    ASSERT_TRUE(m_app.start());
    Window main = 0;
    Window sheet = 0;
    const bool both = QTest::qWaitFor(
        [&] {
            main = m_windows.clientOf(m_app.processId(), kMainTitle);
            sheet = m_windows.clientOf(m_app.processId(), kSheetTitle);
            return (main && sheet) || !m_app.isRunning();
        },
        30000);
    ASSERT_TRUE(m_app.isRunning()) << "quorbell ended early";
    ASSERT_TRUE(both) << "the window manager does not manage both windows";

    // Bottom first, as the window manager stacks its clients.
    const auto sheetOnTop = [&] {
        const std::vector<unsigned long> order =
            m_windows.longs(m_windows.root(), "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
        const auto sheetAt = std::find(order.begin(), order.end(), sheet);
        return sheetAt != order.end() && std::find(order.begin(), sheetAt, main) != sheetAt;
    };
    const auto sheetRect = [&] {
        XWindowAttributes attributes{};
        int x = 0;
        int y = 0;
        Window child = 0;
        if (!XGetWindowAttributes(m_windows.display(), sheet, &attributes) ||
            !XTranslateCoordinates(m_windows.display(), sheet, m_windows.root(), 0, 0, &x, &y, &child))
            return QRect();
        return QRect(x, y, attributes.width, attributes.height);
    };
    // The app raises and activates its window once it is up: wait until the wizard is on top and drawn.
    QImage screen;
    QRect rect;
    const bool onTop = QTest::qWaitFor(
        [&] {
            rect = sheetRect();
            screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
            return sheetOnTop() && wizardDrawnAt(screen, rect);
        },
        kWaitMs);
    EXPECT_TRUE(screen.save(screenshotPath(QStringLiteral("first-run-window-manager.png"))));
    ASSERT_TRUE(onTop) << (sheetOnTop() ? "the wizard is not drawn at " : "the wizard is under the main window, at ")
                       << rect.x() << "," << rect.y() << " " << rect.width() << "x" << rect.height();
}
