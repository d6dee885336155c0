#include "ui/pages/insights/ActivityHeatmapGrid.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"
#include "util/Scheduler.h"

#include <QPainter>
#include <QTimeZone>
#include <cmath>

namespace {
// The colour steps, in characters per day.
constexpr qint64 kMiddleFrom = 200;
constexpr qint64 kFullFrom = 800;
constexpr qreal kEmptyOpacity = 0.62;
} // namespace

ActivityHeatmapGrid::ActivityHeatmapGrid(const Clock& clock, int weeks, int daysPerWeek, QWidget* parent)
    : QWidget(parent), m_clock(clock), m_weeks(weeks), m_daysPerWeek(daysPerWeek)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void ActivityHeatmapGrid::setDailyMap(QMap<QDate, qint64> dailyMap)
{
    if (dailyMap == m_dailyMap)
        return;
    m_dailyMap = std::move(dailyMap);
    update();
}

QColor ActivityHeatmapGrid::cellColor(qint64 count)
{
    if (count == 0)
        return QBTheme::faded(QBTheme::sandWell(), kEmptyOpacity);
    if (count < kMiddleFrom) // negative counts too
        return QColor::fromRgbF(0.81f, 0.78f, 0.97f);
    if (count < kFullFrom)
        return QColor::fromRgbF(0.58f, 0.51f, 0.94f);
    return QBTheme::violet();
}

QDate ActivityHeatmapGrid::cellDate(const QDate& today, int weeks, int column, int row)
{
    // The literals 7 and 6 stand whatever the grid's height: the bottom row of a seven-day column is its
    // newest day.
    const qint64 offset = qint64(weeks - 1 - column) * 7 + (6 - row);
    const QDate date = today.addDays(-offset);
    return date.isValid() ? date : today;
}

QDate ActivityHeatmapGrid::today(const Clock& clock)
{
    return clock.currentDate().toDateTime().toTimeZone(QTimeZone::systemTimeZone()).date();
}

QRectF ActivityHeatmapGrid::cellRect(int column, int row) const
{
    const qreal cellWidth = std::max<qreal>(0, (width() - kSpacing * (m_weeks - 1)) / m_weeks);
    return QRectF(column * (cellWidth + kSpacing), row * (kCellHeight + kSpacing), cellWidth, kCellHeight);
}

QSize ActivityHeatmapGrid::sizeHint() const
{
    const qreal height = m_daysPerWeek * kCellHeight + (m_daysPerWeek - 1) * kSpacing;
    return QSize(int(std::ceil(m_weeks * (2 + kSpacing))), int(std::ceil(height)));
}

QSize ActivityHeatmapGrid::minimumSizeHint() const
{
    return QSize(0, sizeHint().height());
}

void ActivityHeatmapGrid::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QDate today = ActivityHeatmapGrid::today(m_clock);
    for (int column = 0; column < m_weeks; ++column) {
        for (int row = 0; row < m_daysPerWeek; ++row) {
            const qint64 count = m_dailyMap.value(cellDate(today, m_weeks, column, row), 0);
            QBPaint::roundedRect(painter, cellRect(column, row), kCellRadius, cellColor(count),
                                 Qt::transparent);
        }
    }
}
