#include "ui/pages/insights/InsightsFormat.h"

#include "ui/theme/QBTheme.h"

namespace {
// The figure switches to thousands here: 10000 shows as 10.0K.
constexpr qint64 kThousandsFrom = 10000;
} // namespace

namespace InsightsFormat {

QString charactersValue(qint64 characters)
{
    if (characters < kThousandsFrom)
        return QString::number(characters);
    return QString::asprintf("%.1fK", double(characters) / 1000.0);
}

QString latencyValue(qint64 averageLatencyMs)
{
    return averageLatencyMs < 1 ? QStringLiteral("—") : QString::number(averageLatencyMs);
}

QString heatmapLine(qint64 activeDays, qint64 lexiconTerms)
{
    return QStringLiteral("过去 26 周每日语音创作密度分布 · 活跃 %1 天 · 词库守护 %2 词")
        .arg(activeDays)
        .arg(lexiconTerms);
}

QString tryOutHintHtml(const QString& triggerDisplayName)
{
    const QColor well = QBTheme::sandWell();
    const QString code =
        QStringLiteral("<span style=\"font-family:'DejaVu Sans Mono','Noto Sans Mono CJK SC';"
                       " background-color:%1;\">&nbsp;1. 2. 3.&nbsp;</span>")
            .arg(well.name());
    return QStringLiteral("日常在任意外部软件（Antigravity / Cursor / 飞书 / 邮件）聚焦输入框后点按 ")
               .toHtmlEscaped() +
           triggerDisplayName.toHtmlEscaped() +
           QStringLiteral(" 即可直接原位出字；也可在此沙盒内试测 ").toHtmlEscaped() + code +
           QStringLiteral(" 列表与专属词库命中效果。").toHtmlEscaped();
}

QString tryOutButtonText(const PipelinePhase& phase)
{
    return phase.isListening() ? QStringLiteral("停止并触发排版")
                               : QStringLiteral("点击试音（或直接按快捷键）");
}

} // namespace InsightsFormat
