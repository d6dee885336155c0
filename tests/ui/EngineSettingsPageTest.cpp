#include "audio/SeedASRTestServer.h"
#include "audio/VolcSeedASRClient.h"
#include "platform/KeyEvent.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/pages/settings/EngineSettingsSection.h"
#include "ui/pages/settings/EngineSettingsText.h"
#include "ui/support/DashboardFixture.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBExpandableCard.h"
#include "ui/widgets/QBHotkeyPresetGrid.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBSwitch.h"
#include "ui/widgets/SettingsControls.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
namespace T = EngineSettingsText;
using Reply = ScriptedHttpServer::Reply;

namespace {

TEST(EngineSettingsTextTest, BannerOrderAndPresets)
{
    using K = T::Banner::Kind;
    EXPECT_EQ(T::cardBanner(QStringLiteral("❌ e"), QStringLiteral("⚡ s"), false, QStringLiteral("w")),
              (T::Banner{K::probe, QStringLiteral("❌ e")}));
    EXPECT_EQ(T::cardBanner({}, QStringLiteral("⚡ s"), false, QStringLiteral("w")),
              (T::Banner{K::probe, QStringLiteral("⚡ s")}));
    EXPECT_EQ(T::cardBanner({}, {}, false, QStringLiteral("w")), (T::Banner{K::warn, QStringLiteral("w")}));
    EXPECT_EQ(T::cardBanner({}, {}, true, QStringLiteral("w")).kind, K::none);
    EXPECT_FALSE(T::hasSeedASRKey(QStringLiteral(" \n ")));

    // Groq's pill follows the host whatever the model; the OpenAI pills their exact model only.
    const QList<T::ASRPreset> presets = T::asrPresets();
    ASSERT_EQ(presets.size(), 3);
    EXPECT_TRUE(T::isASRPresetActive(presets[2], true, QStringLiteral("gpt-4o-transcribe")));
    EXPECT_FALSE(T::isASRPresetActive(presets[1], true, QStringLiteral("gpt-4o-transcribe")));
    EXPECT_TRUE(T::isASRPresetActive(presets[1], false, QStringLiteral("gpt-4o-transcribe")));
    EXPECT_FALSE(T::isASRPresetActive(presets[0], false, QStringLiteral("GPT-4o-mini-transcribe")));
    EXPECT_EQ(T::recordButtonTitle(TriggerKeyOption::custom, CustomHotkeySpec::defaults()),
              QStringLiteral("重录快捷键 (⌃ + Space)"));
    EXPECT_EQ(T::recordButtonTitle(TriggerKeyOption::rightControl, {}), QStringLiteral("点击录制自定义键"));
    EXPECT_EQ(T::packStatusText(true, true), QStringLiteral("满血包已就绪"));
    EXPECT_EQ(T::packStatusText(true, false), QStringLiteral("基础包已就绪"));
    EXPECT_EQ(T::packStatusText(false, false), QStringLiteral("待下载模型"));
    EXPECT_EQ(T::packStatusLook(false, true).text, QBTheme::amber());
}

TEST(EngineSettingsTextTest, ProviderCardState)
{
    LLMConfig config;
    config.selectedProvider = LLMProviderOption::deepseek;
    config.modelName = QStringLiteral("live-model");
    config.providerModels = {{QStringLiteral("deepseek"), QStringLiteral("remembered")}};
    config.customBaseURL.clear();
    const QMap<LLMProviderOption, bool> saved{{LLMProviderOption::openai, true}};
    bool environmentKey = false;
    const auto state = [&](LLMProviderOption p, const T::ProviderDrafts& d,
                           QMap<LLMProviderOption, QString> summaries = {}) {
        return T::providerCardState(p, config, d, saved, environmentKey, {}, summaries,
                                    QStringLiteral("last"));
    };
    EXPECT_EQ(state(LLMProviderOption::deepseek, {}).shownModel, QStringLiteral("live-model"));
    EXPECT_EQ(state(LLMProviderOption::gemini, {}).shownModel, QStringLiteral("gemini-3.8-flash"));
    EXPECT_TRUE(state(LLMProviderOption::openai, {}).keyReady) << "not loaded: the saved flag";
    EXPECT_EQ(state(LLMProviderOption::deepseek, {}).summary, QStringLiteral("last"));
    EXPECT_EQ(state(LLMProviderOption::openai, {}).summary, QString());
    EXPECT_EQ(state(LLMProviderOption::deepseek, {}, {{LLMProviderOption::deepseek, QString()}}).summary,
              QString())
        << "an entry, even empty, wins over the last summary";

    // Loaded drafts: a key of spaces is none; a local address needs none.
    T::ProviderDrafts drafts = T::draftsFromStore(LLMProviderOption::custom, config, QStringLiteral("  "));
    EXPECT_EQ(drafts.baseURL, LLMProviderOption(LLMProviderOption::custom).defaultBaseURL());
    EXPECT_EQ(drafts.modelName, QStringLiteral("deepseek-ai/DeepSeek-V3"));
    EXPECT_FALSE(state(LLMProviderOption::custom, drafts).keyReady);
    // A key in the environment is the one used when the field is empty: not a missing key.
    environmentKey = true;
    EXPECT_TRUE(state(LLMProviderOption::custom, drafts).keyReady);
    environmentKey = false;
    drafts.baseURL = QStringLiteral("http://localhost:11434/v1");
    EXPECT_TRUE(state(LLMProviderOption::custom, drafts).keyless);
    config.customBaseURL = QStringLiteral("https://relay.example/v1");
    EXPECT_EQ(T::draftsFromStore(LLMProviderOption::custom, config, {}).baseURL, config.customBaseURL);
    EXPECT_EQ(T::draftsFromStore(LLMProviderOption::deepseek, config, {}).modelName,
              QStringLiteral("live-model"));
}

class EngineSettingsPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(seed.listen());
        seed.onFrame = [](SeedASRTestServer::Connection& c, const SeedASRTestServer::ClientFrame& frame) {
            if (frame.isLastAudio())
                c.send(SeedASRTestServer::transcriptFrame(1, QString()));
        };
    }

    void open()
    {
        h().defaults.setValue(AppState::kOnboardingDoneKey, true);
        h().writeLocalConfig();
        h().build();
        h().engine->seedProbe = [this, url = seed.url()](QString key, QString resourceID) {
            return VolcSeedASRClient::probeHandshakeLatency(std::move(key), std::move(resourceID),
                                                            h().scheduler, url);
        };
        h().settleStartup();
        state().setSelectedTab(SidebarTab::settings);
        view = std::make_unique<MainDashboardView>(state());
        view->resize(1100, 760);
        view->show();
        turn();
    }
    AppStateHarness& h() { return fixture.harness; }
    AppState& state() { return *fixture.harness.state; }
    void turn()
    {
        h().scheduler.runDue();
        // Twice: a page added to the shown window is shown by a call queued while the first turn runs.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        view->refreshNow();
    }
    bool settle(const std::function<bool()>& done)
    {
        return h().settle([&] {
            turn();
            return done();
        });
    }
    // The same, with virtual time moving on between looks (a measurement pauses before it starts its clock),
    // never faster than real time, so the exchange's limits cannot run out while a busy machine answers.
    bool settleWhileTimePasses(const std::function<bool()>& done)
    {
        return h().settleWhileTimePasses(
            [&] {
                turn();
                return done();
            },
            50ms);
    }
    template <typename T> T* find(const QString& name, QWidget* in = nullptr)
    {
        T* found = (in ? in : view.get())->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    QBExpandableCard* card(const QString& name) { return find<QBExpandableCard>(name); }
    void click(QWidget* widget)
    {

        ASSERT_TRUE(widget->isVisible()) << widget->objectName().toStdString();
        QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(4, widget->height() / 2));
        turn();
    }
    void type(QLineEdit* field, const QString& text)
    {
        field->clear();
        QTest::keyClicks(field, text);
        turn();
    }
    QString pillText(QBExpandableCard* c) { return find<QBPill>(QStringLiteral("keyPill"), c)->text(); }

    SeedASRTestServer seed;
    DashboardFixture fixture;
    std::unique_ptr<MainDashboardView> view;
};

TEST_F(EngineSettingsPageTest, ShortcutCaptureEndsWithItsResultOrWhenThePageIsLeft)
{
    open();
    auto* record = find<QBButton>(QStringLiteral("recordShortcut"));
    EXPECT_EQ(record->text(), QStringLiteral("点击录制自定义键"));
    EXPECT_EQ(find<QBPill>(QStringLiteral("currentTrigger"))->text(),
              QStringLiteral("当前生效：") + state().activeTriggerDisplayName());

    // Esc ends the capture with nothing changed.
    click(record);
    EXPECT_TRUE(state().isRecordingShortcut());
    EXPECT_TRUE(find<QWidget>(QStringLiteral("recordingControls"))->isVisible());
    EXPECT_FALSE(record->isVisible());
    const QString banner = state().statusBanner();
    const TriggerKeyOption key = state().triggerKey();
    h().localKeys.deliver({KeyEvent::Kind::KeyDown, KeyCode::Escape, 0});
    ASSERT_TRUE(settle([&] { return !state().isRecordingShortcut(); }));
    EXPECT_EQ(state().triggerKey(), key);
    EXPECT_EQ(state().statusBanner(), banner);
    EXPECT_TRUE(record->isVisible());

    // A preset picked while recording ends the capture first.
    click(record);
    auto* grid = find<QBHotkeyPresetGrid>(QStringLiteral("presetGrid"));
    click(grid->cell(TriggerKeyOption::rightShift));
    EXPECT_FALSE(state().isRecordingShortcut());
    EXPECT_FALSE(h().localKeys.isActive());
    EXPECT_EQ(state().triggerKey(), TriggerKeyOption::rightShift);

    // Leaving the page, by another tab or by hiding the window, cancels a running capture.
    click(record);
    ASSERT_TRUE(h().localKeys.isActive());
    state().setSelectedTab(SidebarTab::home);
    turn();
    EXPECT_FALSE(state().isRecordingShortcut());
    EXPECT_FALSE(h().localKeys.isActive());
    state().setSelectedTab(SidebarTab::settings);
    turn();
    click(find<QBButton>(QStringLiteral("recordShortcut")));
    view->hide();
    EXPECT_FALSE(state().isRecordingShortcut());
    EXPECT_FALSE(h().localKeys.isActive());

    // The page outlived by the state does not reach for it.
    view->show();
    turn();
    click(find<QBButton>(QStringLiteral("recordShortcut")));
    fixture.harness.state.reset();
    view.reset();
}

TEST_F(EngineSettingsPageTest, SegmentsAndSwitchesWriteExactlyTheirField)
{
    open();
    click(find<QWidget>(QStringLiteral("behaviorHold")));
    EXPECT_EQ(state().triggerBehavior(), TriggerBehavior::holdToTalk);
    // The selected segment writes again, so its value is stored again.
    h().defaults.remove(AppState::kTriggerBehaviorKey);
    click(find<QWidget>(QStringLiteral("behaviorHold")));
    EXPECT_EQ(h().defaults.value(AppState::kTriggerBehaviorKey).toString(), QStringLiteral("holdToTalk"));
    click(find<QWidget>(QStringLiteral("outputLive")));
    EXPECT_TRUE(state().llmConfig().enableLiveInlineTyping);
    EXPECT_EQ(h().savedConfig()[QStringLiteral("enableLiveInlineTyping")], true);

    const QList<QPair<QString, QString>> switches{
        {QStringLiteral("switchAutoMute"), QStringLiteral("enableAutoMuteDuringDictation")},
        {QStringLiteral("switchFastBypass"), QStringLiteral("enableFastBypassForShortPhrases")},
        {QStringLiteral("switchWhisperAGC"), QStringLiteral("enableWhisperAGC")},
        {QStringLiteral("switchPangu"), QStringLiteral("enablePanguSpacing")},
        {QStringLiteral("switchAutoLearn"), QStringLiteral("enableAutoLearn")},
        {QStringLiteral("switchStripPeriod"), QStringLiteral("stripTrailingPeriodInChatApps")},
        {QStringLiteral("switchShowInDock"), QStringLiteral("showInDock")},
    };
    for (const auto& [name, field] : switches) {
        const QJsonObject before = state().llmConfig().toJson();
        auto* row = find<CompactSwitchRow>(name);
        ASSERT_EQ(row->isOn(), before[field].toBool()) << name.toStdString();
        click(row->toggle());
        QJsonObject after = state().llmConfig().toJson();
        EXPECT_EQ(after[field].toBool(), !before[field].toBool()) << name.toStdString();
        after[field] = before[field];
        EXPECT_EQ(after, before) << name.toStdString() << " wrote another field";
        EXPECT_EQ(h().savedConfig()[field].toBool(), !before[field].toBool());
        EXPECT_EQ(row->isOn(), !before[field].toBool());
    }

    // Polishing off shows its note; the onboarding entry asks for the sheet.
    click(find<QWidget>(QStringLiteral("styleVerbatim")));
    EXPECT_TRUE(find<QWidget>(QStringLiteral("verbatimNote"))->isVisible());
    click(find<QWidget>(QStringLiteral("styleLight")));
    EXPECT_FALSE(find<QWidget>(QStringLiteral("verbatimNote"))->isVisible());
    EXPECT_EQ(state().llmConfig().formattingStyle, FormattingStyle::lightPolish);
    click(find<QWidget>(QStringLiteral("openOnboarding")));
    EXPECT_TRUE(state().showOnboardingSheet());
}

TEST_F(EngineSettingsPageTest, SpeechCardsCheckBeforeSwitchingAndShowWhatRuns)
{
    open();
    QBExpandableCard* seedCard = card(QStringLiteral("engineCard-volcSeedASR"));
    QBExpandableCard* openAICard = card(QStringLiteral("engineCard-openAIWhisper"));
    QBExpandableCard* localCard = card(QStringLiteral("engineCard-localSenseVoice"));
    state().selectASRProvider(ASRProviderOption::localSenseVoice);

    // One engine card open at a time.
    click(seedCard->header());
    click(openAICard->header());
    EXPECT_FALSE(seedCard->isExpanded());
    EXPECT_TRUE(openAICard->isExpanded());
    click(seedCard->header());
    EXPECT_FALSE(openAICard->isExpanded());

    // A key of spaces is no key: amber pill and the warning.
    type(find<QLineEdit>(QStringLiteral("keyField"), seedCard), QStringLiteral("   "));
    EXPECT_EQ(pillText(seedCard), QStringLiteral("待填密钥"));
    EXPECT_TRUE(find<QBInlineBanner>(QStringLiteral("warnBanner"), seedCard)->isVisible());

    // Check-and-switch against a stalled service: busy titles, every speech button disabled meanwhile.
    type(find<QLineEdit>(QStringLiteral("keyField"), seedCard), QStringLiteral("volc-key"));
    EXPECT_EQ(pillText(seedCard), QStringLiteral("密钥已存"));
    seed.setHandshakes({SeedASRTestServer::Handshake::stall});
    auto* activate = find<QBButton>(QStringLiteral("activateButton"), seedCard);
    click(activate);
    ASSERT_TRUE(settle([&] { return seed.connectionCount() == 1; }));
    EXPECT_EQ(activate->text(), QStringLiteral("校验中…"));
    EXPECT_FALSE(activate->isEnabled());
    EXPECT_FALSE(find<QBButton>(QStringLiteral("probeButton"), seedCard)->isEnabled());
    click(localCard->header());
    EXPECT_FALSE(find<QBButton>(QStringLiteral("activateButton"), localCard)->isEnabled());
    EXPECT_EQ(find<QBButton>(QStringLiteral("activateButton"), localCard)->text(),
              QStringLiteral("校验并切换"));
    click(seedCard->header());
    h().scheduler.advance(8s);
    ASSERT_TRUE(settle([&] { return !state().activatingASRProvider(); }));
    auto* probeBanner = find<QBInlineBanner>(QStringLiteral("probeBanner"), seedCard);
    EXPECT_TRUE(probeBanner->isVisible());
    EXPECT_TRUE(probeBanner->message().startsWith(QStringLiteral("❌ 校验未通过")));
    EXPECT_EQ(probeBanner->textColor(), QBTheme::crimson());
    EXPECT_FALSE(seedCard->isSelected());

    // A speed test runs with its busy title; its summary stays under the error until the error is cleared.
    auto* probe = find<QBButton>(QStringLiteral("probeButton"), seedCard);
    click(probe);
    EXPECT_EQ(probe->text(), QStringLiteral("测速中…"));
    EXPECT_FALSE(probe->isEnabled());
    ASSERT_TRUE(settle([&] { return !state().isProbingSeedASR(); }));
    EXPECT_EQ(probe->text(), QStringLiteral("⚡ 测速"));
    EXPECT_TRUE(probeBanner->message().startsWith(QStringLiteral("❌")));
    click(activate);
    ASSERT_TRUE(settle([&] { return seedCard->isSelected(); }));
    EXPECT_TRUE(probeBanner->message().startsWith(QStringLiteral("⚡ 校验通过并已生效")));
    EXPECT_FALSE(activate->isVisible()) << "the active engine's card offers no switch";
    EXPECT_EQ(find<QBPill>(QStringLiteral("cardStatusBadge"), seedCard)->text(), QStringLiteral("当前生效"));
}

TEST_F(EngineSettingsPageTest, TranscriptionCardPresetsEndpointAndKeys)
{
    open();
    QBExpandableCard* c = card(QStringLiteral("engineCard-openAIWhisper"));
    click(c->header());
    click(find<QBPill>(QStringLiteral("presetGroq"), c));
    EXPECT_EQ(state().llmConfig().openAIASRBaseURL, T::groqBaseURL());
    EXPECT_EQ(state().llmConfig().openAIASRModel, QStringLiteral("whisper-large-v3-turbo"));
    EXPECT_EQ(find<QBPill>(QStringLiteral("presetGroq"), c)->look().text, QBTheme::violet());
    EXPECT_EQ(find<QBPill>(QStringLiteral("presetOpenAIMini"), c)->look().text, QBTheme::inkSecondary());
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("keyField"), c)->placeholderText(),
              QStringLiteral("粘贴 Groq API Key (gsk_...)"));
    EXPECT_TRUE(
        find<QBInlineBanner>(QStringLiteral("warnBanner"), c)->message().contains(QStringLiteral("Groq")));

    // Typed into the model field: the tag follows each key, the file only once the typing pauses.
    type(find<QLineEdit>(QStringLiteral("modelField"), c), QStringLiteral("whisper-x"));
    EXPECT_EQ(find<QBPill>(QStringLiteral("cardTag"), c)->text(), QStringLiteral("whisper-x"));
    EXPECT_NE(h().savedConfig()[QStringLiteral("openAIASRModel")], QStringLiteral("whisper-x"));
    h().scheduler.advance(AppState::kConfigEditSettleDelay);
    EXPECT_EQ(h().savedConfig()[QStringLiteral("openAIASRModel")], QStringLiteral("whisper-x"));

    // A local server needs no key; the OpenAI LLM key is reused for OpenAI itself.
    type(find<QLineEdit>(QStringLiteral("baseURLField"), c), h().localBase);
    EXPECT_EQ(pillText(c), QStringLiteral("本地免密"));
    EXPECT_FALSE(find<QBInlineBanner>(QStringLiteral("warnBanner"), c)->isVisible());
    ASSERT_TRUE(h().await(h().keychain.saveAPIKey(QStringLiteral("sk-openai"), LLMProviderOption::openai)));
    state().refreshSavedKeyFlags();
    click(find<QBPill>(QStringLiteral("presetOpenAIMini"), c));
    EXPECT_EQ(pillText(c), QStringLiteral("复用 OpenAI 密钥"));
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("keyField"), c)->placeholderText(),
              T::openAIASRKeyPlaceholder(false, true));
}

TEST_F(EngineSettingsPageTest, LocalModelCardDownloadsWithProgressWhetherOpenOrNot)
{
    // The download stalls after its first bytes, so it stays running until cancelled.
    h().server.setHandler([](const ScriptedHttpServer::Request& request) {
        if (!request.path.endsWith(".tar.bz2"))
            return Reply::json(200, "{}");
        Reply stalled;
        stalled.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("1000000")));
        stalled.pieces.append({QByteArray(300000, 'x'), {}});
        stalled.framing = Reply::Framing::closeDelimited;
        stalled.stallAfterPieces = true;
        return stalled;
    });
    open();
    QBExpandableCard* c = card(QStringLiteral("engineCard-localSenseVoice"));
    EXPECT_EQ(find<QBPill>(QStringLiteral("packPill"), c)->text(), QStringLiteral("待下载模型"));
    EXPECT_EQ(find<QBPill>(QStringLiteral("cardTag"), c)->text(), QStringLiteral("本机引擎"));
    click(c->header());
    EXPECT_TRUE(find<QWidget>(QStringLiteral("missingText"), c)->isVisible());

    // Without a model the check fails before anything loads, and says so under the card.
    click(find<QBButton>(QStringLiteral("activateButton"), c));
    ASSERT_TRUE(settle([&] { return !state().activatingASRProvider(); }));
    EXPECT_TRUE(
        find<QBInlineBanner>(QStringLiteral("probeBanner"), c)->message().startsWith(QStringLiteral("❌")));

    click(find<QBButton>(QStringLiteral("downloadButton"), c));
    auto* row = find<QWidget>(QStringLiteral("downloadRow"), c);
    EXPECT_TRUE(row->isVisible());
    EXPECT_FALSE(find<QWidget>(QStringLiteral("downloadButton"), c)->isVisible())
        << "replaced by the progress";
    ASSERT_TRUE(settle([&] { return state().offlineDownloadProgress() > 0.01; }));
    EXPECT_GT(find<QProgressBar>(QStringLiteral("downloadProgress"), c)->value(), 0);
    EXPECT_EQ(find<QLabel>(QStringLiteral("downloadStatus"), c)->text(), state().offlineDownloadStatusText());
    click(c->header());
    EXPECT_FALSE(c->isExpanded());
    EXPECT_TRUE(row->isVisible()) << "the progress stays with the card closed";
    click(find<QBButton>(QStringLiteral("cancelDownload"), c));
    EXPECT_FALSE(state().isDownloadingOfflineModel());
    EXPECT_FALSE(row->isVisible());

    // A full pack installed: the ready text, no download offer.
    h().engine->usingSenseVoice = true;
    h().engine->fullPrecision = true;
    state().refreshPermissionStatus();
    click(c->header());
    EXPECT_EQ(find<QBPill>(QStringLiteral("packPill"), c)->text(), QStringLiteral("满血包已就绪"));
    EXPECT_EQ(find<QBPill>(QStringLiteral("cardTag"), c)->text(), QStringLiteral("886MB FP32"));
    EXPECT_TRUE(find<QWidget>(QStringLiteral("readyText"), c)->isVisible());
    EXPECT_FALSE(find<QWidget>(QStringLiteral("downloadButton"), c)->isVisible());
}

TEST_F(EngineSettingsPageTest, ProviderCardsKeepDraftsAndSendThemRaw)
{
    ASSERT_TRUE(h().await(h().keychain.saveAPIKey(QStringLiteral("sk-stored"), LLMProviderOption::openai)));
    qputenv("QUORBELL_API_KEY", "sk-env");
    open();
    QBExpandableCard* openai = card(QStringLiteral("providerCard-openai"));
    QBExpandableCard* custom = card(QStringLiteral("providerCard-custom"));
    click(openai->header());
    auto* key = find<QLineEdit>(QStringLiteral("keyField"), openai);
    EXPECT_EQ(key->text(), QStringLiteral("sk-stored")) << "the stored key, not the environment's";
    qunsetenv("QUORBELL_API_KEY");

    // Unsaved drafts go when the card closes and opens again; one card open at a time.
    type(key, QStringLiteral("  "));
    EXPECT_EQ(pillText(openai), QStringLiteral("待填密钥"));
    EXPECT_TRUE(find<QBInlineBanner>(QStringLiteral("warnBanner"), openai)->isVisible());
    click(custom->header());
    EXPECT_FALSE(openai->isExpanded());
    click(openai->header());
    EXPECT_EQ(key->text(), QStringLiteral("sk-stored"));
    EXPECT_EQ(pillText(openai), QStringLiteral("密钥已存"));
    click(openai->header());
    EXPECT_FALSE(openai->isExpanded());
    EXPECT_FALSE(custom->isExpanded());

    // The custom card against the local server: a keyless address, saved raw, measured, then switched to.
    h().server.setHandler([](const ScriptedHttpServer::Request& request) {
        if (request.path.endsWith("/chat/completions"))
            return Reply::sse({R"(data: {"choices":[{"delta":{"content":"好"}}]})"
                               "\n\n",
                               "data: [DONE]\n\n"});
        return Reply::json(200, R"({"data":[]})");
    });
    click(custom->header());
    const QString base = h().localBase + QStringLiteral("/relay ");
    type(find<QLineEdit>(QStringLiteral("baseURLField"), custom), base);
    type(find<QLineEdit>(QStringLiteral("modelField"), custom), QStringLiteral("qwen-local"));
    EXPECT_EQ(pillText(custom), QStringLiteral("本地免密"));
    EXPECT_FALSE(find<QBInlineBanner>(QStringLiteral("warnBanner"), custom)->isVisible());
    click(find<QBButton>(QStringLiteral("saveButton"), custom));
    ASSERT_TRUE(settle([&] { return state().llmConfig().customBaseURL == base.trimmed(); }));
    EXPECT_EQ(state().llmConfig().providerModels.value(QStringLiteral("custom")),
              QStringLiteral("qwen-local"));
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::deepseek) << "saving switches nothing";

    auto* benchmark = find<QBButton>(QStringLiteral("benchmarkButton"), custom);
    click(benchmark);
    EXPECT_EQ(benchmark->text(), QStringLiteral("测速中…"));
    EXPECT_FALSE(benchmark->isEnabled());
    ASSERT_TRUE(settleWhileTimePasses([&] { return !state().isBenchmarkingLLM(); }));
    EXPECT_TRUE(find<QBInlineBanner>(QStringLiteral("probeBanner"), custom)
                    ->message()
                    .startsWith(QStringLiteral("⚡ 实测通过")))
        << "the model streamed text";

    click(find<QBButton>(QStringLiteral("activateButton"), custom));
    ASSERT_TRUE(settleWhileTimePasses([&] { return custom->isSelected(); }));
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::custom);
    EXPECT_EQ(state().llmConfig().modelName, QStringLiteral("qwen-local"));
    EXPECT_FALSE(find<QBButton>(QStringLiteral("activateButton"), custom)->isVisible());
    EXPECT_EQ(find<QBPill>(QStringLiteral("cardTag"), custom)->text(), QStringLiteral("qwen-local"));
}

TEST_F(EngineSettingsPageTest, ProviderCardKeepsTypedDraftsOverAMinimisedWindow)
{
    open();
    QBExpandableCard* openai = card(QStringLiteral("providerCard-openai"));
    click(openai->header());
    auto* key = find<QLineEdit>(QStringLiteral("keyField"), openai);
    auto* model = find<QLineEdit>(QStringLiteral("modelField"), openai);
    type(key, QStringLiteral("sk-typed"));
    type(model, QStringLiteral("gpt-typed"));

    // Minimised and restored: the window's widgets get spontaneous hide and show events.
    view->setWindowState(Qt::WindowMinimized);
    turn();
    view->setWindowState(Qt::WindowNoState);
    turn();
    ASSERT_TRUE(openai->isExpanded());
    EXPECT_EQ(key->text(), QStringLiteral("sk-typed"));
    EXPECT_EQ(model->text(), QStringLiteral("gpt-typed"));
    EXPECT_EQ(pillText(openai), QStringLiteral("密钥已存"));

    // Shown for the page again (the tab left and selected anew), the card shows what is stored.
    state().setSelectedTab(SidebarTab::home);
    turn();
    state().setSelectedTab(SidebarTab::settings);
    turn();
    openai = card(QStringLiteral("providerCard-openai"));
    click(openai->header());
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("keyField"), openai)->text(), QString());
}

TEST_F(EngineSettingsPageTest, ProviderCardTakesTheEnvironmentsKeyForAnEmptyField)
{
    struct EnvironmentKey {
        EnvironmentKey() { qputenv("QUORBELL_API_KEY", "sk-env"); }
        ~EnvironmentKey() { qunsetenv("QUORBELL_API_KEY"); }
    } environment;
    open();
    QBExpandableCard* openai = card(QStringLiteral("providerCard-openai"));
    click(openai->header());
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("keyField"), openai)->text(), QString())
        << "the field never shows the environment's key";
    EXPECT_NE(pillText(openai), QStringLiteral("待填密钥"));
    EXPECT_FALSE(find<QBInlineBanner>(QStringLiteral("warnBanner"), openai)->isVisible());
}

} // namespace
