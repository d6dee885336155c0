#include "AppStateHarness.h"
#include "lexicon/PersonalLexiconStore.h"
#include "support/QtPrinters.h"
#include "system/ContextInjector.h"
#include "system/LiveInputSession.h"
#include "util/AppIdentity.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Only ends a wait for an answer that will never come.
constexpr qint64 kAnswerWaitMs = 60000;

const FrontmostApplication kEditor{QStringLiteral("Kate"), QStringLiteral("org.kde.kate"),
                                   FakeTextField::kProcessId, QStringLiteral("notes.md — Kate")};
const FrontmostApplication kOwnWindow{QStringLiteral("Quorbell"), AppIdentity::bundleIdentifier(), 1,
                                      QStringLiteral("Quorbell")};

// Live typing on, into a real-behaving text field of another application; polishing stays local.
class LiveTypingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        h.workspace.setFrontmost(kEditor);
        h.useTextField(field);
        h.accessibilityOverride = &gate;
        h.start(AppStateHarness::verbatimDictation());
        h.state->lexiconStore().setEntries({});
        // The settings file cannot switch it on: the first start turns it off once.
        h.changeConfig([](LLMConfig& config) { config.enableLiveInlineTyping = true; });
    }

    void TearDown() override
    {
        gate.release();
        h.state.reset(); // its capture queue still holds the gate
    }

    AppState& state() { return *h.state; }

    // Lets virtual time pass in pacer steps, with every tick typed and the main loop run, until `done` (or a
    // bounded number of steps).
    bool pump(const std::function<bool()>& done, int steps = 200)
    {
        auto step = [&] {
            h.scheduler.advance(LiveInputSession::kPacerInterval);
            h.state->contextInjector().pacerQueue()->sync([] {});
            QCoreApplication::processEvents();
        };
        for (int i = 0; i < steps; ++i) {
            if (done && done())
                return true;
            step();
        }
        if (!done)
            return false;
        // The context capture runs on a thread of its own, in real time: on a busy machine it lags the steps.
        return QTest::qWaitFor(
            [&] {
                step();
                return done();
            },
            30000);
    }

    void finish()
    {
        auto finished = watch(state().finishDictationSession());
        ASSERT_TRUE(pump([&] { return finished->done; }, 2000));
    }

    FakeTextField field;
    CaptureGate gate{field};
    AppStateHarness h;
};

} // namespace

TEST_F(LiveTypingTest, PartialsAreTypedOnlyOnceTheCaptureHasDecided)
{
    field.setContent(QStringLiteral("前文"));
    gate.hold();
    h.begin();
    ASSERT_TRUE(gate.waitForReads(1)); // the capture is looking for a selection
    h.engine->onPartialResult(QStringLiteral("你好世界"), true);
    pump({}, 50);
    EXPECT_EQ(field.content(), QStringLiteral("前文")) << "nothing typed while the mode is undecided";
    EXPECT_TRUE(field.actions().isEmpty());

    gate.release();
    ASSERT_TRUE(pump([&] { return field.content() == QStringLiteral("前文你好世界"); }))
        << field.content().toStdString();

    h.engine->transcripts.push_back({QStringLiteral("你好世界"), 1});
    finish();
    EXPECT_EQ(field.content(), QStringLiteral("前文你好世界")) << "the final text takes the draft's place";
    EXPECT_TRUE(state().phase().is<PipelinePhase::Completed>());
    ASSERT_EQ(state().history().size(), 1);
}

TEST_F(LiveTypingTest, ASelectionFoundByTheCaptureIsNeverTypedOver)
{
    field.setContent(QStringLiteral("周五之前交报告"));
    field.select(0, 7);
    gate.hold();
    h.begin();
    ASSERT_TRUE(gate.waitForReads(1));
    // Arrives while the session still counts as a dictation.
    h.engine->onPartialResult(QStringLiteral("改得正式一点"), true);
    pump({}, 20);
    gate.release();
    // The capture answers from its own thread: wait for it in real time, not in pacer steps.
    ASSERT_TRUE(h.settle([&] {
        return state().phase() == PipelinePhase::listening(QString(), DictationMode::rewriteSelection);
    }));
    h.engine->onPartialResult(QStringLiteral("改得正式一点吧"), true);
    pump({}, 50);
    EXPECT_EQ(field.content(), QStringLiteral("周五之前交报告"));
    EXPECT_EQ(field.selectedContent(), QStringLiteral("周五之前交报告"));
    EXPECT_TRUE(field.actions().isEmpty());

    state().cancelDictationSession();
    pump({}, 50);
    EXPECT_EQ(field.content(), QStringLiteral("周五之前交报告"))
        << "a cancel erases nothing that was not typed";
    EXPECT_EQ(field.backspacePresses(), 0);
}

TEST_F(LiveTypingTest, CancelOrAnEmptyTranscriptErasesWhatWasTypedLive)
{
    int captures = 0;
    for (bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancel" : "empty transcript");
        field.setContent(QStringLiteral("前文"));
        const int backspacesBefore = field.backspacePresses();
        h.begin();
        // The capture runs in real time on its own thread; virtual time must not run ahead of it.
        ASSERT_TRUE(gate.waitForReads(++captures));
        h.engine->onPartialResult(QStringLiteral("今天开会"), true);
        ASSERT_TRUE(pump([&] { return field.content() == QStringLiteral("前文今天开会"); }))
            << field.content().toStdString();
        h.sounds.clear();
        if (cancel)
            state().cancelDictationSession();
        else
            finish(); // the engine's final transcript is empty
        ASSERT_TRUE(pump([&] { return field.content() == QStringLiteral("前文"); }))
            << field.content().toStdString();
        pump({}, 50);
        EXPECT_EQ(field.content(), QStringLiteral("前文"));
        EXPECT_EQ(field.backspacePresses() - backspacesBefore, 4) << "only the live-typed characters";
        EXPECT_EQ(state().phase(), PipelinePhase::idle());
        EXPECT_TRUE(state().history().isEmpty());
        ASSERT_EQ(h.sounds.played().size(), cancel ? 1 : 0);
        if (cancel) {
            EXPECT_EQ(h.sounds.played().first().sound, SystemSound::Funk);
        }
    }
}

TEST_F(LiveTypingTest, OwnWindowSessionShowsPartialsInTheTryOutBox)
{
    h.workspace.setFrontmost(kOwnWindow);
    state().setSandboxText(QStringLiteral("前文："));
    h.begin();
    h.engine->onPartialResult(QStringLiteral("你好"), false);
    EXPECT_EQ(state().sandboxText(), QStringLiteral("前文：你好"));
    h.engine->onPartialResult(QStringLiteral("你好世界"), true);
    EXPECT_EQ(state().sandboxText(), QStringLiteral("前文：你好世界"));
    pump({}, 50);
    EXPECT_TRUE(field.actions().isEmpty()) << "no keystrokes for our own window";

    state().cancelDictationSession();
    EXPECT_EQ(state().sandboxText(), QStringLiteral("前文：")) << "a cancel restores the box";
}

TEST_F(LiveTypingTest, LiveTypingSwitchedOnMidSessionFallsThroughToPaste)
{
    h.changeConfig([](LLMConfig& config) { config.enableLiveInlineTyping = false; });
    h.begin();
    h.changeConfig([](LLMConfig& config) { config.enableLiveInlineTyping = true; });
    h.engine->onPartialResult(QStringLiteral("今天开会"), true);
    pump({}, 50);
    EXPECT_EQ(field.content(), QString()) << "this session has no live typing";

    h.engine->transcripts.push_back({QStringLiteral("今天开会"), 1});
    finish();
    EXPECT_EQ(field.content(), QStringLiteral("今天开会"));
    EXPECT_EQ(field.actions(), QList{SynthAction::pressed({KeyCode::V, ModifierFlag::Control})})
        << "pasted once, nothing typed";
    EXPECT_TRUE(state().phase().is<PipelinePhase::Completed>());
    ASSERT_EQ(state().history().size(), 1);
}

TEST_F(LiveTypingTest, PolishedTextStreamsIntoTheFieldInPlaceOfTheLiveDraft)
{
    h.changeConfig([](LLMConfig& config) { config.formattingStyle = FormattingStyle::structured; });
    auto chunk = [](const char* text) -> QByteArray {
        const QJsonObject delta{{QStringLiteral("content"), QString::fromUtf8(text)}};
        const QJsonObject choice{{QStringLiteral("index"), 0}, {QStringLiteral("delta"), delta}};
        return "data: " +
               QJsonDocument(QJsonObject{{QStringLiteral("choices"), QJsonArray{choice}}})
                   .toJson(QJsonDocument::Compact) +
               "\n\n";
    };
    h.server.setHandler([&](const ScriptedHttpServer::Request& request) {
        if (request.path.endsWith("/chat/completions"))
            return ScriptedHttpServer::Reply::sse(
                {chunk("今天开会，"), chunk("讨论预算。"), "data: [DONE]\n\n"});
        return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
    });
    field.setContent(QStringLiteral("前文"));
    h.begin();
    ASSERT_TRUE(gate.waitForReads(1)); // the capture, on its own thread
    h.engine->onPartialResult(QStringLiteral("今天开会讨论预算"), true);
    ASSERT_TRUE(pump([&] { return field.content() == QStringLiteral("前文今天开会讨论预算"); }))
        << field.content().toStdString();

    h.engine->transcripts.push_back({QStringLiteral("今天开会讨论预算"), 1});
    auto finished = watch(state().finishDictationSession());
    // The model answers over a real socket: virtual time never runs ahead of real time, so the transfer's
    // limit can only run out after as long a real wait, however slowly a busy machine reads the answer.
    QElapsedTimer real;
    real.start();
    Duration advanced{};
    while (!finished->done && real.elapsed() < kAnswerWaitMs) {
        if (std::chrono::nanoseconds(real.nsecsElapsed()) - advanced >= LiveInputSession::kPacerInterval) {
            h.scheduler.advance(LiveInputSession::kPacerInterval);
            advanced += LiveInputSession::kPacerInterval;
        }
        h.state->contextInjector().pacerQueue()->sync([] {});
        QTest::qWait(1);
    }
    ASSERT_TRUE(finished->done);
    EXPECT_EQ(field.content(), QStringLiteral("前文今天开会，讨论预算。"));
    EXPECT_FALSE(field.actions().contains(SynthAction::pressed({KeyCode::V, ModifierFlag::Control})))
        << "streamed, not pasted";
    ASSERT_EQ(state().history().size(), 1);
    EXPECT_EQ(state().history().first().polishedText, QStringLiteral("今天开会，讨论预算。"));
}

// The user clicks into a terminal while the words are being typed: nothing more is typed, into either window;
// the finish pastes the text once where the focus is now, and the banner says why live typing stopped.
TEST_F(LiveTypingTest, LiveTypingStopsWhenTheFocusLeavesAndTheTextGoesInAsOnePaste)
{
    FrontmostApplication editor = kEditor;
    editor.windowId = 11;
    const FrontmostApplication terminal{QStringLiteral("Terminal"), QStringLiteral("org.gnome.Terminal"),
                                        FakeTextField::kProcessId, QStringLiteral("~ - bash"), 21};
    h.workspace.setFrontmost(editor);
    h.begin();
    ASSERT_TRUE(gate.waitForReads(1));
    h.engine->onPartialResult(QStringLiteral("今天天气"), true);
    ASSERT_TRUE(pump([&] { return field.content() == QStringLiteral("今天天气"); }))
        << field.content().toStdString();
    field.clearActions();

    h.workspace.setFrontmost(terminal);
    field.setTerminalMode(true);
    h.engine->onPartialResult(QStringLiteral("今天天气很好，\nls -la /tmp"), true);
    pump({}, 50);
    EXPECT_TRUE(field.actions().isEmpty()) << "no key after the focus left";

    const QString finalText = QStringLiteral("今天天气很好，\nls -la /tmp");
    h.engine->transcripts.push_back({finalText, 2});
    finish();
    EXPECT_EQ(field.actions(),
              QList{SynthAction::pressed({KeyCode::V, ModifierFlag::Control | ModifierFlag::Shift})})
        << "one paste into the terminal, no key typed";
    EXPECT_EQ(field.content(), QStringLiteral("今天天气") + finalText);
    EXPECT_TRUE(state().phase().is<PipelinePhase::Completed>());
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("⚠️ "
                             "输入焦点离开了「Kate」，实时输入已停止，全文已作为一次粘贴送入当前窗口"));
    ASSERT_EQ(state().history().size(), 1);
}
