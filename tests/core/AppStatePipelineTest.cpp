#include "AppStateHarness.h"
#include "lexicon/PersonalLexiconStore.h"
#include "llm/PolishEngine.h"
#include "model/AudioLevelBus.h"
#include "support/QtPrinters.h"
#include "support/UnwritableFolder.h"
#include "system/ContextInjector.h"
#include "system/SystemAudioDucker.h"
#include "util/AppIdentity.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const FrontmostApplication kEditor{QStringLiteral("Kate"), QStringLiteral("org.kde.kate"), 4242,
                                   QStringLiteral("notes.md — Kate")};
const FrontmostApplication kOwnWindow{QStringLiteral("Quorbell"), AppIdentity::bundleIdentifier(), 1,
                                      QStringLiteral("Quorbell")};
const QString kLearnedBanner = QStringLiteral("✨ 自学习词典已自动记住纠偏：「张伟」➔「章伟」");

AppError engineError(const QString& description)
{
    return AppError{QStringLiteral("Quorbell.ASR"), -2, description};
}

LexiconEntry term(const QString& text, qint64 weight = 5)
{
    return LexiconEntry(QUuid::createUuid(), text, {}, QString(), LexiconCategory::project, weight, 0,
                        Timestamp{0});
}

// Dictation into an editor of another application, polished locally.
class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        h.workspace.setFrontmost(kEditor);
        showInEditor(QString());
        h.accessibilityOverride = &gate;
        h.start(AppStateHarness::verbatimDictation());
        h.state->lexiconStore().setEntries({});
    }

    void TearDown() override
    {
        gate.release();
        h.state.reset(); // its capture queue still holds the gate
    }

    AppState& state() { return *h.state; }

    // The editor's focused field now shows `value`, with `selected` selected.
    void showInEditor(const QString& value, std::optional<QString> selected = std::nullopt)
    {
        FakeAccessibility::Target target;
        target.processId = kEditor.processId;
        target.element = FocusedElement{ElementRole::Other, QStringLiteral("text"), true, false};
        target.value = value;
        target.selectedText = std::move(selected);
        h.accessibility.setTarget(target);
    }

    // Finishes the running session and lets every step (tail pause, capture, delivery) run to the end.
    void finish()
    {
        auto finished = watch(state().finishDictationSession());
        h.scheduler.advance(100ms);
        ASSERT_TRUE(h.settle([&] { return finished->done; }));
    }

    void dictate(const QString& raw)
    {
        h.begin();
        h.engine->transcripts.push_back({raw, 2});
        finish();
        h.settleSaves();
    }

    AppStateHarness h;
    CaptureGate gate{h.accessibility};
};

class TracedPipelineTest : public PipelineTest {
protected:
    void SetUp() override
    {
        h.trace = &trace;
        PipelineTest::SetUp();
    }

    QByteArrayList lines;
    DictationTrace trace{h.scheduler, [this](const QByteArray& line) { lines.append(line); }};
};

} // namespace

TEST_F(PipelineTest, OneDictationPastesRecordsKeepsTheNewestThousandAndCloses)
{
    QList<DictationRecord> full;
    for (int i = 0; i < 1000; ++i)
        full.append(DictationRecord(QUuid::createUuid(), Timestamp{double(i)}, QString(),
                                    QStringLiteral("旧"), 1, 0, QString(), DictationMode::dictate, {}));
    state().setHistory(full);
    h.clipboard.setText(QStringLiteral("deepseek"));
    h.begin();
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
    EXPECT_TRUE(state().phase().is<PipelinePhase::Completed>());
    EXPECT_EQ(h.sounds.played().last().sound, SystemSound::Pop);
    EXPECT_TRUE(h.clipboard.textsSet().contains(QStringLiteral("今天开会")));
    EXPECT_TRUE(h.inputSynth.actions().contains(SynthAction::pressed({KeyCode::V, ModifierFlag::Control})))
        << "pasted into the focused field";

    ASSERT_EQ(state().history().size(), 1000);
    const DictationRecord& record = state().history().first();
    EXPECT_EQ(record.rawTranscript, QStringLiteral("今天开会"));
    EXPECT_EQ(record.targetAppName, QStringLiteral("Kate"));
    EXPECT_DOUBLE_EQ(record.durationSeconds, 2.5);
    EXPECT_NE(state().history().last().id, full.last().id) << "the oldest record made room";
    h.settleSaves();
    EXPECT_EQ(decodeHistory(FileIO::readAll(state().historyPath()).value_or(QByteArray())).records.size(),
              1000);

    h.scheduler.advance(350ms);
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
}

TEST_F(PipelineTest, EmptyTranscriptOrCancelInTheTailPauseEndsWithoutARecord)
{
    h.begin();
    h.sounds.clear();
    finish(); // the engine's transcript is empty
    EXPECT_TRUE(h.sounds.played().isEmpty());
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
    EXPECT_TRUE(state().statusBanner().isEmpty()) << "silence ends quietly";

    // Voice heard, no words: the user is told to try again.
    h.begin();
    h.engine->transcripts.push_back({QString(), 1.5, true});
    finish();
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
    EXPECT_EQ(state().statusBanner(),
              QStringLiteral("⚠️ 听到了声音，但没有识别出文字，请再说一次"));
    EXPECT_TRUE(state().history().isEmpty());

    h.begin();
    h.engine->transcripts.push_back({QStringLiteral("不该写入"), 1});
    auto finished = watch(state().finishDictationSession());
    state().cancelDictationSession();
    EXPECT_EQ(h.sounds.played().last().sound, SystemSound::Funk);
    EXPECT_EQ(h.engine->cancels, 1);
    h.scheduler.advance(100ms);
    ASSERT_TRUE(finished->done);
    EXPECT_EQ(h.engine->finishes, 2) << "the finish of a cancelled session goes no further";
    EXPECT_TRUE(state().history().isEmpty());
    EXPECT_TRUE(h.clipboard.textsSet().isEmpty());
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
    EXPECT_FALSE(state().isFinalizingSession());
}

TEST_F(TracedPipelineTest, TracedDictationTimesItsStepsFromTheStopKeyAndACancelledOneIsNotWritten)
{
    h.clipboard.simulateCopy({{{QStringLiteral("text/plain"), QByteArray("mine")}}});
    dictate(QStringLiteral("今天开会"));
    EXPECT_TRUE(lines.isEmpty()) << "the line waits for the target to take the pasted text";
    EXPECT_FALSE(trace.isWatchingStalls());
    ASSERT_EQ(h.clipboard.request(), QStringLiteral("今天开会"));
    h.scheduler.advance(ContextInjector::kClipboardRestoreDelay);
    ASSERT_EQ(lines.size(), 1);
    // Polished locally: no model tokens. Only the tail pause and the target's request take virtual time.
    EXPECT_EQ(lines[0], "QB-TRACE tail_end_ms=100.0 engine_final_ms=100.0 lexicon_recall_ms=100.0 "
                        "paste_sent_ms=100.0 clipboard_requested_ms=260.0 main_thread_max_stall_ms=0.0");

    h.begin();
    h.engine->transcripts.push_back({QStringLiteral("不该写入"), 1});
    auto finished = watch(state().finishDictationSession());
    state().cancelDictationSession();
    h.scheduler.advance(5s);
    ASSERT_TRUE(finished->done);
    EXPECT_EQ(lines.size(), 1);
    EXPECT_FALSE(trace.isWatchingStalls());
}

TEST_F(PipelineTest, BeginIsRefusedWhileBusyOrWithoutPermissions)
{
    h.begin();
    h.begin();
    EXPECT_EQ(h.engine->starts.size(), 1) << "a second press only marks the monitor";
    auto finishing = watch(state().finishDictationSession());
    h.begin();
    EXPECT_EQ(h.engine->starts.size(), 1) << "refused while the session finishes";
    h.scheduler.advance(100ms);
    ASSERT_TRUE(h.settle([&] { return finishing->done; }));

    h.accessibility.setTrusted(false);
    state().refreshPermissionStatus();
    h.begin();
    EXPECT_FALSE(state().isSessionActive());
    EXPECT_EQ(state().phase(),
              PipelinePhase::error(QStringLiteral("请在桌面设置中开启辅助功能（AT-SPI）才能写入外部输入框")));
    h.scheduler.advance(2599ms);
    EXPECT_TRUE(state().phase().is<PipelinePhase::Error>());
    h.scheduler.advance(1ms);
    EXPECT_EQ(state().phase(), PipelinePhase::idle());

    h.accessibility.setTrusted(true);
    h.engine->microphoneAuthorized = false;
    state().refreshPermissionStatus();
    h.begin();
    ASSERT_EQ(h.engine->permissionRequests, 1);
    h.engine->answerPermissions(true, true);
    EXPECT_FALSE(state().isSessionActive()) << "a permission answer never starts the session by itself";
    EXPECT_EQ(h.engine->starts.size(), 1);
    state().refreshPermissionStatus();
    h.begin();
    h.engine->answerPermissions(false, true);
    EXPECT_EQ(state().phase(),
              PipelinePhase::error(QStringLiteral("请在桌面的声音设置中启用麦克风输入设备")));
}

TEST_F(PipelineTest, AStopOrCancelBeforeTheBeginHasItsAnswersDropsTheBegin)
{
    // Another application owns the clipboard and is slow to hand it over.
    h.clipboard.simulateCopy({{{QStringLiteral("text/plain"), QByteArray("deepseek")}}});
    h.clipboard.holdSnapshotReads(true);
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancel" : "stop key");
        const int prewarmsBefore = h.engine->hotMicPrewarms;
        state().beginDictationSession();
        EXPECT_EQ(h.engine->hotMicPrewarms, prewarmsBefore + 1) << "the microphone opens at once";
        EXPECT_TRUE(state().isStartingSession());
        EXPECT_FALSE(state().isSessionActive());
        if (cancel) {
            state().cancelDictationSession();
        } else {
            auto finished = watch(state().finishDictationSession());
            EXPECT_TRUE(finished->done) << "nothing to finish";
        }
        EXPECT_FALSE(state().isStartingSession());
        h.clipboard.answerSnapshotReads();
    }
    // The answers of the dropped begins arrive before those of the next one, which alone begins.
    h.clipboard.holdSnapshotReads(false);
    h.begin();
    ASSERT_TRUE(state().isSessionActive());
    EXPECT_EQ(h.engine->starts.size(), 1);
    EXPECT_EQ(h.engine->finishes, 0);
    EXPECT_EQ(h.engine->cancels, 0);
    ASSERT_EQ(h.sounds.played().size(), 1) << "only the session that began has a cue";
    EXPECT_EQ(h.sounds.played().first().sound, SystemSound::Tink);
    h.scheduler.advance(1s);
    EXPECT_EQ(h.engine->starts.size(), 1);
    EXPECT_EQ(state().phase(), PipelinePhase::listening(QString(), DictationMode::dictate));
}

TEST_F(PipelineTest, TheHintTakesTheClipboardTextReadOffTheMainThreadAndASlowOwnerOnlyDelaysItBriefly)
{
    h.clipboard.simulateCopy({{{QStringLiteral("text/html"), QByteArray("<b>x</b>")},
                               {QStringLiteral("text/plain"), QByteArray("Kubernetes")}}});
    h.clipboard.holdSnapshotReads(true);
    state().beginDictationSession();
    ASSERT_TRUE(h.settle([&] { return h.clipboard.snapshotReadCount() == 1; }));
    EXPECT_FALSE(state().isSessionActive()) << "the begin waits for the clipboard";
    h.clipboard.answerSnapshotReads();
    ASSERT_TRUE(h.settle([&] { return !state().isStartingSession(); }));
    ASSERT_TRUE(state().isSessionActive());
    ASSERT_EQ(h.engine->starts.size(), 1);
    EXPECT_TRUE(h.engine->starts.first().contextualStrings.contains(QStringLiteral("Kubernetes")))
        << "the clipboard's plain text joins the hotwords";
    state().cancelDictationSession();

    // An owner that does not answer: the session begins after a short wait, without the clipboard's word.
    h.clipboard.answerSnapshotReads();
    h.clipboard.holdSnapshotReads(true);
    state().beginDictationSession();
    ASSERT_TRUE(h.settle([&] { return h.clipboard.snapshotReadCount() == 2; }));
    h.scheduler.advance(149ms);
    EXPECT_FALSE(state().isSessionActive());
    h.scheduler.advance(1ms);
    ASSERT_TRUE(h.settle([&] { return state().isSessionActive(); }));
    ASSERT_EQ(h.engine->starts.size(), 2);
    EXPECT_FALSE(h.engine->starts.last().contextualStrings.contains(QStringLiteral("Kubernetes")));
    h.clipboard.answerSnapshotReads();
}

TEST_F(PipelineTest, ClipboardTextAPasswordManagerMarkedSecretNeverJoinsTheHotwordsButGoesBack)
{
    const ClipboardFormat secretMark{kPasswordManagerHintFormat, QByteArray("secret")};
    h.clipboard.simulateCopy({{{QStringLiteral("text/plain"), QByteArray("Tr0ub4dor")}, secretMark}});
    h.begin();
    ASSERT_EQ(h.engine->starts.size(), 1);
    EXPECT_FALSE(h.engine->starts.last().contextualStrings.contains(QStringLiteral("Tr0ub4dor")))
        << "a copied password is never sent as a hotword";
    h.engine->transcripts.push_back({QStringLiteral("今天开会"), 2});
    finish();
    h.scheduler.advance(ContextInjector::kClipboardRestoreLimit);
    EXPECT_EQ(h.clipboard.snapshot().formats,
              (QList<ClipboardFormat>{{QStringLiteral("text/plain"), QByteArray("Tr0ub4dor")}, secretMark}))
        << "restored as it was, still marked";

    // The same word without the mark is a hotword.
    h.clipboard.simulateCopy({{{QStringLiteral("text/plain"), QByteArray("Tr0ub4dor")}}});
    h.begin();
    ASSERT_EQ(h.engine->starts.size(), 2);
    EXPECT_TRUE(h.engine->starts.last().contextualStrings.contains(QStringLiteral("Tr0ub4dor")));
}

TEST_F(PipelineTest, APasteThatCouldNotKeepTheUsersClipboardSaysSoInTheBanner)
{
    // The owner never listed its formats: nothing could be read, and the dictation stays on the clipboard.
    h.clipboard.simulateCopy({{}, QStringLiteral("剪贴板所属的程序没有响应")});
    dictate(QStringLiteral("今天开会"));
    EXPECT_TRUE(state().phase().is<PipelinePhase::Completed>()) << "the paste itself went through";
    EXPECT_EQ(state().statusBanner(), QStringLiteral("⚠️ 无法保留之前的剪贴板内容：剪贴板所属的程序没有响应"));
    h.scheduler.advance(ContextInjector::kClipboardRestoreLimit);
    EXPECT_EQ(h.clipboard.text(), QStringLiteral("今天开会"));

    // Some formats were left out: the rest comes back, and the banner says what was lost.
    h.clipboard.simulateCopy(
        {{{QStringLiteral("text/plain"), QByteArray("mine")}}, QStringLiteral("未能读取的格式：image/png")});
    dictate(QStringLiteral("再说一句"));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("⚠️ 之前的剪贴板内容未能完整保留：未能读取的格式：image/png"));
    h.scheduler.advance(ContextInjector::kClipboardRestoreLimit);
    EXPECT_EQ(h.clipboard.text(), QStringLiteral("mine"));
}

TEST(PipelineAtLaunch, ATriggerPressedBeforeTheFirstPermissionAnswersBeginsOnceTheyCome)
{
    AppStateHarness h;
    h.writeLocalConfig(AppStateHarness::verbatimDictation());
    h.microphoneAuthorized = false; // as the desktop's services report before their first look
    // What the first look finds. Set by the look itself: it runs on its own thread and may begin before
    // build() returns.
    h.microphone.inner.onRefresh = [&h] { h.engine->microphoneAuthorized = true; };
    h.build();
    h.state->beginDictationSession();
    EXPECT_FALSE(h.state->isSessionActive());
    EXPECT_TRUE(h.state->isStartingSession());
    ASSERT_TRUE(h.settle([&] { return !h.state->isStartingSession(); }));
    EXPECT_TRUE(h.state->isSessionActive());
    EXPECT_EQ(h.engine->starts.size(), 1);
    EXPECT_EQ(h.engine->permissionRequests, 0);

    // Released before the answers: nothing begins.
    AppStateHarness released;
    released.writeLocalConfig(AppStateHarness::verbatimDictation());
    released.build();
    released.state->beginDictationSession();
    auto finished = watch(released.state->finishDictationSession());
    EXPECT_TRUE(finished->done);
    released.settleStartup();
    released.scheduler.advance(1s);
    EXPECT_FALSE(released.state->isSessionActive());
    EXPECT_TRUE(released.engine->starts.isEmpty());
}

TEST_F(PipelineTest, EngineErrorEndsTheSessionAndItsIdleResetSparesANewerOne)
{
    h.begin();
    h.engine->onError(engineError(QStringLiteral("没有可用的麦克风输入")));
    EXPECT_FALSE(state().isSessionActive());
    EXPECT_EQ(state().phase(), PipelinePhase::error(QStringLiteral("没有可用的麦克风输入")));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("没有可用的麦克风输入")) << "the pill shows no words";
    h.engine->onPartialResult(QStringLiteral("迟到的片段"), true);
    EXPECT_EQ(state().sandboxText(), QString()) << "partials after the session are ignored";
    h.scheduler.advance(2500ms);
    EXPECT_EQ(state().phase(), PipelinePhase::idle());

    h.engine->onError(engineError(QStringLiteral("麦克风不可用")));
    h.begin();
    h.scheduler.advance(3s);
    EXPECT_TRUE(state().phase().isListening());
}

TEST_F(PipelineTest, AnEngineErrorInTheTailPauseStillFinishesWithWhatTheEngineDelivers)
{
    // The cloud failed while the finish waited; the local fail-over still has the words.
    h.begin();
    h.engine->transcripts.push_back({QStringLiteral("今天开会"), 2});
    auto finished = watch(state().finishDictationSession());
    h.engine->onError(engineError(QStringLiteral("云端连接中断")));
    EXPECT_FALSE(state().isSessionActive());
    EXPECT_EQ(state().phase(), PipelinePhase::error(QStringLiteral("云端连接中断")));
    h.scheduler.advance(100ms);
    ASSERT_TRUE(h.settle([&] { return finished->done; }));
    EXPECT_EQ(h.engine->finishes, 1);
    ASSERT_EQ(state().history().size(), 1);
    EXPECT_EQ(state().history().first().polishedText, QStringLiteral("今天开会"));
    EXPECT_EQ(h.clipboard.textsSet(), QStringList{QStringLiteral("今天开会")});
    EXPECT_FALSE(state().isFinalizingSession());

    // With nothing delivered, the error stays shown and nothing is recorded.
    h.begin();
    finished = watch(state().finishDictationSession());
    h.engine->onError(engineError(QStringLiteral("云端连接中断")));
    h.scheduler.advance(100ms);
    ASSERT_TRUE(h.settle([&] { return finished->done; }));
    EXPECT_EQ(h.engine->finishes, 2);
    EXPECT_EQ(state().history().size(), 1);
    EXPECT_EQ(state().phase(), PipelinePhase::error(QStringLiteral("云端连接中断")));
}

// An upload that fails (a hang, an error status, a closed connection, a 200 that is no transcript) ends in
// the engine's error while the finish waits: the pill shows its wordless error phase, the banner says why,
// and nothing is typed or recorded.
TEST_F(PipelineTest, AFailedTranscriptionSaysWhyInTheBannerAndDeliversNothing)
{
    const QStringList reasons{QStringLiteral("云端语音识别失败：请求超时"),
                              QStringLiteral("云端语音识别失败：HTTP 429：Rate limit reached"),
                              QStringLiteral("云端语音识别失败：服务器中途断开了连接（Connection closed）"),
                              QStringLiteral("云端语音识别失败：语音接口没有返回转写文本（{}）")};
    h.engine->usesOpenAI = true;
    for (const QString& reason : reasons) {
        h.engine->duringFinish = [&] { h.engine->onError(engineError(reason)); };
        h.begin();
        finish();
        EXPECT_EQ(state().phase(), PipelinePhase::error(reason));
        EXPECT_EQ(state().statusBanner(), reason);
        EXPECT_FALSE(state().isFinalizingSession());
        h.scheduler.advance(2500ms);
        EXPECT_EQ(state().phase(), PipelinePhase::idle());
        EXPECT_EQ(state().statusBanner(), reason) << "the banner outlives the pill";
    }
    h.settleSaves();
    EXPECT_TRUE(state().history().isEmpty());
    EXPECT_TRUE(h.clipboard.textsSet().isEmpty());
    EXPECT_TRUE(h.inputSynth.actions().isEmpty());
}

TEST_F(PipelineTest, OwnWindowWritesTheTryOutBoxAndWithoutAFieldTheTextWaitsOnTheClipboard)
{
    h.workspace.setFrontmost(kOwnWindow);
    h.accessibility.setTrusted(false); // not needed inside our own window
    state().refreshPermissionStatus();
    state().setSandboxText(QStringLiteral("前文："));
    dictate(QStringLiteral("你好"));
    EXPECT_EQ(state().sandboxText(), QStringLiteral("前文：你好"));
    ASSERT_EQ(state().history().size(), 1);
    EXPECT_EQ(state().history().first().targetAppName, QStringLiteral("Quorbell 试音沙盒"));
    EXPECT_TRUE(h.clipboard.textsSet().isEmpty());

    h.accessibility.setTrusted(true);
    state().refreshPermissionStatus();
    h.workspace.setFrontmost(FrontmostApplication{
        QStringLiteral("Files"), QStringLiteral("org.gnome.Nautilus"), 77, QStringLiteral("Home")});
    FakeAccessibility::Target desktop;
    desktop.processId = 77;
    desktop.element = FocusedElement{ElementRole::Desktop, QStringLiteral("desktop frame"), false, false};
    h.accessibility.setTarget(desktop);
    dictate(QStringLiteral("记下这句"));
    EXPECT_EQ(state().phase(), PipelinePhase::savedToClipboard(QStringLiteral("已暂存剪贴板 · Ctrl+V 粘贴")));
    EXPECT_EQ(h.clipboard.text(), QStringLiteral("记下这句"));
    EXPECT_TRUE(h.inputSynth.actions().isEmpty()) << "nothing pasted";
    EXPECT_EQ(h.sounds.played().last().sound, SystemSound::Pop) << "the closing sound plays all the same";
    EXPECT_EQ(state().history().size(), 2);
    h.scheduler.advance(2600ms);
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
}

TEST_F(PipelineTest, CaptureOfAnOlderSessionNeverTurnsTheNextIntoARewrite)
{
    // The cancelled session's capture finds a selection; the next session's capture finds none.
    gate.scriptSelections({QStringLiteral("旧的选区")});
    h.begin();
    state().cancelDictationSession();
    h.begin();
    // Captures run one after another: once the second has begun reading, the first has posted its result.
    ASSERT_TRUE(gate.waitForReads(2));
    QCoreApplication::processEvents();
    EXPECT_EQ(state().phase(), PipelinePhase::listening(QString(), DictationMode::dictate));

    h.engine->transcripts.push_back({QStringLiteral("继续写下去"), 1});
    finish();
    ASSERT_EQ(state().history().size(), 1);
    EXPECT_EQ(state().history().first().mode, DictationMode::dictate);
    EXPECT_TRUE(h.clipboard.textsSet().contains(QStringLiteral("继续写下去"))) << "dictated text is pasted";
}

TEST_F(PipelineTest, FailedSelectionRewriteKeepsTheSelectionAndShowsTheError)
{
    h.changeConfig([](LLMConfig& config) { config.formattingStyle = FormattingStyle::structured; });
    h.server.setHandler([](const ScriptedHttpServer::Request& request) {
        if (request.path.endsWith("/chat/completions"))
            return ScriptedHttpServer::Reply::json(500, R"({"error":{"message":"overloaded"}})");
        return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
    });
    showInEditor(QStringLiteral("请在周五之前交报告"), QStringLiteral("周五之前交报告"));

    h.begin();
    EXPECT_EQ(state().phase(), PipelinePhase::listening(QString(), DictationMode::dictate))
        << "a dictation until the capture has answered";
    ASSERT_TRUE(h.settle([&] {
        return state().phase() == PipelinePhase::listening(QString(), DictationMode::rewriteSelection);
    }));
    h.sounds.clear();
    h.engine->transcripts.push_back({QStringLiteral("改得更正式一点"), 1.5});
    finish();

    bool askedForRewrite = false;
    for (const ScriptedHttpServer::Request& request : h.server.requests())
        askedForRewrite |=
            request.path.endsWith("/chat/completions") && request.body.contains("周五之前交报告");
    EXPECT_TRUE(askedForRewrite) << "the model was asked to rewrite the captured selection";
    const auto* error = state().phase().as<PipelinePhase::Error>();
    ASSERT_NE(error, nullptr) << "the failure is shown, not a completed or saved phase";
    EXPECT_FALSE(error->message.isEmpty());
    EXPECT_TRUE(state().statusBanner().contains(error->message)) << state().statusBanner().toStdString();
    EXPECT_TRUE(h.inputSynth.actions().isEmpty()) << "nothing typed or pasted over the selection";
    EXPECT_TRUE(h.clipboard.textsSet().isEmpty()) << "the spoken instruction is not left on the clipboard";
    EXPECT_TRUE(state().history().isEmpty());
    EXPECT_TRUE(h.sounds.played().isEmpty());
    EXPECT_FALSE(state().isFinalizingSession());
    h.scheduler.advance(2500ms);
    EXPECT_EQ(state().phase(), PipelinePhase::idle());
}

TEST_F(PipelineTest, RecordKeepsTheFirstFiveRecalledTermsButOnlyNamedOnesAreHits)
{
    // Two light terms the sentence names, and heavy ones it does not, which recall still brings along.
    state().lexiconStore().setEntries({term(QStringLiteral("星河")), term(QStringLiteral("DeepSeek")),
                                       term(QStringLiteral("阿尔法"), 20), term(QStringLiteral("贝塔"), 19),
                                       term(QStringLiteral("伽马"), 18), term(QStringLiteral("德尔塔"), 17),
                                       term(QStringLiteral("奥米伽"), 16)});
    const QString raw = QStringLiteral("请星河和deepseek团队跟进");
    const QList<LexiconEntry> recalled = state().lexiconStore().recallRelevantTerms(raw, QString(), 26);
    ASSERT_GE(recalled.size(), 6);
    QStringList firstFive;
    for (qsizetype i = 0; i < 5; ++i)
        firstFive.append(recalled.at(i).term);

    dictate(raw);
    ASSERT_EQ(state().history().size(), 1);
    EXPECT_EQ(state().history().first().matchedTerms, firstFive);
    EXPECT_TRUE(firstFive.contains(QStringLiteral("阿尔法"))) << "kept although the text does not name it";
    QStringList hit;
    for (const LexiconEntry& stored : state().lexiconStore().entries()) {
        if (stored.hitCount > 0)
            hit.append(stored.term);
    }
    hit.sort();
    EXPECT_EQ(hit, (QStringList{QStringLiteral("DeepSeek"), QStringLiteral("星河")}))
        << "named ones only, in any letter case";
}

TEST_F(PipelineTest, MissingKeyForARemoteHostWarnsAndPolishesLocally)
{
    // A host that is not this machine's name for itself, yet never leaves it.
    ScriptedHttpServer remote{h.networkScheduler};
    remote.setHandler([](const ScriptedHttpServer::Request&) {
        return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
    });
    ASSERT_TRUE(remote.listen(QHostAddress(QStringLiteral("127.0.0.2"))));
    const QString remoteBase = remote.baseUrl().toString() + QStringLiteral("/v1");
    ASSERT_FALSE(PolishEngine::isKeylessLocalEndpoint(remoteBase));
    h.changeConfig([&](LLMConfig& config) { config.baseURL = remoteBase; });

    dictate(QStringLiteral("今天开会"));
    EXPECT_EQ(state().statusBanner(), QString()) << "the verbatim style never asks the model";

    h.changeConfig([](LLMConfig& config) { config.formattingStyle = FormattingStyle::structured; });
    dictate(QStringLiteral("明天交报告"));
    EXPECT_EQ(
        state().statusBanner(),
        QStringLiteral(
            "⚠️ 当前生效的「DeepSeek」尚未填入 API Key，本次仅执行本地词库纠偏"));
    EXPECT_TRUE(state().phase().is<PipelinePhase::Completed>()) << "the dictation goes on";
    ASSERT_EQ(state().history().size(), 2);
    EXPECT_EQ(state().history().first().rawTranscript, QStringLiteral("明天交报告"));
    for (const ScriptedHttpServer::Request& request : remote.requests())
        EXPECT_FALSE(request.path.contains("chat/completions")) << "no keyless call to a remote model";
}

TEST_F(PipelineTest, DistillationReportsNewTermsOrTheFailure)
{
    auto distill = [&](const QString& text) {
        auto distilled = watch(state().distillPastedCorpus(text));
        EXPECT_TRUE(h.settle([&] { return distilled->done; }));
    };
    state().setApiKeyInput(QStringLiteral("sk-typed"));
    distill(QStringLiteral("星河项目周会纪要"));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("蒸馏失败：请先在设置页填入大模型 API Key"))
        << "only the stored key counts";

    ASSERT_TRUE(h.await(h.keychain.saveAPIKey(QStringLiteral("sk-stored"), LLMProviderOption::deepseek)));
    state().lexiconStore().setEntries({term(QStringLiteral("星河项目"))});
    h.server.setHandler([](const ScriptedHttpServer::Request& request) {
        if (!request.path.endsWith("/chat/completions"))
            return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
        const QJsonObject message{
            {QStringLiteral("content"), QStringLiteral("张伟|章维,张威|person\n星河项目|星合|project\n")}};
        const QJsonObject answer{
            {QStringLiteral("choices"), QJsonArray{QJsonObject{{QStringLiteral("message"), message}}}}};
        return ScriptedHttpServer::Reply::json(200, QJsonDocument(answer).toJson());
    });
    distill(QStringLiteral("星河项目周会纪要：张伟负责"));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("智能蒸馏完成：新增 1 个专属词条（总词库 2 词）"));
    EXPECT_EQ(h.server.requests().last().header("Authorization"), QByteArray("Bearer sk-stored"));

    h.server.setHandler([](const ScriptedHttpServer::Request&) {
        return ScriptedHttpServer::Reply::json(500, R"({"error":{"message":"overloaded"}})");
    });
    distill(QStringLiteral("再来一段"));
    EXPECT_TRUE(state().statusBanner().startsWith(QStringLiteral("蒸馏失败：服务器返回了异常响应")))
        << state().statusBanner().toStdString();
    EXPECT_EQ(state().lexiconStore().entries().size(), 2) << "a failure changes nothing";
}

TEST_F(PipelineTest, AutoLearnReadsTheFieldTwiceAndLearnsAOneWordEdit)
{
    h.changeConfig([](LLMConfig& config) { config.enableAutoLearn = true; });
    h.begin();
    // The background capture reads the field too: it must be done before the looks are counted.
    ASSERT_TRUE(h.settle([&] { return h.accessibility.valueReadCount() >= 1; }));
    h.engine->transcripts.push_back({QStringLiteral("请把报表发给张伟"), 2});
    finish();
    ASSERT_TRUE(state().phase().is<PipelinePhase::Completed>());
    const QString inserted = state().history().first().polishedText;
    ASSERT_TRUE(inserted.contains(QStringLiteral("张伟")));
    showInEditor(inserted);
    const int readsBefore = h.accessibility.valueReadCount();

    // The looks go through the injector's typing queue: each step lets them finish before counting.
    auto advance = [&](Duration by) {
        h.scheduler.advance(by);
        for (int i = 0; i < 8; ++i) {
            state().contextInjector().pacerQueue()->sync([] {});
            h.scheduler.runDue();
        }
    };
    advance(5499ms);
    EXPECT_EQ(h.accessibility.valueReadCount(), readsBefore);
    advance(1ms);
    EXPECT_EQ(h.accessibility.valueReadCount(), readsBefore + 1) << "first look 5.5 s after the insertion";
    EXPECT_EQ(state().statusBanner(), QString()) << "nothing edited yet";

    showInEditor(QString(inserted).replace(QStringLiteral("张伟"), QStringLiteral("章伟")));
    advance(6799ms);
    EXPECT_EQ(h.accessibility.valueReadCount(), readsBefore + 1);
    advance(1ms);
    EXPECT_EQ(h.accessibility.valueReadCount(), readsBefore + 2) << "second look 12.3 s after the insertion";
    EXPECT_EQ(state().statusBanner(), kLearnedBanner);
    bool learned = false;
    for (const LexiconEntry& entry : state().lexiconStore().entries())
        learned |= entry.term == QStringLiteral("章伟") && entry.aliases.contains(QStringLiteral("张伟"));
    EXPECT_TRUE(learned);

    advance(30s);
    EXPECT_EQ(h.accessibility.valueReadCount(), readsBefore + 2) << "no third look";
}

TEST_F(PipelineTest, AutoLearnWatchesTheTryOutBoxAndGivesWayToANewerDictation)
{
    h.changeConfig([](LLMConfig& config) { config.enableAutoLearn = true; });
    dictate(QStringLiteral("请把报表发给张伟"));
    showInEditor(QString(state().history().first().polishedText)
                     .replace(QStringLiteral("张伟"), QStringLiteral("章伟")));
    // A newer dictation starts and is dropped before the first look: the observation still stops.
    h.scheduler.advance(2s);
    h.begin();
    state().cancelDictationSession();
    h.scheduler.advance(13s);
    EXPECT_EQ(state().statusBanner(), QString());
    EXPECT_EQ(state().lexiconStore().entries().size(), 0);

    h.workspace.setFrontmost(kOwnWindow);
    dictate(QStringLiteral("请把报表发给张伟"));
    state().setSandboxText(
        QString(state().sandboxText()).replace(QStringLiteral("张伟"), QStringLiteral("章伟")));
    h.scheduler.advance(5500ms);
    EXPECT_EQ(state().statusBanner(), kLearnedBanner);
}

TEST_F(PipelineTest, PartialResultsDriveThePillByVisibleCharacters)
{
    h.begin();
    h.engine->onPartialResult(QStringLiteral("你好 👍🏽\r\n🇨🇳"), false);
    EXPECT_EQ(h.levelBus.sampleRecognizedSymbolProgress().exactTarget, 4)
        << "two Han characters, a toned emoji and a flag; blanks do not count";
}

// On a read-only data folder each data file keeps what it held, one banner line names it and the reason,
// the change stays in memory, and the next change, once the folder takes writes again, saves both.
TEST_F(PipelineTest, AFailedSaveOfADataFileIsShownKeptInMemoryAndSavedByTheNextChange)
{
    auto fileText = [&](const QString& name) {
        return QString::fromUtf8(FileIO::readAll(h.data.filePath(name)).value_or(QByteArray()));
    };
    const struct {
        QString name;
        std::function<void(const QString& word)> change;
        std::function<bool(const QString& word)> inMemory;
    } files[] = {
        {QStringLiteral("config.json"),
         [&](const QString& word) { h.changeConfig([&](LLMConfig& config) { config.modelName = word; }); },
         [&](const QString& word) { return state().llmConfig().modelName == word; }},
        {QStringLiteral("history.json"), [&](const QString& word) { dictate(word); },
         [&](const QString& word) { return state().history().value(0).rawTranscript == word; }},
        {QStringLiteral("lexicon.json"),
         [&](const QString& word) {
             state().lexiconStore().upsert(word, {}, LexiconCategory::project, LexiconEntry::kDefaultWeight);
             h.settleSaves();
         },
         [&](const QString& word) {
             const QList<LexiconEntry>& entries = state().lexiconStore().entries();
             return std::any_of(entries.cbegin(), entries.cend(),
                                [&](const LexiconEntry& entry) { return entry.term == word; });
         }},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.name.toStdString());
        const QString failurePrefix = QStringLiteral("❌ 保存 %1 失败：").arg(file.name);
        file.change(QStringLiteral("第一次改动"));
        const QString before = fileText(file.name);
        ASSERT_TRUE(before.contains(QStringLiteral("第一次改动")));

        {
            UnwritableFolder readOnly(h.data.path());
            ASSERT_TRUE(readOnly.holds()) << "the folder could not be made read-only";
            file.change(QStringLiteral("第二次改动"));
        }
        EXPECT_TRUE(state().statusBanner().startsWith(failurePrefix)) << qPrintable(state().statusBanner());
        EXPECT_GT(state().statusBanner().size(), failurePrefix.size()) << "the reason is given";
        EXPECT_EQ(fileText(file.name), before) << "the file on disk stays whole";
        EXPECT_TRUE(file.inMemory(QStringLiteral("第二次改动")));

        file.change(QStringLiteral("第三次改动"));
        EXPECT_EQ(state().statusBanner(), QString()) << "a successful save takes the line away";
        const QString after = fileText(file.name);
        EXPECT_TRUE(after.contains(QStringLiteral("第三次改动")));
        if (file.name != QStringLiteral("config.json")) { // settings hold one model name at a time
            EXPECT_TRUE(after.contains(QStringLiteral("第二次改动"))) << "what failed to save is saved now";
        }

        // A later line is the user's to read: a successful save leaves it alone.
        {
            UnwritableFolder readOnly(h.data.path());
            file.change(QStringLiteral("第四次改动"));
        }
        state().setStatusBanner(QStringLiteral("别的消息"));
        file.change(QStringLiteral("第五次改动"));
        EXPECT_EQ(state().statusBanner(), QStringLiteral("别的消息"));
        state().setStatusBanner(QString());
    }
}

// A logout sends SIGTERM: when it comes while the model is still answering, the app quits at once, and what
// was recognised (corrected by the lexicon, as the fallback would paste it) is in history.json before it
// does.
TEST(PipelineAtQuit, SigtermWhilePolishingRecordsTheCorrectedTranscriptBeforeTheAppQuits)
{
    AppStateHarness h;
    h.workspace.setFrontmost(kEditor);
    h.server.setHandler([](const ScriptedHttpServer::Request& request) {
        ScriptedHttpServer::Reply reply = ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
        reply.neverAnswer = request.path.endsWith("/chat/completions");
        return reply;
    });
    h.start({{QStringLiteral("formattingStyle"), QStringLiteral("lightPolish")},
             {QStringLiteral("enableFastBypassForShortPhrases"), false},
             {QStringLiteral("enableAutoMuteDuringDictation"), false},
             {QStringLiteral("enableAutoLearn"), false}});
    AppState& state = *h.state;
    state.lexiconStore().setEntries(
        {LexiconEntry(QUuid::createUuid(), QStringLiteral("星河"), {QStringLiteral("星合")}, QString(),
                      LexiconCategory::project, 5, 0, Timestamp{0})});
    const auto chats = [&] {
        return std::count_if(h.server.requests().begin(), h.server.requests().end(),
                             [](const auto& request) { return request.path.endsWith("/chat/completions"); });
    };

    h.begin();
    h.engine->transcripts.push_back({QStringLiteral("星合项目今天上线。"), 2});
    auto finished = watch(state.finishDictationSession());
    h.scheduler.advance(100ms);
    ASSERT_TRUE(h.settle([&] { return chats() == 1; })) << "the model was never asked";
    ASSERT_TRUE(state.phase().is<PipelinePhase::Polishing>());

    QObject signalContext;
    ASSERT_TRUE(
        restoreOnTerminationSignals(&signalContext, state.audioDucker(), [] { QCoreApplication::quit(); }));
    QTimer::singleShot(0, [] { std::raise(SIGTERM); });
    QTimer bound; // only if the signal is never handled
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    bound.start(10000);
    ASSERT_EQ(QCoreApplication::exec(), 0) << "SIGTERM did not quit";
    bound.stop();

    EXPECT_FALSE(finished->done) << "the model was still answering";
    ASSERT_EQ(state.history().size(), 1);
    EXPECT_EQ(state.history().first().polishedText, QStringLiteral("星河项目今天上线。"));
    EXPECT_EQ(state.history().first().rawTranscript, QStringLiteral("星合项目今天上线。"));
    EXPECT_EQ(state.history().first().targetAppName, QStringLiteral("Kate"));
    // On disk without waiting for the writer: the process ends right after the quit.
    const HistoryDecodeResult saved =
        decodeHistory(FileIO::readAll(state.historyPath()).value_or(QByteArray()));
    ASSERT_EQ(saved.records.size(), 1);
    EXPECT_EQ(saved.records.first().polishedText, QStringLiteral("星河项目今天上线。"));
}

// --- the trigger while the previous dictation finishes ---------------------------------------------------

namespace {

// Dictations started and stopped with the trigger key, whose transcripts come a while after each stop (as a
// cloud service's final answer does), so a start pressed shortly after a stop finds the last one finishing.
class TriggerInStepTest : public PipelineTest {
protected:
    static constexpr Duration kFinalAnswerLatency = std::chrono::milliseconds(800);
    static constexpr Duration kTapLength = std::chrono::milliseconds(50);

    void SetUp() override
    {
        PipelineTest::SetUp();
        h.engine->finishScheduler = &h.scheduler;
        h.engine->finishLatency = kFinalAnswerLatency;
    }

    // Moves virtual time on in small steps, letting the typing queue and the main loop answer at each, until
    // `done` (false once `limit` has passed).
    bool runUntil(const std::function<bool()>& done, Duration limit = std::chrono::seconds(5))
    {
        for (Duration waited{};; waited += 10ms) {
            for (int round = 0; round < 4; ++round) {
                state().contextInjector().pacerQueue()->sync([] {});
                QCoreApplication::processEvents();
                h.scheduler.runDue();
            }
            if (done())
                return true;
            if (waited >= limit)
                return false;
            h.scheduler.advance(10ms);
        }
    }
    void run(Duration span)
    {
        const Duration until = h.scheduler.clock().now().time_since_epoch() + span;
        runUntil([&] { return h.scheduler.clock().now().time_since_epoch() >= until; }, span);
    }

    // The user's gestures: a tap starts or stops (its start comes on the release), a hold starts on the
    // press and stops on the release.
    void press() { h.pressTrigger(); }
    void release() { h.releaseTrigger(); }
    void tap()
    {
        press();
        run(kTapLength);
        release();
    }
};

} // namespace

// Tap or hold again 0.1 to 0.5 s after a stop, before the first text is in: the start is taken as soon as the
// first dictation has ended, and the next stop ends it; no press becomes a start the user did not mean.
TEST_F(TriggerInStepTest, AStartWhileTheLastDictationFinishesIsTakenOnceItHasEnded)
{
    for (TriggerBehavior behavior : {TriggerBehavior::tapToggle, TriggerBehavior::holdToTalk}) {
        state().setTriggerBehavior(behavior);
        const bool hold = behavior == TriggerBehavior::holdToTalk;
        for (int gapMs = 100; gapMs <= 500; gapMs += 100) {
            SCOPED_TRACE((hold ? "hold, gap " : "tap, gap ") + std::to_string(gapMs) + " ms");
            const qsizetype starts = h.engine->starts.size();
            const qsizetype records = state().history().size();
            h.engine->transcripts = {{QStringLiteral("第一段"), 1}, {QStringLiteral("第二段"), 1}};

            hold ? press() : tap();
            ASSERT_TRUE(runUntil([&] { return state().isSessionActive(); }));
            run(1s);
            const Duration gap = std::chrono::milliseconds(gapMs);
            if (hold) {
                release(); // the stop
                run(gap);
                press();
            } else {
                press(); // the stop, on the press
                run(kTapLength);
                release();
                run(gap - kTapLength);
                tap();
            }
            EXPECT_TRUE(state().isFinalizingSession()) << "the first dictation is still finishing";
            EXPECT_EQ(h.engine->starts.size(), starts + 1);

            ASSERT_TRUE(runUntil([&] { return state().isSessionActive(); }))
                << "the second start was dropped";
            EXPECT_EQ(h.engine->starts.size(), starts + 2);
            ASSERT_EQ(state().history().size(), records + 1);
            EXPECT_EQ(state().history().first().polishedText, QStringLiteral("第一段"));
            EXPECT_TRUE(state().phase().isListening());

            run(1s);
            hold ? release() : tap(); // its stop
            ASSERT_TRUE(
                runUntil([&] { return !state().isFinalizingSession() && !state().isSessionActive(); }));
            ASSERT_EQ(state().history().size(), records + 2);
            EXPECT_EQ(state().history().first().polishedText, QStringLiteral("第二段"));
            run(2s);
            EXPECT_FALSE(state().isSessionActive()) << "no press became a start the user did not mean";
            EXPECT_EQ(h.engine->starts.size(), starts + 2);
        }
    }
}

// A start stopped again before the last dictation has ended never began: the user, who may have spoken, is
// told; the trigger stays in step and its next press starts as usual.
TEST_F(TriggerInStepTest, AStartStoppedBeforeTheLastDictationEndedIsSaidNeverToHaveBegun)
{
    for (TriggerBehavior behavior : {TriggerBehavior::tapToggle, TriggerBehavior::holdToTalk}) {
        state().setTriggerBehavior(behavior);
        const bool hold = behavior == TriggerBehavior::holdToTalk;
        SCOPED_TRACE(hold ? "hold" : "tap");
        state().setStatusBanner(QString());
        const qsizetype starts = h.engine->starts.size();
        const qsizetype records = state().history().size();
        h.engine->transcripts = {{QStringLiteral("第一段"), 1}};

        hold ? press() : tap();
        ASSERT_TRUE(runUntil([&] { return state().isSessionActive(); }));
        run(1s);
        hold ? release() : tap(); // stop
        run(200ms);
        hold ? press() : tap(); // start, while the first finishes
        run(200ms);
        hold ? release() : tap(); // and its stop, still before the first has ended
        ASSERT_TRUE(runUntil([&] { return !state().isFinalizingSession(); }));
        run(1s);
        EXPECT_FALSE(state().isSessionActive());
        EXPECT_EQ(h.engine->starts.size(), starts + 1) << "the start never began";
        EXPECT_EQ(state().history().size(), records + 1);
        EXPECT_EQ(
            state().statusBanner(),
            QStringLiteral(
                "⚠️ 上一段听写还在处理中，这次按键没有开始录音，请再说一次"));

        hold ? press() : tap();
        ASSERT_TRUE(runUntil([&] { return state().isSessionActive(); })) << "the next press starts as usual";
        hold ? release() : tap();
        ASSERT_TRUE(runUntil([&] { return !state().isFinalizingSession() && !state().isSessionActive(); }));
        EXPECT_EQ(h.engine->starts.size(), starts + 2);
    }
}
