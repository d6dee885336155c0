#include "TargetProcess.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/EwmhWorkspace.h"
#include "platform/linux/QtClipboard.h"
#include "platform/linux/XTestInputSynth.h"
#include "system/ContextInjector.h"
#include "system/LiveInputSession.h"
#include "system/SyntheticKeyLedger.h"
#include "util/SerialQueue.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>

// Xlib last: its macros stay out of the headers above.
#include "DesktopWindows.h"

namespace {

// How late a main-thread timer that wants to fire every millisecond gets: the longest the main thread was
// kept from its event loop.
class StallMeter {
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longestGap = std::max(m_longestGap, now - m_last);
            m_last = now;
        });
        m_clock.start();
        m_last = m_clock.nsecsElapsed();
        m_timer.start();
    }

    double longestStallMs() const { return std::max<qint64>(0, m_longestGap - 1'000'000) / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longestGap = 0;
};

// Switches the accessibility bus on for one test and off again after it: the other tests on this bus start
// with it off.
class AccessibilityBusOn {
public:
    explicit AccessibilityBusOn(AtspiAccessibility& accessibility) : m_on(accessibility.requestTrust()) {}
    ~AccessibilityBusOn()
    {
        // A plain call: an interface object would introspect the bus and leave its parsed description behind.
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
        message.setArguments({QStringLiteral("org.a11y.Status"), QStringLiteral("IsEnabled"),
                              QVariant::fromValue(QDBusVariant(false))});
        QDBusConnection::sessionBus().call(message);
    }
    bool isOn() const { return m_on; }

private:
    bool m_on;
};

// QTest's waits sleep 10 ms between turns of the event loop, which the meter would count as stalls: these
// wait in the event loop itself.
void runLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool runLoopUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    QTimer wake; // an event now and then, so the time limit is seen when nothing else happens
    wake.start(5);
    while (!done()) {
        if (waited.hasExpired(timeoutMs))
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QCoro::Task<> store(QCoro::Task<bool> task, std::optional<bool>& result)
{
    result = co_await task;
}

QCoro::Task<> store(QCoro::Task<> task, bool& done)
{
    co_await task;
    done = true;
}

using DesktopWindows::TerminalWithReader;

const TerminalWithReader::Kind kXterm{
    QB_XTERM, {QStringLiteral("-u8"), QStringLiteral("-e")}, false, "XTerm"};
const QByteArray kPasteStart = "\x1b[200~";
const QByteArray kPasteEnd = "\x1b[201~";

// The desktop of the two tests below: the Qt editor on the accessibility bus and xterm running the tty
// reader (with pastes marked, as a shell has them), the real injector over XTest, EWMH and AT-SPI.
class TwoWindows {
public:
    bool start()
    {
        if (!target.start() || !bus.isOn() ||
            !terminal.start(kXterm, {QStringLiteral("--bracketed-paste")}) || !display ||
            !synth.isAvailable())
            return false;
        return QTest::qWaitFor([&] { return accessibility.focusedElement(target.processId()).has_value(); },
                               30000) &&
               QTest::qWaitFor(
                   [&] {
                       return (terminalWindow = DesktopWindows::findWindowOfClass(display, "XTerm")) != 0;
                   },
                   30000);
    }
    ~TwoWindows()
    {
        injector.stopLiveTyping();
        if (display)
            XCloseDisplay(display);
    }

    // The user clicks into a window: it takes the keyboard, and every key from here on comes after that.
    bool focus(unsigned long window)
    {
        DesktopWindows::activate(display, window);
        return QTest::qWaitFor([&] { return DesktopWindows::hasFocus(display, window); }, 30000);
    }
    // What the terminal passed to the reader, once a paste has come in whole: a key typed into it last, once
    // it has arrived, marks the end of every key before it (a paste comes later than the keys after it, once
    // the terminal has fetched the selection, so it is waited for first).
    std::optional<QByteArray> terminalBytesAfterAPaste()
    {
        if (!QTest::qWaitFor([&] { return terminal.bytes().contains(kPasteEnd); }, 30000) ||
            !focus(terminalWindow))
            return std::nullopt;
        DesktopWindows::typeKey(display, XK_z);
        if (!QTest::qWaitFor([&] { return terminal.bytes().endsWith('z'); }, 30000))
            return std::nullopt;
        return terminal.bytes().chopped(1);
    }
    // The editor's text up to now, marked the same way.
    std::optional<QString> editorText(const QString& expectedBefore)
    {
        if (!focus(target.windowId()))
            return std::nullopt;
        DesktopWindows::typeKey(display, XK_q);
        const QString text = target.waitForText(expectedBefore + u'q');
        if (!text.endsWith(u'q'))
            return std::nullopt;
        return text.chopped(1);
    }
    bool runUntil(const std::function<bool()>& done) { return ::runLoopUntil(done, 60000); }
    template <typename T> bool finish(QCoro::Task<T> task, std::optional<T>& result)
    {
        auto waiter = store(std::move(task), result);
        return runUntil([&] { return result.has_value(); });
    }
    bool finish(QCoro::Task<> task)
    {
        bool done = false;
        auto waiter = store(std::move(task), done);
        return runUntil([&] { return done; });
    }

    TargetProcess target{{QStringLiteral("lineedit")}, accessibleEnvironment()};
    AtspiAccessibility accessibility;
    AccessibilityBusOn bus{accessibility};
    TerminalWithReader terminal;
    ::Display* display = XOpenDisplay(nullptr);
    unsigned long terminalWindow = 0;
    XTestInputSynth synth;
    EwmhWorkspace workspace;
    QtClipboard clipboard;
    MainThreadScheduler scheduler;
    SyntheticKeyLedger ledger{scheduler.clock()};
    ContextInjector injector{accessibility, synth, clipboard, workspace, scheduler, ledger};
    SerialQueue capture{QStringLiteral("test.capture")};
};

// Whether `bytes` are exactly one marked paste of `text` (its line breaks as the terminal sends them, CR).
bool isOneMarkedPaste(const QByteArray& bytes, const QString& text)
{
    QByteArray expected = text.toUtf8();
    expected.replace('\n', '\r');
    return bytes == kPasteStart + expected + kPasteEnd;
}

} // namespace

// The app's live typing end to end: a session over the real injector, keys through XTest, the field read over
// AT-SPI. Forty Han characters, none of them on the keymap, stream in as partials and the stop key finalizes
// the rest, while the main thread keeps its timers.
TEST(LiveTyping, HanTextTypedLiveLandsWhileTheMainThreadStaysFree)
{
    TargetProcess target({QStringLiteral("lineedit")}, accessibleEnvironment());
    ASSERT_TRUE(target.start());
    AtspiAccessibility accessibility;
    const AccessibilityBusOn bus(accessibility);
    ASSERT_TRUE(bus.isOn());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return accessibility.focusedElement(target.processId()).has_value(); }, 30000))
        << "the target joins the accessibility bus";

    XTestInputSynth synth;
    ASSERT_TRUE(synth.isAvailable());
    EwmhWorkspace workspace;
    QtClipboard clipboard;
    MainThreadScheduler scheduler;
    SyntheticKeyLedger ledger(scheduler.clock());
    ContextInjector injector(accessibility, synth, clipboard, workspace, scheduler, ledger);

    const QString text =
        QStringLiteral("今天下午三点我们在会议室讨论明年的预算和招聘计划请大家提前准备好材料并按时参加谢");
    ASSERT_EQ(text.size(), 40);
    const QString finalText = text + QStringLiteral("。");

    StallMeter meter;
    QElapsedTimer typing;
    typing.start();
    // As a dictation starts: the session first, the context captured in the background.
    auto session = LiveInputSession::create(injector, std::nullopt);
    SerialQueue capture(QStringLiteral("test.capture"));
    capture.async([&] { session->updateContext(injector.captureCurrentContext()); });
    // A cloud recogniser's partials, four characters at a time.
    for (qsizetype shown = 4; shown <= text.size(); shown += 4) {
        session->updateLiveText(text.first(shown), false, true);
        runLoopFor(25);
    }
    runLoopFor(100); // the tail pause after the stop key
    const qsizetype typedLive = target.text().size();
    std::optional<bool> inserted;
    auto finishing = store(session->finalizeAfterKeyRelease(finalText), inserted);
    ASSERT_TRUE(runLoopUntil([&] { return inserted.has_value(); }, 60000)) << "finalizing never ended";
    EXPECT_TRUE(*inserted);
    EXPECT_EQ(target.waitForText(finalText), finalText);
    const double stall = meter.longestStallMs();
    std::printf("MAIN-THREAD-MAX-STALL-MS %.1f\n", stall);
    // How far live typing kept up: characters in the field at the stop key, and the time from the first
    // partial until the whole text was there (the partials alone span 350 ms).
    std::printf("TYPED-LIVE-BEFORE-STOP %lld of %lld\n", static_cast<long long>(typedLive),
                static_cast<long long>(text.size()));
    std::printf("FIRST-PARTIAL-TO-TEXT-MS %lld\n", static_cast<long long>(typing.elapsed()));
    std::fflush(stdout);
    injector.stopLiveTyping();
}

// The user dictates into the editor, then clicks into xterm while the polished answer is still streaming:
// nothing more is typed into either window; the answer goes into xterm as one marked paste, which a shell
// does not run, and the editor keeps what was typed before the click.
TEST(LiveTyping, AFocusChangeMidStreamTypesNoKeyIntoTheOtherWindow)
{
    TwoWindows desk;
    ASSERT_TRUE(desk.start());
    ASSERT_TRUE(desk.focus(desk.target.windowId()));

    auto session = LiveInputSession::create(desk.injector, std::nullopt);
    desk.capture.async([&] { session->updateContext(desk.injector.captureCurrentContext()); });
    session->updateLiveText(QStringLiteral("今天天气"), false, true);
    ASSERT_EQ(desk.target.waitForText(QStringLiteral("今天天气")), QStringLiteral("今天天气"));
    std::optional<bool> streams;
    ASSERT_TRUE(desk.finish(session->prepareForSSEPolishStream(), streams));
    ASSERT_TRUE(*streams);
    ASSERT_TRUE(desk.finish(session->consumeSSEChunk(QStringLiteral("今天天气很好，"))));
    ASSERT_EQ(desk.target.waitForText(QStringLiteral("今天天气很好，")), QStringLiteral("今天天气很好，"));

    ASSERT_TRUE(desk.focus(desk.terminalWindow)); // the click, mid-stream
    ASSERT_TRUE(desk.finish(session->consumeSSEChunk(QStringLiteral("我们去公园散步吧。"))));
    ASSERT_TRUE(desk.finish(session->consumeSSEChunk(QStringLiteral("\nls -la /tmp\n"))));
    const QString answer = QStringLiteral("今天天气很好，我们去公园散步吧。\nls -la /tmp\n");
    std::optional<bool> inserted;
    ASSERT_TRUE(desk.finish(session->finishSSEPolishStream(answer), inserted));
    EXPECT_TRUE(*inserted);
    EXPECT_TRUE(session->hasLostTargetWindow());

    const std::optional<QByteArray> shell = desk.terminalBytesAfterAPaste();
    ASSERT_TRUE(shell.has_value()) << "no paste, or no marker key: " << desk.terminal.bytes().toStdString();
    EXPECT_TRUE(isOneMarkedPaste(*shell, answer))
        << "no key typed into the terminal: " << shell->toStdString();
    const std::optional<QString> editor = desk.editorText(QStringLiteral("今天天气很好，"));
    ASSERT_TRUE(editor.has_value()) << desk.target.text().toStdString();
    EXPECT_EQ(*editor, QStringLiteral("今天天气很好，")) << "nothing typed into the editor after the click";
    ASSERT_TRUE(desk.runUntil([&] { return !desk.injector.hasPendingClipboardRestore(); }));
}

// Dictated into xterm itself, a multi-line answer with live typing on: nothing is typed while it is spoken,
// and it arrives as one marked paste, with no Return the shell would run.
TEST(LiveTyping, AMultiLineAnswerReachesATerminalWithNoBareReturn)
{
    TwoWindows desk;
    ASSERT_TRUE(desk.start());
    ASSERT_TRUE(desk.focus(desk.terminalWindow));

    auto session = LiveInputSession::create(desk.injector, std::nullopt);
    desk.capture.async([&] { session->updateContext(desk.injector.captureCurrentContext()); });
    session->updateLiveText(QStringLiteral("ls -la /tmp"), false, true);
    session->updateLiveText(QStringLiteral("ls -la /tmp\necho 完成"), false, true);
    runLoopFor(300);
    std::optional<bool> streams;
    ASSERT_TRUE(desk.finish(session->prepareForSSEPolishStream(), streams));
    EXPECT_FALSE(*streams) << "no stream into a terminal";
    const QString answer = QStringLiteral("ls -la /tmp\necho 完成");
    std::optional<bool> inserted;
    ASSERT_TRUE(desk.finish(session->finalizeAfterKeyRelease(answer), inserted));
    EXPECT_TRUE(*inserted);

    const std::optional<QByteArray> shell = desk.terminalBytesAfterAPaste();
    ASSERT_TRUE(shell.has_value()) << "no paste, or no marker key: " << desk.terminal.bytes().toStdString();
    EXPECT_TRUE(isOneMarkedPaste(*shell, answer)) << shell->toStdString();
    ASSERT_TRUE(desk.runUntil([&] { return !desk.injector.hasPendingClipboardRestore(); }));
}
