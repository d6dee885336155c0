#include "TargetProcess.h"
#include "platform/linux/AtspiAccessibility.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcessEnvironment>
#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

// The target publishes its widgets on the accessibility bus whatever the bus's switch says.
QProcessEnvironment accessibleTargetEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    environment.insert(QStringLiteral("QT_ACCESSIBILITY"), QStringLiteral("1"));
    return environment;
}

QStringList targetArguments(const char* mode)
{
    return {QString::fromLatin1(mode)};
}

// A new application joins the accessibility bus shortly after its window shows.
bool waitUntilRegistered(AtspiAccessibility& accessibility, TargetProcess& target)
{
    return QTest::qWaitFor([&] { return accessibility.focusedElement(target.processId()).has_value(); },
                           5000);
}

void setBusEnabled(bool enabled)
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
    message.setArguments({QStringLiteral("org.a11y.Status"), QStringLiteral("IsEnabled"),
                          QVariant::fromValue(QDBusVariant(enabled))});
    QDBusConnection::sessionBus().call(message);
}

// The cursor rectangle the target itself reports, in screen coordinates.
std::optional<QRect> targetCaret(TargetProcess& target)
{
    const std::optional<QByteArrayList> words = target.request("CARET", "CARET");
    if (!words || words->size() != 4)
        return std::nullopt;
    return QRect(words->at(0).toInt(), words->at(1).toInt(), words->at(2).toInt(), words->at(3).toInt());
}

void expectNear(const QRect& read, const QRect& reported, int horizontalSlack)
{
    EXPECT_GE(read.height(), 4);
    EXPECT_LE(read.height(), 140);
    EXPECT_LE(std::abs(read.center().y() - reported.center().y()), 6)
        << "read y " << read.y() << " h " << read.height() << ", target y " << reported.y() << " h "
        << reported.height();
    EXPECT_GE(read.right(), reported.left() - horizontalSlack);
    EXPECT_LE(read.left(), reported.right() + horizontalSlack);
}

} // namespace

// Runs first: the bus starts switched off.
TEST(AtspiAccessibility, TrustNeedsTheAccessibilityBusSwitchedOn)
{
    TargetProcess target(targetArguments("lineedit"), accessibleTargetEnvironment());
    ASSERT_TRUE(target.start());
    AtspiAccessibility accessibility;
    EXPECT_FALSE(accessibility.isTrusted());
    EXPECT_EQ(accessibility.untrustedReason(), QString()) << "trust can be requested here";

    EXPECT_TRUE(accessibility.requestTrust());
    EXPECT_TRUE(accessibility.isTrusted());
    ASSERT_TRUE(waitUntilRegistered(accessibility, target));

    // The user switches accessibility off again: nothing is read any more.
    setBusEnabled(false);
    EXPECT_FALSE(accessibility.isTrusted());
    EXPECT_FALSE(accessibility.focusedElement(target.processId()).has_value());
    EXPECT_FALSE(accessibility.focusedValue(target.processId()).has_value());
}

TEST(AtspiAccessibility, ReadsTheFocusedLineEditOfAnotherApplication)
{
    AtspiAccessibility accessibility;
    ASSERT_TRUE(accessibility.requestTrust());
    TargetProcess target(targetArguments("lineedit"), accessibleTargetEnvironment());
    ASSERT_TRUE(target.start());
    ASSERT_TRUE(waitUntilRegistered(accessibility, target));
    const qint64 pid = target.processId();

    // An empty field: no value, no selection, a caret at its start.
    EXPECT_EQ(accessibility.focusedValue(pid), QString());
    EXPECT_EQ(accessibility.selectedText(pid), QString());
    const std::optional<QRect> emptyCaret = accessibility.caretRect(pid);
    ASSERT_TRUE(emptyCaret.has_value());
    const std::optional<QRect> reportedEmpty = targetCaret(target);
    ASSERT_TRUE(reportedEmpty.has_value());
    expectNear(*emptyCaret, *reportedEmpty, 12);

    const QString value = QStringLiteral("Hello 世界 and more 👋");
    target.setText(value);
    const std::optional<FocusedElement> element = accessibility.focusedElement(pid);
    ASSERT_TRUE(element.has_value());
    EXPECT_EQ(element->role, ElementRole::Other);
    EXPECT_TRUE(element->isEditableText);
    EXPECT_FALSE(element->isPassword);
    EXPECT_FALSE(element->roleName.isEmpty());
    EXPECT_EQ(accessibility.focusedValue(pid), value);
    EXPECT_EQ(accessibility.selectedText(pid), QString()) << "nothing selected";

    // The caret after the last character.
    const std::optional<QRect> endCaret = accessibility.caretRect(pid);
    const std::optional<QRect> reportedEnd = targetCaret(target);
    ASSERT_TRUE(endCaret.has_value());
    ASSERT_TRUE(reportedEnd.has_value());
    expectNear(*endCaret, *reportedEnd, 12);
    EXPECT_GT(endCaret->x(), emptyCaret->x() + 40) << "the caret moved right with the text";

    // A selection: its text and its bounds.
    ASSERT_TRUE(target.request("SELECT 6 2", "SELECTED"));
    EXPECT_EQ(accessibility.selectedText(pid), QStringLiteral("世界"));
    EXPECT_EQ(accessibility.focusedValue(pid), value);
    const std::optional<QRect> selection = accessibility.caretRect(pid);
    const std::optional<QRect> reportedSelection = targetCaret(target);
    ASSERT_TRUE(selection.has_value());
    ASSERT_TRUE(reportedSelection.has_value());
    expectNear(*selection, *reportedSelection, 40);
    EXPECT_LT(selection->right(), endCaret->left()) << "the selection lies left of the end of the text";

    EXPECT_FALSE(accessibility.focusedElement(QCoreApplication::applicationPid() + 100000).has_value());
    EXPECT_FALSE(accessibility.selectedText(0).has_value());
}

TEST(AtspiAccessibility, ReadsAMultiLineSelection)
{
    AtspiAccessibility accessibility;
    ASSERT_TRUE(accessibility.requestTrust());
    TargetProcess target(targetArguments("textedit"), accessibleTargetEnvironment());
    ASSERT_TRUE(target.start());
    ASSERT_TRUE(waitUntilRegistered(accessibility, target));
    const QString value = QStringLiteral("第一行\nsecond line\nthird");
    target.setText(value);
    ASSERT_TRUE(target.request("SELECT 2 8", "SELECTED"));
    EXPECT_EQ(accessibility.selectedText(target.processId()), QStringLiteral("行\nsecond"));
    EXPECT_EQ(accessibility.focusedValue(target.processId()), value);
    EXPECT_TRUE(accessibility.caretRect(target.processId()).has_value());
}

TEST(AtspiAccessibility, NeverReadsAPasswordField)
{
    AtspiAccessibility accessibility;
    ASSERT_TRUE(accessibility.requestTrust());
    TargetProcess target(targetArguments("password"), accessibleTargetEnvironment());
    ASSERT_TRUE(target.start());
    ASSERT_TRUE(waitUntilRegistered(accessibility, target));
    target.setText(QStringLiteral("hunter2"));
    ASSERT_TRUE(target.request("SELECT 0 4", "SELECTED"));

    const std::optional<FocusedElement> element = accessibility.focusedElement(target.processId());
    ASSERT_TRUE(element.has_value());
    EXPECT_TRUE(element->isPassword);
    EXPECT_FALSE(accessibility.selectedText(target.processId()).has_value());
    EXPECT_FALSE(accessibility.focusedValue(target.processId()).has_value());
}

TEST(AtspiAccessibility, AWaylandSessionIsNeverTrusted)
{
    qputenv("XDG_SESSION_TYPE", "wayland");
    AtspiAccessibility accessibility;
    qunsetenv("XDG_SESSION_TYPE");
    EXPECT_FALSE(accessibility.isTrusted());
    EXPECT_FALSE(accessibility.requestTrust());
    EXPECT_TRUE(accessibility.untrustedReason().contains(QLatin1String("Wayland")));
    EXPECT_FALSE(accessibility.caretRect(QCoreApplication::applicationPid()).has_value());
}
