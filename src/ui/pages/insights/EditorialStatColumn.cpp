#include "ui/pages/insights/EditorialStatColumn.h"

#include "ui/theme/QBTheme.h"

#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

namespace {
constexpr qreal kValueUnitSpacing = 4;
constexpr qreal kLabelSpacing = 6;

QFont valueFont()
{
    return QBTheme::font(34, QFont::Bold, QBTheme::FontDesign::serif);
}
QFont unitFont()
{
    return QBTheme::font(12.5, QFont::DemiBold);
}
QFont labelFont()
{
    return QBTheme::font(12);
}

struct Rows {
    qreal baseline; // of the value and the unit
    qreal labelTop;
    qreal height;
};
Rows rows()
{
    const QFontMetricsF value(valueFont());
    const QFontMetricsF unit(unitFont());
    const QFontMetricsF label(labelFont());
    const qreal baseline = std::max(value.ascent(), unit.ascent());
    const qreal labelTop = baseline + std::max(value.descent(), unit.descent()) + kLabelSpacing;
    return {baseline, labelTop, labelTop + label.height()};
}
} // namespace

EditorialStatColumn::EditorialStatColumn(const QString& unit, const QString& label, bool highlight,
                                         QWidget* parent)
    : QWidget(parent), m_unit(unit), m_label(label), m_highlight(highlight)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void EditorialStatColumn::setValue(const QString& value)
{
    if (value == m_value)
        return;
    m_value = value;
    updateGeometry();
    update();
}

QColor EditorialStatColumn::valueColor() const
{
    return m_highlight ? QBTheme::violet() : QBTheme::inkPrimary();
}

QSize EditorialStatColumn::sizeHint() const
{
    const qreal top = QFontMetricsF(valueFont()).horizontalAdvance(m_value) + kValueUnitSpacing +
                      QFontMetricsF(unitFont()).horizontalAdvance(m_unit);
    const qreal width = std::max(top, QFontMetricsF(labelFont()).horizontalAdvance(m_label));
    return QSize(int(std::ceil(width)), int(std::ceil(rows().height)));
}

QSize EditorialStatColumn::minimumSizeHint() const
{
    return QSize(0, sizeHint().height());
}

void EditorialStatColumn::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const Rows r = rows();
    const QFontMetricsF value(valueFont());
    const QFontMetricsF unit(unitFont());
    const QFontMetricsF label(labelFont());
    // The value keeps its width; the unit and the label are cut at the column's edge when it is narrow.
    painter.setFont(valueFont());
    painter.setPen(valueColor());
    painter.drawText(QPointF(0, r.baseline), m_value);
    const qreal unitLeft = value.horizontalAdvance(m_value) + kValueUnitSpacing;
    painter.setFont(unitFont());
    painter.setPen(QBTheme::inkSecondary());
    painter.drawText(QPointF(unitLeft, r.baseline),
                     unit.elidedText(m_unit, Qt::ElideRight, std::max<qreal>(0, width() - unitLeft)));
    painter.setFont(labelFont());
    painter.setPen(QBTheme::inkMuted());
    painter.drawText(QPointF(0, r.labelTop + label.ascent()),
                     label.elidedText(m_label, Qt::ElideRight, width()));
}
