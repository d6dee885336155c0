#pragma once

#include "model/Records.h"

#include <QString>

// What the history page's texts say; the widgets only draw them.
namespace HistoryFormat {

QString archiveBadge(qsizetype recordCount);
QString modeBadge(DictationMode mode);
// The target application, or "外部应用" when none was recorded.
QString targetApp(const QString& targetAppName);
// "首包 820ms · 录音 3.4s".
QString timings(qint64 polishLatencyMs, double durationSeconds);
// The raw transcript is shown only where polishing changed it.
bool showsRawTranscript(const DictationRecord& record);
QString emptyLine(const QString& triggerDisplayName);

// The quick fix stops when the term is nothing but spaces and tabs (line breaks are not blanks here).
bool isBlankTerm(const QString& term);
QString quickFixAddedBanner(const QString& term);
// The lexicon refused the term (shorter than two characters once trimmed).
QString quickFixRefusedBanner(const QString& term);

} // namespace HistoryFormat
