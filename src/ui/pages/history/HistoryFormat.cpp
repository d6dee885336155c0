#include "ui/pages/history/HistoryFormat.h"

#include <algorithm>

namespace HistoryFormat {

QString archiveBadge(qsizetype recordCount)
{
    return QStringLiteral("UTTERANCE ARCHIVE · %1 RECORDS").arg(recordCount);
}

QString modeBadge(DictationMode mode)
{
    return mode == DictationMode::rewriteSelection ? QStringLiteral("选中改写") : QStringLiteral("口述成稿");
}

QString targetApp(const QString& targetAppName)
{
    return targetAppName.isEmpty() ? QStringLiteral("外部应用") : targetAppName;
}

QString timings(qint64 polishLatencyMs, double durationSeconds)
{
    return QStringLiteral("首包 %1ms · 录音 ").arg(polishLatencyMs) +
           QString::asprintf("%.1fs", durationSeconds);
}

bool showsRawTranscript(const DictationRecord& record)
{
    return record.rawTranscript != record.polishedText;
}

QString emptyLine(const QString& triggerDisplayName)
{
    return QStringLiteral("点按 ") + triggerDisplayName +
           QStringLiteral(" 口述任意内容后，此处将自动记录原声粗稿、排版成品与首包耗时。");
}

bool isBlankTerm(const QString& term)
{
    return std::all_of(term.cbegin(), term.cend(),
                       [](QChar c) { return c == u'\t' || c.category() == QChar::Separator_Space; });
}

QString quickFixAddedBanner(const QString& term)
{
    return QStringLiteral("✅ 已将「") + term + QStringLiteral("」加入核心纠偏词库");
}

QString quickFixRefusedBanner(const QString& term)
{
    return QStringLiteral("❌ 「") + term + QStringLiteral("」未加入词库：词条至少需要 2 个字");
}

} // namespace HistoryFormat
