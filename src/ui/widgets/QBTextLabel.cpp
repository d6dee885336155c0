#include "ui/widgets/QBTextLabel.h"

#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

QBTextLabel::QBTextLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent)
    : QWidget(parent), m_text(text), m_color(color)
{
    setFont(font);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void QBTextLabel::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

void QBTextLabel::setColor(const QColor& color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
}

QString QBTextLabel::shownText() const
{
    return QFontMetricsF(font()).elidedText(m_text, Qt::ElideRight, width());
}

QSize QBTextLabel::sizeHint() const
{
    const QFontMetricsF metrics(font());
    return QSize(int(std::ceil(metrics.horizontalAdvance(m_text))), int(std::ceil(metrics.height())));
}

QSize QBTextLabel::minimumSizeHint() const
{
    return QSize(0, sizeHint().height());
}

void QBTextLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(m_color);
    const QFontMetricsF metrics(font());
    const qreal baseline = (height() - metrics.height()) / 2 + metrics.ascent();
    painter.drawText(QPointF(0, baseline), shownText());
}
