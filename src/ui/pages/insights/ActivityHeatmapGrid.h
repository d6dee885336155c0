#pragma once

#include <QDate>
#include <QMap>
#include <QWidget>

class Clock;

// Characters dictated per day over the last `weeks` weeks, one rounded cell per day, painted in one widget.
// The bottom cell of the rightmost column is today and each column holds the seven days that end at its
// bottom cell, so columns are not calendar weeks. "Today" is read from the clock at each paint, so a page
// left open over midnight moves on by itself.
class ActivityHeatmapGrid final : public QWidget {
    Q_OBJECT
public:
    static constexpr qreal kSpacing = 5;
    static constexpr qreal kCellHeight = 12.5;
    static constexpr qreal kCellRadius = 3;

    ActivityHeatmapGrid(const Clock& clock, int weeks, int daysPerWeek, QWidget* parent = nullptr);

    // Keys are local calendar days.
    void setDailyMap(QMap<QDate, qint64> dailyMap);
    const QMap<QDate, qint64>& dailyMap() const { return m_dailyMap; }

    // The fill of a day with `count` characters; the legend uses it too.
    static QColor cellColor(qint64 count);
    // The day a cell shows: today less (weeks − 1 − column) × 7 + (6 − row) calendar days.
    static QDate cellDate(const QDate& today, int weeks, int column, int row);
    // Today in the system's time zone, as the clock sees it.
    static QDate today(const Clock& clock);

    // Where a cell is painted, for tests that read the pixels.
    QRectF cellRect(int column, int row) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const Clock& m_clock;
    int m_weeks;
    int m_daysPerWeek;
    QMap<QDate, qint64> m_dailyMap;
};
