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

constexpr int kWaitMs = 30000;

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

    const struct {
        const char *option, *value; // how the window names its desktop file, if at all
        const char *bundleIdentifier, *name;
    } cases[] = {
        {"--gtk-application-id", "org.example.TestTarget", "org.example.TestTarget", "Test Target 测试"},
        {"--kde-desktop-file", "org.example.Other.desktop", "org.example.Other", "qb-desktop-target"},
        {"--title", "写邮件 — Mail", "qb-desktop-target", "qb-desktop-target"}, // the window class, twice
    };
    EwmhWorkspace workspace;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        TargetProcess target({QStringLiteral("lineedit"), QString::fromUtf8(c.option),
                              QString::fromUtf8(c.value), QStringLiteral("--title"),
                              QStringLiteral("写邮件 — Mail")});
        ASSERT_TRUE(target.start());
        // No window manager here: the focused window is the frontmost one.
        const std::optional<FrontmostApplication> front = workspace.frontmostApplication();
        ASSERT_TRUE(front.has_value());
        EXPECT_EQ(front->processId, target.processId());
        EXPECT_EQ(front->bundleIdentifier, QString::fromUtf8(c.bundleIdentifier));
        EXPECT_EQ(front->name, QString::fromUtf8(c.name));
        EXPECT_EQ(front->windowTitle, QStringLiteral("写邮件 — Mail"));
    }
    qputenv("XDG_DATA_HOME", savedDataHome);

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
    const unsigned long firstWindow = first.windowId();
    ASSERT_NE(firstWindow, 0u);
    windowManager.set(firstWindow);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !activations.isEmpty(); }, kWaitMs));
    EXPECT_EQ(activations.last().windowTitle, QStringLiteral("first"));
    // The property wins over the input focus, which the second target holds.
    EXPECT_EQ(workspace.frontmostApplication()->windowTitle, QStringLiteral("first"));

    windowManager.set(firstWindow); // the same window again is no activation
    windowManager.set(second.windowId());
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
    // Arguments reach the program as given, with no shell in between, and its exit code comes back.
    const ProcessResult exited =
        workspace.runProcess(QStringLiteral("/bin/sh"),
                             {QStringLiteral("-c"), QStringLiteral("[ \"$1\" = 'a b;$(x)' ] && exit 7"),
                              QStringLiteral("sh"), QStringLiteral("a b;$(x)")},
                             std::chrono::seconds(30));
    EXPECT_TRUE(exited.status.ok) << exited.status.error.toStdString();
    EXPECT_EQ(exited.exitCode, 7);

    const ProcessResult hung = workspace.runProcess(QStringLiteral("/bin/sleep"), {QStringLiteral("30")},
                                                    std::chrono::milliseconds(100));
    EXPECT_FALSE(hung.status.ok);

    const ProcessResult missing =
        workspace.runProcess(QStringLiteral("/nonexistent/program"), {}, std::chrono::seconds(5));
    EXPECT_FALSE(missing.status.ok);
    EXPECT_FALSE(missing.status.error.isEmpty());
}
