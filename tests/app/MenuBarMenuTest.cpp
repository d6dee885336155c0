#include "app/MenuBarMenu.h"
#include "app/QuorbellApp.h"
#include "app/SingleInstance.h"
#include "core/AppStateHarness.h"
#include "lexicon/PersonalLexiconStore.h"
#include "platform/WindowActivator.h"
#include "util/Text.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>

namespace {

// Records the windows it is asked to bring to the user and the user's times it is given, from whichever
// thread asks.
class RecordingActivator final : public WindowActivator {
public:
    Outcome bringToUser(quint64 windowId, quint32 userTime) override
    {
        std::lock_guard lock(m_mutex);
        m_asked.push_back(windowId);
        m_times.push_back(userTime);
        return {Status::success()};
    }
    quint32 serverTime() override { return serverNow.load(); }
    quint32 latestUserTime() const override { return userInputTime; }
    std::vector<quint64> asked()
    {
        std::lock_guard lock(m_mutex);
        return m_asked;
    }
    std::vector<quint32> times()
    {
        std::lock_guard lock(m_mutex);
        return m_times;
    }

    quint32 userInputTime = 0;         // main thread
    std::atomic<quint32> serverNow{0}; // read on the window queue

private:
    std::mutex m_mutex;
    std::vector<quint64> m_asked;
    std::vector<quint32> m_times;
};

QStringList titles(const QMenu& menu)
{
    QStringList list;
    for (const QAction* action : menu.actions())
        if (action->isVisible())
            list.append(action->isSeparator() ? QStringLiteral("—") : action->text());
    return list;
}

QAction* actionTitled(const QMenu& menu, const QString& title)
{
    for (QAction* action : menu.actions()) {
        if (action->text() == title)
            return action;
    }
    return nullptr;
}

DictationRecord record(const QString& polished)
{
    return DictationRecord(QUuid::createUuid(), Timestamp{1}, QString(), polished, 1, 0, QString(),
                           DictationMode::dictate, {});
}

} // namespace

TEST(MenuBarMenu, ShowsTheStateAndTheNewestFiveDictations)
{
    AppStateHarness h;
    h.writeLocalConfig();
    AppState& state = h.build();
    state.lexiconStore().setEntries({});
    QList<DictationRecord> history;
    history.append(record(QStringLiteral("第一行\n第二行 & 更多内容一直写到超过二十六个字符为止的长句子")));
    for (int i = 0; i < 6; ++i)
        history.append(record(QStringLiteral("记录%1").arg(i)));
    state.setHistory(history);

    QMenu menu;
    MenuBarMenu content(state, menu);
    const QStringList shown = titles(menu);
    EXPECT_EQ(
        shown.mid(0, 9),
        (QStringList{QStringLiteral("打开 Quorbell 主界面"), QStringLiteral("引擎与快捷键设置…"),
                     QStringLiteral("个人专属词库（0 词）…"), QStringLiteral("—"),
                     QStringLiteral("快捷键：右侧 Control (⌃)"),
                     QStringLiteral("今日累计：50 字"), // 32 characters in the first record, 3 in each other
                     QStringLiteral("手动开始/结束试音"), QStringLiteral("—"),
                     QStringLiteral("最近口述救生舱（点击复制）")}));
    EXPECT_EQ(shown.mid(9, 5).size(), 5) << "five records at most";
    EXPECT_EQ(shown.at(9), QStringLiteral("第一行 第二行 && 更多内容一直写到超过二十六个字符"));
    EXPECT_EQ(Text::graphemeCount(MenuBarMenu::recentTitle(history.first().polishedText)), 26);
    EXPECT_EQ(shown.at(14), QStringLiteral("—"));
    EXPECT_EQ(shown.mid(15),
              (QStringList{QStringLiteral("在任务栏显示图标"), QStringLiteral("退出 Quorbell")}));

    menu.actions().at(9)->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), history.first().polishedText)
        << "the full text, line breaks kept";

    // A shorter history updates the same items in place (an open menu loses none of its items) and a click
    // copies the new record.
    const QList<QAction*> items = menu.actions();
    state.setHistory({record(QStringLiteral("新的一条")), record(QStringLiteral("第二条"))});
    content.refresh();
    EXPECT_EQ(menu.actions(), items);
    EXPECT_EQ(titles(menu).mid(8, 4),
              (QStringList{QStringLiteral("最近口述救生舱（点击复制）"), QStringLiteral("新的一条"),
                           QStringLiteral("第二条"), QStringLiteral("—")}));
    menu.actions().at(9)->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("新的一条"));
}

TEST(MenuBarMenu, ItemsOpenTabsToggleTheTaskbarAndStartADictation)
{
    AppStateHarness h;
    h.writeLocalConfig();
    AppState& state = h.build();
    h.scheduler.runDue();
    QMenu menu;
    MenuBarMenu content(state, menu);
    int opened = 0;
    QObject::connect(&content, &MenuBarMenu::openMainWindowRequested, [&] { ++opened; });

    state.setSelectedTab(SidebarTab::history);
    actionTitled(menu, QStringLiteral("打开 Quorbell 主界面"))->trigger();
    EXPECT_EQ(state.selectedTab(), SidebarTab::history) << "the first item keeps the current tab";
    actionTitled(menu, QStringLiteral("引擎与快捷键设置…"))->trigger();
    EXPECT_EQ(state.selectedTab(), SidebarTab::settings);
    content.refresh();
    menu.actions().at(2)->trigger();
    EXPECT_EQ(state.selectedTab(), SidebarTab::dictionary);
    EXPECT_EQ(opened, 3);

    actionTitled(menu, QStringLiteral("在任务栏显示图标"))->trigger();
    EXPECT_TRUE(state.llmConfig().showInDock);

    content.refresh();
    actionTitled(menu, QStringLiteral("手动开始/结束试音"))->trigger();
    ASSERT_TRUE(h.settle([&] { return !state.isStartingSession(); }));
    EXPECT_TRUE(state.isSessionActive());
    EXPECT_EQ(h.engine->starts.size(), 1);
}

TEST(QuorbellApp, WithoutATrayTheMainWindowOpensAtStart)
{
    AppStateHarness h;
    h.writeLocalConfig();
    AppState& state = h.build();
    QuorbellApp app(state);
    app.start(); // the offscreen platform has no system tray
    EXPECT_EQ(app.mainWindow(), nullptr) << "the window opened before the trigger key was watched";
    h.scheduler.runDue();
    ASSERT_TRUE(state.hasStarted());
    EXPECT_TRUE(h.keySource.isRunning());
    ASSERT_NE(app.mainWindow(), nullptr);
    EXPECT_TRUE(app.mainWindow()->isVisible());
    EXPECT_EQ(app.mainWindow()->objectName(), QStringLiteral("main"));
    EXPECT_TRUE(app.mainWindow()->windowFlags().testFlag(Qt::Tool)) << "menu-bar only: no taskbar entry";
    EXPECT_TRUE(app.mainWindow()->testAttribute(Qt::WA_QuitOnClose))
        << "with no taskbar entry and no tray, closing the window must still quit";
    LLMConfig config = state.llmConfig();
    config.showInDock = true;
    state.setLLMConfig(config);
    EXPECT_FALSE(app.mainWindow()->windowFlags().testFlag(Qt::Tool));
    EXPECT_TRUE(app.mainWindow()->isVisible());
    const QImage mark = QuorbellApp::infinityMark(22, Qt::black).toImage();
    EXPECT_NE(mark.pixelColor(3, 11).alpha(), 0) << "the mark reaches the left end";
    EXPECT_EQ(mark.pixelColor(11, 2).alpha(), 0) << "and leaves the top empty";
}

TEST(QuorbellApp, BringingTheWindowKeepsItsSizeAndAsksForTheUsersWorkspace)
{
    AppStateHarness h;
    h.writeLocalConfig();
    AppState& state = h.build();
    RecordingActivator activator;
    QuorbellApp app(state, &activator);
    app.presentMainWindow();
    QWidget* window = app.mainWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return activator.asked().size() == 1; }, 30000));
    EXPECT_EQ(activator.asked().front(), window->winId());

    window->showMaximized();
    app.presentMainWindow();
    EXPECT_TRUE(window->isMaximized()) << "brought forward, the window keeps the size the user gave it";
    window->showMinimized();
    app.presentMainWindow();
    EXPECT_FALSE(window->isMinimized());
    EXPECT_TRUE(window->isMaximized());
    // Closed while maximised and opened again from the menu.
    window->close();
    app.presentMainWindow();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMaximized());
    EXPECT_TRUE(QTest::qWaitFor([&] { return activator.asked().size() == 4; }, 30000))
        << "each time the window manager is asked to bring it";

    // Each request carries the time the user asked: the latest input to our windows, the time a second
    // launch brought, or for a click on the tray or its menu (which a D-Bus tray delivers with no input on
    // our windows) the server's time as the request goes out; without one, no time (a pager's request).
    activator.userInputTime = 5000;
    activator.serverNow = 7300;
    app.presentMainWindow();
    app.presentMainWindowFor(4200);
    app.start();
    QAction* open = app.menu()->actions().value(0);
    ASSERT_NE(open, nullptr);
    open->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return activator.times().size() == 7; }, 30000));
    activator.serverNow = 0;
    app.presentMainWindowNow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return activator.times().size() == 8; }, 30000));
    EXPECT_EQ(activator.times()[4], 5000u);
    EXPECT_EQ(activator.times()[5], 4200u);
    EXPECT_EQ(activator.times()[6], 7300u) << "the menu's item is the user's request, made now";
    EXPECT_EQ(activator.times()[7], 0u);
}

TEST(SingleInstance, ASecondLaunchActivatesTheFirst)
{
    const QString name = QStringLiteral("quorbell-test-%1").arg(QCoreApplication::applicationPid());
    SingleInstance first(name);
    ASSERT_TRUE(first.claim());
    std::vector<quint32> times;
    QObject::connect(&first, &SingleInstance::activationRequested,
                     [&](quint32 time) { times.push_back(time); });
    SingleInstance second(name);
    EXPECT_FALSE(second.claim(123456)) << "the second launch leaves";
    SingleInstance third(name);
    EXPECT_FALSE(third.claim()) << "a launch that knows no time still asks";
    ASSERT_TRUE(QTest::qWaitFor([&] { return times.size() == 2; }, 30000));
    std::sort(times.begin(), times.end());
    EXPECT_EQ(times, (std::vector<quint32>{0, 123456})) << "each launch's time reaches the running instance";
}
