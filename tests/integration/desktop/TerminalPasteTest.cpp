#include "TargetProcess.h"
#include "fakes/FakeAccessibility.h"
#include "platform/linux/EwmhWorkspace.h"
#include "platform/linux/QtClipboard.h"
#include "platform/linux/XTestInputSynth.h"
#include "system/ContextInjector.h"
#include "system/SyntheticKeyLedger.h"

#include <QCoroTask>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include "platform/linux/XlibIncludes.h"

namespace {

constexpr int kWaitMs = 30000;

// The viewable top-level window of the given WM_CLASS class, or 0.
unsigned long findWindowOfClass(::Display* display, const char* windowClass)
{
    ::Window root = 0, parent = 0;
    ::Window* children = nullptr;
    unsigned int count = 0;
    unsigned long found = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
        return 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable)
            continue;
        XClassHint hint{};
        if (XGetClassHint(display, children[i], &hint)) {
            if (hint.res_class && qstrcmp(hint.res_class, windowClass) == 0)
                found = children[i];
            XFree(hint.res_name);
            XFree(hint.res_class);
        }
    }
    if (children)
        XFree(children);
    return found;
}

// Plays the window manager's part: gives the window the keyboard focus and publishes it as active.
void activate(::Display* display, unsigned long window)
{
    XRaiseWindow(display, window);
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    const long value = static_cast<long>(window);
    XChangeProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_ACTIVE_WINDOW", False),
                    XA_WINDOW, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
    XSync(display, False);
}

// Whether the keyboard focus is in `window` or a window inside it.
bool hasFocus(::Display* display, unsigned long window)
{
    ::Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    while (focus != 0 && focus != PointerRoot && focus != window) {
        ::Window root = 0, parent = 0;
        ::Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, focus, &root, &parent, &children, &count))
            return false;
        if (children)
            XFree(children);
        focus = parent == root ? 0 : parent;
    }
    return focus == window;
}

// Types one key through XTest: keys reach the focused window in the order they were posted.
void typeKey(::Display* display, KeySym keysym)
{
    const unsigned code = XKeysymToKeycode(display, keysym);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
}

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

struct Terminal {
    const char* program;   // found by CMake
    QStringList arguments; // before the reader's command
    bool commandAsOneWord; // the terminal takes the command as one string
    const char* windowClass;
};

// A real terminal runs the tty reader; the injector pastes into it as into any frontmost window. What the
// reader got is what the terminal passed to the program in it.
void pasteIntoTerminal(const Terminal& terminal)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QString received = home.filePath(QStringLiteral("received"));

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

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
    QProcess process;
    process.setProcessEnvironment(environment);
    QStringList arguments = terminal.arguments;
    const QStringList command{QStringLiteral(QB_TTY_READER), received};
    if (terminal.commandAsOneWord)
        arguments.last() += command.join(u' ');
    else
        arguments += command;
    process.start(QString::fromUtf8(terminal.program), arguments);
    ASSERT_TRUE(process.waitForStarted(kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(received + QStringLiteral(".ready")); }, kWaitMs))
        << "the reader never ran in " << terminal.program;

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

    QFile file(received);
    const auto bytes = [&] {
        file.open(QIODevice::ReadOnly);
        const QByteArray all = file.readAll();
        file.close();
        return all;
    };
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
    process.terminate();
    if (!process.waitForFinished(3000))
        process.kill();
    process.waitForFinished(3000);
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
