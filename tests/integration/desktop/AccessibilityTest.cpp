#include "TargetProcess.h"
#include "platform/linux/AtspiAccessibility.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QTest>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

namespace {

constexpr int kWaitMs = 30000;

// A new application joins the accessibility bus shortly after its window shows.
bool registered(AtspiAccessibility& accessibility, TargetProcess& target)
{
    return QTest::qWaitFor([&] { return accessibility.focusedElement(target.processId()).has_value(); },
                           kWaitMs);
}

// The backend gives up on a call that takes longer than a few tens of milliseconds, by design; on a busy
// machine any one read can come back empty that way. A read that must answer is made again until it does.
template <typename Read> auto answered(Read read) -> decltype(read())
{
    decltype(read()) answer;
    (void)QTest::qWaitFor(
        [&] {
            answer = read();
            return answer.has_value();
        },
        kWaitMs);
    return answer;
}

void setBusEnabled(bool enabled)
{
    // A plain call: an interface object would introspect the bus and leave its parsed description behind.
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
    message.setArguments({QStringLiteral("org.a11y.Status"), QStringLiteral("IsEnabled"),
                          QVariant::fromValue(QDBusVariant(enabled))});
    QDBusConnection::sessionBus().call(message);
}

// The caret (or selection) rectangle read over AT-SPI, checked against the one the target itself reports.
QRect expectCaretNearTargets(AtspiAccessibility& accessibility, TargetProcess& target, int horizontalSlack)
{
    const QRect read =
        answered([&] { return accessibility.caretRect(target.processId()); }).value_or(QRect());
    const std::optional<QByteArrayList> words = target.request("CARET", "CARET");
    if (!words || words->size() != 4) {
        ADD_FAILURE() << "the target did not report its caret";
        return read;
    }
    const QRect reported(words->at(0).toInt(), words->at(1).toInt(), words->at(2).toInt(),
                         words->at(3).toInt());
    EXPECT_GE(read.height(), 4);
    EXPECT_LE(read.height(), 140);
    EXPECT_LE(std::abs(read.center().y() - reported.center().y()), 6)
        << "read y " << read.y() << " h " << read.height() << ", target y " << reported.y() << " h "
        << reported.height();
    EXPECT_GE(read.right(), reported.left() - horizontalSlack);
    EXPECT_LE(read.left(), reported.right() + horizontalSlack);
    return read;
}

} // namespace

// Runs first: the bus starts switched off.
TEST(AtspiAccessibility, ReadsTheFocusedLineEditOfAnotherApplicationWhileSwitchedOn)
{
    TargetProcess target({QStringLiteral("lineedit")}, accessibleEnvironment());
    ASSERT_TRUE(target.start());
    const qint64 pid = target.processId();
    AtspiAccessibility accessibility;
    EXPECT_FALSE(accessibility.isTrusted());
    EXPECT_EQ(accessibility.untrustedReason(), QString()) << "trust can be requested here";
    EXPECT_TRUE(accessibility.requestTrust());
    EXPECT_TRUE(accessibility.isTrusted());
    ASSERT_TRUE(registered(accessibility, target));

    // An empty field: no value, and a caret at its start.
    EXPECT_EQ(answered([&] { return accessibility.focusedValue(pid); }), QString());
    expectCaretNearTargets(accessibility, target, 12);

    const QString value = QStringLiteral("Hello 世界 and more 👋");
    target.setText(value);
    const std::optional<FocusedElement> element = answered([&] { return accessibility.focusedElement(pid); });
    ASSERT_TRUE(element.has_value());
    EXPECT_TRUE(element->isEditableText);
    EXPECT_FALSE(element->isPassword);
    EXPECT_EQ(answered([&] { return accessibility.focusedValue(pid); }), value);
    EXPECT_EQ(answered([&] { return accessibility.selectedText(pid); }), QString()) << "nothing selected";
    const QRect endCaret = expectCaretNearTargets(accessibility, target, 12);

    // A selection: its text and its bounds.
    ASSERT_TRUE(target.request("SELECT 6 2", "SELECTED"));
    EXPECT_EQ(answered([&] { return accessibility.selectedText(pid); }), QStringLiteral("世界"));
    const QRect selection = expectCaretNearTargets(accessibility, target, 40);
    EXPECT_LT(selection.right(), endCaret.left()) << "the selection lies left of the end of the text";
    EXPECT_FALSE(accessibility.focusedElement(QCoreApplication::applicationPid() + 100000).has_value());

    // Another program switches accessibility off and on again: the trust follows the bus's notification,
    // with nobody asking.
    setBusEnabled(false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !accessibility.isTrusted(); }, 30000));
    EXPECT_FALSE(accessibility.focusedValue(pid).has_value()) << "nothing is read while switched off";
    setBusEnabled(true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return accessibility.isTrusted(); }, 30000));
    EXPECT_EQ(answered([&] { return accessibility.focusedValue(pid); }), value);
    setBusEnabled(false);
}

TEST(AtspiAccessibility, ASecondReadFindsTheFocusWithoutAWalkUntilTheFocusMoves)
{
    TargetProcess target({QStringLiteral("lineedit")}, accessibleEnvironment());
    ASSERT_TRUE(target.start());
    const qint64 pid = target.processId();
    const QString value = QStringLiteral("第一次");
    target.setText(value);
    AtspiAccessibility accessibility;
    ASSERT_TRUE(accessibility.requestTrust());
    ASSERT_TRUE(registered(accessibility, target));

    AtspiAccessibility fresh;
    ASSERT_TRUE(fresh.refreshTrust());
    // The bus calls of the read that answered.
    const auto countedRead = [&](quint64& calls) {
        return answered([&] {
            const quint64 before = fresh.busCallCount();
            const std::optional<QString> read = fresh.focusedValue(pid);
            calls = fresh.busCallCount() - before;
            return read;
        });
    };
    quint64 first = 0;
    quint64 second = 0;
    EXPECT_EQ(countedRead(first), value);
    EXPECT_EQ(countedRead(second), value);
    EXPECT_LT(second, first) << "the first read walks the window";
    EXPECT_LE(second, 4U) << "the remembered field's state and role, then the value's length and text";

    // Another application takes the focus: the remembered field no longer counts.
    TargetProcess other({QStringLiteral("lineedit")}, accessibleEnvironment());
    ASSERT_TRUE(other.start());
    other.setText(QStringLiteral("其他"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !fresh.focusedElement(pid).has_value(); }, 30000));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return fresh.focusedValue(other.processId()) == QStringLiteral("其他"); }, 30000));
}

TEST(AtspiAccessibility, ReadsFromTwoThreadsAtOnce)
{
    TargetProcess target({QStringLiteral("lineedit")}, accessibleEnvironment());
    ASSERT_TRUE(target.start());
    const qint64 pid = target.processId();
    const QString value = QStringLiteral("parallel 并行");
    target.setText(value);
    AtspiAccessibility accessibility;
    ASSERT_TRUE(accessibility.requestTrust());
    ASSERT_TRUE(registered(accessibility, target));

    // A new backend, so both threads also race to set up its bus connection.
    AtspiAccessibility shared;
    ASSERT_TRUE(shared.refreshTrust());
    // Every read that answers is right; one that answers nothing (a call over the backend's limit on a busy
    // machine) is made again, within a generous bound, so every read answers in the end.
    constexpr int kReads = 25;
    std::atomic<int> values = 0;
    std::atomic<int> carets = 0;
    std::atomic<int> wrongValues = 0;
    const auto untilAnswered = [](auto read) {
        const QDeadlineTimer deadline(kWaitMs);
        auto answer = read();
        while (!answer && !deadline.hasExpired())
            answer = read();
        return answer;
    };
    std::thread valueReader([&] {
        for (int i = 0; i < kReads; ++i) {
            const std::optional<QString> read = untilAnswered([&] { return shared.focusedValue(pid); });
            values += read.has_value();
            wrongValues += read.has_value() && *read != value;
        }
    });
    std::thread caretReader([&] {
        for (int i = 0; i < kReads; ++i)
            carets += untilAnswered([&] { return shared.caretRect(pid); }).has_value();
    });
    valueReader.join();
    caretReader.join();
    EXPECT_EQ(values, kReads);
    EXPECT_EQ(wrongValues, 0);
    EXPECT_EQ(carets, kReads);
}

TEST(AtspiAccessibility, ReadsAMultiLineSelectionButNeverAPasswordField)
{
    const struct {
        const char* mode;
        QString value;
        QByteArray select;
        std::optional<QString> selected; // and the value is read too; neither for a password
    } cases[] = {
        {"textedit", QStringLiteral("第一行\nsecond line\nthird"), "SELECT 2 8",
         QStringLiteral("行\nsecond")},
        {"password", QStringLiteral("hunter2"), "SELECT 0 4", std::nullopt},
    };
    AtspiAccessibility accessibility;
    ASSERT_TRUE(accessibility.requestTrust());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        TargetProcess target({QString::fromLatin1(c.mode)}, accessibleEnvironment());
        ASSERT_TRUE(target.start());
        ASSERT_TRUE(registered(accessibility, target));
        target.setText(c.value);
        ASSERT_TRUE(target.request(c.select, "SELECTED"));
        const std::optional<FocusedElement> element =
            answered([&] { return accessibility.focusedElement(target.processId()); });
        ASSERT_TRUE(element.has_value());
        EXPECT_EQ(element->isPassword, !c.selected.has_value());
        // A password field answers nothing, whatever the wait; the others must answer.
        if (c.selected) {
            EXPECT_EQ(answered([&] { return accessibility.selectedText(target.processId()); }), c.selected);
            EXPECT_EQ(answered([&] { return accessibility.focusedValue(target.processId()); }), c.value);
        } else {
            EXPECT_EQ(accessibility.selectedText(target.processId()), std::nullopt);
            EXPECT_EQ(accessibility.focusedValue(target.processId()), std::nullopt);
        }
    }
}

TEST(AtspiAccessibility, AWaylandSessionIsNeverTrusted)
{
    qputenv("XDG_SESSION_TYPE", "wayland");
    AtspiAccessibility accessibility;
    qunsetenv("XDG_SESSION_TYPE");
    EXPECT_FALSE(accessibility.requestTrust());
    EXPECT_TRUE(accessibility.untrustedReason().contains(QLatin1String("Wayland")));
    EXPECT_FALSE(accessibility.caretRect(QCoreApplication::applicationPid()).has_value());
}
