#include "LiveTypingFixture.h"

#include "util/Text.h"

#include <QGuiApplication>
#include <QScreen>

namespace {

constexpr KeyChord kShiftReturn{KeyCode::Return, ModifierFlag::Shift};
constexpr KeyChord kSelectAll{KeyCode::A, ModifierFlag::Control};
constexpr KeyChord kPaste{KeyCode::V, ModifierFlag::Control};
constexpr KeyChord kTerminalPaste{KeyCode::V, ModifierFlag::Control | ModifierFlag::Shift};

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
    const QString value = QString(200, u'x') + QStringLiteral("结尾👍🏽");
    field.setContent(value);

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
    const QString selection = QString(3000, u'选');
    field.setContent(QStringLiteral("  \n") + selection + QStringLiteral(" \n"));
    field.select(0, 3005);
    const int readsBefore = field.valueReadCount();
    context = injector.captureCurrentContext();
    EXPECT_EQ(context.selectedText, QString(1200, u'选'));
    EXPECT_TRUE(context.precedingText.isEmpty());
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

TEST_F(ContextInjectorTest, PasswordFieldsAreNeverRead)
{
    field.setContent(QStringLiteral("hunter2"));
    field.select(0, 7);
    field.setPassword(true);
    const ActiveScreenContext context = injector.captureCurrentContext();
    EXPECT_TRUE(context.selectedText.isEmpty());
    EXPECT_TRUE(context.precedingText.isEmpty());
    EXPECT_FALSE(injector.readCurrentFocusedValue().has_value());
    EXPECT_EQ(field.valueReadCount(), 0);
}

// --- The pill's place ---

TEST_F(ContextInjectorTest, PillSitsBelowABelievableCaret)
{
    const QSizeF pill(224, 58);
    const QList<ContextInjector::ScreenArea> twoScreens{
        {QRectF(0, 0, 1920, 1080), QRectF(0, 32, 1920, 1048)},
        {QRectF(1920, 0, 1280, 1024), QRectF(1920, 0, 1280, 1000)}};

    // Centred under the caret, 10 below its bottom edge.
    EXPECT_EQ(ContextInjector::pillOriginBelowCaret(QRect(500, 300, 2, 20), pill, twoScreens),
              QPointF(389, 330));
    // Too low, too tall, or at the origin: not a caret.
    EXPECT_FALSE(ContextInjector::pillOriginBelowCaret(QRect(500, 300, 2, 3), pill, twoScreens));
    EXPECT_FALSE(ContextInjector::pillOriginBelowCaret(QRect(500, 300, 2, 141), pill, twoScreens));
    EXPECT_FALSE(ContextInjector::pillOriginBelowCaret(QRect(0, 0, 2, 20), pill, twoScreens));
    EXPECT_TRUE(ContextInjector::pillOriginBelowCaret(QRect(500, 300, 2, 4), pill, twoScreens));
    EXPECT_TRUE(ContextInjector::pillOriginBelowCaret(QRect(500, 300, 2, 140), pill, twoScreens));
    // At the right edge of the second screen it is clamped into that screen's visible area.
    EXPECT_EQ(ContextInjector::pillOriginBelowCaret(QRect(3195, 990, 2, 18), pill, twoScreens),
              QPointF(3200 - 224 - 8, 1000 - 58 - 12));
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

TEST_F(ContextInjectorTest, TypingSplitsIntoChunksOnCharacterBoundaries)
{
    injector.typeRawUnicodeLine(QString(30, u'a'));
    EXPECT_EQ(typedPieces(field.actions()),
              (QStringList{QString(12, u'a'), QString(12, u'a'), QString(6, u'a')}));

    // A family emoji is 11 UTF-16 units: it never shares a chunk it would overflow, and is never cut.
    field.clearActions();
    field.setContent({});
    const QString family = QStringLiteral("👨‍👩‍👧‍👦");
    ASSERT_EQ(family.size(), 11);
    const QString text = QStringLiteral("ab") + family + QStringLiteral("cd") + QString(14, u'z');
    injector.typeRawUnicodeLine(text);
    const QStringList pieces = typedPieces(field.actions());
    EXPECT_EQ(pieces.join(QString()), text);
    for (const QString& piece : pieces) {
        EXPECT_LE(piece.size(), 12);
        EXPECT_FALSE(piece.front().isLowSurrogate() || piece.back().isHighSurrogate()) << qPrintable(piece);
    }
    EXPECT_EQ(pieces.first(), QStringLiteral("ab"));
    EXPECT_EQ(pieces.at(1), family + QStringLiteral("c"));
    EXPECT_EQ(field.content(), text);
}

TEST_F(ContextInjectorTest, LineBreaksBecomeShiftReturn)
{
    finish(injector.typeCleanUnicode(QStringLiteral("a\nb\n")));
    const QList<SynthAction> expected{
        SynthAction::typed(QStringLiteral("a")), SynthAction::pressed(kShiftReturn),
        SynthAction::typed(QStringLiteral("b")), SynthAction::pressed(kShiftReturn)};
    EXPECT_EQ(field.actions(), expected);
    field.clearActions();
    finish(injector.typeCleanUnicode(QStringLiteral("\n")));
    EXPECT_EQ(field.actions(), QList<SynthAction>{SynthAction::pressed(kShiftReturn)});
}

TEST_F(ContextInjectorTest, ListMarkersTheEditorInsertedAreNotTypedTwice)
{
    const QString list = QStringLiteral("1. 苹果\n2. 香蕉");
    field.setListContinuation(true);
    finish(injector.typeCleanUnicode(list));
    EXPECT_EQ(field.content(), list);
    EXPECT_TRUE(typedPieces(field.actions()).contains(QStringLiteral("香蕉")));

    // A plain field gets the whole second line.
    field.setListContinuation(false);
    field.setContent({});
    field.clearActions();
    finish(injector.typeCleanUnicode(list));
    EXPECT_EQ(field.content(), list);

    // The editor put a hyphen and one space where the text has a hyphen and two: still skipped.
    field.setListContinuation(true);
    field.setContent({});
    finish(injector.typeCleanUnicode(QStringLiteral("- a\n-  b")));
    EXPECT_EQ(field.content(), QStringLiteral("- a\n- b"));

    // An unreadable field cannot tell: the whole line is typed.
    field.setContent({});
    field.setValueReadable(false);
    finish(injector.typeCleanUnicode(list));
    EXPECT_EQ(field.content(), QStringLiteral("1. 苹果\n2. 2. 香蕉"));
}

TEST_F(ContextInjectorTest, BackspaceRunsPauseEveryFourteenPresses)
{
    field.setContent(QString(40, u'x'));
    bool done = false;
    auto waiter = store(injector.sendCleanBackspaces(30), done);
    EXPECT_FALSE(done) << "pauses after the presses numbered 14 and 28";
    EXPECT_EQ(field.backspacePresses(), 15);
    scheduler.advance(1200us);
    EXPECT_EQ(field.backspacePresses(), 29);
    EXPECT_FALSE(done);
    scheduler.advance(1200us);
    EXPECT_TRUE(done);
    EXPECT_EQ(field.content(), QString(10, u'x'));

    field.clearActions();
    finish(injector.sendCleanBackspaces(0));
    finish(injector.sendCleanBackspaces(-3));
    EXPECT_TRUE(field.actions().isEmpty());
}

TEST_F(ContextInjectorTest, DeltaErasesByCharacterAndTypesTheRest)
{
    field.setContent(QStringLiteral("你好世界👍🏽"));
    finish(
        injector.applyCleanUnicodeDelta(QStringLiteral("你好世界👍🏽"), QStringLiteral("你好朋友")));
    EXPECT_EQ(field.backspacePresses(), 3);
    EXPECT_EQ(field.content(), QStringLiteral("你好朋友"));
}

TEST_F(ContextInjectorTest, NothingIsPostedWithoutTrust)
{
    field.setTrusted(false);
    field.setContent(QStringLiteral("keep"));
    injector.typeRawUnicodeLine(QStringLiteral("x"));
    finish(injector.typeCleanUnicode(QStringLiteral("a\nb")));
    finish(injector.sendCleanBackspaces(3));
    finish(injector.applyCleanUnicodeDelta(QStringLiteral("ab"), QStringLiteral("c")));
    EXPECT_FALSE(injector.sendSelectAllEvent());
    EXPECT_FALSE(injector.selectLeftCharacters(2));
    injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("p"));
    EXPECT_TRUE(field.actions().isEmpty());
    EXPECT_EQ(field.content(), QStringLiteral("keep"));
    EXPECT_FALSE(injector.readCurrentFocusedValue());
    // The safety clipboard needs no trust.
    injector.saveToSafetyClipboard(QStringLiteral("safe"));
    EXPECT_EQ(field.text(), QStringLiteral("safe"));
}

TEST_F(ContextInjectorTest, OurKeysGoToTheLedger)
{
    injector.typeRawUnicodeLine(QStringLiteral("ab"));
    EXPECT_GT(ledger.size(), 0u);
    KeyEvent echo{KeyEvent::Kind::KeyDown, KeyCode::Unknown, 0, false, true};
    EXPECT_TRUE(ledger.consumeMatch(echo));
}

TEST_F(ContextInjectorTest, TerminalsPasteWithShiftAndCannotSelectAll)
{
    workspace.setFrontmost(terminal());
    field.setTerminalMode(true);
    field.setContent(QStringLiteral("$ ls"));
    EXPECT_FALSE(injector.sendSelectAllEvent());
    EXPECT_FALSE(injector.selectLeftCharacters(2));
    EXPECT_EQ(field.chordCount(kSelectAll), 0);
    injector.pasteViaClipboardPreservingSnapshot(QStringLiteral(" -la"));
    EXPECT_EQ(field.chordCount(kTerminalPaste), 1);
    EXPECT_EQ(field.chordCount(kPaste), 0);
    EXPECT_EQ(field.content(), QStringLiteral("$ ls -la"));
}

// --- The clipboard ---

TEST_F(ContextInjectorTest, PasteRestoresEveryFormatAfterTheTargetTookTheText)
{
    field.simulateCopy(imageAndText());
    injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("听写结果"));
    EXPECT_EQ(field.content(), QStringLiteral("听写结果"));
    EXPECT_EQ(field.text(), QStringLiteral("听写结果"));
    scheduler.advance(159ms);
    EXPECT_EQ(field.clipboardRestoreCount(), 0) << "never before 0.16 s";
    scheduler.advance(1ms);
    EXPECT_EQ(field.snapshot(), imageAndText());
    EXPECT_FALSE(injector.hasPendingClipboardRestore());
}

TEST_F(ContextInjectorTest, RestoreWaitsForALateTargetAndGivesUpAfterOneSecond)
{
    field.setDeferredPaste(true);
    field.simulateCopy(imageAndText());
    injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("new text"));
    scheduler.advance(500ms);
    EXPECT_EQ(field.clipboardRestoreCount(), 0) << "the target has not asked yet";
    field.completePendingPastes();
    EXPECT_EQ(field.content(), QStringLiteral("new text")) << "the late target still gets the pasted text";
    scheduler.advance(20ms);
    EXPECT_EQ(field.snapshot(), imageAndText());

    // A target that never asks: the old contents return at 1 s.
    field.setContent({});
    injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("again"));
    scheduler.advance(999ms);
    EXPECT_EQ(field.text(), QStringLiteral("again"));
    scheduler.advance(1ms);
    EXPECT_EQ(field.snapshot(), imageAndText());
}

TEST_F(ContextInjectorTest, ACopyMadeMeanwhileSurvives)
{
    field.simulateCopy(imageAndText());
    injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("pasted"));
    scheduler.advance(100ms);
    const ClipboardSnapshot theirs{{{QStringLiteral("text/plain"), QByteArray("copied meanwhile")}}};
    field.simulateCopy(theirs);
    scheduler.advance(2s);
    EXPECT_EQ(field.snapshot(), theirs);
    EXPECT_EQ(field.clipboardRestoreCount(), 0);
}

TEST_F(ContextInjectorTest, BackToBackPastesGiveBackTheUsersContents)
{
    field.simulateCopy(imageAndText());
    injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("first "));
    scheduler.advance(50ms);
    injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("second"));
    EXPECT_EQ(field.content(), QStringLiteral("first second"));
    scheduler.advance(2s);
    EXPECT_EQ(field.snapshot(), imageAndText());
    EXPECT_EQ(field.clipboardRestoreCount(), 1);
}

TEST_F(ContextInjectorTest, EmptyClipboardKeepsThePastedTextAndSafetyTextStays)
{
    injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("only"));
    scheduler.advance(2s);
    EXPECT_EQ(field.text(), QStringLiteral("only"));
    EXPECT_EQ(field.clipboardRestoreCount(), 0);

    // Text left for the user after a paste is not overwritten by that paste's restore.
    field.simulateCopy(imageAndText());
    injector.pasteViaClipboardPreservingSnapshot(QStringLiteral("pasted"));
    injector.saveToSafetyClipboard(QStringLiteral("for you"));
    scheduler.advance(2s);
    EXPECT_EQ(field.text(), QStringLiteral("for you"));

    injector.saveToSafetyClipboard({});
    EXPECT_EQ(field.text(), QStringLiteral("for you"));
}

// --- List markers ---

TEST(ContextInjectorListMarkers, FindDetectAndCollapse)
{
    EXPECT_EQ(ContextInjector::extractLeadingListMarker(QStringLiteral("12.  item")),
              QStringLiteral("12.  "));
    EXPECT_EQ(ContextInjector::extractLeadingListMarker(QStringLiteral("• 点")), QStringLiteral("• "));
    EXPECT_FALSE(ContextInjector::extractLeadingListMarker(QStringLiteral("1.5 litres")));
    EXPECT_FALSE(ContextInjector::extractLeadingListMarker(QStringLiteral("-x")));

    const QString doubled = QStringLiteral("1. a\n2. 2. b");
    const QString clean = QStringLiteral("1. a\n2. b");
    EXPECT_TRUE(ContextInjector::containsDuplicatedListMarker(doubled, clean));
    EXPECT_FALSE(ContextInjector::containsDuplicatedListMarker(doubled, doubled));
    EXPECT_FALSE(ContextInjector::containsDuplicatedListMarker(doubled, QStringLiteral("x\n3. 3. y")));
    EXPECT_FALSE(ContextInjector::containsDuplicatedListMarker(clean, QStringLiteral("other")));

    EXPECT_EQ(ContextInjector::collapseDuplicatedListMarkers(QStringLiteral("  - - word")),
              QStringLiteral("  - word"));
    EXPECT_EQ(ContextInjector::collapseDuplicatedListMarkers(doubled), clean);
}
