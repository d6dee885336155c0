#pragma once

#include "model/Records.h"

#include <QDate>
#include <QList>
#include <QMap>
#include <QTimeZone>

// Figures of the insights page and the menu, recomputed from the whole history on every call (at most 1000
// records). Records with a non-finite or out-of-range duration or latency are left out of that figure, so one
// damaged record cannot poison a sum.
namespace Insights {

// Typing speed the saved time is measured against, in characters per minute.
constexpr double kTypingCharactersPerMinute = 45.0;

qint64 totalCharactersDictated(const QList<DictationRecord>& history);
double totalDictationMinutes(const QList<DictationRecord>& history);
qint64 averageCharactersPerMinute(const QList<DictationRecord>& history);
qint64 timeSavedMinutes(const QList<DictationRecord>& history);
qint64 averagePolishLatencyMs(const QList<DictationRecord>& history);
// Days are local calendar days of `zone` (the system's zone at the time of the call by default).
qint64 activeDaysCount(const QList<DictationRecord>& history, const QTimeZone& zone = QTimeZone::systemTimeZone());
QMap<QDate, qint64> dailyCountMap(const QList<DictationRecord>& history,
                                  const QTimeZone& zone = QTimeZone::systemTimeZone());

} // namespace Insights
