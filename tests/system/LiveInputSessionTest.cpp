#include "LiveTypingFixture.h"

#include "util/Text.h"

namespace {

constexpr KeyChord kSelectAll{KeyCode::A, ModifierFlag::Control};
constexpr KeyChord kPaste{KeyCode::V, ModifierFlag::Control};
constexpr KeyChord kTerminalPaste{KeyCode::V, ModifierFlag::Control | ModifierFlag::Shift};
constexpr KeyChord kSelectLeft{KeyCode::LeftArrow, ModifierFlag::Shift};

QString agree(const char16_t* prev, const char16_t* curr, bool fast = false, bool flush = false)
{
    return LiveInputSession::computeLocalAgreement(QString::fromUtf16(prev), QString::fromUtf16(curr), fast,
                                                   flush);
}

std::optional<QString> continuation(const char16_t* confirmed, const char16_t* stable)
{
    return LiveInputSession::extractNewContinuationSuffix(QString::fromUtf16(confirmed),
                                                          QString::fromUtf16(stable));
}

} // namespace

// --- The text rules ---

TEST(LiveInputSessionRules, LocalAgreementHoldsTheLastCharacterBack)
{
    EXPECT_EQ(agree(u"", u""), QString());
    EXPECT_EQ(agree(u"你好", u"你好世", false, true), QStringLiteral("你好世")) << "a final partial flushes";
    EXPECT_EQ(agree(u"", u"今天天气", true), QStringLiteral("今天天")) << "the first partial goes at once";
    EXPECT_EQ(agree(u"", u"今", true), QString());
    EXPECT_EQ(agree(u"你好", u"你好世"), QStringLiteral("你好")) << "growing by one: one partial late";
    EXPECT_EQ(agree(u"今天天", u"金天天气"), QStringLiteral("金天天"))
        << "longer wins despite an early change";
    EXPECT_EQ(agree(u"你好世界", u"你好世界"), QStringLiteral("你好世"));
    EXPECT_EQ(agree(u"你好", u"你好"), QStringLiteral("你好"));
    EXPECT_EQ(agree(u"abcde", u"xdef"), QStringLiteral("xde")) << "still ends on the previous ending";
    EXPECT_EQ(agree(u"abcdef", u"abXdef"), QStringLiteral("ab")) << "up to the first difference";
    EXPECT_EQ(agree(u"ab👍🏽", u"ab👍🏽c"), QStringLiteral("ab👍🏽"))
        << "characters, not code units";
}

TEST(LiveInputSessionRules, ContinuationSuffixAlignsOnLettersAndDigits)
{
    EXPECT_EQ(continuation(u"", u"abc"), QStringLiteral("abc"));
    EXPECT_FALSE(continuation(u"abc", u""));
    EXPECT_EQ(continuation(u"你好", u"你好世界"), QStringLiteral("世界"));
    EXPECT_FALSE(continuation(u"你好", u"你好"));
    // Reworded: continues after where the confirmed text's last letters reappear.
    EXPECT_EQ(continuation(u"hello wor", u"Hello, world today"), QStringLiteral("ld today"));
    // No anchor match: continues after as many core characters as were confirmed.
    EXPECT_EQ(continuation(u"今天天气", u"今日天气很好"), QStringLiteral("很好"));
    // Nothing new among the letters and digits.
    EXPECT_FALSE(continuation(u"你好", u"，"));
    EXPECT_FALSE(continuation(u"今天天气", u"今日天气"));

    EXPECT_EQ(LiveInputSession::stripUnstableTrailingPunctuation(QStringLiteral("a.b.。， ")),
              QStringLiteral("a.b"));
    EXPECT_TRUE(LiveInputSession::stripUnstableTrailingPunctuation(QStringLiteral("…！ ")).isEmpty());
    EXPECT_EQ(LiveInputSession::alphanumericOnly(QStringLiteral("a, 好-1!")), QStringLiteral("a好1"));
}

// --- Live typing ---

class LiveInputSessionTest : public LiveTypingFixture {
protected:
    std::shared_ptr<LiveInputSession> start()
    {
        return LiveInputSession::create(injector, injector.captureCurrentContext());
    }

    // Types a draft through the pacer as a cloud recogniser would deliver it.
    std::shared_ptr<LiveInputSession> startWithDraft(const QString& draft)
    {
        auto session = start();
        session->updateLiveText(draft, false, true);
        run(2s);
        EXPECT_EQ(session->currentText(), draft);
        field.clearActions();
        return session;
    }
};

TEST_F(LiveInputSessionTest, LocalPartialsAreTypedOnePartialLate)
{
    const struct {
        const char16_t* partial;
        bool final;
        const char16_t* typed;
    } steps[] = {
        {u"今天天气", false, u"今天天"}, // the first partial: all but its last character
        {u"今天天气很", false, u"今天天气"},
        {u"今天天气很好", false, u"今天天气很"},
        {u"今天天气很好啊", false, u"今天天气很好"},
        {u"。，", false, u"今天天气很好"},              // punctuation alone changes nothing
        {u"今天天气很好啊。", true, u"今天天气很好啊"}, // a final partial brings its last character
    };
    auto session = start();
    for (const auto& step : steps) {
        SCOPED_TRACE(QString::fromUtf16(step.partial).toStdString());
        EXPECT_TRUE(session->updateLiveText(QString::fromUtf16(step.partial), step.final, false));
        run(100ms);
        EXPECT_EQ(field.content(), QString::fromUtf16(step.typed));
    }
    EXPECT_EQ(field.backspacePresses(), 0);
}

TEST_F(LiveInputSessionTest, PacerKeepsItsRhythm)
{
    // Each typing step's size, and its gap after the previous one, follow the backlog still to type.
    for (const QString& text : {QString(20, u'a'), QString(20, u'字'), QString(10, u'字')}) {
        SCOPED_TRACE(text.toStdString());
        field.setContent({});
        auto session = start();
        session->updateLiveText(text, false, true);
        const int target = Text::graphemeCount(session->targetConfirmedText());
        const bool ascii = text.front().unicode() < 0x80;
        int emitted = 0;
        std::optional<Duration> lastStep;
        for (Duration at{}; at <= 1s; at += 1ms, scheduler.advance(1ms)) {
            drainPacer();
            const int now = Text::graphemeCount(session->currentText());
            if (now == emitted)
                continue;
            const int backlog = target - emitted;
            EXPECT_EQ(now - emitted, backlog >= 19 ? 2 : (!ascii || backlog <= 2) ? 1 : 2) << backlog;
            const Duration gap = backlog == 1 ? 18ms : backlog == 2 ? 14ms : backlog <= 5 ? 11ms : 8ms;
            if (!lastStep) {
                EXPECT_EQ(at, Duration::zero()) << "the partial's own tick types at once";
            } else {
                EXPECT_GE(at - *lastStep, gap) << backlog;
                EXPECT_LT(at - *lastStep, gap + LiveInputSession::kPacerInterval) << backlog;
            }
            lastStep = at;
            emitted = now;
        }
        EXPECT_EQ(field.content(), text);
    }
}

TEST_F(LiveInputSessionTest, CloudRevisionsOfUpToSixCharactersAreRetyped)
{
    const struct {
        const char* what;
        const char16_t *draft, *revision, *typed;
        int backspaces;
    } cases[] = {
        {"two characters retyped", u"今天天气很好", u"今天天气真不错", u"今天天气真不错", 2},
        {"seven would go: only appended to", u"abcdefghij", u"abcxyzuvwpq", u"abcdefghijq", 0},
        {"never across a line break", u"ab\ncd", u"abXYZ", nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        field.setContent({});
        auto session = startWithDraft(QString::fromUtf16(c.draft));
        session->updateLiveText(QString::fromUtf16(c.revision), false, true);
        run(500ms);
        if (c.typed) {
            EXPECT_EQ(field.content(), QString::fromUtf16(c.typed));
        }
        EXPECT_EQ(field.backspacePresses(), c.backspaces);
    }
}

TEST_F(LiveInputSessionTest, NothingIsTypedBeforeTheModeIsDecidedOrOverASelection)
{
    auto session = LiveInputSession::create(injector, std::nullopt);
    session->updateLiveText(QStringLiteral("你好世界"), false, true);
    run(200ms);
    EXPECT_TRUE(field.content().isEmpty()) << "the background capture has not decided yet";
    session->updateContext(injector.captureCurrentContext());
    run(200ms);
    EXPECT_EQ(field.content(), QStringLiteral("你好世界"));

    // The capture found a selection: live typing would replace it.
    field.setContent(QStringLiteral("请改写这一段"));
    field.select(0, 6);
    auto overSelection = start();
    ASSERT_FALSE(overSelection->context().selectedText.isEmpty());
    overSelection->updateLiveText(QStringLiteral("改成英文"), false, true);
    run(200ms);
    EXPECT_EQ(field.content(), QStringLiteral("请改写这一段"));
    EXPECT_EQ(field.selectedContent(), QStringLiteral("请改写这一段"));
    EXPECT_FALSE(finish(overSelection->prepareForSSEPolishStream()));
}

TEST_F(LiveInputSessionTest, WithoutTrustOrATextInputTheTextGoesToTheClipboard)
{
    auto untrusted = start();
    field.setTrusted(false);
    EXPECT_FALSE(untrusted->updateLiveText(QStringLiteral("你好"), true, false));
    run(100ms);
    EXPECT_FALSE(finish(untrusted->finalizeAfterKeyRelease(QStringLiteral("你好。"))));
    EXPECT_EQ(field.text(), QStringLiteral("你好。"));

    field.setTrusted(true);
    field.setRole(ElementRole::Button);
    auto onAButton = start();
    ASSERT_FALSE(onAButton->context().hasFocusedTextInput);
    EXPECT_FALSE(finish(onAButton->finalizeAfterKeyRelease(QStringLiteral("留在剪贴板"))));
    EXPECT_EQ(field.text(), QStringLiteral("留在剪贴板"));
    EXPECT_TRUE(field.actions().isEmpty()) << "nothing typed in either case";
}

// --- The polished stream ---

TEST_F(LiveInputSessionTest, StreamStaysSilentWhileRepeatingThenErasesOnce)
{
    auto session = startWithDraft(QStringLiteral("今天天气很好"));
    EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
    finish(session->consumeSSEChunk(QStringLiteral("今天")));
    finish(session->consumeSSEChunk(QStringLiteral("天气")));
    EXPECT_TRUE(field.actions().isEmpty()) << "the model repeats the draft";
    finish(session->consumeSSEChunk(QStringLiteral("真好！")));
    EXPECT_EQ(field.backspacePresses(), 2);
    EXPECT_EQ(field.content(), QStringLiteral("今天天气真好！"));
    finish(session->consumeSSEChunk(QStringLiteral("出去走走吧。")));
    finish(session->finishSSEPolishStream(QStringLiteral("今天天气真好！出去走走吧。")));
    EXPECT_EQ(field.content(), QStringLiteral("今天天气真好！出去走走吧。"));
    EXPECT_EQ(session->currentText(), field.content());
}

TEST_F(LiveInputSessionTest, PrepareTypesWhatIsStillPending)
{
    auto session = start();
    session->updateLiveText(QStringLiteral("abcdefghijklmnop"), false, true);
    EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
    EXPECT_EQ(field.content(), QStringLiteral("abcdefghijklmnop"));
    // The pacer is stopped: later partials type nothing.
    session->updateLiveText(QStringLiteral("abcdefghijklmnopqrs"), false, true);
    run(200ms);
    EXPECT_EQ(field.content(), QStringLiteral("abcdefghijklmnop"));
}

TEST_F(LiveInputSessionTest, AStreamWithNothingInCommonReplacesTheDraft)
{
    const QString draft = QStringLiteral("嗯那个我们明天下午三点开会讨论一下预算");
    const QString answer = QStringLiteral("明天 15:00 开会讨论预算。");
    ASSERT_EQ(Text::graphemeCount(draft), 19);
    // The field holds exactly the draft: one select-all instead of 19 Delete presses. Other text in the
    // field, or an unreadable field: the draft is erased with Delete, the rest survives.
    const struct {
        const char* what;
        QString before;
        bool readable;
        int selectAll, backspaces;
    } cases[] = {{"only the draft", {}, true, 1, 0},
                 {"other text", QStringLiteral("前文："), true, 0, 19},
                 {"unreadable", {}, false, 0, 19}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        field.setValueReadable(true);
        field.setContent(c.before);
        auto session = startWithDraft(draft);
        field.setValueReadable(c.readable);
        EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
        finish(session->consumeSSEChunk(answer));
        EXPECT_EQ(field.chordCount(kSelectAll), c.selectAll);
        EXPECT_EQ(field.backspacePresses(), c.backspaces);
        EXPECT_EQ(field.content(), c.before + answer);
    }
}

TEST_F(LiveInputSessionTest, StreamedListsEndWithoutDoubledMarkers)
{
    // The editor continues the list itself: markers split over chunks are not typed a second time.
    field.setListContinuation(true);
    auto session = start();
    EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
    for (const QString& chunk : {QStringLiteral("1. 苹果"), QStringLiteral("\n"), QStringLiteral("2"),
                                 QStringLiteral(". 香"), QStringLiteral("蕉\n3. 梨")})
        finish(session->consumeSSEChunk(chunk));
    finish(session->finishSSEPolishStream(QStringLiteral("1. 苹果\n2. 香蕉\n3. 梨")));
    EXPECT_EQ(field.content(), QStringLiteral("1. 苹果\n2. 香蕉\n3. 梨"));

    // A marker the editor doubled anyway is repaired at the end, and the user's clipboard comes back.
    field.setListContinuation(false);
    field.setContent({});
    field.clearActions();
    auto doubled = start();
    EXPECT_TRUE(finish(doubled->prepareForSSEPolishStream()));
    finish(doubled->consumeSSEChunk(QStringLiteral("1. a\n2. b")));
    field.setContent(QStringLiteral("1. a\n2. 2. b"));
    field.simulateCopy({{{QStringLiteral("text/plain"), QByteArray("user's")}}});
    finish(doubled->finishSSEPolishStream(QStringLiteral("1. a\n2. b")));
    EXPECT_EQ(field.content(), QStringLiteral("1. a\n2. b"));
    EXPECT_EQ(field.chordCount(kSelectAll), 1);
    scheduler.advance(1s);
    EXPECT_EQ(field.text(), QStringLiteral("user's"));
}

TEST_F(LiveInputSessionTest, StreamedPiecesLandInOrderBehindASlowField)
{
    auto session = start();
    EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
    // The pieces arrive as the model sends them, none waiting for the one before, while keys go out slowly.
    field.holdKeystrokes();
    const QStringList pieces{QStringLiteral("1. 苹果"), QStringLiteral("\n2. 香"), QStringLiteral("蕉\n3"),
                             QStringLiteral(". 梨子"), QStringLiteral("和葡萄")};
    std::vector<QCoro::Task<>> inFlight;
    for (const QString& piece : pieces)
        inFlight.push_back(session->consumeSSEChunk(piece));
    ASSERT_TRUE(field.waitForHeldKeystroke());
    field.releaseKeystrokes();
    finish(session->finishSSEPolishStream(pieces.join(QString())));
    EXPECT_EQ(field.content(), pieces.join(QString()));
    EXPECT_EQ(field.backspacePresses(), 0);
}

TEST_F(LiveInputSessionTest, KeysThatCannotBePostedLeaveTheFinalTextOnTheClipboard)
{
    const QString refused = QStringLiteral("The X server refused a synthetic key (error 2)");
    for (bool duringTick : {true, false}) {
        SCOPED_TRACE(duringTick ? "a pacer tick fails" : "the final typing fails");
        field.setFailure(std::nullopt);
        field.setContent({});
        auto session = startWithDraft(QStringLiteral("今天天气"));
        field.setFailure(refused);
        if (duringTick) {
            session->updateLiveText(QStringLiteral("今天天气很好啊"), false, true);
            run(200ms);
            EXPECT_FALSE(finish(session->prepareForSSEPolishStream())) << "no stream into a failing field";
        }
        EXPECT_FALSE(finish(session->finalizeAfterKeyRelease(QStringLiteral("今天天气很好啊。"))));
        EXPECT_EQ(field.text(), QStringLiteral("今天天气很好啊。"));
        EXPECT_EQ(field.content(), QStringLiteral("今天天气"));
    }
}

// --- The final text without a stream ---

TEST_F(LiveInputSessionTest, FinalizeExtendsReplacesOrPastes)
{
    const struct {
        const char* what;
        const char16_t *before, *draft, *editedTo, *final, *result;
        int selectAll, selectLeft, backspaces, pastes;
    } cases[] = {
        {"only extended: the extension is typed", u"", u"今天天气", nullptr, u"今天天气很好。",
         u"今天天气很好。", 0, 0, 0, 0},
        {"changed: the draft is selected and pasted over", u"", u"今天天气很好", nullptr, u"今天天气真不错。",
         u"今天天气真不错。", 1, 0, 0, 1},
        {"other text in the field: only the draft is selected, leftwards", u"前文：", u"今天天气很好",
         nullptr, u"今天天气真不错。", u"前文：今天天气真不错。", 0, 6, 0, 1},
        {"the user changed the field: pasted at the caret", u"", u"今天天气很好", u"用户改过了",
         u"今天天气真不错。", u"用户改过了今天天气真不错。", 0, 0, 0, 1},
        {"the same text: nothing to do", u"", u"好的", nullptr, u"好的", u"好的", 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        field.setContent(QString::fromUtf16(c.before));
        auto session = startWithDraft(QString::fromUtf16(c.draft));
        if (c.editedTo)
            field.setContent(QString::fromUtf16(c.editedTo));
        EXPECT_TRUE(finish(session->finalizeAfterKeyRelease(QString::fromUtf16(c.final))));
        EXPECT_EQ(field.content(), QString::fromUtf16(c.result));
        EXPECT_EQ(field.chordCount(kSelectAll), c.selectAll);
        EXPECT_EQ(field.chordCount(kSelectLeft), c.selectLeft);
        EXPECT_EQ(field.backspacePresses(), c.backspaces);
        EXPECT_EQ(field.chordCount(kPaste), c.pastes);
        if (c.draft == std::u16string_view(c.final)) {
            EXPECT_TRUE(field.actions().isEmpty());
        }
    }
}

// --- Cancel ---

TEST_F(LiveInputSessionTest, CancelWaitsForASlowTickThenErasesEverything)
{
    field.setContent(QStringLiteral("前文"));
    auto session = start();
    field.holdKeystrokes();
    session->updateLiveText(QStringLiteral("abcdefghij"), false, true);
    ASSERT_TRUE(field.waitForHeldKeystroke()) << "the tick is typing";

    bool cancelled = false;
    auto waiter = store(session->cancel(), cancelled);
    scheduler.advance(100ms); // the pacer queue is busy: nothing may be erased under the tick
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(field.backspacePresses(), 0);

    field.releaseKeystrokes();
    settle();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(field.content(), QStringLiteral("前文")) << "the piece in flight was erased too";
    EXPECT_EQ(field.backspacePresses(), 2);

    // Nothing types after the session ended.
    session->updateLiveText(QStringLiteral("abcdefghijk"), false, true);
    run(100ms);
    EXPECT_EQ(field.content(), QStringLiteral("前文"));
    EXPECT_FALSE(finish(session->finalizeAfterKeyRelease(QStringLiteral("x"))));
}

TEST_F(LiveInputSessionTest, CancelErasesOnlyWhatItTypedInTheTargetWindow)
{
    auto session = startWithDraft(QStringLiteral("你好世界"));
    workspace.setFrontmost(FrontmostApplication{
        QStringLiteral("Browser"), QStringLiteral("org.example.Browser"), 999, QStringLiteral("News")});
    finish(session->cancel());
    EXPECT_EQ(field.backspacePresses(), 0);
    EXPECT_EQ(field.content(), QStringLiteral("你好世界"));

    // A list marker held back after a line break was never typed: it is not erased either.
    workspace.setFrontmost(editor());
    field.setContent(QStringLiteral("前文"));
    auto stream = start();
    EXPECT_TRUE(finish(stream->prepareForSSEPolishStream()));
    finish(stream->consumeSSEChunk(QStringLiteral("x\n2.")));
    EXPECT_EQ(field.content(), QStringLiteral("前文x\n")) << "the marker is held";
    finish(stream->cancel());
    EXPECT_EQ(field.content(), QStringLiteral("前文"));
}

// --- The target window ---

namespace {

constexpr KeyChord kLineBreak{KeyCode::Return, ModifierFlag::Shift};

FrontmostApplication withWindow(FrontmostApplication app, quint64 window)
{
    app.windowId = window;
    return app;
}

} // namespace

// Once the focus has left the window the dictation began in, nothing more is typed anywhere, also should it
// come back; the final text goes in as one paste where the focus is, or onto the clipboard when nothing there
// takes text.
TEST_F(LiveInputSessionTest, OnceTheFocusLeavesNothingMoreIsTypedAndTheEndIsOnePaste)
{
    const FrontmostApplication notes = withWindow(editor(), 11);
    const FrontmostApplication otherNotesWindow = withWindow(editor(), 12); // the same application
    const FrontmostApplication shell = withWindow(terminal(), 21);
    const struct {
        const char* what;
        bool stream;
        FrontmostApplication movedTo;
        bool comesBack, inputThere;
        KeyChord paste;
    } cases[] = {
        {"live partials, then a terminal", false, shell, false, true, kTerminalPaste},
        {"the polished stream, then a terminal", true, shell, false, true, kTerminalPaste},
        {"another window of the same application", true, otherNotesWindow, false, true, kPaste},
        {"the focus comes back before the end", false, shell, true, true, kPaste},
        {"nothing there takes text", false, otherNotesWindow, false, false, kPaste},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        field.setTerminalMode(false);
        field.setRole(ElementRole::Other);
        field.setContent({});
        workspace.setFrontmost(notes);
        auto session = startWithDraft(QStringLiteral("今天天气"));
        if (c.stream) {
            EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
            finish(session->consumeSSEChunk(QStringLiteral("今天天气很好，")));
            ASSERT_EQ(field.content(), QStringLiteral("今天天气很好，"));
        }
        const QString typedBefore = field.content();
        field.clearActions();

        workspace.setFrontmost(c.movedTo);
        field.setTerminalMode(c.movedTo.bundleIdentifier == shell.bundleIdentifier);
        if (!c.inputThere)
            field.setRole(ElementRole::Button);
        if (c.stream) {
            finish(session->consumeSSEChunk(QStringLiteral("我们去公园")));
            finish(session->consumeSSEChunk(QStringLiteral("\nls -la /tmp\n")));
        } else {
            session->updateLiveText(QStringLiteral("今天天气很好我们去公园"), false, true);
            run(300ms);
        }
        EXPECT_TRUE(field.actions().isEmpty()) << "no key after the focus left";
        EXPECT_TRUE(session->hasLostTargetWindow());
        if (c.comesBack) {
            workspace.setFrontmost(notes);
            field.setTerminalMode(false);
            session->updateLiveText(QStringLiteral("今天天气很好我们去公园散步"), false, true);
            run(300ms);
            EXPECT_TRUE(field.actions().isEmpty()) << "nor once it is back";
        }

        const QString finalText = QStringLiteral("今天天气很好，我们去公园散步吧。");
        const bool inserted = c.stream ? finish(session->finishSSEPolishStream(finalText))
                                       : finish(session->finalizeAfterKeyRelease(finalText));
        if (c.inputThere) {
            EXPECT_TRUE(inserted);
            EXPECT_EQ(field.actions(), QList<SynthAction>{SynthAction::pressed(c.paste)})
                << "one paste, no key";
            EXPECT_EQ(field.content(), typedBefore + finalText);
        } else {
            EXPECT_FALSE(inserted);
            EXPECT_TRUE(field.actions().isEmpty());
            EXPECT_EQ(field.text(), finalText) << "left on the clipboard";
        }
        finish(session->cancel());
        EXPECT_EQ(field.backspacePresses(), 0);
    }
}

// The focus is looked at before every batch of keys, not once per call: a long piece typed in several
// batches stops at the first batch after the focus moved.
TEST_F(LiveInputSessionTest, TheFocusIsCheckedBeforeEveryBatchOfKeys)
{
    workspace.setFrontmost(withWindow(editor(), 11));
    auto session = start();
    EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
    field.holdKeystrokes();
    bool done = false;
    auto piece = store(session->consumeSSEChunk(QStringLiteral("第一行文字\n第二行文字\n第三行文字")), done);
    ASSERT_TRUE(field.waitForHeldKeystroke()) << "the first batch is being typed";
    workspace.setFrontmost(withWindow(terminal(), 21));
    field.releaseKeystrokes();
    settle();
    EXPECT_TRUE(done);
    EXPECT_EQ(field.content(), QStringLiteral("第一行文字")) << "only the batch already under way";
    EXPECT_EQ(field.chordCount(kLineBreak), 0);
}

// A terminal runs each line it receives: nothing is typed into one, live or streamed; its text is one paste
// at the end, which a shell takes as a bracketed paste and does not run.
TEST_F(LiveInputSessionTest, InATerminalNothingIsTypedAndTheTextIsOnePaste)
{
    field.setTerminalMode(true);
    workspace.setFrontmost(terminal());
    field.setContent(QStringLiteral("$ "));
    auto session = start();
    session->updateLiveText(QStringLiteral("ls -la /tmp\necho done"), false, true);
    session->updateLiveText(QStringLiteral("ls -la /tmp\necho done now"), true, false);
    run(300ms);
    EXPECT_TRUE(field.actions().isEmpty());
    EXPECT_FALSE(finish(session->prepareForSSEPolishStream())) << "no stream into a terminal";
    EXPECT_TRUE(finish(session->finalizeAfterKeyRelease(QStringLiteral("ls -la /tmp\necho done"))));
    EXPECT_EQ(field.actions(), QList<SynthAction>{SynthAction::pressed(kTerminalPaste)});
    EXPECT_EQ(field.content(), QStringLiteral("$ ls -la /tmp\necho done"));
    EXPECT_FALSE(session->hasLostTargetWindow());
}

// A session can outlive its injector (a coroutine still holds it at quit): its pacer keeps ticking on the
// scheduler, but the injector's stopped queue runs none of those ticks, so nothing reaches the gone injector.
TEST_F(LiveInputSessionTest, PacerOfASessionOutlivingItsInjectorTypesNothing)
{
    auto own = std::make_unique<ContextInjector>(field, field, field, workspace, scheduler, ledger,
                                                 [this] { return screens; });
    auto session = LiveInputSession::create(*own, own->captureCurrentContext());
    session->updateLiveText(QStringLiteral("你好世界，今天开会"), false, true);
    for (int step = 0; step < 20; ++step) {
        scheduler.advance(1ms);
        own->pacerQueue()->sync([] {});
    }
    const QString typedBefore = field.content();
    ASSERT_FALSE(typedBefore.isEmpty()) << "the pacer was typing";
    own.reset();
    scheduler.advance(2s);
    EXPECT_EQ(field.content(), typedBefore);
}
