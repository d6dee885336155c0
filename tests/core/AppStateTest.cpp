#include "AppStateHarness.h"
#include "support/DamagedList.h"
#include "support/QtPrinters.h"
#include "system/HotkeyMonitor.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>

using namespace std::chrono_literals;

TEST(AppStateConstruction, FirstRunStartsFromDefaultsAndWritesNothing)
{
    AppStateHarness h;
    AppState& state = h.build();
    EXPECT_EQ(state.llmConfig(), LLMConfig::defaults());
    EXPECT_FALSE(QFileInfo::exists(state.configPath())) << "no settings file until the first change";
    EXPECT_TRUE(h.defaults.value(AppState::kInlineOffMigrationKey).toBool());
    EXPECT_EQ(state.triggerKey(), TriggerKeyOption::rightControl) << "fn cannot be seen on X11";
    EXPECT_EQ(h.engine->appliedSettings.size(), 1) << "the speech settings are pushed once at construction";
    EXPECT_TRUE(h.engine->warmUps.isEmpty()) << "the start-up block runs on the next turn";
}

TEST(AppStateConstruction, StartupBlockWarmsUpAndRunsTheFirstRunCheck)
{
    AppStateHarness h;
    h.accessibility.setTrusted(false);
    AppState& state = h.start();
    EXPECT_EQ(h.engine->warmUps, QStringList{QStringLiteral("zh-CN")});
    EXPECT_TRUE(state.showOnboardingSheet()) << "no Accessibility yet: the wizard opens";
    EXPECT_FALSE(h.defaults.contains(AppState::kOnboardingDoneKey));
    EXPECT_EQ(h.engine->permissionRequests, 0) << "microphone and speech were granted already";
}

TEST(AppStateConstruction, FirstRunCheckIsSatisfiedByALocalModel)
{
    AppStateHarness h;
    h.writeLocalConfig(
        {{QStringLiteral("openAIASRBaseURL"), QStringLiteral("https://api.groq.com/openai/v1")}});
    AppState& state = h.build();
    h.engine->localModelOnDisk = true;
    h.settleStartup();
    EXPECT_FALSE(state.showOnboardingSheet());
    EXPECT_TRUE(h.defaults.value(AppState::kOnboardingDoneKey).toBool());
}

TEST(AppStateConstruction, MissingMicrophonePermissionIsRequestedAtStart)
{
    AppStateHarness h;
    h.microphoneAuthorized = false;
    AppState& state = h.start();
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
        EXPECT_EQ(h.savedConfig()[QStringLiteral("enableLiveInlineTyping")], false);
        h.changeConfig([](LLMConfig& config) { config.enableLiveInlineTyping = true; });
        h.state.reset();
    }
    AppState& again = h.build();
    EXPECT_TRUE(again.llmConfig().enableLiveInlineTyping) << "a later choice is never undone";
}

TEST(AppStateConfig, ObserverWarmsOnlyWhatChanged)
{
    AppStateHarness h;
    AppState& state = h.start();
    // The start-up warm-up reaches the host first, so the request counted below is the provider's.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !h.server.requests().isEmpty(); }, 30000));
    const int settingsBefore = h.engine->appliedSettings.size();
    const int prewarmsBefore = h.engine->cloudPrewarms;

    LLMConfig config = state.llmConfig();
    config.modelName = QStringLiteral("deepseek-pro");
    state.setLLMConfig(config);
    EXPECT_EQ(h.engine->appliedSettings.size(), settingsBefore + 1);
    EXPECT_EQ(h.engine->cloudPrewarms, prewarmsBefore);
    EXPECT_EQ(h.savedConfig()[QStringLiteral("modelName")], QStringLiteral("deepseek-pro"));

    config.openAIASRBaseURL = h.localBase + QLatin1Char(' ');
    state.setLLMConfig(config);
    EXPECT_EQ(h.engine->cloudPrewarms, prewarmsBefore + 1) << "a trailing space is a change";

    ASSERT_TRUE(h.await(h.keychain.saveAPIKey(QStringLiteral("sk-custom"), LLMProviderOption::custom)));
    state.setApiKeyInput(QStringLiteral("typed but not saved"));
    const qsizetype requestsBefore = h.server.requests().size();
    config.selectProvider(LLMProviderOption::custom);
    state.setLLMConfig(config);
    EXPECT_EQ(state.apiKeyInput(), QStringLiteral("sk-custom"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.server.requests().size() > requestsBefore; }, 30000));
    EXPECT_TRUE(h.server.requests().last().path.startsWith("/v1/custom"))
        << h.server.requests().last().path.constData();
    EXPECT_EQ(h.server.requests().last().header("Authorization"), QByteArray("Bearer sk-custom"));

    QSignalSpy dock(&state, &AppState::dockVisibilityRequested);
    config.showInDock = true;
    state.setLLMConfig(config);
    EXPECT_EQ(dock, QList<QList<QVariant>>{{true}});
}

TEST(AppStateConfig, KeystrokeEditsSaveAndWarmOncePerPause)
{
    AppStateHarness h;
    AppState& state = h.start();
    const QString configPath = h.data.filePath(QStringLiteral("config.json"));
    const auto modified = [&] { return QFileInfo(configPath).lastModified(); };
    const int prewarmsBefore = h.engine->cloudPrewarms;
    const qsizetype settingsBefore = h.engine->appliedSettings.size();

    // An address typed key by key: the record, the views and the engine follow each key; nothing is saved
    // or warmed while the keys keep coming.
    const QString typed = QStringLiteral("http://127.0.0.1:9/v1");
    state.waitForSaves(); // a save of the start may still be on its way to the disk
    QFile::remove(configPath);
    for (int i = 1; i <= typed.size(); ++i) {
        LLMConfig config = state.llmConfig();
        config.openAIASRBaseURL = typed.left(i);
        state.editLLMConfig(config);
        EXPECT_EQ(state.llmConfig().openAIASRBaseURL, typed.left(i));
        h.scheduler.advance(AppState::kConfigEditSettleDelay / 2);
    }
    EXPECT_EQ(h.engine->appliedSettings.size(), settingsBefore + typed.size());
    EXPECT_EQ(h.engine->appliedSettings.last().openAIASRBaseURL, typed);
    EXPECT_EQ(h.engine->cloudPrewarms, prewarmsBefore);
    EXPECT_FALSE(QFileInfo::exists(configPath)) << "saved while typing";

    h.scheduler.advance(AppState::kConfigEditSettleDelay / 2);
    EXPECT_EQ(h.engine->cloudPrewarms, prewarmsBefore + 1);
    EXPECT_EQ(h.savedConfig()[QStringLiteral("openAIASRBaseURL")], typed);
    h.scheduler.advance(AppState::kConfigEditSettleDelay * 4);
    EXPECT_EQ(h.engine->cloudPrewarms, prewarmsBefore + 1) << "one settle per pause";

    // Another write of the record settles a pending edit at once, warming against the record before it.
    LLMConfig config = state.llmConfig();
    config.openAIASRModel = QStringLiteral("m");
    state.editLLMConfig(config);
    config.openAIASRModel = QStringLiteral("whisper-1");
    config.openAIASRBaseURL = h.localBase;
    state.setLLMConfig(config);
    EXPECT_EQ(h.engine->cloudPrewarms, prewarmsBefore + 2);
    EXPECT_EQ(h.savedConfig()[QStringLiteral("openAIASRModel")], QStringLiteral("whisper-1"));
    const QDateTime savedAt = modified();
    h.scheduler.advance(AppState::kConfigEditSettleDelay * 2);
    EXPECT_EQ(h.engine->cloudPrewarms, prewarmsBefore + 2);
    EXPECT_EQ(modified(), savedAt);

    // A pending edit is not lost when the state ends before the pause.
    config.openAIASRModel = QStringLiteral("last-typed");
    state.editLLMConfig(config);
    h.state.reset();
    EXPECT_EQ(h.savedConfig()[QStringLiteral("openAIASRModel")], QStringLiteral("last-typed"));
}

TEST(AppStateFiles, UnreadableFilesAreKeptAsideAtStartAndTheBannerNamesTheCopies)
{
    const QByteArray brokenConfig = "{\"baseURL\": \"half";
    const QByteArray brokenHistory = "[{\"id\": ";
    const QByteArray partlyBadHistory =
        FileIO::readAll(QStringLiteral(QB_FIXTURES_DIR "/core/history.json")).value_or(QByteArray());
    // A history cut in the middle of its array keeps the records before the cut.
    const QByteArray cutHistory =
        partlyBadHistory.left(partlyBadHistory.lastIndexOf("},") + 2) + "{\"id\":\"0F";
    struct Row {
        const char* name;
        QByteArray history;
        int recordsRead;
    } rows[] = {{"unreadable", brokenHistory, 0},
                {"some records bad", partlyBadHistory, 3},
                {"cut short", cutHistory, 3}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        AppStateHarness h;
        const QString configPath = h.data.filePath(QStringLiteral("config.json"));
        const QString historyPath = h.data.filePath(QStringLiteral("history.json"));
        ASSERT_TRUE(FileIO::writeAtomically(configPath, brokenConfig));
        ASSERT_TRUE(FileIO::writeAtomically(historyPath, row.history));
        AppState& state = h.build();
        EXPECT_EQ(state.llmConfig(), LLMConfig::defaults());
        EXPECT_EQ(state.history().size(), row.recordsRead);
        EXPECT_EQ(FileIO::readAll(configPath), brokenConfig) << "nothing is written at start";

        // Copied at start, without waiting for a save, and said so with where the copies are.
        h.settleSaves();
        const QStringList configCopies = FileIO::keptCopies(configPath);
        const QStringList historyCopies = FileIO::keptCopies(historyPath);
        ASSERT_EQ(configCopies.size(), 1);
        ASSERT_EQ(historyCopies.size(), 1);
        EXPECT_EQ(FileIO::readAll(configCopies[0]), brokenConfig);
        EXPECT_EQ(FileIO::readAll(historyCopies[0]), row.history);
        const QString banner = state.statusBanner();
        EXPECT_TRUE(banner.contains(QStringLiteral("config.json")) && banner.contains(configCopies[0]))
            << banner.toStdString();
        EXPECT_TRUE(banner.contains(QStringLiteral("history.json")) && banner.contains(historyCopies[0]))
            << banner.toStdString();
        if (row.recordsRead > 0) {
            EXPECT_TRUE(banner.contains(QStringLiteral("已保留可读的 %1 条记录").arg(row.recordsRead)))
                << banner.toStdString();
        }

        h.changeConfig([&](LLMConfig& config) {
            config.baseURL = h.localBase;
            config.selectedProvider = LLMProviderOption::custom;
        });
        QList<DictationRecord> history = state.history();
        history.prepend(DictationRecord(QUuid::createUuid(), Timestamp{1}, QStringLiteral("r"),
                                        QStringLiteral("p"), 1, 2, QStringLiteral("Kate"),
                                        DictationMode::dictate, {}));
        state.setHistory(history);
        EXPECT_TRUE(state.saveHistory());
        EXPECT_EQ(h.savedConfig()[QStringLiteral("baseURL")], h.localBase);
        EXPECT_EQ(decodeHistory(FileIO::readAll(historyPath).value_or(QByteArray())).records.size(),
                  row.recordsRead + 1);
        EXPECT_EQ(FileIO::keptCopies(historyPath), historyCopies) << "one copy per damaged start";
    }
}

TEST(AppStateFiles, DamagedSettingsAreWrittenBackOnceKeptSoTheNextStartIsClean)
{
    for (const QByteArray& damaged :
         {QByteArray("{\"baseURL\": \"half"), QByteArray("[\"not\", \"settings\"]")}) {
        SCOPED_TRACE(damaged.toStdString());
        AppStateHarness h;
        const QString configPath = h.data.filePath(QStringLiteral("config.json"));
        ASSERT_TRUE(FileIO::writeAtomically(configPath, damaged));
        h.build();
        h.settleStartup();
        h.settleSaves();
        const QStringList copies = FileIO::keptCopies(configPath);
        ASSERT_EQ(copies.size(), 1);
        EXPECT_EQ(FileIO::readAll(copies[0]), damaged);
        h.settleSaves(); // the write-back the copy let go
        EXPECT_TRUE(h.state->statusBanner().contains(copies[0])) << h.state->statusBanner().toStdString();
        QJsonParseError error{};
        const QJsonDocument written =
            QJsonDocument::fromJson(FileIO::readAll(configPath).value_or(QByteArray()), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << "the damaged file is written over";
        QStringList unusable;
        EXPECT_EQ(LLMConfig::fromJson(written.object(), {}, &unusable), LLMConfig::defaults());
        EXPECT_TRUE(unusable.isEmpty()) << unusable.join(u' ').toStdString();
        EXPECT_EQ(written.object().size(), LLMConfig::defaults().toJson().size());

        // The next start reads a whole file: no second copy, nothing to report.
        h.state.reset();
        h.build();
        h.settleStartup();
        h.settleSaves();
        EXPECT_EQ(FileIO::keptCopies(configPath), copies);
        EXPECT_FALSE(h.state->statusBanner().contains(QStringLiteral("config.json")))
            << h.state->statusBanner().toStdString();
        EXPECT_EQ(h.state->llmConfig(), LLMConfig::defaults());
    }
}

TEST(AppStateFiles, DamagedHistoryRecordsCostOnlyThemselvesHoweverCloseTogether)
{
    using DamagedList::Damage;
    QList<DictationRecord> records;
    for (int i = 0; i < 500; ++i)
        records.append(
            DictationRecord(QUuid::createUuid(), Timestamp{1000.0 - i}, QStringLiteral("原话%1").arg(i),
                            QStringLiteral("成稿%1，[括号]").arg(i), 1.5, 20, QStringLiteral("Kate"),
                            DictationMode::dictate, {QStringLiteral("词条")}));
    const std::set<int> damaged{1, 2, 4, 5, 7};
    for (const Damage damage : {Damage::noClosingBrace, Damage::extraOpeningBrace}) {
        const QByteArray file = DamagedList::damaged(encodeHistory(records), damaged, damage);
        SCOPED_TRACE(file.left(400).toStdString());
        AppStateHarness h;
        const QString historyPath = h.data.filePath(QStringLiteral("history.json"));
        ASSERT_TRUE(FileIO::writeAtomically(historyPath, file));
        AppState& state = h.start();
        QList<DictationRecord> kept;
        for (int i = 0; i < records.size(); ++i) {
            if (damage == Damage::extraOpeningBrace || !damaged.count(i))
                kept.append(records[i]);
        }
        EXPECT_EQ(state.history().size(), kept.size());
        EXPECT_TRUE(state.history() == kept) << "every complete record, as it was";
        h.settleSaves();
        const QString banner = state.statusBanner();
        EXPECT_TRUE(banner.contains(QStringLiteral("有 5 处记录无法读取")) &&
                    banner.contains(QStringLiteral("已保留可读的 %1 条记录").arg(kept.size())))
            << banner.toStdString();
        ASSERT_EQ(FileIO::keptCopies(historyPath).size(), 1);
        EXPECT_EQ(FileIO::readAll(FileIO::keptCopies(historyPath)[0]), file);
    }
}

TEST(AppStateFiles, HistoryIsCappedAndValuesOutOfRangeAreResetAtLoadWithACopy)
{
    AppStateHarness h;
    const QString historyPath = h.data.filePath(QStringLiteral("history.json"));
    QList<DictationRecord> records;
    for (int i = 0; i < AppState::kHistoryCap + 500; ++i)
        records.append(DictationRecord(QUuid::createUuid(), Timestamp{1000.0 - i}, QStringLiteral("r"),
                                       QStringLiteral("p%1").arg(i), 1, 2, QStringLiteral("Kate"),
                                       DictationMode::dictate, {}));
    records[0].durationSeconds = 1e308;
    records[1].durationSeconds = -3;
    records[2].polishLatencyMs = -40;
    const QByteArray original = encodeHistory(records);
    ASSERT_TRUE(FileIO::writeAtomically(historyPath, original));
    AppState& state = h.start();
    ASSERT_EQ(state.history().size(), AppState::kHistoryCap);
    EXPECT_EQ(state.history().front().polishedText, QStringLiteral("p0")) << "the newest records stay";
    EXPECT_EQ(state.history()[0].durationSeconds, DictationRecord::kMinimumDurationSeconds);
    EXPECT_EQ(state.history()[1].durationSeconds, DictationRecord::kMinimumDurationSeconds);
    EXPECT_EQ(state.history()[2].polishLatencyMs, 0);
    EXPECT_EQ(state.history()[3].durationSeconds, 1);
    h.settleSaves();
    ASSERT_EQ(FileIO::keptCopies(historyPath).size(), 1);
    EXPECT_EQ(FileIO::readAll(FileIO::keptCopies(historyPath)[0]), original);
    EXPECT_TRUE(state.statusBanner().contains(QString::number(AppState::kHistoryCap + 500)))
        << state.statusBanner().toStdString();
}

TEST(AppStateFiles, UnusableSettingsAreKeptAsideAndAnUnknownProviderKeepsItsOwnModel)
{
    AppStateHarness h;
    const QString configPath = h.data.filePath(QStringLiteral("config.json"));
    h.writeLocalConfig({{QStringLiteral("selectedProvider"), QStringLiteral("nope")},
                        {QStringLiteral("modelName"), QStringLiteral("my-custom-model")},
                        {QStringLiteral("asrProvider"), 7},
                        {QStringLiteral("enableAutoLearn"), QStringLiteral("yes")}});
    const QByteArray original = FileIO::readAll(configPath).value_or(QByteArray());
    AppState& state = h.build();
    h.settleStartup();
    const LLMConfig& config = state.llmConfig();
    EXPECT_EQ(config.providerModels.value(QStringLiteral("nope")), QStringLiteral("my-custom-model"));
    EXPECT_NE(config.modelName, QStringLiteral("my-custom-model")) << "the stand-in keeps its own model";
    EXPECT_EQ(config.providerModels.value(config.selectedProvider.rawValue()), config.modelName);
    h.settleSaves();
    const QStringList copies = FileIO::keptCopies(configPath);
    ASSERT_EQ(copies.size(), 1);
    EXPECT_EQ(FileIO::readAll(copies[0]), original) << "copied before the first rewrite";
    for (const char* key : {"selectedProvider", "asrProvider", "enableAutoLearn"})
        EXPECT_TRUE(state.statusBanner().contains(QLatin1String(key))) << state.statusBanner().toStdString();

    // A missing key is only an older file: no copy, no banner.
    AppStateHarness older;
    older.writeLocalConfig();
    AppState& olderState = older.build();
    older.settleStartup();
    older.settleSaves();
    EXPECT_TRUE(FileIO::keptCopies(older.data.filePath(QStringLiteral("config.json"))).isEmpty());
    EXPECT_TRUE(olderState.statusBanner().isEmpty()) << olderState.statusBanner().toStdString();
}

TEST(AppStateFiles, ANamedPipeInPlaceOfADataFileNeitherHangsTheStartNorIsLost)
{
    AppStateHarness h;
    for (const char* name : {"history.json", "config.json", "lexicon.json"})
        ASSERT_EQ(::mkfifo(QFile::encodeName(h.data.filePath(QLatin1String(name))).constData(), 0600), 0);
    AppState& state = h.build(); // would block in open() for ever
    h.settleStartup();
    h.settleSaves();
    for (const char* name : {"history.json", "config.json", "lexicon.json"}) {
        const QStringList copies = FileIO::keptCopies(h.data.filePath(QLatin1String(name)));
        ASSERT_EQ(copies.size(), 1) << name;
        EXPECT_TRUE(state.statusBanner().contains(copies[0])) << state.statusBanner().toStdString();
    }
    EXPECT_TRUE(state.statusBanner().contains(QStringLiteral("管道"))) << state.statusBanner().toStdString();
    EXPECT_TRUE(state.saveHistory());
    EXPECT_TRUE(state.saveConfig());
    EXPECT_TRUE(QFileInfo(h.data.filePath(QStringLiteral("history.json"))).isFile());
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
    const QByteArray mirrored = h.defaults.value(AppState::kCustomHotkeySpecKey).toByteArray();
    EXPECT_EQ(CustomHotkeySpec::fromJson(QJsonDocument::fromJson(mirrored).object()), state.customHotkey());
    EXPECT_EQ(state.activeTriggerDisplayName(), QStringLiteral("自定义快捷键 (⌥ ⌘ + V)"));
}

TEST(AppStatePermissions, PollRefreshesOnlyWhileSomethingIsMissing)
{
    AppStateHarness h;
    h.accessibility.setTrusted(false);
    AppState& state = h.start();
    EXPECT_FALSE(state.accessibilityGranted());
    h.accessibility.setTrusted(true);
    h.pollRound();
    EXPECT_TRUE(state.accessibilityGranted()) << "the poll picked up the grant";

    state.setShowOnboardingSheet(false);
    h.engine->usingSenseVoice = true;
    h.pollRound();
    ASSERT_TRUE(state.senseVoiceLoaded());
    h.accessibility.setTrusted(false);
    const int refreshes = h.trust.refreshCount();
    for (int round = 0; round < 3; ++round)
        h.pollRound();
    EXPECT_TRUE(state.accessibilityGranted()) << "all granted and no wizard: the poll stops asking";
    EXPECT_EQ(h.trust.refreshCount(), refreshes);
}

TEST(AppStatePermissions, KeysTrustAndMicrophoneAreAskedOffTheMainThreadAndPublished)
{
    AppStateHarness h;
    h.writeLocalConfig();
    h.accessibility.setTrusted(false);
    h.secrets.put(AppIdentity::bundleIdentifier(), KeychainHelper::kVolcSpeechSlot,
                  QStringLiteral("volc-cli"));
    h.secrets.hold(); // the keyring answers only once the constructor has returned
    AppState& state = h.build();
    EXPECT_TRUE(state.isRefreshingStatus()) << "the constructor does not wait for the keyring";
    EXPECT_TRUE(state.volcSpeechKeyInput().isEmpty());
    h.scheduler.runDue();
    EXPECT_TRUE(h.engine->warmUps.isEmpty()) << "the start-up block waits for the keys";
    h.secrets.release();

    h.settleStartup();
    EXPECT_EQ(state.volcSpeechKeyInput(), QStringLiteral("volc-cli"));
    EXPECT_EQ(h.engine->appliedSettings.last().volcSpeechAPIKey, QStringLiteral("volc-cli"));
    EXPECT_EQ(h.engine->warmUps.size(), 1);
    EXPECT_TRUE(state.showOnboardingSheet()) << "the first-run check saw the trust the desktop reported";
    EXPECT_EQ(h.trust.refreshCount(), 1);
    EXPECT_EQ(h.microphone.refreshCount(), 1);

    // Another keyring client stores a key and the desktop grants trust: one poll round sees both.
    h.secrets.put(AppIdentity::bundleIdentifier(), KeychainHelper::providerSlot(LLMProviderOption::openai),
                  QStringLiteral("sk-cli"));
    h.accessibility.setTrusted(true);
    h.pollRound();
    EXPECT_TRUE(state.accessibilityGranted());
    EXPECT_TRUE(state.savedProviderKeyFlags().value(LLMProviderOption::openai));
    EXPECT_EQ(h.keychain.loadAPIKey(LLMProviderOption::openai), QStringLiteral("sk-cli"));

    // A keyring that hangs holds its round, not the main thread, and no second round starts meanwhile.
    const int callsBefore = h.secrets.callCount();
    h.secrets.hold();
    h.scheduler.advance(AppState::kPermissionPollInterval);
    ASSERT_TRUE(h.settle([&] { return h.secrets.callCount() == callsBefore + 1; }));
    h.scheduler.advance(AppState::kPermissionPollInterval * 3);
    EXPECT_TRUE(state.isRefreshingStatus());
    h.secrets.release();
    ASSERT_TRUE(h.settle([&] { return !state.isRefreshingStatus(); }));
    EXPECT_EQ(h.secrets.callCount(), callsBefore + KeychainHelper::allSlots().size()) << "one round's reads";

    h.await(state.requestAllPermissions());
    EXPECT_EQ(h.trust.requestCount(), 1);
    EXPECT_EQ(h.secrets.mainThreadCallCount(), 0);
    EXPECT_EQ(h.trust.mainThreadCallCount(), 0);
    EXPECT_EQ(h.microphone.mainThreadCallCount(), 0);
}

TEST(AppStatePermissions, AKeyringThatCannotBeReadAtStartIsReportedAndLosesNoKeyLater)
{
    AppStateHarness h;
    h.secrets.put(AppIdentity::bundleIdentifier(), KeychainHelper::providerSlot(LLMProviderOption::deepseek),
                  QStringLiteral("sk-stored"));
    h.secrets.setReadFailure(QStringLiteral("the keyring is locked"));
    AppState& state = h.start();
    EXPECT_EQ(state.statusBanner(), QStringLiteral("❌ 密钥读取失败：the keyring is locked"));
    EXPECT_TRUE(state.apiKeyInput().isEmpty());

    h.secrets.setReadFailure(std::nullopt);
    h.pollRound();
    EXPECT_EQ(state.apiKeyInput(), QStringLiteral("sk-stored")) << "the fields fill once the keys are read";
    EXPECT_TRUE(state.savedProviderKeyFlags().value(LLMProviderOption::deepseek));

    h.secrets.setReadFailure(QStringLiteral("the keyring is locked"));
    h.pollRound();
    EXPECT_TRUE(state.savedProviderKeyFlags().value(LLMProviderOption::deepseek))
        << "a failed read is no deletion";
    EXPECT_EQ(h.keychain.loadAPIKey(LLMProviderOption::deepseek), QStringLiteral("sk-stored"));
}

TEST(AppStateProblems, ATriggerKeyThatCannotWorkIsNamedOnceInTheBanner)
{
    const QString wayland = QStringLiteral("Wayland 会话中无法监听其他应用的按键，需要 X11 会话");
    AppStateHarness h;
    h.keySource.setStartFailure(wayland);
    AppState& state = h.start();
    EXPECT_EQ(state.triggerKeyProblem(), wayland);
    EXPECT_EQ(state.statusBanner(),
              QStringLiteral("⚠️ 触发键「右侧 Control (⌃)」无法使用：") + wayland);
    state.setStatusBanner(QString());
    h.scheduler.advance(10s);
    EXPECT_TRUE(state.statusBanner().isEmpty()) << "the same cause is told once";

    AppStateHarness taken;
    taken.hotKeys.setTaken(HotKey{49, CustomHotkeySpec::kControlMask});
    AppState& other = taken.start();
    EXPECT_TRUE(other.triggerKeyProblem().isEmpty());
    other.setTriggerKey(TriggerKeyOption::custom);
    EXPECT_EQ(other.statusBanner(), QStringLiteral("⚠️ 触发键「自定义快捷键 (⌃ + "
                                                   "Space)」无法使用：该组合键已被其他应用占用"));
    other.setCustomHotkey(CustomHotkeySpec{49, 0x0800, QStringLiteral("⌥ + Space")});
    EXPECT_TRUE(other.triggerKeyProblem().isEmpty()) << "a free combination works again";
    other.setTriggerKey(TriggerKeyOption::fnKey);
    EXPECT_EQ(other.triggerKeyProblem(), QStringLiteral("X11 无法识别 Fn 键，请换一个触发键"));
}

TEST(AppStateProblems, TheReasonAccessibilityIsMissingIsPublished)
{
    AppStateHarness h;
    h.accessibility.setTrusted(false);
    h.accessibility.setUntrustedReason(QStringLiteral("Wayland 会话中无法向其他应用输入文字"));
    AppState& state = h.start();
    EXPECT_EQ(state.accessibilityReason(), QStringLiteral("Wayland 会话中无法向其他应用输入文字"));
    h.accessibility.setUntrustedReason(QString());
    state.refreshPermissionStatus();
    EXPECT_EQ(state.accessibilityReason(), QStringLiteral("桌面的辅助功能（AT-SPI）尚未开启"))
        << "a bus that is only switched off still gets a reason";
    h.accessibility.setTrusted(true);
    state.refreshPermissionStatus();
    EXPECT_TRUE(state.accessibilityReason().isEmpty());
}
