#include "AppStateHarness.h"
#include "lexicon/PersonalLexiconStore.h"
#include "support/QtPrinters.h"
#include "util/AppIdentity.h"

#include <QTest>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const FrontmostApplication kEditor{QStringLiteral("Kate"), QStringLiteral("org.kde.kate"), 4242,
                                   QStringLiteral("notes.md — Kate")};
const FrontmostApplication kOwnWindow{QStringLiteral("Quorbell"), AppIdentity::bundleIdentifier(), 1,
                                      QStringLiteral("Quorbell")};

// A state whose polishing stays local (verbatim style), so every result is the instantly corrected text.
class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        h.writeLocalConfig({{QStringLiteral("formattingStyle"), QStringLiteral("verbatimLocal")},
                            {QStringLiteral("enableAutoMuteDuringDictation"), false},
                            {QStringLiteral("enableAutoLearn"), false}});
        h.workspace.setFrontmost(kEditor);
        FakeAccessibility::Target target;
        target.processId = kEditor.processId;
        target.element = FocusedElement{ElementRole::Other, QStringLiteral("text"), true, false};
        target.value = QString();
        h.accessibility.setTarget(target);
        h.build();
        h.scheduler.runDue();
        h.state->lexiconStore().setEntries({});
    }

    AppState& state() { return *h.state; }

    // Finishes the running session and lets every step (tail pause, capture, delivery) run to the end.
    void finish()
    {
        bool done = false;
        auto task = state().finishDictationSession().then([&] { done = true; });
        h.scheduler.advance(100ms);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                h.scheduler.runDue();
                return done;
            },
            5000));
    }

    AppStateHarness h;
};

} // namespace

TEST_F(PipelineTest, OneDictationDeliversRecordsAndCloses)
{
    h.clipboard.setText(QStringLiteral("deepseek"));
    state().beginDictationSession();
    ASSERT_TRUE(state().isSessionActive());
    EXPECT_EQ(state().phase(), PipelinePhase::listening(QString(), DictationMode::dictate));
    ASSERT_EQ(h.engine->starts.size(), 1);
    EXPECT_EQ(h.engine->starts.first().contextualStrings.value(0), QStringLiteral("deepseek"))
        << "a short clipboard word leads the hotwords";
    ASSERT_EQ(h.sounds.played().size(), 1);
    EXPECT_EQ(h.sounds.played().first().sound, SystemSound::Tink);

    h.engine->transcripts.push_back({QStringLiteral("今天开会"), 2.5});
    finish();
    EXPECT_FALSE(state().isSessionActive());
    EXPECT_FALSE(state().isFinalizingSession());
    ASSERT_EQ(state().history().size(), 1);
    const DictationRecord& record = state().history().first();
    EXPECT_EQ(record.rawTranscript, QStringLiteral("今天开会"));
    EXPECT_EQ(record.targetAppName, QStringLiteral("Kate"));
    EXPECT_DOUBLE_EQ(record.durationSeconds, 2.5);
    EXPECT_TRUE(state().phase().is<PipelinePhase::Completed>());
    EXPECT_EQ(h.sounds.played().last().sound, SystemSound::Pop);
    EXPECT_TRUE(h.clipboard.textsSet().contains(QStringLiteral("今天开会"))) << "the text went through the clipboard";
    bool pasted = false;
    for (const SynthAction& action : h.inputSynth.actions())
        pasted = pasted || (action.kind == SynthAction::Kind::Chord && action.chord.keyCode == KeyCode::V);
    EXPECT_TRUE(pasted) << "and was pasted into the focused field";
    EXPECT_EQ(decodeHistory(FileIO::readAll(state().historyPath()).value_or(QByteArray())).records.size(), 1);

    h.scheduler.advance(350ms);
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
}

TEST_F(PipelineTest, EmptyTranscriptClosesSilently)
{
    state().beginDictationSession();
    h.sounds.clear();
    finish();
    EXPECT_TRUE(state().history().isEmpty());
    EXPECT_TRUE(h.sounds.played().isEmpty());
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
}

TEST_F(PipelineTest, CancelDuringTheTailPauseEndsTheSessionWithoutARecord)
{
    state().beginDictationSession();
    h.engine->transcripts.push_back({QStringLiteral("不该写入"), 1});
    bool done = false;
    auto task = state().finishDictationSession().then([&] { done = true; });
    state().cancelDictationSession();
    EXPECT_EQ(h.sounds.played().last().sound, SystemSound::Funk);
    EXPECT_EQ(h.engine->cancels, 1);
    h.scheduler.advance(100ms);
    ASSERT_TRUE(done);
    EXPECT_EQ(h.engine->finishes, 0) << "the finish of a cancelled session goes no further";
    EXPECT_TRUE(state().history().isEmpty());
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
    EXPECT_FALSE(state().isFinalizingSession());
}

TEST_F(PipelineTest, SecondBeginOnlyMarksTheMonitorAndNothingStartsWhileFinishing)
{
    state().beginDictationSession();
    state().beginDictationSession();
    EXPECT_EQ(h.engine->starts.size(), 1);
    auto task = state().finishDictationSession();
    state().beginDictationSession();
    EXPECT_EQ(h.engine->starts.size(), 1) << "refused while the session finishes";
    h.scheduler.advance(100ms);
}

TEST_F(PipelineTest, MissingAccessibilityForAnotherApplicationShowsAnErrorThenIdle)
{
    h.accessibility.setTrusted(false);
    state().refreshPermissionStatus();
    state().beginDictationSession();
    EXPECT_FALSE(state().isSessionActive());
    EXPECT_EQ(state().phase(),
              PipelinePhase::error(QStringLiteral("请在系统设置→辅助功能中开启 Quorbell 才能写入外部输入框")));
    h.scheduler.advance(2599ms);
    EXPECT_TRUE(state().phase().is<PipelinePhase::Error>());
    h.scheduler.advance(1ms);
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
}

TEST_F(PipelineTest, PermissionRequestNeverStartsTheSessionByItself)
{
    h.engine->microphoneAuthorized = false;
    state().refreshPermissionStatus();
    state().beginDictationSession();
    ASSERT_EQ(h.engine->permissionRequests, 1);
    h.engine->answerPermissions(true, true);
    EXPECT_FALSE(state().isSessionActive());
    EXPECT_TRUE(h.engine->starts.isEmpty());
    state().refreshPermissionStatus();
    state().beginDictationSession();
    h.engine->answerPermissions(false, true);
    EXPECT_EQ(state().phase(), PipelinePhase::error(QStringLiteral("请在系统设置→麦克风中允许 Quorbell")));
}

TEST_F(PipelineTest, IdleResetNeverEndsANewerListeningSession)
{
    h.engine->onError(QStringLiteral("麦克风不可用"));
    EXPECT_EQ(state().phase(), PipelinePhase::error(QStringLiteral("麦克风不可用")));
    state().beginDictationSession();
    h.scheduler.advance(3s);
    EXPECT_TRUE(state().phase().isListening());
}

TEST_F(PipelineTest, OwnWindowSessionWritesTheTryOutBox)
{
    h.workspace.setFrontmost(kOwnWindow);
    h.accessibility.setTrusted(false); // not needed inside our own window
    state().setSandboxText(QStringLiteral("前文："));
    state().beginDictationSession();
    ASSERT_TRUE(state().isSessionActive());
    h.engine->transcripts.push_back({QStringLiteral("你好"), 1});
    finish();
    EXPECT_EQ(state().sandboxText(), QStringLiteral("前文：你好"));
    ASSERT_EQ(state().history().size(), 1);
    EXPECT_EQ(state().history().first().targetAppName, QStringLiteral("Quorbell 试音沙盒"));
}

TEST_F(PipelineTest, HistoryKeepsTheNewestThousand)
{
    QList<DictationRecord> full;
    for (int i = 0; i < 1000; ++i)
        full.append(DictationRecord(QUuid::createUuid(), Timestamp{double(i)}, QString(), QStringLiteral("旧"), 1, 0,
                                    QString(), DictationMode::dictate, {}));
    const QUuid oldest = full.last().id;
    state().setHistory(full);
    state().beginDictationSession();
    h.engine->transcripts.push_back({QStringLiteral("新的一条"), 1});
    finish();
    ASSERT_EQ(state().history().size(), 1000);
    EXPECT_EQ(state().history().first().rawTranscript, QStringLiteral("新的一条"));
    EXPECT_NE(state().history().last().id, oldest);
}

TEST_F(PipelineTest, WithoutAFocusedFieldTheTextWaitsOnTheClipboard)
{
    h.workspace.setFrontmost(FrontmostApplication{QStringLiteral("Files"), QStringLiteral("org.gnome.Nautilus"), 77,
                                                  QStringLiteral("Home")});
    FakeAccessibility::Target desktop;
    desktop.processId = 77;
    desktop.element = FocusedElement{ElementRole::Desktop, QStringLiteral("desktop frame"), false, false};
    h.accessibility.setTarget(desktop);
    state().beginDictationSession();
    h.engine->transcripts.push_back({QStringLiteral("记下这句"), 1});
    finish();
    EXPECT_EQ(state().phase(), PipelinePhase::savedToClipboard(QStringLiteral("已暂存剪贴板 · Cmd+V 粘贴")));
    EXPECT_EQ(h.clipboard.text(), QStringLiteral("记下这句"));
    EXPECT_EQ(h.sounds.played().last().sound, SystemSound::Pop) << "the closing sound plays all the same";
    ASSERT_EQ(state().history().size(), 1);
    h.scheduler.advance(2600ms);
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
}

TEST_F(PipelineTest, EngineErrorEndsTheSessionAndShowsTheMessage)
{
    state().beginDictationSession();
    h.engine->onError(QStringLiteral("没有可用的麦克风输入"));
    EXPECT_FALSE(state().isSessionActive());
    EXPECT_EQ(state().phase(), PipelinePhase::error(QStringLiteral("没有可用的麦克风输入")));
    h.engine->onPartialResult(QStringLiteral("迟到的片段"), true);
    EXPECT_EQ(state().sandboxText(), QString()) << "partials after the session are ignored";
    h.scheduler.advance(2500ms);
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
}
