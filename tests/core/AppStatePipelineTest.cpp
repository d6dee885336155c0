#include "AppStateHarness.h"
#include "lexicon/PersonalLexiconStore.h"
#include "system/AudioLevelBus.h"
#include "llm/PolishEngine.h"
#include "support/QtPrinters.h"
#include "util/AppIdentity.h"

#include <QJsonArray>
#include <QJsonObject>
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
        h.accessibilityOverride = &gate;
        h.build();
        h.scheduler.runDue();
        h.state->lexiconStore().setEntries({});
    }

    void TearDown() override
    {
        gate.release();
        h.state.reset(); // its capture queue still holds the gate
    }

    AppState& state() { return *h.state; }

    void changeConfig(const std::function<void(LLMConfig&)>& change)
    {
        LLMConfig config = state().llmConfig();
        change(config);
        state().setLLMConfig(config);
    }

    // Runs what the main loop has queued so far, a capture's posted result included.
    static void drainMainLoop()
    {
        bool reached = false;
        QMetaObject::invokeMethod(
            qApp, [&] { reached = true; }, Qt::QueuedConnection);
        ASSERT_TRUE(QTest::qWaitFor([&] { return reached; }, 5000));
    }

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
    CaptureGate gate{h.accessibility};
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
    EXPECT_TRUE(h.clipboard.textsSet().contains(QStringLiteral("今天开会")))
        << "the text went through the clipboard";
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
    EXPECT_EQ(state().phase(), PipelinePhase::error(QStringLiteral(
                                   "请在系统设置→辅助功能中开启 Quorbell 才能写入外部输入框")));
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
        full.append(DictationRecord(QUuid::createUuid(), Timestamp{double(i)}, QString(),
                                    QStringLiteral("旧"), 1, 0, QString(), DictationMode::dictate, {}));
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
    h.workspace.setFrontmost(FrontmostApplication{
        QStringLiteral("Files"), QStringLiteral("org.gnome.Nautilus"), 77, QStringLiteral("Home")});
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

// --- the background capture
// ---------------------------------------------------------------------------------

TEST_F(PipelineTest, CaptureOfAnOlderSessionNeverTurnsTheNextIntoARewrite)
{
    // The cancelled session's capture finds a selection; the next session's capture finds none.
    gate.scriptSelections({QStringLiteral("旧的选区")});
    state().beginDictationSession();
    state().cancelDictationSession();
    state().beginDictationSession();
    // Captures run one after another: once the second has begun reading, the first has posted its result.
    ASSERT_TRUE(gate.waitForReads(2));
    drainMainLoop();
    EXPECT_EQ(state().phase(), PipelinePhase::listening(QString(), DictationMode::dictate));

    h.engine->transcripts.push_back({QStringLiteral("继续写下去"), 1});
    finish();
    ASSERT_EQ(state().history().size(), 1);
    EXPECT_EQ(state().history().first().mode, DictationMode::dictate);
    EXPECT_TRUE(h.clipboard.textsSet().contains(QStringLiteral("继续写下去"))) << "dictated text is pasted";
}

TEST_F(PipelineTest, FailedSelectionRewriteKeepsTheSelectionAndShowsTheError)
{
    changeConfig([](LLMConfig& config) { config.formattingStyle = FormattingStyle::structured; });
    h.server.setHandler([](const ScriptedHttpServer::Request& request) {
        if (request.path.endsWith("/chat/completions"))
            return ScriptedHttpServer::Reply::json(500, R"({"error":{"message":"overloaded"}})");
        return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
    });
    FakeAccessibility::Target target;
    target.processId = kEditor.processId;
    target.element = FocusedElement{ElementRole::Other, QStringLiteral("text"), true, false};
    target.selectedText = QStringLiteral("周五之前交报告");
    target.value = QStringLiteral("请在周五之前交报告");
    h.accessibility.setTarget(target);

    state().beginDictationSession();
    EXPECT_EQ(state().phase(), PipelinePhase::listening(QString(), DictationMode::dictate))
        << "a dictation until the capture has answered";
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return state().phase() == PipelinePhase::listening(QString(), DictationMode::rewriteSelection);
        },
        5000));

    h.sounds.clear();
    h.engine->transcripts.push_back({QStringLiteral("改得更正式一点"), 1.5});
    finish();

    bool askedForRewrite = false;
    for (const ScriptedHttpServer::Request& request : h.server.requests())
        askedForRewrite = askedForRewrite || (request.path.endsWith("/chat/completions") &&
                                              request.body.contains("周五之前交报告"));
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

// --- terms, keys and distillation
// -----------------------------------------------------------------------------

TEST_F(PipelineTest, RecordKeepsTheFirstFiveRecalledTermsButOnlyNamedOnesAreHits)
{
    const auto entry = [](const QString& term, qint64 weight) {
        return LexiconEntry(QUuid::createUuid(), term, {}, QString(), LexiconCategory::project, weight, 0,
                            Timestamp{0});
    };
    // Two light terms the sentence names, and heavy ones it does not, which recall still brings along.
    state().lexiconStore().setEntries({entry(QStringLiteral("星河"), 5), entry(QStringLiteral("DeepSeek"), 5),
                                       entry(QStringLiteral("阿尔法"), 20), entry(QStringLiteral("贝塔"), 19),
                                       entry(QStringLiteral("伽马"), 18), entry(QStringLiteral("德尔塔"), 17),
                                       entry(QStringLiteral("奥米伽"), 16)});
    const QString raw = QStringLiteral("请星河和deepseek团队跟进");
    const QList<LexiconEntry> recalled = state().lexiconStore().recallRelevantTerms(raw, QString(), 26);
    ASSERT_GE(recalled.size(), 6);
    QStringList firstFive;
    for (qsizetype i = 0; i < 5; ++i)
        firstFive.append(recalled.at(i).term);

    state().beginDictationSession();
    h.engine->transcripts.push_back({raw, 2});
    finish();
    ASSERT_EQ(state().history().size(), 1);
    const QStringList matched = state().history().first().matchedTerms;
    EXPECT_EQ(matched, firstFive);
    EXPECT_TRUE(matched.contains(QStringLiteral("阿尔法"))) << "kept although the text does not name it";

    QMap<QString, qint64> hits;
    for (const LexiconEntry& stored : state().lexiconStore().entries())
        hits.insert(stored.term, stored.hitCount);
    EXPECT_EQ(hits.value(QStringLiteral("星河")), 1);
    EXPECT_EQ(hits.value(QStringLiteral("DeepSeek")), 1) << "named in another letter case";
    for (const QString& unnamed : {QStringLiteral("阿尔法"), QStringLiteral("贝塔"), QStringLiteral("伽马"),
                                   QStringLiteral("德尔塔"), QStringLiteral("奥米伽")})
        EXPECT_EQ(hits.value(unnamed), 0) << unnamed.toStdString();
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
    changeConfig([&](LLMConfig& config) { config.baseURL = remoteBase; });
    ASSERT_TRUE(state().apiKeyInput().isEmpty());

    // The verbatim style never asks the model, so nothing is missing.
    state().beginDictationSession();
    h.engine->transcripts.push_back({QStringLiteral("今天开会"), 1});
    finish();
    EXPECT_EQ(state().statusBanner(), QString());

    changeConfig([](LLMConfig& config) { config.formattingStyle = FormattingStyle::structured; });
    state().beginDictationSession();
    h.engine->transcripts.push_back({QStringLiteral("明天交报告"), 1});
    finish();
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
        bool done = false;
        auto task = state().distillPastedCorpus(text).then([&] { done = true; });
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                h.scheduler.runDue();
                return done;
            },
            5000));
    };
    // Only the stored key counts: a typed key alone is not used.
    state().setApiKeyInput(QStringLiteral("sk-typed"));
    distill(QStringLiteral("星河项目周会纪要"));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("蒸馏失败：请先在设置页填入大模型 API Key"));

    h.secrets.store(AppIdentity::bundleIdentifier(),
                    KeychainHelper::providerSlot(LLMProviderOption::deepseek), QStringLiteral("sk-stored"));
    state().lexiconStore().setEntries(
        {LexiconEntry(QUuid::createUuid(), QStringLiteral("星河项目"), {}, QString(),
                      LexiconCategory::project, 5, 0, Timestamp{0})});
    h.server.setHandler([](const ScriptedHttpServer::Request& request) {
        if (!request.path.endsWith("/chat/completions"))
            return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
        const QJsonObject answer{
            {QStringLiteral("choices"),
             QJsonArray{QJsonObject{
                 {QStringLiteral("message"),
                  QJsonObject{{QStringLiteral("content"),
                               QStringLiteral("张伟|章维,张威|person\n星河项目|星合|project\n")}}}}}}};
        return ScriptedHttpServer::Reply::json(200, QJsonDocument(answer).toJson());
    });
    distill(QStringLiteral("星河项目周会纪要：张伟负责"));
    EXPECT_EQ(state().statusBanner(), QStringLiteral("智能蒸馏完成：新增 1 个专属词条（总词库 2 词）"));
    ASSERT_FALSE(h.server.requests().isEmpty());
    EXPECT_EQ(h.server.requests().last().header("Authorization"), QByteArray("Bearer sk-stored"));

    h.server.setHandler([](const ScriptedHttpServer::Request&) {
        return ScriptedHttpServer::Reply::json(500, R"({"error":{"message":"overloaded"}})");
    });
    distill(QStringLiteral("再来一段"));
    EXPECT_TRUE(state().statusBanner().startsWith(QStringLiteral("蒸馏失败：服务器返回了异常响应")))
        << state().statusBanner().toStdString();
    EXPECT_EQ(state().lexiconStore().entries().size(), 2) << "a failure changes nothing";
}

// --- auto-learn observation
// ------------------------------------------------------------------------------------

namespace {

// The editor's field now shows `value` (no selection).
void showInEditor(AppStateHarness& h, const QString& value)
{
    FakeAccessibility::Target target;
    target.processId = kEditor.processId;
    target.element = FocusedElement{ElementRole::Other, QStringLiteral("text"), true, false};
    target.value = value;
    h.accessibility.setTarget(target);
}

} // namespace

TEST_F(PipelineTest, AutoLearnReadsTheFieldTwiceAndLearnsAOneWordEdit)
{
    changeConfig([](LLMConfig& config) { config.enableAutoLearn = true; });
    state().beginDictationSession();
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.accessibility.valueReadCount() >= 1; }, 5000)); // the capture
    h.engine->transcripts.push_back({QStringLiteral("请把报表发给张伟"), 2});
    finish();
    ASSERT_TRUE(state().phase().is<PipelinePhase::Completed>());
    const QString inserted = state().history().first().polishedText;
    ASSERT_TRUE(inserted.contains(QStringLiteral("张伟")));
    showInEditor(h, inserted);
    const int readsBefore = h.accessibility.valueReadCount();

    h.scheduler.advance(5499ms);
    EXPECT_EQ(h.accessibility.valueReadCount(), readsBefore);
    h.scheduler.advance(1ms);
    EXPECT_EQ(h.accessibility.valueReadCount(), readsBefore + 1) << "first look 5.5 s after the insertion";
    EXPECT_EQ(state().statusBanner(), QString()) << "nothing edited yet";

    QString edited = inserted;
    edited.replace(QStringLiteral("张伟"), QStringLiteral("章伟"));
    showInEditor(h, edited);
    h.scheduler.advance(6799ms);
    EXPECT_EQ(h.accessibility.valueReadCount(), readsBefore + 1);
    h.scheduler.advance(1ms);
    EXPECT_EQ(h.accessibility.valueReadCount(), readsBefore + 2) << "second look 12.3 s after the insertion";
    EXPECT_EQ(state().statusBanner(), QStringLiteral("✨ 自学习词典已自动记住纠偏：「张伟」➔「章伟」"));
    bool learned = false;
    for (const LexiconEntry& entry : state().lexiconStore().entries())
        learned = learned ||
                  (entry.term == QStringLiteral("章伟") && entry.aliases.contains(QStringLiteral("张伟")));
    EXPECT_TRUE(learned);

    h.scheduler.advance(30s);
    EXPECT_EQ(h.accessibility.valueReadCount(), readsBefore + 2) << "no third look";
}

TEST_F(PipelineTest, AutoLearnGivesWayToANewerDictation)
{
    changeConfig([](LLMConfig& config) { config.enableAutoLearn = true; });
    state().beginDictationSession();
    h.engine->transcripts.push_back({QStringLiteral("请把报表发给张伟"), 2});
    finish();
    const QString inserted = state().history().first().polishedText;
    QString edited = inserted;
    edited.replace(QStringLiteral("张伟"), QStringLiteral("章伟"));
    showInEditor(h, edited);

    // A newer dictation starts and is dropped before the first look: the observation still stops.
    h.scheduler.advance(2s);
    state().beginDictationSession();
    state().cancelDictationSession();
    h.scheduler.advance(13s);
    EXPECT_EQ(state().statusBanner(), QString());
    for (const LexiconEntry& entry : state().lexiconStore().entries())
        EXPECT_NE(entry.term, QStringLiteral("章伟"));
}

TEST_F(PipelineTest, AutoLearnWatchesTheTryOutBoxForAnOwnWindowDictation)
{
    changeConfig([](LLMConfig& config) { config.enableAutoLearn = true; });
    h.workspace.setFrontmost(kOwnWindow);
    state().beginDictationSession();
    h.engine->transcripts.push_back({QStringLiteral("请把报表发给张伟"), 2});
    finish();
    QString edited = state().sandboxText();
    edited.replace(QStringLiteral("张伟"), QStringLiteral("章伟"));
    state().setSandboxText(edited);
    h.scheduler.advance(5500ms);
    EXPECT_EQ(state().statusBanner(), QStringLiteral("✨ 自学习词典已自动记住纠偏：「张伟」➔「章伟」"));
}

TEST_F(PipelineTest, PartialResultsDriveThePillByVisibleCharacters)
{
    state().beginDictationSession();
    h.engine->onPartialResult(QStringLiteral("你好 👍🏽\r\n🇨🇳"), false);
    EXPECT_EQ(AudioLevelBus::shared().sampleRecognizedSymbolProgress().exactTarget, 4)
        << "two Han characters, a toned emoji and a flag; blanks do not count";
}
