#include "support/AnimationClock.h"
#include "ui/dashboard/DashboardSidebar.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/dashboard/SidebarStatus.h"
#include "ui/dashboard/StatusBanner.h"
#include "ui/support/DashboardFixture.h"
#include "ui/theme/QBMotion.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBEditorialHeader.h"
#include "ui/widgets/QBExpandableCard.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBTextLabel.h"
#include "util/Text.h"

#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyleOptionFrame>
#include <QTest>
#include <QTextLayout>
#include <QVariantAnimation>
#include <gtest/gtest.h>

namespace {

using SidebarStatus::SpeechInputs;
using namespace std::chrono_literals;

TEST(SidebarStatusTest, SpeechLineFollowsTheEngineThatWouldRun)
{
    struct Case {
        SpeechInputs in;
        QString text;
        bool ready;
    };
    const auto volc = ASRProviderOption::volcSeedASR;
    const auto openAI = ASRProviderOption::openAIWhisper;
    const auto local = ASRProviderOption::localSenseVoice;
    const QList<Case> cases{
        {{volc, QStringLiteral("k"), false, false, false, false},
         QStringLiteral("SEED-ASR 2.0 · CLOUD"),
         true},
        {{volc, QStringLiteral("k"), false, false, true, true}, QStringLiteral("SEED-ASR 2.0 + FP32"), true},
        // A key of only spaces is no key: the local status, ready only once the model is loaded.
        {{volc, QStringLiteral(" \n "), false, false, false, false},
         QStringLiteral("LOADING ENGINE…"),
         false},
        {{volc, QStringLiteral("  "), false, false, true, false},
         QStringLiteral("SENSEVOICE INT8 · LOCAL"),
         true},
        {{openAI, {}, false, false, true, true}, QStringLiteral("SENSEVOICE FP32 · FULL"), true},
        {{openAI, {}, true, false, false, false}, QStringLiteral("OPENAI ASR · CLOUD"), true},
        {{openAI, {}, true, true, false, true}, QStringLiteral("GROQ WHISPER + FP32"), true},
        {{local, QStringLiteral("k"), true, false, false, false}, QStringLiteral("LOADING ENGINE…"), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SidebarStatus::asrStatusText(c.in), c.text);
        EXPECT_EQ(SidebarStatus::asrStatusReady(c.in), c.ready) << c.text.toStdString();
    }
}

TEST(SidebarStatusTest, TheListHoldsEveryLineTheStateCanGive)
{
    QSet<QString> given;
    for (ASRProviderOption provider : ASRProviderOption::allCases())
        for (const QString& key : {QString(), QStringLiteral(" "), QStringLiteral("k")})
            for (int flags = 0; flags < 16; ++flags)
                given.insert(SidebarStatus::asrStatusText(
                    {provider, key, bool(flags & 1), bool(flags & 2), bool(flags & 4), bool(flags & 8)}));
    const QStringList listed = SidebarStatus::asrStatusTexts();
    EXPECT_EQ(given, QSet<QString>(listed.begin(), listed.end()));
    EXPECT_EQ(listed.size(), given.size()) << "each text once";
}

TEST(SidebarStatusTest, EngineLabelAndLatency)
{
    LLMConfig config;
    config.selectedProvider = LLMProviderOption::openai;
    config.modelName = QStringLiteral("gpt-4.1-mini");
    EXPECT_EQ(SidebarStatus::activeEngineShortLabel(config), QStringLiteral("OpenAI gpt-4.1-mini"));
    config.selectedProvider = LLMProviderOption::anthropic;
    EXPECT_EQ(SidebarStatus::activeEngineShortLabel(config), QStringLiteral("Claude gpt-4.1-mini"));
    config.selectedProvider = LLMProviderOption::volcengine;
    EXPECT_EQ(SidebarStatus::activeEngineShortLabel(config), QStringLiteral("火山 Doubao-Seed"));
    config.selectedProvider = LLMProviderOption::custom;
    config.modelName.clear();
    EXPECT_EQ(SidebarStatus::activeEngineShortLabel(config), QString());
    config.formattingStyle = FormattingStyle::verbatimLocal;
    config.selectedProvider = LLMProviderOption::gemini;
    EXPECT_EQ(SidebarStatus::activeEngineShortLabel(config), QStringLiteral("纯原声不排版"));

    EXPECT_FALSE(SidebarStatus::showsLatency(0));
    EXPECT_TRUE(SidebarStatus::showsLatency(1));
    EXPECT_EQ(SidebarStatus::latencyText(1), QStringLiteral("1 ms"));
}

class DashboardTest : public ::testing::Test {
protected:
    MainDashboardView& open(int records = 0, int terms = 0)
    {
        AppState& state = fixture.start(records, terms);
        view = std::make_unique<MainDashboardView>(state);
        view->resize(1100, 700);
        view->show();
        return *view;
    }
    AppState& state() { return *fixture.harness.state; }
    // Lets the coalesced refresh run.
    void turn() { QCoreApplication::processEvents(); }
    template <typename T> T* find(const QString& name)
    {
        T* found = view->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    QColor dotColor()
    {
        return find<QWidget>(QStringLiteral("engineDot"))->property("color").value<QColor>();
    }

    // The window's eases move only when a test sets or steps them, never by the wall clock; it outlives
    // the window.
    AnimationClock clock;
    DashboardFixture fixture;
    std::unique_ptr<MainDashboardView> view;
};

TEST_F(DashboardTest, PermissionStatusNamesWhatIsMissing)
{
    fixture.harness.microphoneAuthorized = false;
    open();
    auto* button = find<QBButton>(QStringLiteral("permissionButton"));
    // Accessibility granted, microphone not: amber, and no button (it asks for Accessibility).
    EXPECT_EQ(dotColor(), QBTheme::amber());
    EXPECT_FALSE(button->isVisible());
    EXPECT_FALSE(find<QLabel>(QStringLiteral("accessibilityReason"))->isVisible());

    fixture.harness.accessibility.setTrusted(false);
    fixture.harness.accessibility.setUntrustedReason(QStringLiteral("当前是 Wayland 会话"));
    state().refreshPermissionStatus();
    ASSERT_TRUE(fixture.harness.settle([&] {
        turn();
        return button->isVisible();
    }));
    EXPECT_EQ(find<QLabel>(QStringLiteral("accessibilityReason"))->text().remove(QChar(0x2060)),
              QStringLiteral("当前是 Wayland 会话"));
    EXPECT_EQ(button->text(), QStringLiteral("授权辅助功能上屏"));

    // The fake grants trust when asked: the button and the reason go.
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(fixture.harness.settle([&] {
        turn();
        return !button->isVisible();
    }));
    EXPECT_FALSE(find<QLabel>(QStringLiteral("accessibilityReason"))->isVisible());
}

TEST_F(DashboardTest, StatusCardRows)
{
    open();
    EXPECT_EQ(dotColor(), QBTheme::emerald());
    EXPECT_FALSE(find<QWidget>(QStringLiteral("latencyRow"))->isVisible()) << "empty history: no latency row";
    EXPECT_EQ(find<QBPill>(QStringLiteral("triggerChip"))->text(), QStringLiteral("右 Control ⌃"))
        << "the first-run trigger key";
    EXPECT_EQ(find<QBTextLabel>(QStringLiteral("engineLabel"))->text(), QStringLiteral("DeepSeek 4 Flash"));

    state().setHistory(DashboardFixture::history(3));
    turn();
    EXPECT_TRUE(find<QWidget>(QStringLiteral("latencyRow"))->isVisible());
    EXPECT_EQ(find<QBTextLabel>(QStringLiteral("latencyValue"))->text(),
              QString::number(state().averagePolishLatencyMs()) + QStringLiteral(" ms"));
}

TEST_F(DashboardTest, TabsSwitchPagesAndCountTerms)
{
    open(0, 0);
    auto* dictionary = find<SidebarTabRow>(QStringLiteral("tab-dictionary"));
    EXPECT_EQ(dictionary->countText(), QStringLiteral("0")) << "an empty lexicon still shows its count";
    EXPECT_TRUE(find<SidebarTabRow>(QStringLiteral("tab-home"))->isSelected());
    EXPECT_EQ(view->page()->objectName(), QStringLiteral("page-home"));

    QTest::mouseClick(find<SidebarTabRow>(QStringLiteral("tab-history")), Qt::LeftButton);
    EXPECT_EQ(state().selectedTab(), SidebarTab::history);
    turn();
    EXPECT_EQ(view->page()->objectName(), QStringLiteral("page-history"));
    ASSERT_NE(view->page()->findChild<QBEditorialHeader*>(), nullptr);
    EXPECT_EQ(view->page()->findChild<QBEditorialHeader*>()->title(), QStringLiteral("口述历史与原声对照"));
    EXPECT_TRUE(find<SidebarTabRow>(QStringLiteral("tab-history"))->isSelected());
    EXPECT_FALSE(find<SidebarTabRow>(QStringLiteral("tab-home"))->isSelected());

    // Selecting the shown tab again keeps its page; coming back to a tab builds a fresh one.
    QPointer<DashboardPage> history = view->page();
    QTest::mouseClick(find<SidebarTabRow>(QStringLiteral("tab-history")), Qt::LeftButton);
    turn();
    EXPECT_EQ(view->page(), history.data());
    QTest::mouseClick(dictionary, Qt::LeftButton);
    turn();
    EXPECT_TRUE(history.isNull()) << "the page of an unselected tab is dropped";

    state().lexiconStore().setEntries(DashboardFixture::terms(7));
    turn();
    EXPECT_EQ(dictionary->countText(), QStringLiteral("7"));
}

TEST_F(DashboardTest, BannerShowsPlainTextUntilClosed)
{
    open();
    auto* banner = find<StatusBanner>(QStringLiteral("statusBanner"));
    EXPECT_FALSE(banner->isVisible()) << "no banner while the text is empty";

    state().setStatusBanner(QStringLiteral("   "));
    turn();
    EXPECT_TRUE(banner->isVisible()) << "spaces are a message";

    const QString markup = QStringLiteral("<img src=x> <b>粗体</b>");
    state().setStatusBanner(markup);
    turn();
    auto* text = find<QLabel>(QStringLiteral("bannerText"));
    EXPECT_EQ(text->textFormat(), Qt::PlainText);
    EXPECT_EQ(text->text(), markup);

    QTest::mouseClick(find<QWidget>(QStringLiteral("bannerClose")), Qt::LeftButton);
    EXPECT_EQ(state().statusBanner(), QString());
    turn();
    EXPECT_FALSE(banner->isVisible());
}

TEST_F(DashboardTest, SpeechStatusShowsEveryTextWhole)
{
    open();
    auto* status = find<QBTextLabel>(QStringLiteral("asrStatus"));
    // Drawn at twice the pixels, the text keeps its width: hinting is off, so it scales exactly.
    QImage doubled(1, 1, QImage::Format_ARGB32_Premultiplied);
    doubled.setDevicePixelRatio(2);
    for (QSize size :
         {QSize(MainDashboardView::kMinimumWidth, MainDashboardView::kMinimumHeight), QSize(1400, 900)}) {
        view->resize(size);
        turn();
        for (const QString& text : SidebarStatus::asrStatusTexts()) {
            status->setText(text);
            turn();
            SCOPED_TRACE(text.toStdString());
            EXPECT_LE(QFontMetricsF(status->font()).horizontalAdvance(text), status->width());
            EXPECT_LE(QFontMetricsF(status->font(), &doubled).horizontalAdvance(text), status->width());
            EXPECT_EQ(status->shownText(), text);
        }
    }
}

// A wrapped label's lines at its width, as the label lays them out.
struct LaidOut {
    QStringList lines;
    qreal widest = 0;
    qreal height = 0;
};
LaidOut layOut(const QString& text, const QFont& font, qreal width, QPaintDevice* device)
{
    QTextLayout layout(text, font, device);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    LaidOut laid;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, laid.height));
        laid.height += line.height();
        laid.lines.append(text.mid(line.textStart(), line.textLength()).remove(QChar(0x2060)).trimmed());
        laid.widest = std::max(laid.widest, line.naturalTextWidth());
    }
    layout.endLayout();
    return laid;
}

// The room a field gives its text: inside the style sheet's padding and border and its own 2-px margin.
int textRoom(QLineEdit* field)
{
    QStyleOptionFrame panel;
    panel.initFrom(field);
    panel.rect = field->rect();
    const QRect contents = field->style()->subElementRect(QStyle::SE_LineEditContents, &panel, field);
    return contents.marginsRemoved(field->textMargins()).width() - 2 * 2;
}

TEST_F(DashboardTest, CutShortTextsShowWholeAtBothSizesAndScales)
{
    fixture.harness.accessibility.setTrusted(false);
    open(12, 40);
    // The fields' padding comes from the window's style sheet, as in the running app.
    view->setStyleSheet(QBTheme::styleSheet());
    state().refreshPermissionStatus();
    QImage doubled(1, 1, QImage::Format_ARGB32_Premultiplied);
    doubled.setDevicePixelRatio(2);
    const auto settle = [&] {
        for (int i = 0; i < 8; ++i)
            turn();
        for (QVariantAnimation* animation : view->findChildren<QVariantAnimation*>()) {
            if (animation->state() == QAbstractAnimation::Running)
                animation->setCurrentTime(animation->duration());
        }
        for (int i = 0; i < 8; ++i)
            turn();
    };
    // Every line of a wrapped label fits its width and all of them its height.
    const auto expectWhole = [&](QLabel* label, bool noLoneLastCharacter) {
        ASSERT_TRUE(label->isVisible());
        SCOPED_TRACE(label->text().toStdString());
        for (QPaintDevice* device :
             {static_cast<QPaintDevice*>(nullptr), static_cast<QPaintDevice*>(&doubled)}) {
            const LaidOut laid = layOut(label->text(), label->font(), label->contentsRect().width(), device);
            EXPECT_LE(laid.widest, label->contentsRect().width());
            EXPECT_LE(laid.height, label->contentsRect().height() + 0.5) << laid.lines.size() << " lines";
            if (noLoneLastCharacter && laid.lines.size() > 1) {
                EXPECT_GE(Text::graphemeCount(laid.lines.last()), 2) << "a lone last character";
            }
        }
    };
    for (QSize size :
         {QSize(MainDashboardView::kMinimumWidth, MainDashboardView::kMinimumHeight), QSize(1400, 900)}) {
        SCOPED_TRACE(size.width());
        view->resize(size);
        state().setSelectedTab(SidebarTab::dictionary);
        settle();
        auto* note = find<QLabel>(QStringLiteral("accessibilityReason"));
        EXPECT_EQ(note->text().remove(QChar(0x2060)), QStringLiteral("桌面的辅助功能（AT-SPI）尚未开启"));
        expectWhole(note, true);
        for (const QString& name : {QStringLiteral("newTermField"), QStringLiteral("newAliasesField")}) {
            auto* field = find<QLineEdit>(name);
            const QString text = field->placeholderText();
            SCOPED_TRACE(text.toStdString());
            ASSERT_TRUE(field->isVisible());
            EXPECT_LE(QFontMetricsF(field->font()).horizontalAdvance(text), textRoom(field));
            EXPECT_LE(QFontMetricsF(field->font(), &doubled).horizontalAdvance(text), textRoom(field));
            EXPECT_TRUE(field->parentWidget()->rect().contains(field->geometry()))
                << "the field is cut off " << field->geometry().x() << "," << field->geometry().y() << " "
                << field->width() << "x" << field->height() << " in " << field->parentWidget()->width() << "x"
                << field->parentWidget()->height();
        }

        state().setSelectedTab(SidebarTab::settings);
        settle();
        for (const QString& name :
             {QStringLiteral("engineCard-openAIWhisper"), QStringLiteral("engineCard-localSenseVoice")}) {
            auto* card = find<QBExpandableCard>(name);
            if (!card->isExpanded()) {
                QTest::mouseClick(card->header(), Qt::LeftButton, {}, QPoint(card->header()->width() / 2, 6));
                settle();
            }
            ASSERT_TRUE(card->isExpanded());
            expectWhole(card->findChild<QLabel*>(QStringLiteral("cardSubtitle")), false);
        }
    }
}

TEST_F(DashboardTest, BannerAppearsInViewAboveTheScrolledPage)
{
    open(12, 40);
    state().setSelectedTab(SidebarTab::settings);
    // Layout requests travel up one level per turn: let them all arrive.
    const auto settleLayout = [&] {
        for (int i = 0; i < 6; ++i)
            turn();
    };
    settleLayout();
    auto* scroll = find<QScrollArea>(QStringLiteral("pageArea"));
    auto* banner = find<StatusBanner>(QStringLiteral("statusBanner"));
    QScrollBar* bar = scroll->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0) << "the settings page is longer than the window";
    const QPoint pageAtTop = view->page()->mapTo(view.get(), QPoint());

    // A line written after a click at the bottom of the page shows in view, and the page does not move.
    bar->setValue(bar->maximum());
    settleLayout();
    const int scrolled = bar->value();
    const QPoint pageBefore = view->page()->mapTo(view.get(), QPoint());
    state().setStatusBanner(QStringLiteral("✅ 模型下载完成"));
    settleLayout();
    ASSERT_TRUE(banner->isVisible());
    EXPECT_FALSE(scroll->isAncestorOf(banner));
    const QRect shown(banner->mapTo(view.get(), QPoint()), banner->size());
    EXPECT_TRUE(view->rect().contains(shown)) << "the banner is in the window";
    EXPECT_GT(bar->value(), scrolled) << "scrolled on by the banner's room";
    EXPECT_EQ(view->page()->mapTo(view.get(), QPoint()).y(), pageBefore.y()) << "the page did not jump";

    // Its place and looks as before: in line with the page, 24 above it when the page is at its top.
    EXPECT_EQ(shown.left(), pageAtTop.x());
    EXPECT_EQ(shown.width(), view->page()->width());
    bar->setValue(0);
    settleLayout();
    EXPECT_EQ(view->page()->mapTo(view.get(), QPoint()).y() - shown.bottom() - 1, 24);
    EXPECT_EQ(shown.top(), pageAtTop.y()) << "where the page began without a banner";

    // Closed while the page is scrolled down, the banner gives its room back and the page stays put.
    bar->setValue(bar->maximum());
    settleLayout();
    const int pageY = view->page()->mapTo(view.get(), QPoint()).y();
    QTest::mouseClick(find<QWidget>(QStringLiteral("bannerClose")), Qt::LeftButton);
    settleLayout();
    EXPECT_FALSE(banner->isVisible());
    EXPECT_EQ(view->page()->mapTo(view.get(), QPoint()).y(), pageY);
}

TEST_F(DashboardTest, SelectingATabEasesOut)
{
    open();
    auto* home = find<SidebarTabRow>(QStringLiteral("tab-home"));
    auto* history = find<SidebarTabRow>(QStringLiteral("tab-history"));
    EXPECT_EQ(home->selectionProgress(), 1) << "the first look is drawn at once";
    EXPECT_EQ(history->selectionProgress(), 0);

    QTest::mouseClick(history, Qt::LeftButton);
    turn();
    EXPECT_TRUE(history->isSelected());
    QVariantAnimation* in = history->selectionAnimation();
    QVariantAnimation* out = home->selectionAnimation();
    ASSERT_EQ(in->state(), QAbstractAnimation::Running);
    ASSERT_EQ(out->state(), QAbstractAnimation::Running);
    EXPECT_EQ(in->duration(), 150);
    // Frames taken at chosen times: ease-out covers more than half the way in the first half of the time.
    in->setCurrentTime(75);
    out->setCurrentTime(75);
    EXPECT_NEAR(history->selectionProgress(), QBMotion::easeOut().valueForProgress(0.5), 1e-6);
    EXPECT_GT(history->selectionProgress(), 0.6);
    EXPECT_NEAR(home->selectionProgress(), 1 - history->selectionProgress(), 1e-6);
    in->setCurrentTime(150);
    out->setCurrentTime(150);
    EXPECT_EQ(history->selectionProgress(), 1);
    EXPECT_EQ(home->selectionProgress(), 0);
    EXPECT_EQ(in->state(), QAbstractAnimation::Stopped);
}

// Pixels of the image that are not the window's paper: what shows of a page.
int drawnPixels(const QImage& image)
{
    const QColor paper = QBTheme::paperBg();
    int count = 0;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - paper.red()) + std::abs(c.green() - paper.green()) +
                    std::abs(c.blue() - paper.blue()) >
                24)
                ++count;
        }
    }
    return count;
}

TEST_F(DashboardTest, EveryFrameOfATabChangeShowsAPageAndTheSelectionMovesWithIt)
{
    open(12, 40);
    auto* scroll = find<QScrollArea>(QStringLiteral("pageArea"));
    auto* fade = find<QVariantAnimation>(QStringLiteral("pageFade"));
    const auto frame = [&](qreal scale) {
        QImage image(scroll->viewport()->size() * scale, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(QBTheme::paperBg());
        scroll->viewport()->render(&image);
        return image;
    };
    for (SidebarTab tab :
         {SidebarTab::history, SidebarTab::dictionary, SidebarTab::settings, SidebarTab::home}) {
        auto* row = find<SidebarTabRow>(QStringLiteral("tab-") + SidebarTabRow::id(tab));
        QTest::mouseClick(row, Qt::LeftButton);
        turn();
        SCOPED_TRACE(SidebarTabRow::id(tab).toStdString());
        ASSERT_EQ(fade->state(), QAbstractAnimation::Running)
            << "the page changes inside the selection's ease";
        EXPECT_EQ(fade->duration(), row->selectionAnimation()->duration());
        // The eases join the clock over the next two turns; then frames of 8 ms (120 a second), drawn at
        // scale 1 and 2, from the one right after the click to the last.
        turn();
        turn();
        for (int ms = 0;; ms += 8) {
            ASSERT_LE(ms, 2 * SidebarTabRow::kSelectionMs) << "the ease did not end";
            if (ms > 0)
                clock.advance(8ms);
            SCOPED_TRACE(ms);
            EXPECT_NEAR(fade->currentValue().toReal(), row->selectionProgress(), 1e-6)
                << "the page and the highlight change together";
            for (qreal scale : {1.0, 2.0}) {
                const QImage image = frame(scale);
                EXPECT_GT(drawnPixels(image), image.width() * image.height() / 4 / 50)
                    << "an empty content area at scale " << scale;
            }
            if (fade->state() != QAbstractAnimation::Running)
                break;
        }
        EXPECT_EQ(row->selectionProgress(), 1);
        EXPECT_EQ(view->page()->objectName(), QStringLiteral("page-") + SidebarTabRow::id(tab));
        EXPECT_GT(drawnPixels(frame(1)), 0);
    }
}

TEST_F(DashboardTest, ChangesCoalesceAndPhasesRebuildNothing)
{
    open(50, 20);
    turn();
    QPointer<DashboardPage> page = view->page();
    const int before = view->refreshCount();
    for (int i = 0; i < 20; ++i) {
        state().setPhase(PipelinePhase::listening(QStringLiteral("第 %1 字").arg(i), DictationMode::dictate));
        state().setSandboxText(QStringLiteral("试用 %1").arg(i));
    }
    EXPECT_EQ(view->refreshCount(), before) << "nothing redrawn inside the turn";
    turn();
    EXPECT_EQ(view->refreshCount(), before + 1);
    EXPECT_EQ(view->page(), page.data()) << "a phase change keeps the page";
}

TEST_F(DashboardTest, FirstRunSheetFollowsTheFlag)
{
    open();
    EXPECT_EQ(view->onboardingSheet(), nullptr);
    state().setShowOnboardingSheet(true);
    turn();
    QDialog* sheet = view->onboardingSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);

    sheet->reject();
    EXPECT_FALSE(state().showOnboardingSheet()) << "closing the sheet clears the flag";
    turn();
    EXPECT_EQ(view->onboardingSheet(), nullptr);
}

TEST_F(DashboardTest, WindowSizeLimits)
{
    open();
    view->resize(400, 300);
    EXPECT_EQ(view->size(), QSize(MainDashboardView::kMinimumWidth, MainDashboardView::kMinimumHeight));
    view->resize(1600, 1000);
    turn();
    EXPECT_EQ(view->sidebar()->width(), DashboardSidebar::kWidth);
}

} // namespace
