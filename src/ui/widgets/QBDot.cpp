#include "ui/widgets/QBDot.h"

#include <QPainter>
#include <cmath>

QBDot::QBDot(qreal diameter, QWidget* parent) : QWidget(parent), m_diameter(diameter)
{
    setFixedSize(int(std::ceil(diameter)), int(std::ceil(diameter)));
}

void QBDot::setColor(const QColor& color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
}

void QBDot::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_color);
    painter.drawEllipse(QRectF(0, 0, m_diameter, m_diameter));
}
