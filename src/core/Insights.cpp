#include "core/Insights.h"

#include <QSet>
#include <cmath>

namespace {

constexpr double kMaxDurationSeconds = DictationRecord::kMaximumDurationSeconds;
constexpr qint64 kMaxLatencyMs = DictationRecord::kMaximumPolishLatencyMs;

bool usableDuration(double seconds) { return std::isfinite(seconds) && seconds >= 0 && seconds <= kMaxDurationSeconds; }
bool usableLatency(qint64 ms) { return ms >= 0 && ms <= kMaxLatencyMs; }

QDate localDay(const DictationRecord& record, const QTimeZone& zone)
{
    const double unix = record.timestamp.unixSeconds();
    if (!std::isfinite(unix) || std::abs(unix) > 1e13)
        return {};
    return QDateTime::fromMSecsSinceEpoch(std::llround(unix * 1000.0), zone).date();
}

} // namespace

namespace Insights {

qint64 totalCharactersDictated(const QList<DictationRecord>& history)
{
    qint64 total = 0;
    for (const DictationRecord& record : history)
        total += record.characterCount();
    return total;
}

double totalDictationMinutes(const QList<DictationRecord>& history)
{
    double seconds = 0;
    for (const DictationRecord& record : history) {
        if (usableDuration(record.durationSeconds))
            seconds += record.durationSeconds;
    }
    return seconds / 60.0;
}

qint64 averageCharactersPerMinute(const QList<DictationRecord>& history)
{
    const double minutes = totalDictationMinutes(history);
    if (!(minutes > 0.05)) // exactly 3 s of speech still reads as no speed
        return 0;
    return static_cast<qint64>(std::trunc(static_cast<double>(totalCharactersDictated(history)) / minutes));
}

qint64 timeSavedMinutes(const QList<DictationRecord>& history)
{
    const double saved = static_cast<double>(totalCharactersDictated(history)) / kTypingCharactersPerMinute -
                         totalDictationMinutes(history);
    return static_cast<qint64>(std::round(std::max(saved, 0.0))); // std::round rounds halves away from zero
}

qint64 averagePolishLatencyMs(const QList<DictationRecord>& history)
{
    qint64 sum = 0;
    qint64 count = 0;
    for (const DictationRecord& record : history) {
        if (!usableLatency(record.polishLatencyMs))
            continue;
        sum += record.polishLatencyMs;
        ++count;
    }
    return count == 0 ? 0 : sum / count;
}

qint64 activeDaysCount(const QList<DictationRecord>& history, const QTimeZone& zone)
{
    QSet<QDate> days;
    for (const DictationRecord& record : history) {
        const QDate day = localDay(record, zone);
        if (day.isValid())
            days.insert(day);
    }
    return days.size();
}

QMap<QDate, qint64> dailyCountMap(const QList<DictationRecord>& history, const QTimeZone& zone)
{
    QMap<QDate, qint64> map;
    for (const DictationRecord& record : history) {
        const QDate day = localDay(record, zone);
        if (day.isValid())
            map[day] += record.characterCount();
    }
    return map;
}

} // namespace Insights
