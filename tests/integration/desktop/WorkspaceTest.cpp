#include "TargetProcess.h"
#include "platform/linux/EwmhWorkspace.h"
#include "util/AppIdentity.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include "platform/linux/XlibIncludes.h"

namespace {

constexpr int kWaitMs = 5000;

// Plays the window manager's part: publishes the active window on the root window, or withdraws it.
class ActiveWindowProperty {
public:
    ActiveWindowProperty() : m_display(XOpenDisplay(nullptr)) {}
    ~ActiveWindowProperty()
    {
        XDeleteProperty(m_display, DefaultRootWindow(m_display), atom());
        XSync(m_display, False);
        XCloseDisplay(m_display);
    }
    void set(unsigned long window)
    {
        const long value = static_cast<long>(window);
        XChangeProperty(m_display, DefaultRootWindow(m_display), atom(), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&value), 1);
        XSync(m_display, False);
    }
    // The top-level window whose _NET_WM_PID is `pid`.
    unsigned long windowOf(qint64 pid)
    {
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        XQueryTree(m_display, DefaultRootWindow(m_display), &root, &parent, &children, &count);
        unsigned long found = 0;
        const Atom pidAtom = XInternAtom(m_display, "_NET_WM_PID", False);
        for (unsigned int i = 0; i < count && !found; ++i) {
            Atom type = 0;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(m_display, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                                   &items, &after, &data) == Success &&
                data && items == 1 && static_cast<qint64>(*reinterpret_cast<unsigned long*>(data)) == pid)
                found = children[i];
            if (data)
                XFree(data);
        }
        if (children)
            XFree(children);
        return found;
    }

private:
    Atom atom() { return XInternAtom(m_display, "_NET_ACTIVE_WINDOW", False); }
    ::Display* m_display;
};

} // namespace

TEST(EwmhWorkspace, NamesTheFocusedApplicationAndOurOwnWindow)
{
    // The desktop file that names the first target.
    QTemporaryDir dataHome;
    ASSERT_TRUE(QDir(dataHome.path()).mkpath(QStringLiteral("applications")));
    QFile desktopFile(dataHome.filePath(QStringLiteral("applications/org.example.TestTarget.desktop")));
    ASSERT_TRUE(desktopFile.open(QIODevice::WriteOnly));
    desktopFile.write("[Desktop Entry]\nType=Application\nName[xx]=Other\nName=Test\\sTarget 测试\n"
                      "[Desktop Action New]\nName=Not this one\n");
    desktopFile.close();
    const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));

    EwmhWorkspace workspace;
    {
        TargetProcess target({QStringLiteral("lineedit"), QStringLiteral("--gtk-application-id"),
                              QStringLiteral("org.example.TestTarget"), QStringLiteral("--title"),
                              QStringLiteral("写邮件 — Mail")});
        ASSERT_TRUE(target.start());
        // No window manager here: the focused window is the frontmost one.
        const std::optional<FrontmostApplication> front = workspace.frontmostApplication();
        ASSERT_TRUE(front.has_value());
        EXPECT_EQ(front->processId, target.processId());
        EXPECT_EQ(front->bundleIdentifier, QStringLiteral("org.example.TestTarget"));
        EXPECT_EQ(front->windowTitle, QStringLiteral("写邮件 — Mail"));
        EXPECT_EQ(front->name, QStringLiteral("Test Target 测试"));
    }
    {
        TargetProcess target({QStringLiteral("lineedit"), QStringLiteral("--kde-desktop-file"),
                              QStringLiteral("org.example.Other.desktop")});
        ASSERT_TRUE(target.start());
        const std::optional<FrontmostApplication> front = workspace.frontmostApplication();
        ASSERT_TRUE(front.has_value());
        EXPECT_EQ(front->bundleIdentifier, QStringLiteral("org.example.Other"));
        EXPECT_EQ(front->name, QStringLiteral("qb-desktop-target")) << "no desktop file: the window class";
    }
    qputenv("XDG_DATA_HOME", savedDataHome);
    {
        TargetProcess target({QStringLiteral("lineedit")});
        ASSERT_TRUE(target.start());
        const std::optional<FrontmostApplication> front = workspace.frontmostApplication();
        ASSERT_TRUE(front.has_value());
        EXPECT_EQ(front->bundleIdentifier, QStringLiteral("qb-desktop-target")) << "WM_CLASS class";
        EXPECT_EQ(front->name, QStringLiteral("qb-desktop-target"));
    }

    QLineEdit ownWindow;
    ownWindow.show();
    ownWindow.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&ownWindow, kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto front = workspace.frontmostApplication();
            return front && front->processId == QCoreApplication::applicationPid();
        },
        kWaitMs));
    EXPECT_EQ(workspace.frontmostApplication()->bundleIdentifier, AppIdentity::bundleIdentifier());
}

TEST(EwmhWorkspace, FollowsTheWindowManagersActiveWindow)
{
    EwmhWorkspace workspace;
    QList<FrontmostApplication> activations;
    workspace.setActivationHandler(
        [&](const FrontmostApplication& application) { activations.append(application); });

    TargetProcess first({QStringLiteral("lineedit"), QStringLiteral("--title"), QStringLiteral("first")});
    ASSERT_TRUE(first.start());
    TargetProcess second({QStringLiteral("lineedit"), QStringLiteral("--title"), QStringLiteral("second")});
    ASSERT_TRUE(second.start());

    ActiveWindowProperty windowManager;
    const unsigned long firstWindow = windowManager.windowOf(first.processId());
    ASSERT_NE(firstWindow, 0u);
    windowManager.set(firstWindow);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !activations.isEmpty(); }, kWaitMs));
    EXPECT_EQ(activations.last().windowTitle, QStringLiteral("first"));
    EXPECT_EQ(activations.last().processId, first.processId());
    // The property wins over the input focus, which the second target holds.
    EXPECT_EQ(workspace.frontmostApplication()->windowTitle, QStringLiteral("first"));

    windowManager.set(firstWindow); // the same window again is no activation
    windowManager.set(windowManager.windowOf(second.processId()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return activations.size() >= 2; }, kWaitMs));
    EXPECT_EQ(activations.size(), 2);
    EXPECT_EQ(activations.last().windowTitle, QStringLiteral("second"));

    windowManager.set(0);
    EXPECT_FALSE(workspace.frontmostApplication().has_value()) << "the desktop itself is active";
    windowManager.set(firstWindow);
    ASSERT_TRUE(QTest::qWaitFor([&] { return activations.size() >= 3; }, kWaitMs));
    EXPECT_EQ(activations.last().windowTitle, QStringLiteral("first"));
}

TEST(EwmhWorkspace, RunsProgramsWithATimeLimit)
{
    EwmhWorkspace workspace;
    const ProcessResult exited = workspace.runProcess(
        QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 7")}, std::chrono::seconds(5));
    EXPECT_TRUE(exited.status.ok) << exited.status.error.toStdString();
    EXPECT_EQ(exited.exitCode, 7);

    // Arguments reach the program as given, with no shell in between.
    const ProcessResult literal =
        workspace.runProcess(QStringLiteral("/bin/sh"),
                             {QStringLiteral("-c"), QStringLiteral("[ \"$1\" = 'a b;$(x)' ]"),
                              QStringLiteral("sh"), QStringLiteral("a b;$(x)")},
                             std::chrono::seconds(5));
    EXPECT_EQ(literal.exitCode, 0);

    const ProcessResult hung = workspace.runProcess(QStringLiteral("/bin/sleep"), {QStringLiteral("30")},
                                                    std::chrono::milliseconds(100));
    EXPECT_FALSE(hung.status.ok);

    const ProcessResult missing =
        workspace.runProcess(QStringLiteral("/nonexistent/program"), {}, std::chrono::seconds(5));
    EXPECT_FALSE(missing.status.ok);
    EXPECT_FALSE(missing.status.error.isEmpty());

    EXPECT_FALSE(workspace.openUrl(QUrl()).ok);
}
