#include "ClipboardSnapshotPrinter.h"
#include "TargetProcess.h"
#include "platform/linux/QtClipboard.h"
#include "platform/linux/X11ClipboardReader.h"
#include "platform/linux/XTestInputSynth.h"

#include <QTest>
#include <gtest/gtest.h>

namespace {
constexpr int kWaitMs = 30000;
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
    // Qt drops our contents at the selection-clear event and counts the change at the owner notification
    // that follows it: both must have come.
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.changeCount() > afterOurs; }, kWaitMs));
    EXPECT_FALSE(clipboard.ownsContents());
    EXPECT_EQ(clipboard.text(), QStringLiteral("theirs"));

    // Restoring an empty snapshot clears the clipboard.
    clipboard.restore({});
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.snapshot().isEmpty(); }, kWaitMs));
    EXPECT_EQ(clipboard.text(), QString());
}

// What readSnapshot() reads of another application over its own connection, off the main thread, is what
// QClipboard reads on it: every format, named and converted alike, also one too large for a single X request.
TEST(QtClipboard, ASnapshotReadOffTheMainThreadEqualsTheOneQtTakes)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    QtClipboard clipboard;
    X11ClipboardReader reader;
    ASSERT_TRUE(reader.isAvailable());
    auto readOffTheMainThread = [&clipboard] {
        std::optional<ClipboardSnapshot> read;
        clipboard.readSnapshot([&read](ClipboardSnapshot snapshot) { read = std::move(snapshot); });
        EXPECT_TRUE(QTest::qWaitFor([&] { return read.has_value(); }, kWaitMs));
        return read.value_or(ClipboardSnapshot{});
    };

    const quint64 before = clipboard.changeCount();
    ASSERT_TRUE(target.request("COPY " + QStringLiteral("原来的 clipboard").toUtf8().toBase64(), "COPIED"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.changeCount() > before; }, kWaitMs));
    const ClipboardSnapshot qtSnapshot = clipboard.snapshot();
    ASSERT_GE(qtSnapshot.formats.size(), 3) << "text, image formats and the private format";
    ClipboardSnapshot read = readOffTheMainThread();
    // The owner writes its icon formats differently each time it is asked (Qt's icon writer leaves bytes
    // unset): those are compared by name and size.
    ASSERT_EQ(read.formats.size(), qtSnapshot.formats.size());
    for (qsizetype i = 0; i < read.formats.size(); ++i) {
        const QString& type = qtSnapshot.formats[i].mimeType;
        if ((type == QLatin1String("image/ico") || type == QLatin1String("image/cur")) &&
            read.formats[i].mimeType == type &&
            read.formats[i].data.size() == qtSnapshot.formats[i].data.size())
            read.formats[i].data = qtSnapshot.formats[i].data;
    }
    EXPECT_EQ(read, qtSnapshot);

    // Past the largest X request (16 MB with BIG-REQUESTS) the owner sends the format in pieces.
    constexpr qsizetype kLarge = 20 * 1024 * 1024;
    const quint64 beforeLarge = clipboard.changeCount();
    ASSERT_TRUE(target.request("COPYLARGE " + QByteArray::number(kLarge), "COPIED"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.changeCount() > beforeLarge; }, kWaitMs));
    const ClipboardSnapshot large = reader.read();
    const auto privateFormat =
        std::find_if(large.formats.cbegin(), large.formats.cend(), [](const auto& format) {
            return format.mimeType == QLatin1String("application/x-quorbell-test");
        });
    ASSERT_NE(privateFormat, large.formats.cend());
    ASSERT_EQ(privateFormat->data.size(), kLarge);
    EXPECT_EQ(static_cast<quint8>(privateFormat->data.at(kLarge - 1)), (kLarge - 1) * 7 % 251);
    EXPECT_EQ(large, clipboard.snapshot());

    // Our own contents need nobody else: they are there at once.
    clipboard.setText(QStringLiteral("ours"));
    std::optional<ClipboardSnapshot> ours;
    clipboard.readSnapshot([&ours](ClipboardSnapshot snapshot) { ours = std::move(snapshot); });
    ASSERT_TRUE(ours.has_value());
    EXPECT_EQ(*ours, clipboard.snapshot());
}
