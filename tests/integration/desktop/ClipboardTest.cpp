#include "TargetProcess.h"
#include "platform/linux/QtClipboard.h"
#include "platform/linux/XTestInputSynth.h"

#include <QTest>
#include <gtest/gtest.h>

namespace {
constexpr int kWaitMs = 5000;
} // namespace

TEST(QtClipboard, PasteLandsAndTheEarlierClipboardComesBackUntilSomeoneCopies)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    QtClipboard clipboard;
    XTestInputSynth synth;

    // Another application copies text, an image and a private format.
    const quint64 before = clipboard.changeCount();
    const QString copied = QStringLiteral("原来的 clipboard");
    ASSERT_TRUE(target.request("COPY " + copied.toUtf8().toBase64(), "COPIED"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.changeCount() > before; }, kWaitMs));
    EXPECT_FALSE(clipboard.ownsContents());
    EXPECT_EQ(clipboard.text(), copied);
    const ClipboardSnapshot snapshot = clipboard.snapshot();
    for (const ClipboardFormat& format : snapshot.formats)
        EXPECT_TRUE(format.mimeType.contains(QLatin1Char('/')))
            << "protocol target kept: " << format.mimeType.toStdString();

    // We put the text to paste there; reading it ourselves is no request, the paste target's is.
    const QString pasted = QStringLiteral("粘贴的文字 ✓");
    clipboard.setText(pasted);
    EXPECT_TRUE(clipboard.ownsContents());
    EXPECT_FALSE(clipboard.contentsWereRequested());
    ASSERT_TRUE(synth.pressChord({KeyCode::V, ModifierFlag::Command}));
    EXPECT_EQ(target.waitForText(pasted), pasted);
    EXPECT_TRUE(clipboard.contentsWereRequested());

    clipboard.restore(snapshot);
    EXPECT_TRUE(clipboard.ownsContents());
    EXPECT_FALSE(clipboard.contentsWereRequested());
    // Qt refuses a selection request stamped before the selection changed hands, and the target stamps its
    // request with the time of the last X event it saw. Like a user's next paste, it gets a fresh key first.
    ASSERT_TRUE(synth.typeText(QStringLiteral(" ")));
    EXPECT_EQ(target.waitForText(pasted + QLatin1Char(' ')), pasted + QLatin1Char(' '));
    const std::optional<QByteArrayList> restored = target.request("CLIPBOARD", "CLIPBOARD");
    ASSERT_TRUE(restored.has_value());
    ASSERT_EQ(restored->size(), 3);
    EXPECT_EQ(QString::fromUtf8(QByteArray::fromBase64(restored->at(0))), copied);
    EXPECT_EQ(restored->at(1), "same-image");
    EXPECT_EQ(QByteArray::fromBase64(restored->at(2)), QByteArray("private \x01\x02 bytes"));
    EXPECT_TRUE(clipboard.contentsWereRequested());

    // A copy made meanwhile ends our ownership.
    const quint64 afterOurs = clipboard.changeCount();
    ASSERT_TRUE(target.request("COPY " + QByteArray("theirs").toBase64(), "COPIED"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !clipboard.ownsContents(); }, kWaitMs));
    EXPECT_GT(clipboard.changeCount(), afterOurs);
    EXPECT_EQ(clipboard.text(), QStringLiteral("theirs"));

    // Restoring an empty snapshot clears the clipboard.
    clipboard.restore({});
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.snapshot().isEmpty(); }, kWaitMs));
    EXPECT_EQ(clipboard.text(), QString());
}
