#include "ScreenPixels.h"
#include "TrayHost.h"
#include "app/MenuBarMenu.h"
#include "app/QuorbellApp.h"
#include "app/SingleInstance.h"
#include "core/AppStateHarness.h"
#include "lexicon/PersonalLexiconStore.h"

#include <QApplication>
#include <QDir>
#include <QGlyphRun>
#include <QMenu>
#include <QProcess>
#include <QRawFont>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextLayout>
#include <QWidget>
#include <gtest/gtest.h>

#include "platform/linux/XlibIncludes.h"

using namespace std::chrono_literals;

namespace {

const QColor kMarkColour(0x3a, 0x3a, 0x3c); // the tray mark's grey
const QString kManualItem = QStringLiteral("手动开始/结束试音");
const QString kOpenItem = QStringLiteral("打开 Quorbell 主界面");

// A second client of the test display: real pointer clicks through XTest, and window facts (position, parent,
// stacking) as the X server knows them rather than as Qt believes them.
class XClient {
public:
    XClient() : m_display(XOpenDisplay(nullptr)) {}
    ~XClient()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    bool isOpen() const { return m_display != nullptr; }

    void click(QPoint at, unsigned button)
    {
        XTestFakeMotionEvent(m_display, -1, at.x(), at.y(), 0);
        XTestFakeButtonEvent(m_display, button, 1, 0);
        XTestFakeButtonEvent(m_display, button, 0, 0);
        XSync(m_display, 0);
    }
    QRect globalRect(WId window)
    {
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(m_display, window, &attributes))
            return {};
        int x = 0;
        int y = 0;
        Window child = 0;
        XTranslateCoordinates(m_display, window, DefaultRootWindow(m_display), 0, 0, &x, &y, &child);
        return {x, y, attributes.width, attributes.height};
    }
    Window root() const { return DefaultRootWindow(m_display); }
    // The window's children, bottom of the stacking order first, and its parent.
    std::vector<Window> children(WId window, Window* parent = nullptr)
    {
        Window rootWindow = 0;
        Window parentWindow = 0;
        Window* list = nullptr;
        unsigned count = 0;
        if (!XQueryTree(m_display, window, &rootWindow, &parentWindow, &list, &count))
            return {};
        std::vector<Window> result(list, list + count);
        if (list)
            XFree(list);
        if (parent)
            *parent = parentWindow;
        return result;
    }
    Window parentOf(WId window)
    {
        Window parent = 0;
        children(window, &parent);
        return parent;
    }
    // Position of a top-level window in the root's stacking order; -1 when not there.
    int stackingIndex(WId window)
    {
        const std::vector<Window> all = children(root());
        const auto it = std::find(all.begin(), all.end(), window);
        return it == all.end() ? -1 : static_cast<int>(it - all.begin());
    }

private:
    Display* m_display;
};

QAction* actionTitled(const QMenu& menu, const QString& title)
{
    for (QAction* action : menu.actions()) {
        if (action->text() == title)
            return action;
    }
    return nullptr;
}

// Whether the font has a glyph for every character of the text, falling back as Qt does.
bool drawsEveryCharacter(const QFont& font, const QString& text)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    return std::none_of(runs.begin(), runs.end(),
                        [](const QGlyphRun& run) { return run.glyphIndexes().contains(0); });
}

class TrayShell : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_tray = new TrayHost; }
    static void TearDownTestSuite()
    {
        delete s_tray;
        s_tray = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(x.isOpen()) << "no X display";
        ASSERT_TRUE(s_tray->isUp()) << "trayer did not provide a system tray: "
                                    << s_tray->log().toStdString();
        // Polishing stays local (verbatim style) and the focused field is a fake: nothing leaves the machine.
        h.writeLocalConfig({{QStringLiteral("formattingStyle"), QStringLiteral("verbatimLocal")},
                            {QStringLiteral("enableAutoMuteDuringDictation"), false},
                            {QStringLiteral("enableAutoLearn"), false}});
        h.workspace.setFrontmost(FrontmostApplication{QStringLiteral("Kate"), QStringLiteral("org.kde.kate"),
                                                      4242, QStringLiteral("notes.md — Kate")});
        FakeAccessibility::Target target;
        target.processId = 4242;
        target.element = FocusedElement{ElementRole::Other, QStringLiteral("text"), true, false};
        h.accessibility.setTarget(target);
        h.build();
        h.scheduler.runDue();
        h.state->lexiconStore().setEntries({});
        app = std::make_unique<QuorbellApp>(*h.state);
        app->start();
    }

    void TearDown() override
    {
        if (app && app->menu())
            app->menu()->hide();
        app.reset();
    }

    // The icon's window as embedded in the tray.
    static QWidget* trayIconWindow()
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (qstrcmp(widget->metaObject()->className(), "QSystemTrayIconSys") == 0)
                return widget;
        }
        return nullptr;
    }

    // Where the X server has the icon, once it sits inside the tray's window; empty before.
    QRect iconRect()
    {
        QWidget* icon = trayIconWindow();
        if (!icon || !icon->isVisible() || x.parentOf(icon->winId()) == x.root())
            return {};
        return x.globalRect(icon->winId());
    }

    // Waits until the icon is embedded, has stopped moving (the tray lays out its icons again after each
    // change) and its mark is drawn on the screen; the last picture of the screen stays in `screen`.
    QRect settledIconRect()
    {
        QRect last;
        QRect settled;
        (void)QTest::qWaitFor( // an unsettled icon shows as an empty rectangle to the caller
            [&] {
                const QRect now = iconRect();
                const bool steady = now.isValid() && now == last;
                last = now;
                if (!steady)
                    return false;
                screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
                if (pixelsNear(screen, now, kMarkColour, 60) < 8)
                    return false;
                settled = now;
                return true;
            },
            kWaitMs);
        return settled;
    }

    // A right click on the tray icon, as a user opens the menu. The tray may lay out its icons again while
    // the click is on its way: when the icon is no longer where it was clicked (the server handled the click
    // before our question), the click may have missed and is tried again; when it is, the menu must come.
    bool openMenuFromIcon()
    {
        QMenu* menu = app->menu();
        for (int attempt = 0; attempt < 3; ++attempt) {
            const QRect icon = settledIconRect();
            if (!icon.isValid())
                return false;
            x.click(icon.center(), 3);
            if (iconRect() == icon)
                return QTest::qWaitFor([menu] { return menu->isVisible(); }, kWaitMs) &&
                       QTest::qWaitForWindowExposed(menu, kWaitMs);
        }
        return false;
    }

    // A left click on the menu item; the menu closes once it has triggered.
    bool clickMenuItem(const QString& title)
    {
        QMenu* menu = app->menu();
        QAction* action = actionTitled(*menu, title);
        if (!action)
            return false;
        x.click(menu->mapToGlobal(menu->actionGeometry(action).center()), 1);
        return QTest::qWaitFor([menu] { return !menu->isVisible(); }, kWaitMs);
    }

    static TrayHost* s_tray;
    XClient x;
    QImage screen;
    AppStateHarness h;
    std::unique_ptr<QuorbellApp> app;
};

TrayHost* TrayShell::s_tray = nullptr;

} // namespace

TEST_F(TrayShell, TheIconSitsInTheTrayAndTheWindowWaitsToBeAsked)
{
    EXPECT_EQ(app->mainWindow(), nullptr) << "with a tray the main window does not open at start";
    const QRect icon = settledIconRect();
    ASSERT_TRUE(icon.isValid()) << "the icon was not embedded in the tray, or its mark was not drawn there";
    EXPECT_LE(icon.height(), 24) << "sized by the tray";
    EXPECT_TRUE(screen.copy(icon.adjusted(-40, -4, 40, 4)).save(screenshotPath(QStringLiteral("tray.png"))));

    // A left click on the icon brings the main window, like a reopen.
    x.click(icon.center(), 1);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return app->mainWindow() && app->mainWindow()->isVisible(); }, kWaitMs));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(app->mainWindow(), kWaitMs));
    EXPECT_EQ(app->mainWindow()->size(), QSize(QuorbellApp::kDefaultWidth, QuorbellApp::kDefaultHeight));
    EXPECT_TRUE(app->mainWindow()->grab().save(screenshotPath(QStringLiteral("main-window.png"))));

    // Closing the window leaves the application in the tray.
    app->mainWindow()->close();
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    EXPECT_TRUE(trayIconWindow() && trayIconWindow()->isVisible());
}

TEST_F(TrayShell, TheMenuShowsChineseTextAndRunsADictation)
{
    ASSERT_TRUE(openMenuFromIcon()) << "a right click on the icon did not open the menu";
    QMenu* menu = app->menu();
    const QString triggerItem = QStringLiteral("快捷键：") + h.state->activeTriggerDisplayName();
    for (const QString& title :
         {kOpenItem, kManualItem, triggerItem, QStringLiteral("最近口述救生舱（点击复制）")}) {
        EXPECT_TRUE(drawsEveryCharacter(menu->font(), title))
            << "characters without glyphs in " << title.toStdString();
    }

    // Start from the menu: the session listens.
    ASSERT_TRUE(clickMenuItem(kManualItem));
    ASSERT_TRUE(h.settle([&] { return !h.state->isStartingSession(); }));
    EXPECT_TRUE(h.state->isSessionActive());

    // The same item again finishes it: recognition, delivery and a history record.
    h.engine->transcripts.push_back({QStringLiteral("明天上午十点在三楼会议室开会"), 2.0});
    ASSERT_TRUE(openMenuFromIcon());
    ASSERT_TRUE(clickMenuItem(kManualItem));
    h.scheduler.advance(100ms);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            h.scheduler.runDue();
            return !h.state->isSessionActive() && !h.state->isFinalizingSession() &&
                   h.state->history().size() == 1;
        },
        kWaitMs))
        << "the dictation did not reach the history";
    const DictationRecord record = h.state->history().first();
    EXPECT_EQ(record.rawTranscript, QStringLiteral("明天上午十点在三楼会议室开会"));

    // The menu now lists the dictation; keep a picture of it.
    ASSERT_TRUE(openMenuFromIcon());
    EXPECT_NE(actionTitled(*menu, MenuBarMenu::recentTitle(record.polishedText)), nullptr);
    EXPECT_TRUE(menu->grab().save(screenshotPath(QStringLiteral("menu.png"))));
    menu->hide();
}

TEST_F(TrayShell, ASecondLaunchRaisesTheMainWindow)
{
    const QString name = QStringLiteral("quorbell-shell-test-%1").arg(QCoreApplication::applicationPid());
    SingleInstance first(name);
    ASSERT_TRUE(first.claim());
    QObject::connect(&first, &SingleInstance::activationRequested, app.get(),
                     &QuorbellApp::presentMainWindow);

    // The window was opened once, closed, and another window now covers its place.
    app->presentMainWindow();
    QWidget* main = app->mainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(main, kWaitMs));
    main->close();
    QWidget cover;
    cover.setGeometry(main->geometry());
    cover.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&cover, kWaitMs));
    cover.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return cover.isActiveWindow(); }, kWaitMs));

    SingleInstance second(name);
    EXPECT_FALSE(second.claim()) << "the second launch leaves";
    ASSERT_TRUE(QTest::qWaitFor([&] { return main->isVisible() && main->isActiveWindow(); }, kWaitMs))
        << "the running instance did not come forward";
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return x.stackingIndex(main->winId()) > x.stackingIndex(cover.winId()); }, kWaitMs))
        << "the main window stays below the other window";
    EXPECT_GE(x.stackingIndex(cover.winId()), 0);
}
