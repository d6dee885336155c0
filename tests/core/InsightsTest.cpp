#include "core/Insights.h"

#include <gtest/gtest.h>
#include <limits>

namespace {

DictationRecord record(int characters, double seconds, qint64 latencyMs = 0,
                       Timestamp when = Timestamp{757382400})
{
    DictationRecord r(QUuid::createUuid(), when, QString(), QString(characters, u'字'), seconds, latencyMs,
                      QString(), DictationMode::dictate, {});
    r.durationSeconds = seconds; // as decoded from a file: no floor
    return r;
}

const QTimeZone kShanghai(QByteArrayLiteral("Asia/Shanghai"));

Timestamp at(int y, int m, int d, int h, int min)
{
    return Timestamp::fromDateTime(QDateTime(QDate(y, m, d), QTime(h, min), kShanghai));
}

} // namespace

TEST(Insights, SpeedAndSavedTime)
{
    const QList<DictationRecord> threeSeconds{record(100, 3)};
    EXPECT_DOUBLE_EQ(Insights::totalDictationMinutes(threeSeconds), 0.05);
    EXPECT_EQ(Insights::averageCharactersPerMinute(threeSeconds), 0) << "exactly 0.05 minutes is not enough";
    EXPECT_EQ(Insights::timeSavedMinutes(threeSeconds), 2);

    EXPECT_EQ(Insights::averageCharactersPerMinute({record(100, 18)}), 333);
    EXPECT_EQ(Insights::timeSavedMinutes({record(45, 45), record(45, 45)}), 1) << "0.5 rounds away from zero";
    EXPECT_EQ(Insights::timeSavedMinutes({record(100, 600)}), 0) << "never negative";
    EXPECT_EQ(Insights::averagePolishLatencyMs({record(1, 1, 100), record(1, 1, 201)}), 150);
    EXPECT_EQ(Insights::averagePolishLatencyMs({record(1, 1, 0), record(1, 1, 100)}), 50) << "zero counts";
}

TEST(Insights, EmptyOrDamagedHistoriesGiveSaneFigures)
{
    const QList<DictationRecord> none;
    EXPECT_EQ(Insights::totalCharactersDictated(none), 0);
    EXPECT_EQ(Insights::totalDictationMinutes(none), 0.0);
    EXPECT_EQ(Insights::averageCharactersPerMinute(none), 0);
    EXPECT_EQ(Insights::timeSavedMinutes(none), 0);
    EXPECT_EQ(Insights::averagePolishLatencyMs(none), 0);
    EXPECT_EQ(Insights::activeDaysCount(none), 0);
    EXPECT_TRUE(Insights::dailyCountMap(none).isEmpty());

    const QList<DictationRecord> history{
        record(60, 60, 100), record(10, std::numeric_limits<double>::infinity(), -5),
        record(10, -30, std::numeric_limits<qint64>::max()), record(10, 1e300, 200)};
    EXPECT_DOUBLE_EQ(Insights::totalDictationMinutes(history), 1.0);
    EXPECT_EQ(Insights::averageCharactersPerMinute(history), 90);
    EXPECT_EQ(Insights::averagePolishLatencyMs(history), 150);
    EXPECT_EQ(Insights::totalCharactersDictated(history), 90);
}

TEST(Insights, DaysAreLocalCalendarDays)
{
    const QList<DictationRecord> history{record(10, 1, 0, at(2025, 3, 1, 23, 59)),
                                         record(30, 1, 0, at(2025, 3, 2, 0, 1)),
                                         record(5, 1, 0, at(2025, 3, 2, 7, 0))};
    EXPECT_EQ(Insights::activeDaysCount(history, kShanghai), 2);
    const auto map = Insights::dailyCountMap(history, kShanghai);
    EXPECT_EQ(map, (QMap<QDate, qint64>{{QDate(2025, 3, 1), 10}, {QDate(2025, 3, 2), 35}}));
    EXPECT_EQ(Insights::activeDaysCount(history, QTimeZone::utc()), 1) << "in UTC all three share a day";
}
