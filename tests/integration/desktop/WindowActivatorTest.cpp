#include "platform/linux/EwmhWindowActivator.h"

#include <QMouseEvent>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "platform/linux/XlibIncludes.h"

namespace {

constexpr int kWaitMs = 30000;

// A second client of the test display: the server's time, and real clicks through XTest.
class Display2 {
public:
    Display2() : m_display(XOpenDisplay(nullptr))
    {
        m_window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 1, 1, 0, 0, 0);
        XSelectInput(m_display, m_window, PropertyChangeMask);
    }
    ~Display2()
    {
        XDestroyWindow(m_display, m_window);
        XCloseDisplay(m_display);
    }

    // From the notification of an empty change to a property of our window.
    quint32 now()
    {
        XChangeProperty(m_display, m_window, XInternAtom(m_display, "_QB_TEST_TIME", False), XA_CARDINAL, 32,
                        PropModeAppend, nullptr, 0);
        XSync(m_display, False);
        XEvent event{};
        return XCheckTypedWindowEvent(m_display, m_window, PropertyNotify, &event)
                   ? static_cast<quint32>(event.xproperty.time)
                   : 0;
    }

    void click(QPoint at)
    {
        XTestFakeMotionEvent(m_display, -1, at.x(), at.y(), 0);
        XTestFakeButtonEvent(m_display, 1, True, 0);
        XTestFakeButtonEvent(m_display, 1, False, 0);
        XSync(m_display, False);
    }

private:
    ::Display* m_display;
    Window m_window = 0;
};

class ClickCounter final : public QWidget {
public:
    int releases = 0;

protected:
    void mouseReleaseEvent(QMouseEvent*) override { ++releases; }
};

} // namespace

TEST(EwmhWindowActivator, TimesTheLaunchAndTheUsersClicksOnOurWindows)
{
    Display2 x;
    EXPECT_EQ(EwmhWindowActivator::launchTime("launcher-42-host-quorbell-0_TIME987654"), 987654u)
        << "the time the launcher gave in the startup notification id";
    // Without a launcher's time, the server's time at the launch.
    const quint32 beforeLaunch = x.now();
    const quint32 launchedAt = EwmhWindowActivator::launchTime({});
    EXPECT_GE(launchedAt, beforeLaunch);
    EXPECT_LE(launchedAt, x.now());

    EwmhWindowActivator activator({}, launchedAt);
    EXPECT_EQ(activator.latestUserTime(), launchedAt) << "before any input, the launch is the latest request";

    ClickCounter window;
    window.setGeometry(40, 40, 200, 120);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kWaitMs));
    // The server's clock has moved on from the launch, so the click cannot pass for it.
    ASSERT_TRUE(QTest::qWaitFor([&] { return x.now() != launchedAt; }, kWaitMs));
    const quint32 beforeClick = x.now();
    x.click(window.mapToGlobal(window.rect().center()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.releases == 1; }, kWaitMs)) << "the click did not arrive";
    const quint32 afterClick = x.now();
    EXPECT_GE(activator.latestUserTime(), beforeClick) << "the click's time, not the launch's";
    EXPECT_LE(activator.latestUserTime(), afterClick);

    // With no window manager on the display nobody takes the request: the caller activates the window.
    const WindowActivator::Outcome outcome = activator.bringToUser(window.winId(), afterClick);
    EXPECT_TRUE(outcome.status) << outcome.status.error.toStdString();
    EXPECT_FALSE(outcome.activationRequested);
}
