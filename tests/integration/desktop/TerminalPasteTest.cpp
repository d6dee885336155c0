#include "TargetProcess.h"
#include "fakes/FakeAccessibility.h"
#include "platform/linux/EwmhWorkspace.h"
#include "platform/linux/QtClipboard.h"
#include "platform/linux/XTestInputSynth.h"
#include "system/ContextInjector.h"
#include "system/SyntheticKeyLedger.h"

#include <QCoroTask>
#include <QTest>
#include <gtest/gtest.h>

// Xlib last: its macros stay out of the headers above.
#include "DesktopWindows.h"

using namespace DesktopWindows;

namespace {

constexpr int kWaitMs = 30000;

// The owner's Qt encodes ICO and CUR afresh for every read, with bytes that differ from read to read; the
// snapshot the injector took and the one the test took cannot agree on those two. Every other format must.
QList<ClipboardFormat> comparable(const ClipboardSnapshot& snapshot)
{
    QList<ClipboardFormat> formats;
    for (const ClipboardFormat& format : snapshot.formats) {
        if (format.mimeType == QLatin1String("image/ico") || format.mimeType == QLatin1String("image/cur"))
            formats.append({format.mimeType, {}});
        else
            formats.append(format);
    }
    return formats;
}

QCoro::Task<> store(QCoro::Task<Status> task, std::optional<Status>& result)
{
    result = co_await task;
}

using Terminal = TerminalWithReader::Kind;

// A real terminal runs the tty reader; the injector pastes into it as into any frontmost window. What the
// reader got is what the terminal passed to the program in it.
void pasteIntoTerminal(const Terminal& terminal)
{
    // Another application owns both selections, with several formats each.
    TargetProcess owner({QStringLiteral("lineedit")});
    ASSERT_TRUE(owner.start());
    ASSERT_TRUE(owner.request("COPY " + QByteArray("用户的剪贴板").toBase64(), "COPIED"));
    ASSERT_TRUE(owner.request("COPY " + QByteArray("用户的选区").toBase64() + " primary", "COPIED"));
    QtClipboard clipboard;
    Clipboard* primary = clipboard.primarySelection();
    ASSERT_NE(primary, nullptr) << "X11 has a PRIMARY selection";
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.text() == QStringLiteral("用户的剪贴板"); }, kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return primary->text() == QStringLiteral("用户的选区"); }, kWaitMs));
    const ClipboardSnapshot clipboardBefore = clipboard.snapshot();
    const ClipboardSnapshot primaryBefore = primary->snapshot();
    ASSERT_GE(clipboardBefore.formats.size(), 2);
    ASSERT_GE(primaryBefore.formats.size(), 2);

    TerminalWithReader reader;
    ASSERT_TRUE(reader.start(terminal)) << "the reader never ran in " << terminal.program;

    ::Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    unsigned long window = 0;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (window = findWindowOfClass(display, terminal.windowClass)); },
                                kWaitMs));
    activate(display, window);

    FakeAccessibility accessibility; // only asked whether we may post keys
    XTestInputSynth synth;
    ASSERT_TRUE(synth.isAvailable());
    EwmhWorkspace workspace;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::optional<FrontmostApplication> app = workspace.frontmostApplication();
            return app && app->bundleIdentifier == QString::fromUtf8(terminal.windowClass);
        },
        kWaitMs));
    // The terminal has the keyboard: every key from here on comes after its focus-in.
    ASSERT_TRUE(QTest::qWaitFor([&] { return hasFocus(display, window); }, kWaitMs));
    MainThreadScheduler scheduler;
    SyntheticKeyLedger ledger(scheduler.clock());
    ContextInjector injector(accessibility, synth, clipboard, workspace, scheduler, ledger);

    const QString text = QStringLiteral("echo 你好 ✓ done");
    std::optional<Status> pasted;
    auto pasting = store(injector.pasteViaClipboardPreservingSnapshot(text), pasted);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pasted.has_value(); }, kWaitMs));
    EXPECT_TRUE(pasted->ok) << pasted->error.toStdString();

    const auto bytes = [&] { return reader.bytes(); };
    // A key typed after the paste: whatever the terminal passes for the paste comes before its byte.
    ASSERT_TRUE(QTest::qWaitFor([&] { return bytes().size() >= text.toUtf8().size(); }, kWaitMs));
    typeKey(display, XK_z);
    ASSERT_TRUE(QTest::qWaitFor([&] { return bytes().endsWith('z'); }, kWaitMs)) << bytes().constData();
    const QByteArray got = bytes().chopped(1);
    EXPECT_EQ(got, text.toUtf8()) << "exactly the text, no control byte before or after it";
    EXPECT_FALSE(got.contains('\x16')) << "no literal Ctrl+V";

    // Both selections are the other application's contents again, every format.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !injector.hasPendingClipboardRestore(); }, kWaitMs));
    EXPECT_EQ(comparable(clipboard.snapshot()), comparable(clipboardBefore));
    EXPECT_EQ(comparable(primary->snapshot()), comparable(primaryBefore));

    injector.stopLiveTyping();
    XCloseDisplay(display);
}

} // namespace

// xterm (Debian's defaults) has no Ctrl+Shift+V: Shift+Insert pastes the PRIMARY selection.
TEST(TerminalPaste, XtermGetsTheTextThroughPrimary)
{
    pasteIntoTerminal({QB_XTERM, {QStringLiteral("-u8"), QStringLiteral("-e")}, false, "XTerm"});
}

// A VTE terminal pastes the clipboard with Ctrl+Shift+V.
TEST(TerminalPaste, LxterminalGetsTheTextThroughTheClipboard)
{
    pasteIntoTerminal(
        {QB_LXTERMINAL, {QStringLiteral("--no-remote"), QStringLiteral("--command=")}, true, "Lxterminal"});
}
