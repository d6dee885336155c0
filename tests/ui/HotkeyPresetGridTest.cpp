#include "system/HotkeyMonitor.h"
#include "ui/support/DashboardFixture.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBHotkeyPresetGrid.h"
#include "ui/widgets/QBPaint.h"

#include <QTest>
#include <gtest/gtest.h>

namespace {

class HotkeyPresetGridTest : public ::testing::Test {
protected:
    QBHotkeyPresetGrid& open()
    {
        AppState& state = fixture.start();
        grid = std::make_unique<QBHotkeyPresetGrid>(state, QBHotkeyPresetGrid::fiveFlexibleColumns());
        grid->resize(514, grid->heightForWidth(514));
        grid->show();
        return *grid;
    }
    AppState& state() { return *fixture.harness.state; }
    QStringList activeCells() const
    {
        QStringList active;
        for (QBHotkeyPresetCell* cell : grid->cells()) {
            if (cell->isActive())
                active.append(cell->option().rawValue());
        }
        return active;
    }

    DashboardFixture fixture;
    std::unique_ptr<QBHotkeyPresetGrid> grid;
};

TEST_F(HotkeyPresetGridTest, TenPresetsInTwoRowsOfFiveWithLinuxNames)
{
    open();
    const QStringList expected{QStringLiteral("Fn 地球键"),      QStringLiteral("左侧 Alt ⌥"),
                               QStringLiteral("右侧 Alt ⌥"),     QStringLiteral("左侧 Super ⌘"),
                               QStringLiteral("右侧 Super ⌘"),   QStringLiteral("⌥ + Space"),
                               QStringLiteral("左侧 Control ⌃"), QStringLiteral("右侧 Control ⌃"),
                               QStringLiteral("左侧 Shift ⇧"),   QStringLiteral("右侧 Shift ⇧")};
    QStringList labels;
    for (QBHotkeyPresetCell* cell : grid->cells())
        labels.append(cell->text());
    EXPECT_EQ(labels, expected) << "the custom key is not a preset";

    const auto& cells = grid->cells();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(cells[i]->y(), cells[0]->y());
        EXPECT_EQ(cells[i + 5]->x(), cells[i]->x()) << "column " << i;
        EXPECT_GT(cells[i + 5]->y(), cells[i]->y());
        EXPECT_NEAR(cells[i]->width(), cells[0]->width(), 1) << "flexible columns share the width equally";
    }
    EXPECT_EQ(cells[5]->option(), TriggerKeyOption::optionSpace) << "Alt + Space opens the second row";
    EXPECT_EQ(cells[0]->x(), 5);
    EXPECT_EQ(cells[4]->geometry().right(), grid->width() - 1 - 5) << "5 of padding on both sides";
    EXPECT_EQ(cells[1]->x() - cells[0]->geometry().right() - 1, 6);
    EXPECT_EQ(cells[5]->y() - cells[0]->geometry().bottom() - 1, 6);
}

TEST_F(HotkeyPresetGridTest, ClickMakesTheKeyActiveAndStoresIt)
{
    open();
    EXPECT_EQ(activeCells(), QStringList{QStringLiteral("rightControl")}) << "the first-run key on Linux";

    QTest::mouseClick(grid->cell(TriggerKeyOption::leftShift), Qt::LeftButton);
    EXPECT_EQ(state().triggerKey(), TriggerKeyOption::leftShift);
    EXPECT_EQ(fixture.harness.defaults.value(AppState::kTriggerKeyKey).toString(),
              QStringLiteral("leftShift"));
    EXPECT_EQ(activeCells(), QStringList{QStringLiteral("leftShift")});
    EXPECT_EQ(state().hotkeyMonitor().triggerOption(), TriggerKeyOption::leftShift);

    // The active cell again: the key's observer runs again and writes the key back.
    fixture.harness.defaults.setValue(AppState::kTriggerKeyKey, QStringLiteral("tampered"));
    QTest::mouseClick(grid->cell(TriggerKeyOption::leftShift), Qt::LeftButton);
    EXPECT_EQ(fixture.harness.defaults.value(AppState::kTriggerKeyKey).toString(),
              QStringLiteral("leftShift"));

    // A custom trigger is no preset: no cell looks active; the look follows the state on refresh.
    state().setTriggerKey(TriggerKeyOption::custom);
    grid->refresh();
    EXPECT_TRUE(activeCells().isEmpty());
}

TEST_F(HotkeyPresetGridTest, PresetEndsARunningCaptureFirst)
{
    open();
    state().startShortcutCapture();
    ASSERT_TRUE(state().isRecordingShortcut());
    ASSERT_TRUE(fixture.harness.localKeys.isActive());

    QTest::mouseClick(grid->cell(TriggerKeyOption::rightOption), Qt::LeftButton);
    EXPECT_FALSE(state().isRecordingShortcut());
    EXPECT_FALSE(fixture.harness.localKeys.isActive()) << "the capture stopped listening";
    EXPECT_EQ(state().triggerKey(), TriggerKeyOption::rightOption);

    // Nothing the ended capture could still deliver overrides the preset.
    fixture.harness.scheduler.advance(seconds(5));
    QCoreApplication::processEvents();
    EXPECT_EQ(state().triggerKey(), TriggerKeyOption::rightOption);
    EXPECT_EQ(state().statusBanner(), QString());
}

TEST_F(HotkeyPresetGridTest, LongLabelShrinksTo85PercentThenIsCut)
{
    open();
    QBHotkeyPresetCell* cell = grid->cell(TriggerKeyOption::rightControl); // active: semibold
    const QFont full = QBTheme::font(QBHotkeyPresetCell::kFontSize, QFont::DemiBold);
    const qreal needed = QBPaint::textWidth(cell->text(), full);

    cell->resize(int(std::ceil(needed)) + 12 + 2, cell->height());
    EXPECT_DOUBLE_EQ(cell->shownFont().pointSizeF(), full.pointSizeF()) << "room enough: full size";
    EXPECT_EQ(cell->shownText(), cell->text());

    cell->resize(int(needed * 0.92) + 12, cell->height());
    EXPECT_LT(cell->shownFont().pointSizeF(), full.pointSizeF());
    EXPECT_GT(cell->shownFont().pointSizeF(), full.pointSizeF() * 0.85);
    EXPECT_EQ(cell->shownText(), cell->text()) << "shrinking alone makes it fit";

    cell->resize(int(needed * 0.6) + 12, cell->height());
    EXPECT_NEAR(cell->shownFont().pointSizeF(), full.pointSizeF() * 0.85, 0.01);
    EXPECT_TRUE(cell->shownText().endsWith(QChar(0x2026))) << cell->shownText().toStdString();
    EXPECT_LE(QBPaint::textWidth(cell->shownText(), cell->shownFont()), cell->width() - 12);
}

} // namespace
