#include "LiveTypingFixture.h"

#include "system/PastePolicy.h"
#include "util/Text.h"

#include <QGuiApplication>
#include <QScreen>

namespace {

constexpr KeyChord kShiftReturn{KeyCode::Return, ModifierFlag::Shift};
constexpr KeyChord kSelectAll{KeyCode::A, ModifierFlag::Control};
constexpr KeyChord kPaste{KeyCode::V, ModifierFlag::Control};
constexpr KeyChord kTerminalPaste{KeyCode::V, ModifierFlag::Control | ModifierFlag::Shift};
constexpr KeyChord kPrimaryPaste{KeyCode::Insert, ModifierFlag::Shift};

QStringList typedPieces(const QList<SynthAction>& actions)
{
    QStringList pieces;
    for (const SynthAction& action : actions) {
        if (action.kind == SynthAction::Kind::Text)
            pieces.append(action.text);
    }
    return pieces;
}

ClipboardSnapshot imageAndText()
{
    return {{{QStringLiteral("image/png"), QByteArray("\x89PNG\r\n\x1a\n-pixels", 16)},
             {QStringLiteral("text/plain"), QByteArray("caption")},
             {QStringLiteral("text/html"), QByteArray("<b>caption</b>")}}};
}

} // namespace

using ContextInjectorTest = LiveTypingFixture;

// --- Capture ---

TEST_F(ContextInjectorTest, CaptureReadsTheTargetAndCutsItsTexts)
{
    FrontmostApplication app = editor();
    app.windowTitle = QString(150, u'标');
    workspace.setFrontmost(app);
    field.setContent(QString(200, u'x') + QStringLiteral("结尾👍🏽"));

    ActiveScreenContext context = injector.captureCurrentContext();
    EXPECT_EQ(context.appName, QStringLiteral("Notes"));
    EXPECT_EQ(context.bundleID, QStringLiteral("org.example.Notes"));
    EXPECT_EQ(context.windowTitle, QString(100, u'标'));
    EXPECT_TRUE(context.selectedText.isEmpty());
    EXPECT_EQ(Text::graphemeCount(context.precedingText), 140);
    EXPECT_TRUE(context.precedingText.endsWith(QStringLiteral("结尾👍🏽")))
        << "the emoji is one character";
    EXPECT_TRUE(context.hasFocusedTextInput);

    // A selection of 3000 characters inside white space: trimmed, its first 1200 kept, the value not read.
    field.setContent(QStringLiteral("  \n") + QString(3000, u'选') + QStringLiteral(" \n"));
    field.select(0, 3005);
    const int readsBefore = field.valueReadCount();
    context = injector.captureCurrentContext();
    EXPECT_EQ(context.selectedText, QString(1200, u'选'));
    EXPECT_TRUE(context.precedingText.isEmpty());
    EXPECT_EQ(field.valueReadCount(), readsBefore);

    // A password field is never read.
    field.setPassword(true);
    context = injector.captureCurrentContext();
    EXPECT_TRUE(context.selectedText.isEmpty());
    EXPECT_TRUE(context.precedingText.isEmpty());
    EXPECT_FALSE(injector.readCurrentFocusedValue().has_value());
    EXPECT_EQ(field.valueReadCount(), readsBefore);
}

TEST_F(ContextInjectorTest, FocusedTextInputRules)
{
    // A focused button, image, toolbar or the desktop is no text input, in any application.
    for (ElementRole role :
         {ElementRole::Button, ElementRole::Image, ElementRole::Toolbar, ElementRole::Desktop}) {
        field.setRole(role);
        EXPECT_FALSE(injector.captureCurrentContext().hasFocusedTextInput);
        EXPECT_FALSE(injector.isLikelyEditableFocusNow());
    }
    field.setRole(ElementRole::Other);

    // A file manager whose focus cannot be read has no text input; any other application has one.
    FrontmostApplication fileManager{QStringLiteral("Files"), QStringLiteral("org.gnome.Nautilus"), 777, {}};
    workspace.setFrontmost(fileManager);
    EXPECT_FALSE(injector.captureCurrentContext().hasFocusedTextInput);
    FrontmostApplication other{QStringLiteral("Viewer"), QStringLiteral("org.example.Viewer"), 777, {}};
    workspace.setFrontmost(other);
    EXPECT_TRUE(injector.captureCurrentContext().hasFocusedTextInput);
    // A file manager whose focus reads as some other role counts as a text input after all.
    fileManager.processId = FakeTextField::kProcessId;
    workspace.setFrontmost(fileManager);
    EXPECT_TRUE(injector.captureCurrentContext().hasFocusedTextInput);

    // A role that cannot be read leaves the starting value; the selection and the text before the caret
    // are still read.
    field.setRole(std::nullopt);
    field.setContent(QStringLiteral("请把报表发给张伟"));
    ActiveScreenContext unknownRole = injector.captureCurrentContext();
    EXPECT_FALSE(unknownRole.hasFocusedTextInput) << "a file manager starts without a text input";
    EXPECT_EQ(unknownRole.precedingText, QStringLiteral("请把报表发给张伟"));
    EXPECT_FALSE(injector.isLikelyEditableFocusNow());
    workspace.setFrontmost(editor());
    field.select(6, 8);
    unknownRole = injector.captureCurrentContext();
    EXPECT_TRUE(unknownRole.hasFocusedTextInput);
    EXPECT_EQ(unknownRole.selectedText, QStringLiteral("张伟"));
    EXPECT_TRUE(injector.isLikelyEditableFocusNow());
    field.setRole(ElementRole::Other);

    // Without trust only the application is known; without any application it is "Unknown".
    field.setTrusted(false);
    workspace.setFrontmost(editor());
    field.setContent(QStringLiteral("secret plans"));
    ActiveScreenContext context = injector.captureCurrentContext();
    EXPECT_EQ(context.appName, QStringLiteral("Notes"));
    EXPECT_TRUE(context.windowTitle.isEmpty());
    EXPECT_TRUE(context.precedingText.isEmpty());
    EXPECT_FALSE(context.hasFocusedTextInput);
    workspace.setFrontmost(std::nullopt);
    context = injector.captureCurrentContext();
    EXPECT_EQ(context.appName, QStringLiteral("Unknown"));
    EXPECT_FALSE(context.hasFocusedTextInput);
}

// --- The pill's place ---

TEST_F(ContextInjectorTest, PillSitsBelowABelievableCaret)
{
    const QSizeF pill(224, 58);
    const QList<ContextInjector::ScreenArea> twoScreens{
        {QRectF(0, 0, 1920, 1080), QRectF(0, 32, 1920, 1048)},
        {QRectF(1920, 0, 1280, 1024), QRectF(1920, 0, 1280, 1000)}};
    const struct {
        QRect caret;
        std::optional<QPointF> origin;
    } cases[] = {
        {QRect(500, 300, 2, 20), QPointF(389, 330)}, // centred under the caret, 10 below its bottom edge
        {QRect(500, 300, 2, 4), QPointF(389, 314)},
        {QRect(500, 300, 2, 140), QPointF(389, 450)},
        {QRect(500, 300, 2, 3), std::nullopt}, // too low, too tall, or at the origin: not a caret
        {QRect(500, 300, 2, 141), std::nullopt},
        {QRect(0, 0, 2, 20), std::nullopt},
        // At the right edge of the second screen: clamped into that screen's visible area.
        {QRect(3195, 900, 2, 18), QPointF(3200 - 224 - 8, 928)},
        // Near the bottom of the second screen the pill's bottom-left corner falls off every screen: the
        // primary screen's visible area holds it.
        {QRect(2500, 1000, 2, 18), QPointF(1920 - 224 - 8, 1080 - 58 - 12)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ContextInjector::pillOriginBelowCaret(c.caret, pill, twoScreens), c.origin) << c.caret.y();
    EXPECT_FALSE(ContextInjector::pillOriginBelowCaret(QRect(500, 300, 2, 20), pill, {}));

    // Through the injector: the field's caret, and nothing without trust.
    field.setCaretRect(QRect(100, 200, 2, 16));
    const auto provider = injector.caretOriginProvider();
    EXPECT_EQ(provider(pill), QPointF(8, 226)); // clamped 8 from the screen's left edge
    field.setTrusted(false);
    EXPECT_FALSE(provider(pill));
    field.setTrusted(true);

    // Without a screen provider the application's own screens are used.
    ContextInjector onAppScreens(field, field, field, workspace, scheduler, ledger);
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    field.setCaretRect(QRect(available.center(), QSize(2, 16)));
    const std::optional<QPointF> origin = onAppScreens.focusedCaretOrigin(pill);
    ASSERT_TRUE(origin);
    EXPECT_TRUE(QRectF(available).contains(QRectF(*origin, pill)));
}

// --- Keys ---

TEST_F(ContextInjectorTest, TypingSplitsIntoChunksOnCharacterBoundariesAndGoesToTheLedger)
{
    EXPECT_TRUE(injector.typeRawUnicodeLine(QString(30, u'a')));
    EXPECT_EQ(typedPieces(field.actions()),
              (QStringList{QString(12, u'a'), QString(12, u'a'), QString(6, u'a')}));
    EXPECT_TRUE(ledger.consumeMatch({KeyEvent::Kind::KeyDown, KeyCode::Unknown, 0, false, true}))
        << "our own keys are known when they come back";

    // A family emoji is 11 UTF-16 units: it never shares a chunk it would overflow, and is never cut.
    field.clearActions();
    field.setContent({});
    const QString family = QStringLiteral("👨‍👩‍👧‍👦");
    ASSERT_EQ(family.size(), 11);
    const QString text = QStringLiteral("ab") + family + QStringLiteral("cd") + QString(14, u'z');
    EXPECT_TRUE(injector.typeRawUnicodeLine(text));
    const QStringList pieces = typedPieces(field.actions());
    EXPECT_EQ(pieces.join(QString()), text);
    for (const QString& piece : pieces) {
        EXPECT_LE(piece.size(), 12);
        EXPECT_FALSE(piece.front().isLowSurrogate() || piece.back().isHighSurrogate()) << qPrintable(piece);
    }
    EXPECT_EQ(pieces.mid(0, 2), (QStringList{QStringLiteral("ab"), family + QStringLiteral("c")}));
}

TEST_F(ContextInjectorTest, LineBreaksBecomeShiftReturn)
{
    EXPECT_TRUE(finish(injector.typeCleanUnicode(QStringLiteral("a\nb\n"))));
    const QList<SynthAction> expected{
        SynthAction::typed(QStringLiteral("a")), SynthAction::pressed(kShiftReturn),
        SynthAction::typed(QStringLiteral("b")), SynthAction::pressed(kShiftReturn)};
    EXPECT_EQ(field.actions(), expected);
}

TEST_F(ContextInjectorTest, ListMarkersTheEditorInsertedAreNotTypedTwice)
{
    const QString list = QStringLiteral("1. 苹果\n2. 香蕉");
    const struct {
        const char* what;
        bool continuesLists, readable;
        QString text, result;
    } cases[] = {
        {"the editor continues the list", true, true, list, list},
        {"a plain field gets the whole line", false, true, list, list},
        {"a hyphen and one space stand for a hyphen and two", true, true, QStringLiteral("- a\n-  b"),
         QStringLiteral("- a\n- b")},
        {"an unreadable field cannot tell", true, false, list, QStringLiteral("1. 苹果\n2. 2. 香蕉")},
    };
    for (const auto& c : cases) {
        field.setListContinuation(c.continuesLists);
        field.setValueReadable(c.readable);
        field.setContent({});
        EXPECT_TRUE(finish(injector.typeCleanUnicode(c.text)));
        EXPECT_EQ(field.content(), c.result) << c.what;
    }
}

TEST_F(ContextInjectorTest, BackspaceRunsPauseEveryFourteenPresses)
{
    field.setContent(QString(40, u'x'));
    std::optional<Status> done;
    auto waiter = store(injector.sendCleanBackspaces(30), done);
    settle();
    EXPECT_FALSE(done) << "pauses after the presses numbered 14 and 28";
    EXPECT_EQ(field.backspacePresses(), 15);
    scheduler.advance(1200us);
    settle();
    EXPECT_EQ(field.backspacePresses(), 29);
    EXPECT_FALSE(done);
    scheduler.advance(1200us);
    settle();
    ASSERT_TRUE(done);
    EXPECT_TRUE(done->ok);
    EXPECT_EQ(field.content(), QString(10, u'x'));

    field.clearActions();
    EXPECT_TRUE(finish(injector.sendCleanBackspaces(0)));
    EXPECT_TRUE(finish(injector.sendCleanBackspaces(-3)));
    EXPECT_TRUE(field.actions().isEmpty());
}

TEST_F(ContextInjectorTest, DeltaErasesByCharacterAndTypesTheRest)
{
    field.setContent(QStringLiteral("你好世界👍🏽"));
    EXPECT_TRUE(finish(
        injector.applyCleanUnicodeDelta(QStringLiteral("你好世界👍🏽"), QStringLiteral("你好朋友"))));
    EXPECT_EQ(field.backspacePresses(), 3);
    EXPECT_EQ(field.content(), QStringLiteral("你好朋友"));
}

TEST_F(ContextInjectorTest, NothingIsPostedWithoutTrust)
{
    field.setTrusted(false);
    field.setContent(QStringLiteral("keep"));
    // Each says so: the caller must not take the text for typed.
    EXPECT_FALSE(injector.typeRawUnicodeLine(QStringLiteral("x")));
    EXPECT_FALSE(finish(injector.typeCleanUnicode(QStringLiteral("a\nb"))));
    EXPECT_FALSE(finish(injector.sendCleanBackspaces(3)));
    EXPECT_FALSE(finish(injector.applyCleanUnicodeDelta(QStringLiteral("ab"), QStringLiteral("c"))));
    EXPECT_FALSE(finish(injector.sendSelectAllEvent()));
    EXPECT_FALSE(finish(injector.selectLeftCharacters(2)));
    EXPECT_FALSE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("p"))));
    EXPECT_TRUE(field.actions().isEmpty());
    EXPECT_EQ(field.content(), QStringLiteral("keep"));
    EXPECT_FALSE(injector.readCurrentFocusedValue());
    // The safety clipboard needs no trust.
    injector.saveToSafetyClipboard(QStringLiteral("safe"));
    EXPECT_EQ(field.text(), QStringLiteral("safe"));
}

TEST_F(ContextInjectorTest, TerminalsPasteWithShiftAndCannotSelectAll)
{
    workspace.setFrontmost(terminal());
    field.setTerminalMode(true);
    field.setContent(QStringLiteral("$ ls"));
    EXPECT_FALSE(finish(injector.sendSelectAllEvent()));
    EXPECT_FALSE(finish(injector.selectLeftCharacters(2)));
    EXPECT_EQ(field.chordCount(kSelectAll), 0);
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral(" -la"))));
    EXPECT_EQ(field.chordCount(kTerminalPaste), 1);
    EXPECT_EQ(field.chordCount(kPaste), 0);
    EXPECT_EQ(field.content(), QStringLiteral("$ ls -la"));
}

TEST(PastePolicy, EachKnownTerminalGetsTheKeysItPastesWith)
{
    const PasteMethod paste{kPaste, false};
    const PasteMethod terminalPaste{kTerminalPaste, false};
    const PasteMethod primaryPaste{kPrimaryPaste, true};
    const struct {
        const char* id;
        const char* name;
        PasteMethod method;
    } cases[] = {
        // The xterm family, by window class.
        {"XTerm", "XTerm", primaryPaste},
        {"UXTerm", "UXTerm", primaryPaste},
        {"URxvt", "URxvt", primaryPaste},
        {"st-256color", "st-256color", primaryPaste},
        {"st", "st", primaryPaste},
        // Ctrl+Shift+V terminals; "lxterminal" holds "xterm" but is not of the family.
        {"Lxterminal", "LXTerminal", terminalPaste},
        {"xfce4-terminal", "Xfce Terminal", terminalPaste},
        {"org.gnome.Terminal", "Terminal", terminalPaste},
        {"org.kde.konsole", "Konsole", terminalPaste},
        {"kitty", "kitty", terminalPaste},
        {"Alacritty", "Alacritty", terminalPaste},
        {"Sakura", "sakura", terminalPaste},
        // A shell terminal the table does not know keeps the terminal rule; anything else pastes with Ctrl+V.
        {"dev.warp.Warp", "Warp", terminalPaste},
        {"org.example.Notes", "Notes", paste},
        {"steam", "Steam", paste},
    };
    for (const auto& c : cases) {
        const FrontmostApplication app{QString::fromUtf8(c.name), QString::fromUtf8(c.id), 1, {}};
        EXPECT_EQ(PastePolicy::methodFor(app, true), c.method) << c.id;
        // What pastes as a terminal is a terminal for selecting too: no Ctrl+A or Shift+Left into a shell.
        EXPECT_EQ(PastePolicy::isTerminal(app), c.method != paste) << c.id;
    }
    // Without a PRIMARY selection the xterm family gets the terminal keys; with no window, Ctrl+V.
    EXPECT_EQ(PastePolicy::methodFor(
                  FrontmostApplication{QStringLiteral("XTerm"), QStringLiteral("XTerm"), 1, {}}, false),
              terminalPaste);
    EXPECT_EQ(PastePolicy::methodFor(std::nullopt, true), paste);
}

TEST_F(ContextInjectorTest, TheXtermFamilyPastesFromPrimaryAndBothSelectionsComeBack)
{
    workspace.setFrontmost(FrontmostApplication{
        QStringLiteral("XTerm"), QStringLiteral("XTerm"), FakeTextField::kProcessId, {}});
    field.setXtermMode(true);
    field.setDeferredPaste(true);
    field.simulateCopy(imageAndText());
    const ClipboardSnapshot selected{{{QStringLiteral("text/plain"), QByteArray("selected by the user")},
                                      {QStringLiteral("text/html"), QByteArray("<i>selected</i>")}}};
    field.simulateSelection(selected);

    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("ls -la"))).ok);
    EXPECT_EQ(field.chordCount(kPrimaryPaste), 1);
    EXPECT_EQ(field.chordCount(kTerminalPaste) + field.chordCount(kPaste), 0);
    EXPECT_EQ(field.text(), QStringLiteral("ls -la")) << "the clipboard holds the text as well";
    EXPECT_EQ(field.primarySelection()->text(), QStringLiteral("ls -la"));
    scheduler.advance(500ms);
    EXPECT_EQ(field.primarySelection()->text(), QStringLiteral("ls -la")) << "the terminal has not asked yet";

    // Once the terminal took the text from PRIMARY, both selections get every format back.
    field.completePendingPastes();
    EXPECT_EQ(field.content(), QStringLiteral("ls -la"));
    scheduler.advance(20ms);
    EXPECT_EQ(field.snapshot(), imageAndText());
    EXPECT_EQ(field.primarySelection()->snapshot(), selected);
    EXPECT_FALSE(injector.hasPendingClipboardRestore());

    // A selection the user makes meanwhile survives; the clipboard still comes back.
    field.setDeferredPaste(false);
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral(" | wc"))).ok);
    const ClipboardSnapshot newer{{{QStringLiteral("text/plain"), QByteArray("newer selection")}}};
    field.simulateSelection(newer);
    scheduler.advance(2s);
    EXPECT_EQ(field.primarySelection()->snapshot(), newer);
    EXPECT_EQ(field.snapshot(), imageAndText());
    EXPECT_EQ(field.content(), QStringLiteral("ls -la | wc"));

    // Keys that cannot be posted: the text stays on the clipboard, PRIMARY is the user's again at once.
    field.setFailure(QStringLiteral("refused"));
    field.simulateSelection(selected);
    EXPECT_FALSE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("rm"))).ok);
    EXPECT_EQ(field.text(), QStringLiteral("rm"));
    EXPECT_EQ(field.primarySelection()->snapshot(), selected);
}

TEST_F(ContextInjectorTest, KeysAskedForOnTheMainThreadGoOutLaterInCallOrder)
{
    // A slow target: were the keys posted by the caller, starting the second operation would never return.
    field.holdKeystrokes();
    std::optional<Status> first, second, third;
    auto typing = store(injector.typeCleanUnicode(QStringLiteral("你好\n世界")), first);
    auto erasing = store(injector.sendCleanBackspaces(2), second);
    auto retyping = store(injector.typeCleanUnicode(QStringLiteral("朋友")), third);
    ASSERT_TRUE(field.waitForHeldKeystroke());
    scheduler.advance(50ms);
    EXPECT_FALSE(first || second || third);

    field.releaseKeystrokes();
    for (int i = 0; i < 100 && !(first && second && third); ++i) {
        settle();
        scheduler.advance(1ms);
    }
    ASSERT_TRUE(first && second && third);
    EXPECT_TRUE(first->ok && second->ok && third->ok);
    EXPECT_EQ(field.content(), QStringLiteral("你好\n朋友"));
}

TEST_F(ContextInjectorTest, AFailedPostReachesTheCaller)
{
    const QString refused = QStringLiteral("The X server refused a synthetic key (error 2)");
    field.setFailure(refused);
    EXPECT_EQ(finish(injector.typeCleanUnicode(QStringLiteral("a\n1. b"))).error, refused);
    EXPECT_EQ(finish(injector.sendCleanBackspaces(20)).error, refused);
    EXPECT_FALSE(finish(injector.sendSelectAllEvent()));

    // The paste keys did not go out: the text stays on the clipboard for the user, nothing is put back over
    // it.
    field.simulateCopy(imageAndText());
    EXPECT_EQ(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("听写结果"))).error,
              refused);
    EXPECT_FALSE(injector.hasPendingClipboardRestore());
    scheduler.advance(2s);
    EXPECT_EQ(field.text(), QStringLiteral("听写结果"));
    EXPECT_TRUE(field.content().isEmpty());
}

// --- The clipboard ---

TEST_F(ContextInjectorTest, PasteRestoresEveryFormatAfterTheTargetTookTheText)
{
    field.simulateCopy(imageAndText());
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("听写结果"))));
    EXPECT_EQ(field.content(), QStringLiteral("听写结果"));
    scheduler.advance(159ms);
    EXPECT_EQ(field.text(), QStringLiteral("听写结果")) << "never before 0.16 s";
    scheduler.advance(1ms);
    EXPECT_EQ(field.snapshot(), imageAndText());
    EXPECT_FALSE(injector.hasPendingClipboardRestore());

    // A target that asks late: restored just after it took the text.
    field.setDeferredPaste(true);
    field.setContent({});
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("new text"))));
    scheduler.advance(500ms);
    EXPECT_EQ(field.text(), QStringLiteral("new text")) << "the target has not asked yet";
    field.completePendingPastes();
    EXPECT_EQ(field.content(), QStringLiteral("new text"));
    scheduler.advance(20ms);
    EXPECT_EQ(field.snapshot(), imageAndText());

    // A target that never asks: the old contents return at 1 s.
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("again"))));
    scheduler.advance(999ms);
    EXPECT_EQ(field.text(), QStringLiteral("again"));
    scheduler.advance(1ms);
    EXPECT_EQ(field.snapshot(), imageAndText());
}

TEST_F(ContextInjectorTest, RestoreGivesBackOnlyTheUsersOwnContents)
{
    // Nothing to give back: the pasted text stays.
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("only"))));
    scheduler.advance(2s);
    EXPECT_EQ(field.text(), QStringLiteral("only"));

    // The user copied something meanwhile: that survives.
    field.simulateCopy(imageAndText());
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("pasted"))));
    scheduler.advance(100ms);
    const ClipboardSnapshot theirs{{{QStringLiteral("text/plain"), QByteArray("copied meanwhile")}}};
    field.simulateCopy(theirs);
    scheduler.advance(2s);
    EXPECT_EQ(field.snapshot(), theirs);
    EXPECT_EQ(field.clipboardRestoreCount(), 0);

    // Back-to-back pastes: the second does not take the first one's text for the user's.
    field.simulateCopy(imageAndText());
    field.setContent({});
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("first "))));
    scheduler.advance(50ms);
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("second"))));
    EXPECT_EQ(field.content(), QStringLiteral("first second"));
    scheduler.advance(2s);
    EXPECT_EQ(field.snapshot(), imageAndText());
    EXPECT_EQ(field.clipboardRestoreCount(), 1);

    // Text left for the user on the safety clipboard cancels the pending restore.
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("pasted"))));
    injector.saveToSafetyClipboard(QStringLiteral("for you"));
    scheduler.advance(2s);
    EXPECT_EQ(field.text(), QStringLiteral("for you"));
    injector.saveToSafetyClipboard({});
    EXPECT_EQ(field.text(), QStringLiteral("for you")) << "an empty text changes nothing";
}

TEST_F(ContextInjectorTest, APasteWaitsForASlowOwnerAndNeverRestoresContentsOlderThanTheLastCopy)
{
    FakeClipboard& clipboard = field.clipboard();
    clipboard.holdSnapshotReads(true);
    field.simulateCopy(imageAndText());
    std::optional<Status> pasted;
    auto paste = store(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("听写结果")), pasted);
    settle();
    EXPECT_FALSE(pasted) << "the owner has not handed its contents over";
    EXPECT_EQ(field.text(), QStringLiteral("caption")) << "nothing is replaced before the contents are read";

    // A copy lands while the owner is read: the answer is stale and is read again.
    const ClipboardSnapshot theirs{{{QStringLiteral("text/plain"), QByteArray("copied meanwhile")}}};
    field.simulateCopy(theirs);
    clipboard.answerSnapshotReads();
    settle();
    EXPECT_FALSE(pasted);
    clipboard.answerSnapshotReads();
    settle();
    ASSERT_TRUE(pasted);
    EXPECT_TRUE(*pasted);
    EXPECT_EQ(field.content(), QStringLiteral("听写结果"));
    scheduler.advance(160ms);
    EXPECT_EQ(field.snapshot(), theirs);
    EXPECT_EQ(clipboard.snapshotReadCount(), 2);
}

TEST_F(ContextInjectorTest, APrefetchedSnapshotServesOnePasteWhileNobodyCopies)
{
    FakeClipboard& clipboard = field.clipboard();
    field.simulateCopy(imageAndText());
    injector.prefetchClipboardSnapshot();
    injector.prefetchClipboardSnapshot(); // nothing changed: the read is not repeated
    EXPECT_EQ(clipboard.snapshotReadCount(), 1);
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("one"))));
    EXPECT_EQ(clipboard.snapshotReadCount(), 1) << "the paste used the read made ahead of it";
    // While our text waits to be restored, the user's contents are held already: nothing is read.
    injector.prefetchClipboardSnapshot();
    EXPECT_EQ(clipboard.snapshotReadCount(), 1);
    scheduler.advance(160ms);
    EXPECT_EQ(field.snapshot(), imageAndText());

    // A copy after the read: the paste reads again and restores the newer contents.
    injector.prefetchClipboardSnapshot();
    const ClipboardSnapshot theirs{{{QStringLiteral("text/plain"), QByteArray("newer")}}};
    field.simulateCopy(theirs);
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("two"))));
    EXPECT_EQ(clipboard.snapshotReadCount(), 3);
    scheduler.advance(160ms);
    EXPECT_EQ(field.snapshot(), theirs);

    // A read ahead of a paste that never comes is let go; the next paste reads afresh.
    injector.prefetchClipboardSnapshot();
    EXPECT_EQ(clipboard.snapshotReadCount(), 4);
    scheduler.advance(ContextInjector::kPrefetchedSnapshotKept);
    EXPECT_TRUE(finish(injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("three"))));
    EXPECT_EQ(clipboard.snapshotReadCount(), 5);
    scheduler.advance(160ms);
    EXPECT_EQ(field.snapshot(), theirs);
}

TEST(ContextInjectorListMarkers, MarkersAreFoundAndCollapsed)
{
    EXPECT_EQ(ContextInjector::extractLeadingListMarker(QStringLiteral("12.  item")),
              QStringLiteral("12.  "));
    EXPECT_EQ(ContextInjector::extractLeadingListMarker(QStringLiteral("• 点")), QStringLiteral("• "));
    EXPECT_FALSE(ContextInjector::extractLeadingListMarker(QStringLiteral("1.5 litres")));
    EXPECT_FALSE(ContextInjector::extractLeadingListMarker(QStringLiteral("-x")));
    // Only a doubling the intended text does not have is one.
    const QString doubled = QStringLiteral("1. a\n2. 2. b");
    EXPECT_TRUE(ContextInjector::containsDuplicatedListMarker(doubled, QStringLiteral("1. a\n2. b")));
    EXPECT_FALSE(ContextInjector::containsDuplicatedListMarker(doubled, doubled));
    EXPECT_EQ(ContextInjector::collapseDuplicatedListMarkers(QStringLiteral("  - - word")),
              QStringLiteral("  - word"));
}
