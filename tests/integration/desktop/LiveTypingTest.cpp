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
