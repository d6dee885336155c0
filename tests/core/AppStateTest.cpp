#include "AppStateHarness.h"
#include "support/QtPrinters.h"
#include "system/HotkeyMonitor.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

QJsonObject readJson(const QString& text) { return QJsonDocument::fromJson(text.toUtf8()).object(); }

} // namespace

TEST(AppStateConstruction, FirstRunStartsFromDefaultsAndWritesNothing)
{
    AppStateHarness h;
    AppState& state = h.build();
    EXPECT_EQ(state.llmConfig(), LLMConfig::defaults());
    EXPECT_FALSE(QFileInfo::exists(state.configPath())) << "no settings file until the first change";
    EXPECT_TRUE(h.defaults.value(AppState::kInlineOffMigrationKey).toBool());
    EXPECT_EQ(state.triggerKey(), TriggerKeyOption::rightControl) << "fn cannot be seen on X11";
    EXPECT_EQ(state.triggerBehavior(), TriggerBehavior::tapToggle);
    EXPECT_EQ(state.customHotkey(), CustomHotkeySpec::defaults());
    EXPECT_EQ(h.engine->appliedSettings.size(), 1) << "the speech settings are pushed once at construction";
    EXPECT_EQ(state.savedProviderKeyFlags().size(), 7);
    EXPECT_TRUE(h.engine->warmUps.isEmpty()) << "the start-up block runs on the next turn";
}

TEST(AppStateConstruction, StartupBlockWarmsUpAndRunsTheFirstRunCheck)
{
    AppStateHarness h;
    h.writeLocalConfig();
    h.accessibility.setTrusted(false);
    AppState& state = h.build();
    h.scheduler.runDue();
    EXPECT_EQ(h.engine->warmUps, QStringList{QStringLiteral("zh-CN")});
    EXPECT_TRUE(state.showOnboardingSheet()) << "no Accessibility yet: the wizard opens";
    EXPECT_FALSE(h.defaults.contains(AppState::kOnboardingDoneKey));
    EXPECT_EQ(h.engine->permissionRequests, 0) << "microphone and speech were granted already";
}

TEST(AppStateConstruction, FirstRunCheckIsSatisfiedByALocalModel)
{
    AppStateHarness h;
    h.writeLocalConfig({{QStringLiteral("openAIASRBaseURL"), QStringLiteral("https://api.groq.com/openai/v1")}});
    AppState& state = h.build();
    h.engine->localModelOnDisk = true;
    h.scheduler.runDue();
    EXPECT_FALSE(state.showOnboardingSheet());
    EXPECT_TRUE(h.defaults.value(AppState::kOnboardingDoneKey).toBool());
}

TEST(AppStateConstruction, MissingMicrophonePermissionIsRequestedAtStart)
{
    AppStateHarness h;
    h.writeLocalConfig();
    h.microphoneAuthorized = false;
    AppState& state = h.build();
    h.scheduler.runDue();
    ASSERT_EQ(h.engine->permissionRequests, 1);
    h.engine->answerPermissions(true, true);
    EXPECT_TRUE(state.micAuthorized());
    EXPECT_EQ(h.engine->warmUps.size(), 2) << "granted: the engine warms up again";
}

TEST(AppStateConfig, OneTimeMigrationSwitchesLiveTypingOffOnce)
{
    AppStateHarness h;
    h.writeLocalConfig({{QStringLiteral("enableLiveInlineTyping"), true}});
    {
        AppState& state = h.build();
        EXPECT_FALSE(state.llmConfig().enableLiveInlineTyping);
        EXPECT_FALSE(readJson(h.configText()).value(QStringLiteral("enableLiveInlineTyping")).toBool());
        LLMConfig config = state.llmConfig();
        config.enableLiveInlineTyping = true;
        state.setLLMConfig(config);
        h.state.reset();
    }
    AppState& again = h.build();
    EXPECT_TRUE(again.llmConfig().enableLiveInlineTyping) << "a later choice is never undone";
}

TEST(AppStateConfig, UnreadableSettingsFileIsKeptBeforeItIsOverwritten)
{
    AppStateHarness h;
    const QString path = h.data.filePath(QStringLiteral("config.json"));
    FileIO::writeAtomically(path, "{\"baseURL\": \"half");
    AppState& state = h.build();
    EXPECT_EQ(state.llmConfig(), LLMConfig::defaults());
    EXPECT_EQ(FileIO::readAll(path), QByteArray("{\"baseURL\": \"half")) << "nothing is written at start";
    LLMConfig config = state.llmConfig();
    config.baseURL = h.localBase;
    config.selectedProvider = LLMProviderOption::custom;
    state.setLLMConfig(config);
    EXPECT_EQ(FileIO::readAll(h.data.filePath(QStringLiteral("config.corrupt.bak.json"))),
              QByteArray("{\"baseURL\": \"half"));
    EXPECT_EQ(readJson(h.configText()).value(QStringLiteral("baseURL")).toString(), h.localBase);
}

TEST(AppStateConfig, ObserverWarmsOnlyWhatChanged)
{
    AppStateHarness h;
    h.writeLocalConfig();
    AppState& state = h.build();
    h.scheduler.runDue();
    const int settingsBefore = h.engine->appliedSettings.size();
    const int prewarmsBefore = h.engine->cloudPrewarms;

    LLMConfig config = state.llmConfig();
    config.modelName = QStringLiteral("deepseek-pro");
    state.setLLMConfig(config);
    EXPECT_EQ(h.engine->appliedSettings.size(), settingsBefore + 1);
    EXPECT_EQ(h.engine->cloudPrewarms, prewarmsBefore);
    EXPECT_EQ(readJson(h.configText()).value(QStringLiteral("modelName")).toString(), QStringLiteral("deepseek-pro"));

    config.openAIASRBaseURL = h.localBase + QLatin1Char(' ');
    state.setLLMConfig(config);
    EXPECT_EQ(h.engine->cloudPrewarms, prewarmsBefore + 1) << "a trailing space is a change";

    h.secrets.store(AppIdentity::bundleIdentifier(), QStringLiteral("custom_api_key"), QStringLiteral("sk-custom"));
    state.setApiKeyInput(QStringLiteral("typed but not saved"));
    const qsizetype requestsBefore = h.server.requests().size();
    config.selectProvider(LLMProviderOption::custom);
    state.setLLMConfig(config);
    EXPECT_EQ(state.apiKeyInput(), QStringLiteral("sk-custom"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.server.requests().size() > requestsBefore; }, 5000));
    EXPECT_TRUE(h.server.requests().last().path.startsWith("/v1/custom")) << h.server.requests().last().path.constData();
    EXPECT_EQ(h.server.requests().last().header("Authorization"), QByteArray("Bearer sk-custom"));

    QSignalSpy dock(&state, &AppState::dockVisibilityRequested);
    config.showInDock = true;
    state.setLLMConfig(config);
    ASSERT_EQ(dock.size(), 1);
    EXPECT_TRUE(dock.first().first().toBool());
}

TEST(AppStateHistory, UnreadableHistoryStartsEmptyAndIsKeptBeforeTheNextSave)
{
    AppStateHarness h;
    h.writeLocalConfig();
    const QString path = h.data.filePath(QStringLiteral("history.json"));
    FileIO::writeAtomically(path, "[{\"id\": ");
    AppState& state = h.build();
    EXPECT_TRUE(state.history().isEmpty());
    EXPECT_EQ(FileIO::readAll(path), QByteArray("[{\"id\": "));
    state.setHistory({DictationRecord(QUuid::createUuid(), Timestamp{1}, QStringLiteral("r"), QStringLiteral("p"), 1,
                                      2, QStringLiteral("Kate"), DictationMode::dictate, {})});
    ASSERT_TRUE(state.saveHistory());
    EXPECT_EQ(FileIO::readAll(h.data.filePath(QStringLiteral("history.corrupt.bak.json"))), QByteArray("[{\"id\": "));
    EXPECT_EQ(decodeHistory(FileIO::readAll(path).value_or(QByteArray())).records.size(), 1);
}

TEST(AppStateTrigger, DefaultsAreReadStrictlyAndMirrored)
{
    AppStateHarness h;
    h.writeLocalConfig();
    h.defaults.setValue(AppState::kTriggerKeyKey, QStringLiteral("leftOption"));
    h.defaults.setValue(AppState::kTriggerBehaviorKey, QStringLiteral("HoldToTalk"));
    h.defaults.setValue(AppState::kCustomHotkeySpecKey, QByteArray(R"({"keyCode":9,"carbonModifiers":256})"));
    AppState& state = h.build();
    EXPECT_EQ(state.triggerKey(), TriggerKeyOption::leftOption);
    EXPECT_EQ(state.triggerBehavior(), TriggerBehavior::tapToggle) << "raw values are case-sensitive";
    EXPECT_EQ(state.customHotkey(), CustomHotkeySpec::defaults()) << "a shortcut without a label is ignored";
    EXPECT_EQ(h.defaults.value(AppState::kTriggerBehaviorKey).toString(), QStringLiteral("HoldToTalk"))
        << "an unreadable entry is not rewritten";

    state.setCustomHotkey({9, 0x0900, QStringLiteral("⌥ ⌘ + V")});
    state.setTriggerKey(TriggerKeyOption::custom);
    EXPECT_EQ(h.defaults.value(AppState::kTriggerKeyKey).toString(), QStringLiteral("custom"));
    EXPECT_EQ(CustomHotkeySpec::fromJson(
                  QJsonDocument::fromJson(h.defaults.value(AppState::kCustomHotkeySpecKey).toByteArray()).object()),
              (CustomHotkeySpec{9, 0x0900, QStringLiteral("⌥ ⌘ + V")}));
    EXPECT_EQ(state.activeTriggerDisplayName(), QStringLiteral("自定义快捷键 (⌥ ⌘ + V)"));
    EXPECT_EQ(state.activeTriggerCompactLabel(), QStringLiteral("⌥ ⌘ + V"));
    state.setTriggerKey(TriggerKeyOption::rightOption);
    EXPECT_EQ(state.activeTriggerDisplayName(), QStringLiteral("右侧 Option (⌥)"));
    EXPECT_EQ(state.activeTriggerCompactLabel(), QStringLiteral("右 Option ⌥"));
}

TEST(AppStatePermissions, PollRefreshesOnlyWhileSomethingIsMissing)
{
    AppStateHarness h;
    h.writeLocalConfig();
    h.accessibility.setTrusted(false);
    AppState& state = h.build();
    h.scheduler.runDue();
    EXPECT_FALSE(state.accessibilityGranted());
    h.accessibility.setTrusted(true);
    h.scheduler.advance(2200ms);
    EXPECT_TRUE(state.accessibilityGranted()) << "the poll picked up the grant";

    state.setShowOnboardingSheet(false);
    h.engine->usingSenseVoice = true;
    h.scheduler.advance(2200ms);
    ASSERT_TRUE(state.senseVoiceLoaded());
    h.accessibility.setTrusted(false);
    h.scheduler.advance(2200ms * 3);
    EXPECT_TRUE(state.accessibilityGranted()) << "all granted and no wizard: the poll stops asking";
}

TEST(AppStateKeys, TypedTranscriptionKeyWinsAndGroqNeverBorrowsTheOpenAIKey)
{
    AppStateHarness h;
    h.writeLocalConfig({{QStringLiteral("openAIASRBaseURL"), QStringLiteral("https://api.groq.com/openai/v1")}});
    h.secrets.store(AppIdentity::bundleIdentifier(), QStringLiteral("openai_api_key"), QStringLiteral("sk-openai"));
    AppState& state = h.build();
    EXPECT_TRUE(state.isGroqASRSelected());
    EXPECT_EQ(state.effectiveOpenAIASRKey(), QString());
    EXPECT_FALSE(state.isOpenAIASRReusingLLMKey());
    state.setOpenAIASRKeyInput(QStringLiteral("  gsk-typed "));
    EXPECT_EQ(state.effectiveOpenAIASRKey(), QStringLiteral("gsk-typed"));
    EXPECT_TRUE(state.hasEffectiveOpenAIASRKey());
}
