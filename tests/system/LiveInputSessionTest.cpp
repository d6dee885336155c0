#include "LiveTypingFixture.h"

#include "util/Text.h"

#include <vector>

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
}

TEST(LiveInputSessionRules, UnstableTrailingPunctuationIsStripped)
{
    EXPECT_EQ(LiveInputSession::stripUnstableTrailingPunctuation(QStringLiteral("你好。，")),
              QStringLiteral("你好"));
    EXPECT_EQ(LiveInputSession::stripUnstableTrailingPunctuation(QStringLiteral("a.b. ")),
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

    struct Step {
        Duration at;
        int backlogBefore = 0;
        int typed = 0;
    };
    // Feeds one cloud partial and notes each typing step of the pacer while it works off the target.
    std::vector<Step> typingSteps(LiveInputSession& session, const QString& partial, Duration total)
    {
        std::vector<Step> steps;
        const Duration start = scheduler.elapsed();
        int emitted = Text::graphemeCount(session.currentText());
        session.updateLiveText(partial, false, true);
        const int target = Text::graphemeCount(session.targetConfirmedText());
        auto note = [&] {
            drainPacer();
            const int now = Text::graphemeCount(session.currentText());
            if (now != emitted)
                steps.push_back({scheduler.elapsed() - start, target - emitted, now - emitted});
            emitted = now;
        };
        note();
        for (Duration done{}; done < total; done += 1ms) {
            scheduler.advance(1ms);
            note();
        }
        return steps;
    }
};

TEST_F(LiveInputSessionTest, LocalPartialsAreTypedOnePartialLate)
{
    auto session = start();
    EXPECT_TRUE(session->updateLiveText(QStringLiteral("今天天气"), false, false));
    run(100ms);
    EXPECT_EQ(field.content(), QStringLiteral("今天天")) << "the first partial: all but its last character";

    const QStringList partials{QStringLiteral("今天天气很"), QStringLiteral("今天天气很好"),
                               QStringLiteral("今天天气很好啊")};
    const QStringList expected{QStringLiteral("今天天气"), QStringLiteral("今天天气很"),
                               QStringLiteral("今天天气很好")};
    for (qsizetype i = 0; i < partials.size(); ++i) {
        session->updateLiveText(partials[i], false, false);
        run(100ms);
        EXPECT_EQ(field.content(), expected[i]);
    }
    // Punctuation alone changes nothing.
    EXPECT_TRUE(session->updateLiveText(QStringLiteral("。，"), false, false));
    run(100ms);
    EXPECT_EQ(field.content(), QStringLiteral("今天天气很好"));
    // A final partial brings its last character too.
    session->updateLiveText(QStringLiteral("今天天气很好啊。"), true, false);
    run(100ms);
    EXPECT_EQ(field.content(), QStringLiteral("今天天气很好啊"));
    EXPECT_EQ(field.backspacePresses(), 0);
}

TEST_F(LiveInputSessionTest, PacerKeepsItsRhythm)
{
    struct Case {
        QString text;
        int firstChunk;
    };
    const std::vector<Case> cases{{QString(20, u'a'), 2}, {QString(20, u'字'), 2}, {QString(10, u'字'), 1}};
    for (const Case& c : cases) {
        field.setContent({});
        auto session = start();
        const std::vector<Step> steps = typingSteps(*session, c.text, 1s);
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.front().typed, c.firstChunk) << qPrintable(c.text);
        EXPECT_EQ(steps.front().at, Duration::zero()) << "the partial's own tick types at once";
        const bool ascii = c.text.front().unicode() < 0x80;
        for (std::size_t i = 1; i < steps.size(); ++i) {
            const int backlog = steps[i].backlogBefore;
            const Duration gap = backlog == 1 ? 18ms : backlog == 2 ? 14ms : backlog <= 5 ? 11ms : 8ms;
            const int chunk = backlog >= 19 ? 2 : (!ascii || backlog <= 2) ? 1 : 2;
            const Duration since = steps[i].at - steps[i - 1].at;
            EXPECT_GE(since, gap) << "backlog " << backlog;
            EXPECT_LT(since, gap + LiveInputSession::kPacerInterval) << "backlog " << backlog;
            EXPECT_EQ(steps[i].typed, chunk) << "backlog " << backlog;
        }
        EXPECT_EQ(field.content(), c.text);
    }
}

TEST_F(LiveInputSessionTest, CloudRevisionsOfUpToSixCharactersAreRetyped)
{
    auto session = startWithDraft(QStringLiteral("今天天气很好"));
    session->updateLiveText(QStringLiteral("今天天气真不错"), false, true);
    run(500ms);
    EXPECT_EQ(field.content(), QStringLiteral("今天天气真不错"));
    EXPECT_EQ(field.backspacePresses(), 2);

    // Seven typed characters would have to go: only appended to, never erased while live.
    field.setContent({});
    auto longer = startWithDraft(QStringLiteral("abcdefghij"));
    longer->updateLiveText(QStringLiteral("abcxyzuvwpq"), false, true);
    run(500ms);
    EXPECT_EQ(field.content(), QStringLiteral("abcdefghijq"));
    EXPECT_EQ(field.backspacePresses(), 0);

    // Nor across a line break.
    field.setContent({});
    auto lines = startWithDraft(QStringLiteral("ab\ncd"));
    lines->updateLiveText(QStringLiteral("abXYZ"), false, true);
    run(500ms);
    EXPECT_EQ(field.backspacePresses(), 0);
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

TEST_F(LiveInputSessionTest, WithoutTrustNothingIsTypedAndTheTextGoesToTheClipboard)
{
    auto session = start();
    field.setTrusted(false);
    EXPECT_FALSE(session->updateLiveText(QStringLiteral("你好"), true, false));
    run(100ms);
    EXPECT_FALSE(finish(session->finalizeAfterKeyRelease(QStringLiteral("你好。"))));
    EXPECT_TRUE(field.actions().isEmpty());
    EXPECT_EQ(field.text(), QStringLiteral("你好。"));
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

    // The field holds exactly the draft: one select-all instead of 19 Delete presses.
    {
        auto session = startWithDraft(draft);
        EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
        finish(session->consumeSSEChunk(answer));
        EXPECT_EQ(field.chordCount(kSelectAll), 1);
        EXPECT_EQ(field.backspacePresses(), 0);
        EXPECT_EQ(field.content(), answer);
    }
    // Other text in the field, an unreadable field, or a terminal: the draft is erased with Delete, and
    // the rest of the field survives.
    struct Case {
        const char* what;
        QString before;
        bool readable;
        bool terminal;
    };
    for (const Case& c :
         {Case{"other text", QStringLiteral("前文："), true, false},
          Case{"unreadable", QString(), false, false}, Case{"terminal", QString(), true, true}}) {
        field.setValueReadable(true);
        field.setTerminalMode(c.terminal);
        workspace.setFrontmost(c.terminal ? terminal() : editor());
        field.setContent(c.before);
        auto session = startWithDraft(draft);
        field.setValueReadable(c.readable);
        EXPECT_TRUE(finish(session->prepareForSSEPolishStream())) << c.what;
        finish(session->consumeSSEChunk(answer));
        EXPECT_EQ(field.chordCount(kSelectAll), 0) << c.what;
        EXPECT_EQ(field.backspacePresses(), 19) << c.what;
        EXPECT_EQ(field.content(), c.before + answer) << c.what;
    }
}

TEST_F(LiveInputSessionTest, StreamedListsAreNotDoubledByTheEditor)
{
    field.setListContinuation(true);
    auto session = start();
    EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
    for (const QString& chunk : {QStringLiteral("1. 苹果"), QStringLiteral("\n"), QStringLiteral("2"),
                                 QStringLiteral(". 香"), QStringLiteral("蕉\n3. 梨")})
        finish(session->consumeSSEChunk(chunk));
    finish(session->finishSSEPolishStream(QStringLiteral("1. 苹果\n2. 香蕉\n3. 梨")));
    EXPECT_EQ(field.content(), QStringLiteral("1. 苹果\n2. 香蕉\n3. 梨"));
}

TEST_F(LiveInputSessionTest, FinishRepairsMarkersTheEditorDoubled)
{
    auto session = start();
    EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
    finish(session->consumeSSEChunk(QStringLiteral("1. a\n2. b")));
    // The editor added its own marker where ours already stood.
    field.setContent(QStringLiteral("1. a\n2. 2. b"));
    field.simulateCopy({{{QStringLiteral("text/plain"), QByteArray("user's")}}});
    finish(session->finishSSEPolishStream(QStringLiteral("1. a\n2. b")));
    EXPECT_EQ(field.content(), QStringLiteral("1. a\n2. b"));
    EXPECT_EQ(field.chordCount(kSelectAll), 1);
    scheduler.advance(1s);
    EXPECT_EQ(field.text(), QStringLiteral("user's"));
}

// --- The final text without a stream ---

TEST_F(LiveInputSessionTest, FinalizeExtendsReplacesOrPastes)
{
    // The final text only extends the draft: just the extension is typed.
    {
        auto session = startWithDraft(QStringLiteral("今天天气"));
        EXPECT_TRUE(finish(session->finalizeAfterKeyRelease(QStringLiteral("今天天气很好。"))));
        EXPECT_EQ(field.content(), QStringLiteral("今天天气很好。"));
        EXPECT_EQ(field.chordCount(kPaste), 0);
        EXPECT_EQ(field.backspacePresses(), 0);
    }
    // The final text changes the draft: the draft is selected and replaced by a paste.
    {
        field.setContent({});
        auto session = startWithDraft(QStringLiteral("今天天气很好"));
        EXPECT_TRUE(finish(session->finalizeAfterKeyRelease(QStringLiteral("今天天气真不错。"))));
        EXPECT_EQ(field.content(), QStringLiteral("今天天气真不错。"));
        EXPECT_EQ(field.chordCount(kSelectAll), 1);
        EXPECT_EQ(field.chordCount(kPaste), 1);
    }
    // ... with other text in the field the draft alone is selected, leftwards.
    {
        field.setContent(QStringLiteral("前文："));
        auto session = startWithDraft(QStringLiteral("今天天气很好"));
        EXPECT_TRUE(finish(session->finalizeAfterKeyRelease(QStringLiteral("今天天气真不错。"))));
        EXPECT_EQ(field.content(), QStringLiteral("前文：今天天气真不错。"));
        EXPECT_EQ(field.chordCount(kSelectLeft), 6);
        EXPECT_EQ(field.chordCount(kSelectAll), 0);
    }
    // The field no longer holds the draft: the final text is pasted at the caret, nothing selected.
    {
        field.setContent({});
        auto session = startWithDraft(QStringLiteral("今天天气很好"));
        field.setContent(QStringLiteral("用户改过了"));
        EXPECT_TRUE(finish(session->finalizeAfterKeyRelease(QStringLiteral("今天天气真不错。"))));
        EXPECT_EQ(field.content(), QStringLiteral("用户改过了今天天气真不错。"));
        EXPECT_EQ(field.chordCount(kSelectLeft) + field.chordCount(kSelectAll), 0);
    }
    // The same text: nothing to do.
    {
        field.setContent({});
        auto session = startWithDraft(QStringLiteral("好的"));
        EXPECT_TRUE(finish(session->finalizeAfterKeyRelease(QStringLiteral("好的"))));
        EXPECT_TRUE(field.actions().isEmpty());
    }
}

TEST_F(LiveInputSessionTest, FinalizeInATerminalErasesTheDraftWithDelete)
{
    workspace.setFrontmost(terminal());
    field.setTerminalMode(true);
    field.setContent(QStringLiteral("$ "));
    auto session = startWithDraft(QStringLiteral("git statsu"));
    EXPECT_TRUE(finish(session->finalizeAfterKeyRelease(QStringLiteral("git status"))));
    EXPECT_EQ(field.content(), QStringLiteral("$ git status"));
    EXPECT_EQ(field.backspacePresses(), 10);
    EXPECT_EQ(field.chordCount(kTerminalPaste), 1);
}

TEST_F(LiveInputSessionTest, FinalizeWithoutATextInputLeavesTheClipboard)
{
    field.setRole(ElementRole::Button);
    auto session = start();
    ASSERT_FALSE(session->context().hasFocusedTextInput);
    EXPECT_FALSE(finish(session->finalizeAfterKeyRelease(QStringLiteral("留在剪贴板"))));
    EXPECT_EQ(field.text(), QStringLiteral("留在剪贴板"));
    EXPECT_TRUE(field.actions().isEmpty());
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
    drainPacer();
    scheduler.runDue();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(field.content(), QStringLiteral("前文")) << "the piece in flight was erased too";
    EXPECT_EQ(field.backspacePresses(), 2);

    // Nothing types after the session ended.
    session->updateLiveText(QStringLiteral("abcdefghijk"), false, true);
    run(100ms);
    EXPECT_EQ(field.content(), QStringLiteral("前文"));
    EXPECT_FALSE(finish(session->finalizeAfterKeyRelease(QStringLiteral("x"))));
}

TEST_F(LiveInputSessionTest, CancelErasesOnlyInTheTargetWindow)
{
    auto session = startWithDraft(QStringLiteral("你好世界"));
    workspace.setFrontmost(FrontmostApplication{
        QStringLiteral("Browser"), QStringLiteral("org.example.Browser"), 999, QStringLiteral("News")});
    finish(session->cancel());
    EXPECT_EQ(field.backspacePresses(), 0);
    EXPECT_EQ(field.content(), QStringLiteral("你好世界"));
}

TEST_F(LiveInputSessionTest, CancelDoesNotEraseCharactersHeldAfterALineBreak)
{
    field.setContent(QStringLiteral("前文"));
    auto session = start();
    EXPECT_TRUE(finish(session->prepareForSSEPolishStream()));
    finish(session->consumeSSEChunk(QStringLiteral("x\n2.")));
    EXPECT_EQ(field.content(), QStringLiteral("前文x\n")) << "the marker is held";
    finish(session->cancel());
    EXPECT_EQ(field.content(), QStringLiteral("前文"));
}
