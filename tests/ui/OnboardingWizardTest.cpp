#include "core/KeychainHelper.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/onboarding/OnboardingTexts.h"
#include "ui/onboarding/OnboardingWizardSheet.h"
#include "ui/support/DashboardFixture.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBHotkeyPresetGrid.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBTextLabel.h"
#include "util/AppIdentity.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

namespace {

using OnboardingTexts::DownloadArea;
using OnboardingTexts::EngineInputs;

TEST(OnboardingTextsTest, EngineReadyAndTheStep2Badge)
{
    struct Case {
        EngineInputs in;
        bool ready;
        const char* why;
    };
    const auto volc = ASRProviderOption::volcSeedASR;
    const auto openAI = ASRProviderOption::openAIWhisper;
    const auto local = ASRProviderOption::localSenseVoice;
    const QList<Case> cases{
        {{volc, QStringLiteral("k"), false, false}, true, "a typed Seed-ASR key"},
        {{volc, QStringLiteral("   "), false, false}, true, "spaces count as typed"},
        {{volc, {}, true, true}, false, "the other engines' readiness does not count for Seed-ASR"},
        {{openAI, QStringLiteral("k"), false, false}, false, "no transcription key"},
        {{openAI, {}, true, false}, true, "a usable transcription key"},
        {{local, QStringLiteral("k"), true, false}, false, "the local model is not loaded"},
        {{local, {}, false, true}, true, "the local model is loaded"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OnboardingTexts::engineReady(c.in), c.ready) << c.why;
        EXPECT_EQ(OnboardingTexts::showsEnginesReadyBadge(c.in, QStringLiteral("sk")), c.ready) << c.why;
        EXPECT_FALSE(OnboardingTexts::showsEnginesReadyBadge(c.in, {})) << "no model key: " << c.why;
    }
    EXPECT_TRUE(OnboardingTexts::showsEnginesReadyBadge(cases[0].in, QStringLiteral(" ")))
        << "the model key counts as typed, spaces too";
}

TEST(OnboardingTextsTest, PlaceholdersPickerPlacesAndDownloadArea)
{
    EXPECT_EQ(OnboardingTexts::modelKeyPlaceholder(LLMProviderOption::anthropic),
              QStringLiteral("粘贴 Claude API Key"));
    EXPECT_EQ(OnboardingTexts::modelKeyPlaceholder(LLMProviderOption::custom),
              QStringLiteral("粘贴 自定义接口 API Key"));
    EXPECT_EQ(OnboardingTexts::modelIndex(LLMProviderOption::custom), -1);
    EXPECT_EQ(OnboardingTexts::modelIndex(LLMProviderOption::volcengine), 4);
    EXPECT_EQ(OnboardingTexts::speechIndex(ASRProviderOption::localSenseVoice), 2);
    EXPECT_EQ(OnboardingTexts::speechKeyPlaceholder(ASRProviderOption::openAIWhisper, true),
              QStringLiteral("已自动复用下方 OpenAI Key（留空即可）"));
    EXPECT_EQ(OnboardingTexts::speechKeyPlaceholder(ASRProviderOption::openAIWhisper, false),
              QStringLiteral("粘贴 OpenAI / Groq Key（与下方 OpenAI Key 可共用）"));

    EXPECT_EQ(OnboardingTexts::downloadArea(true, false), DownloadArea::progress);
    EXPECT_EQ(OnboardingTexts::downloadArea(true, true), DownloadArea::progress);
    EXPECT_EQ(OnboardingTexts::downloadArea(false, false), DownloadArea::button);
    EXPECT_EQ(OnboardingTexts::downloadArea(false, true), DownloadArea::none);
}

// The wizard as a first run meets it: the sheet over the main window, on an AppState on fakes.
class OnboardingWizardTest : public ::testing::Test {
protected:
    OnboardingWizardSheet& open(QJsonObject config = {})
    {
        fixture.onboardingDone = false;
        fixture.harness.microphoneAuthorized = false;
        AppState& state = fixture.start(0, 0, std::move(config));
        EXPECT_TRUE(state.showOnboardingSheet()) << "the first-run check asks for the wizard";
        view = std::make_unique<MainDashboardView>(state);
        view->resize(960, 650);
        view->show();
        // The sheet's window comes after the main window's: a window manager that met the dialog before its
        // parent would not keep it above the window it blocks.
        EXPECT_TRUE(view->windowHandle() && view->windowHandle()->isVisible());
        EXPECT_FALSE(view->onboardingSheet() && view->onboardingSheet()->isVisible())
            << "the sheet was shown before the window it belongs to";
        turn();
        EXPECT_NE(view->onboardingSheet(), nullptr);
        EXPECT_TRUE(view->onboardingSheet() && view->onboardingSheet()->isVisible());
        return *view->onboardingWizard();
    }
    AppState& state() { return *fixture.harness.state; }
    void turn() { QCoreApplication::processEvents(); }
    template <typename T> T* find(const QString& name)
    {
        T* found = view->onboardingWizard()->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    bool visible(const QString& name) { return find<QWidget>(name)->isVisible(); }
    std::optional<QString> stored(const QString& slot) const
    {
        return fixture.harness.secrets.secret(AppIdentity::bundleIdentifier(), slot);
    }
    bool onboardingDone() { return fixture.harness.defaults.value(AppState::kOnboardingDoneKey).toBool(); }
    bool badgeOk(const QString& name) { return find<QBPill>(name)->look().fill == QBTheme::emeraldTint(); }
    DashboardFixture fixture;
    std::unique_ptr<MainDashboardView> view;
};

TEST_F(OnboardingWizardTest, BadgesFollowTheStateLive)
{
    fixture.harness.accessibility.setTrusted(false);
    fixture.harness.accessibility.setUntrustedReason(
        QStringLiteral("当前是 Wayland 会话：向其他应用输入文字需要 X11 会话"));
    open();
    EXPECT_FALSE(badgeOk(QStringLiteral("micBadge")));
    EXPECT_FALSE(badgeOk(QStringLiteral("accessibilityBadge")));
    EXPECT_EQ(find<QLabel>(QStringLiteral("accessibilityReason"))->text(),
              QStringLiteral("当前是 Wayland 会话：向其他应用输入文字需要 X11 会话"));
    EXPECT_TRUE(visible(QStringLiteral("accessibilityReason")));
    EXPECT_FALSE(visible(QStringLiteral("enginesReadyBadge")));
    EXPECT_FALSE(visible(QStringLiteral("fullModelBadge")));

    // Granted meanwhile: the badges turn green and the reason goes.
    fixture.harness.accessibility.setTrusted(true);
    fixture.harness.engine->microphoneAuthorized = true;
    fixture.harness.pollRound();
    turn();
    EXPECT_TRUE(badgeOk(QStringLiteral("micBadge")));
    EXPECT_TRUE(badgeOk(QStringLiteral("accessibilityBadge")));
    EXPECT_FALSE(visible(QStringLiteral("accessibilityReason")));

    // Seed-ASR with a key of only spaces is ready; with a typed model key both engines are.
    QTest::keyClicks(find<QLineEdit>(QStringLiteral("volcKeyField")), QStringLiteral("  "));
    EXPECT_EQ(state().volcSpeechKeyInput(), QStringLiteral("  "));
    turn();
    EXPECT_FALSE(visible(QStringLiteral("enginesReadyBadge"))) << "no model key yet";
    QTest::keyClicks(find<QLineEdit>(QStringLiteral("modelKeyField")), QStringLiteral("sk-1"));
    turn();
    EXPECT_TRUE(visible(QStringLiteral("enginesReadyBadge")));

    // The local engine counts only once its model is loaded.
    state().selectASRProvider(ASRProviderOption::localSenseVoice);
    turn();
    EXPECT_FALSE(visible(QStringLiteral("enginesReadyBadge")));
    fixture.harness.engine->usingSenseVoice = true;
    fixture.harness.engine->fullPrecision = true;
    state().refreshPermissionStatus();
    turn();
    EXPECT_TRUE(visible(QStringLiteral("enginesReadyBadge")));
    EXPECT_TRUE(visible(QStringLiteral("fullModelBadge")));
    EXPECT_FALSE(visible(QStringLiteral("downloadRow")))
        << "the full model is installed: nothing to download";
    EXPECT_FALSE(visible(QStringLiteral("downloadProgressRow")));
}

TEST_F(OnboardingWizardTest, PickersActAtOnceAndTheSpeechRowFollows)
{
    open();
    auto* speech = find<QComboBox>(QStringLiteral("speechPicker"));
    EXPECT_EQ(speech->currentText(), QStringLiteral("豆包语音"));
    EXPECT_TRUE(visible(QStringLiteral("volcKeyField")));
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("volcKeyField"))->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(visible(QStringLiteral("openAIKeyField")));

    // The keyboard picks the next entry, as the pop-up does.
    speech->setFocus();
    QTest::keyClick(speech, Qt::Key_Down);
    EXPECT_EQ(state().llmConfig().asrProvider, ASRProviderOption::openAIWhisper);
    EXPECT_EQ(fixture.harness.savedConfig().value(QStringLiteral("asrProvider")).toString(),
              QStringLiteral("openAIWhisper"));
    turn();
    EXPECT_FALSE(visible(QStringLiteral("volcKeyField")));
    EXPECT_TRUE(visible(QStringLiteral("openAIKeyField")));
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("openAIKeyField"))->placeholderText(),
              OnboardingTexts::speechKeyPlaceholder(ASRProviderOption::openAIWhisper,
                                                    state().isOpenAIASRReusingLLMKey()));
    QTest::keyClick(speech, Qt::Key_Down);
    EXPECT_EQ(state().llmConfig().asrProvider, ASRProviderOption::localSenseVoice);
    turn();
    EXPECT_TRUE(visible(QStringLiteral("localEngineNote")));
    EXPECT_FALSE(visible(QStringLiteral("speechSaveButton"))) << "the local engine has no key to save";

    auto* model = find<QComboBox>(QStringLiteral("modelPicker"));
    model->setFocus();
    QTest::keyClick(model, Qt::Key_Down);
    EXPECT_EQ(state().llmConfig().selectedProvider, LLMProviderOption::openai);
    turn();
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("modelKeyField"))->placeholderText(),
              QStringLiteral("粘贴 OpenAI API Key"));

    // The custom endpoint, chosen on the settings page, is no entry: the picker shows none.
    state().selectLLMProvider(LLMProviderOption::custom);
    turn();
    EXPECT_EQ(model->currentIndex(), -1);
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("modelKeyField"))->placeholderText(),
              QStringLiteral("粘贴 自定义接口 API Key"));

    // The preset grid of step 3 sets the trigger key.
    QTest::mouseClick(
        find<QBHotkeyPresetGrid>(QStringLiteral("hotkeyPresetGrid"))->cell(TriggerKeyOption::leftOption),
        Qt::LeftButton);
    EXPECT_EQ(state().triggerKey(), TriggerKeyOption::leftOption);
}

TEST_F(OnboardingWizardTest, FinishSavesEveryEnteredKeyTrimmedAndMarksTheFirstRunDone)
{
    open();
    state().setVolcSpeechKeyInput(QStringLiteral(" \n "));
    QTest::keyClicks(find<QLineEdit>(QStringLiteral("modelKeyField")), QStringLiteral("  sk-model  "));
    state().setOpenAIASRKeyInput(QStringLiteral("asr-key"));

    QTest::mouseClick(find<QBButton>(QStringLiteral("finishButton")), Qt::LeftButton);
    EXPECT_TRUE(onboardingDone());
    EXPECT_FALSE(state().showOnboardingSheet());
    ASSERT_TRUE(fixture.harness.settle([&] {
        return stored(QStringLiteral("deepseek_api_key")) && stored(QStringLiteral("openai_asr_api_key"));
    })) << "the saves never reached the keychain";
    EXPECT_EQ(stored(QStringLiteral("deepseek_api_key")), QStringLiteral("sk-model")) << "stored trimmed";
    EXPECT_EQ(stored(QStringLiteral("openai_asr_api_key")), QStringLiteral("asr-key"))
        << "a typed transcription key is not dropped";
    EXPECT_EQ(stored(QStringLiteral("volc_speech_api_key")), std::nullopt) << "a blank key is not saved";
    turn();
    EXPECT_EQ(view->onboardingSheet(), nullptr) << "the sheet closed";
}

TEST_F(OnboardingWizardTest, FinishWithEmptyFieldsSavesNothing)
{
    open();
    QTest::mouseClick(find<QBButton>(QStringLiteral("finishButton")), Qt::LeftButton);
    EXPECT_TRUE(onboardingDone());
    EXPECT_FALSE(state().showOnboardingSheet());
    fixture.harness.pollRound();
    turn();
    EXPECT_EQ(fixture.harness.secrets.itemCount(), 0);
    EXPECT_EQ(state().statusBanner(), QString()) << "every save reports on the banner; none ran";
    EXPECT_EQ(view->onboardingSheet(), nullptr);
}

TEST_F(OnboardingWizardTest, EscapeClosesWithoutMarkingDoneAndTheSheetOpensAgain)
{
    open();
    QTest::keyClicks(find<QLineEdit>(QStringLiteral("modelKeyField")), QStringLiteral("sk-typed"));
    QTest::keyClick(view->onboardingSheet(), Qt::Key_Escape);
    EXPECT_FALSE(state().showOnboardingSheet());
    EXPECT_FALSE(onboardingDone()) << "the next start may show the wizard again";
    fixture.harness.pollRound();
    turn();
    EXPECT_EQ(view->onboardingSheet(), nullptr);
    EXPECT_EQ(fixture.harness.secrets.itemCount(), 0) << "Escape saves nothing";
    EXPECT_EQ(state().statusBanner(), QString());
    EXPECT_EQ(state().apiKeyInput(), QStringLiteral("sk-typed")) << "what was typed stays in the field";

    // The settings page's entry asks again: a fresh sheet opens over the window, showing the field.
    state().setShowOnboardingSheet(true);
    turn();
    ASSERT_NE(view->onboardingSheet(), nullptr);
    EXPECT_TRUE(view->onboardingSheet()->isVisible());
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("modelKeyField"))->text(), QStringLiteral("sk-typed"));
}

TEST_F(OnboardingWizardTest, DownloadRowShowsTheButtonThenTheRunningDownload)
{
    // The local server starts sending the archive and then stalls: the download stays running.
    fixture.harness.server.setHandler([](const ScriptedHttpServer::Request& request) {
        if (!request.path.contains("/models/sensevoice"))
            return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
        ScriptedHttpServer::Reply stalled;
        stalled.pieces = {{QByteArray(100'000, 'x'), {}}};
        stalled.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("1000000")));
        stalled.framing = ScriptedHttpServer::Reply::Framing::closeDelimited;
        stalled.stallAfterPieces = true;
        return stalled;
    });
    open();
    EXPECT_TRUE(visible(QStringLiteral("downloadRow")));
    EXPECT_FALSE(visible(QStringLiteral("downloadProgressRow")));

    QTest::mouseClick(find<QBButton>(QStringLiteral("downloadButton")), Qt::LeftButton);
    EXPECT_TRUE(state().isDownloadingOfflineModel());
    view->refreshNow(); // the downloader's own events may follow in the same turn
    EXPECT_FALSE(visible(QStringLiteral("downloadRow"))) << "the progress replaces the button at once";
    EXPECT_TRUE(visible(QStringLiteral("downloadProgressRow")));
    EXPECT_EQ(find<QBTextLabel>(QStringLiteral("downloadStatus"))->text(),
              state().offlineDownloadStatusText());

    auto* progress = find<QProgressBar>(QStringLiteral("downloadProgress"));
    ASSERT_TRUE(fixture.harness.settle([&] {
        turn();
        return state().offlineDownloadProgress() >= 0.1;
    })) << "the downloader reported no progress";
    EXPECT_TRUE(state().isDownloadingOfflineModel()) << "the stalled archive is still coming";
    view->refreshNow();
    EXPECT_EQ(progress->value(), int(std::lround(state().offlineDownloadProgress() * progress->maximum())));
    EXPECT_EQ(find<QBTextLabel>(QStringLiteral("downloadStatus"))->text(),
              state().offlineDownloadStatusText());

    // Cancelled: the button comes back.
    state().cancelOfflineModelDownload();
    ASSERT_TRUE(fixture.harness.settle([&] { return !state().isDownloadingOfflineModel(); }));
    turn();
    EXPECT_TRUE(visible(QStringLiteral("downloadRow")));
    EXPECT_FALSE(visible(QStringLiteral("downloadProgressRow")));
}

} // namespace
