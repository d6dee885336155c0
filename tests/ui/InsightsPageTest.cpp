#include "ui/pages/insights/ActivityHeatmapGrid.h"
#include "ui/pages/insights/EditorialStatColumn.h"
#include "ui/pages/insights/HomeInsightsSection.h"
#include "ui/pages/insights/InsightsFormat.h"
#include "ui/pages/insights/SandboxEditor.h"
#include "ui/support/DashboardFixture.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBTextLabel.h"
#include "util/AppIdentity.h"

#include <QPainter>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimeZone>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const FrontmostApplication kOwnWindow{QStringLiteral("Quorbell"), AppIdentity::bundleIdentifier(), 1,
                                      QStringLiteral("Quorbell")};

// A record at noon of a local day with `characters` characters of polished text.
DictationRecord recordOn(const QDate& day, int characters, double seconds = 10, qint64 latencyMs = 0)
{
    const QDateTime noon(day, QTime(12, 0), QTimeZone::systemTimeZone());
    return DictationRecord(QUuid::createUuid(), Timestamp::fromDateTime(noon), QStringLiteral("raw"),
                           QString(characters, u'字'), seconds, latencyMs, QStringLiteral("Editor"),
                           DictationMode::dictate, {});
}

QStringList utf8(std::initializer_list<const char*> texts)
{
    QStringList result;
    for (const char* text : texts)
        result.append(QString::fromUtf8(text));
    return result;
}

// `color` laid over white, as the grid paints it on a white image.
QColor overWhite(const QColor& color)
{
    const double a = color.alphaF();
    const auto mix = [a](double c) { return int(std::lround((c * a + (1 - a)) * 255)); };
    return QColor(mix(color.redF()), mix(color.greenF()), mix(color.blueF()));
}

bool near(const QColor& a, const QColor& b)
{
    return std::abs(a.red() - b.red()) <= 2 && std::abs(a.green() - b.green()) <= 2 &&
           std::abs(a.blue() - b.blue()) <= 2;
}

TEST(InsightsFormatTest, FigureTexts)
{
    EXPECT_EQ(InsightsFormat::charactersValue(0), QStringLiteral("0"));
    EXPECT_EQ(InsightsFormat::charactersValue(9999), QStringLiteral("9999"));
    EXPECT_EQ(InsightsFormat::charactersValue(10000), QStringLiteral("10.0K"));
    EXPECT_EQ(InsightsFormat::charactersValue(12345), QStringLiteral("12.3K"));
    EXPECT_EQ(InsightsFormat::charactersValue(10050), QStringLiteral("10.1K")) << "the format rounds";
    EXPECT_EQ(InsightsFormat::latencyValue(0), QStringLiteral("—"));
    EXPECT_EQ(InsightsFormat::latencyValue(1), QStringLiteral("1"));
    EXPECT_EQ(InsightsFormat::heatmapLine(3, 128),
              QStringLiteral("过去 26 周每日语音创作密度分布 · 活跃 3 天 · 词库守护 128 词"));
    // The trigger's name is text, never markup.
    const QString hint = InsightsFormat::tryOutHintHtml(QStringLiteral("<b>键</b>"));
    EXPECT_TRUE(hint.contains(QStringLiteral("&lt;b&gt;键&lt;/b&gt;")));
    EXPECT_FALSE(hint.contains(QStringLiteral("<b>")));
}

TEST(ActivityHeatmapTest, CellsCountBackFromTodayAtTheBottomRight)
{
    const QDate today(2025, 3, 2);
    EXPECT_EQ(ActivityHeatmapGrid::cellDate(today, 26, 25, 6), today);
    EXPECT_EQ(ActivityHeatmapGrid::cellDate(today, 26, 25, 0), QDate(2025, 2, 24));
    EXPECT_EQ(ActivityHeatmapGrid::cellDate(today, 26, 24, 6), QDate(2025, 2, 23));
    EXPECT_EQ(ActivityHeatmapGrid::cellDate(today, 26, 0, 0), today.addDays(-181));
    // Seven days per column whatever the grid's height.
    EXPECT_EQ(ActivityHeatmapGrid::cellDate(today, 26, 25, 4), today.addDays(-2));
}

TEST(ActivityHeatmapTest, ColourSteps)
{
    EXPECT_EQ(ActivityHeatmapGrid::cellColor(0), QBTheme::faded(QBTheme::sandWell(), 0.62));
    const QColor light = QColor::fromRgbF(0.81f, 0.78f, 0.97f);
    const QColor middle = QColor::fromRgbF(0.58f, 0.51f, 0.94f);
    for (qint64 count : {-3, 1, 199})
        EXPECT_EQ(ActivityHeatmapGrid::cellColor(count), light) << count;
    for (qint64 count : {200, 799})
        EXPECT_EQ(ActivityHeatmapGrid::cellColor(count), middle) << count;
    for (qint64 count : {800, 100000})
        EXPECT_EQ(ActivityHeatmapGrid::cellColor(count), QBTheme::violet()) << count;
}

class InsightsPageTest : public ::testing::Test {
protected:
    HomeInsightsSection& open(QList<DictationRecord> records = {}, QJsonObject config = {})
    {
        AppState& state = fixture.start(0, 0, std::move(config));
        state.setHistory(std::move(records));
        page = std::make_unique<HomeInsightsSection>(state);
        page->resize(900, page->sizeHint().height());
        page->show();
        QCoreApplication::processEvents();
        return *page;
    }
    AppState& state() { return *fixture.harness.state; }
    QDate today() { return ActivityHeatmapGrid::today(fixture.harness.scheduler.clock()); }
    template <typename T> T* find(const QString& name)
    {
        T* found = page->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    QStringList values()
    {
        QStringList result;
        for (const char* name : {"statCharacters", "statSavedMinutes", "statSpeed", "statLatency"})
            result.append(find<EditorialStatColumn>(QLatin1String(name))->value());
        return result;
    }
    // The grid as painted now, on white.
    QImage paintedGrid()
    {
        auto* grid = find<ActivityHeatmapGrid>(QStringLiteral("heatmapGrid"));
        QImage image(grid->size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        grid->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    }
    QColor cellPixel(const QImage& image, int column, int row)
    {
        const QPoint centre = find<ActivityHeatmapGrid>(QStringLiteral("heatmapGrid"))
                                  ->cellRect(column, row)
                                  .center()
                                  .toPoint();
        return image.pixelColor(centre);
    }
    void turn() { page->refresh(); }

    DashboardFixture fixture;
    std::unique_ptr<HomeInsightsSection> page;
};

TEST_F(InsightsPageTest, EmptyHistory)
{
    open();
    EXPECT_EQ(values(), utf8({"0", "0", "0", "—"}));
    EXPECT_EQ(find<QBTextLabel>(QStringLiteral("heatmapLine"))->text(),
              QStringLiteral("过去 26 周每日语音创作密度分布 · 活跃 0 天 · 词库守护 0 词"));
    const QImage image = paintedGrid();
    const QColor zero = overWhite(ActivityHeatmapGrid::cellColor(0));
    for (int column = 0; column < 26; ++column)
        for (int row = 0; row < 7; ++row)
            ASSERT_TRUE(near(cellPixel(image, column, row), zero)) << column << "," << row;
}

TEST_F(InsightsPageTest, FiguresFollowTheHistory)
{
    // 90 characters in one minute: 2 minutes of typing less 1 of speaking saved; 90 characters a minute.
    open({recordOn(today(), 60, 40, 100), recordOn(today(), 30, 20, 201)});
    EXPECT_EQ(values(), utf8({"90", "1", "90", "150"}));

    // Three seconds of speech in all is too little for a speed.
    state().setHistory({recordOn(today(), 10000, 3)});
    turn();
    EXPECT_EQ(values(), utf8({"10.0K", "222", "0", "—"}));
}

TEST_F(InsightsPageTest, HeatmapPaintsTheDaysBackFromTodayAsTheClockHasIt)
{
    const QDate day = today();
    open({recordOn(day, 800), recordOn(day.addDays(-6), 199), recordOn(day.addDays(-7), 120),
          recordOn(day.addDays(-7), 80), recordOn(day.addDays(-182), 500)});
    EXPECT_EQ(find<QBTextLabel>(QStringLiteral("heatmapLine"))->text(),
              QStringLiteral("过去 26 周每日语音创作密度分布 · 活跃 4 天 · 词库守护 0 词"))
        << "a day outside the grid still counts as active";

    QImage image = paintedGrid();
    EXPECT_TRUE(near(cellPixel(image, 25, 6), overWhite(QBTheme::violet())));
    EXPECT_TRUE(near(cellPixel(image, 25, 0), overWhite(ActivityHeatmapGrid::cellColor(199))));
    EXPECT_TRUE(near(cellPixel(image, 24, 6), overWhite(ActivityHeatmapGrid::cellColor(200))))
        << "a day's sum";
    const QColor zero = overWhite(ActivityHeatmapGrid::cellColor(0));
    int coloured = 0;
    for (int column = 0; column < 26; ++column)
        for (int row = 0; row < 7; ++row)
            coloured += near(cellPixel(image, column, row), zero) ? 0 : 1;
    EXPECT_EQ(coloured, 3) << "182 days back is beyond the grid";

    // A day later on the clock, with nothing refreshed: every day moves up one cell.
    fixture.harness.scheduler.stall(24h);
    image = paintedGrid();
    EXPECT_TRUE(near(cellPixel(image, 25, 6), zero));
    EXPECT_TRUE(near(cellPixel(image, 25, 5), overWhite(QBTheme::violet())));
    EXPECT_TRUE(near(cellPixel(image, 24, 5), overWhite(ActivityHeatmapGrid::cellColor(200))));
}

TEST_F(InsightsPageTest, TryOutBoxDictatesIntoTheWindowAndKeepsTheCursor)
{
    fixture.harness.workspace.setFrontmost(kOwnWindow);
    open({}, AppStateHarness::verbatimDictation());
    // The settings file cannot switch live typing on: the first start turns it off once.
    fixture.harness.changeConfig([](LLMConfig& config) { config.enableLiveInlineTyping = true; });
    auto* button = find<QBButton>(QStringLiteral("tryOutButton"));
    auto* sandbox = find<SandboxEditor>(QStringLiteral("sandbox"));
    auto* clear = find<QBButton>(QStringLiteral("sandboxClearButton"));
    EXPECT_EQ(button->text(), QStringLiteral("点击试音（或直接按快捷键）"));
    EXPECT_EQ(button->leadingIcon(), QBIcon::microphoneFilled);
    EXPECT_TRUE(sandbox->showsPlaceholder());
    EXPECT_FALSE(clear->isVisible());

    // What the user types reaches the state.
    sandbox->editor()->setFocus();
    QTest::keyClicks(sandbox->editor(), QStringLiteral("ab"));
    EXPECT_EQ(state().sandboxText(), QStringLiteral("ab"));
    turn();
    EXPECT_TRUE(clear->isVisible());
    EXPECT_FALSE(sandbox->showsPlaceholder());
    QTextCursor cursor = sandbox->editor()->textCursor();
    cursor.setPosition(1);
    sandbox->editor()->setTextCursor(cursor);

    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(fixture.harness.settle([&] { return !state().isStartingSession(); }));
    ASSERT_TRUE(state().phase().isListening());
    turn();
    EXPECT_EQ(button->text(), QStringLiteral("停止并触发排版"));
    EXPECT_EQ(button->leadingIcon(), QBIcon::stopFilled);
    EXPECT_EQ(find<QWidget>(QStringLiteral("tryOutDot"))->property("color").value<QColor>(),
              QBTheme::crimson());
    EXPECT_TRUE(sandbox->isListening());

    fixture.harness.engine->onPartialResult(QStringLiteral("你好"), false);
    turn();
    EXPECT_EQ(sandbox->text(), QStringLiteral("ab你好"));
    EXPECT_EQ(sandbox->editor()->textCursor().position(), 1) << "the live text does not move the cursor";

    fixture.harness.engine->transcripts.push_back({QStringLiteral("你好世界"), 2});
    QTest::mouseClick(button, Qt::LeftButton);
    fixture.harness.scheduler.advance(100ms);
    ASSERT_TRUE(fixture.harness.settle([&] { return state().history().size() == 1; }));
    turn();
    EXPECT_EQ(sandbox->text(), QStringLiteral("ab你好世界"));
    EXPECT_EQ(values().first(), QStringLiteral("4")) << "the new record counts";
    EXPECT_EQ(sandbox->editor()->textCursor().position(), 1);
    EXPECT_FALSE(state().phase().isListening());
    EXPECT_EQ(button->text(), QStringLiteral("点击试音（或直接按快捷键）"));
    EXPECT_FALSE(sandbox->isListening());

    QTest::mouseClick(clear, Qt::LeftButton);
    EXPECT_EQ(state().sandboxText(), QString());
    turn();
    EXPECT_TRUE(sandbox->showsPlaceholder());
    EXPECT_FALSE(clear->isVisible());
}

TEST_F(InsightsPageTest, StartWhilePolishingAsksTheStateToBegin)
{
    fixture.harness.workspace.setFrontmost(kOwnWindow);
    open({}, AppStateHarness::verbatimDictation());
    state().setPhase(PipelinePhase::polishing(QStringLiteral("上一段")));
    turn();
    QTest::mouseClick(find<QBButton>(QStringLiteral("tryOutButton")), Qt::LeftButton);
    ASSERT_TRUE(fixture.harness.settle([&] { return !state().isStartingSession(); }));
    EXPECT_EQ(fixture.harness.engine->starts.size(), 1) << "not listening: the button begins";
    EXPECT_TRUE(state().isSessionActive());
}

} // namespace
