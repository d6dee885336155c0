#include "ui/widgets/RuzoraMarkView.h"

#include "ui/theme/BrandColors.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"

#include <QLinearGradient>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace {
constexpr int kSegments = 90;
} // namespace

RuzoraMarkView::RuzoraMarkView(qreal size, QWidget* parent) : QWidget(parent), m_size(size)
{
    const int side = int(std::ceil(size));
    setFixedSize(side, side);
}

QSize RuzoraMarkView::sizeHint() const
{
    const int side = int(std::ceil(m_size));
    return {side, side};
}

qreal RuzoraMarkView::lineWidth(qreal size)
{
    return std::max(size * 0.145, 2.2);
}

QPainterPath RuzoraMarkView::markPath(QSizeF canvas)
{
    const qreal w = canvas.width();
    const qreal h = canvas.height();
    const QPointF centre(0.5 * w, 0.52 * h);
    const qreal rx = 0.38 * w;
    const qreal ry = 0.24 * 1.55 * h;
    QPainterPath path;
    path.moveTo(centre.x() + rx, centre.y());
    for (int i = 1; i <= kSegments; ++i) {
        const qreal theta = qreal(i) / kSegments * 2 * std::numbers::pi;
        const qreal s = std::sin(theta);
        const qreal c = std::cos(theta);
        const qreal d = 1 + s * s;
        path.lineTo(centre.x() + rx * c / d, centre.y() + ry * s * c / d);
    }
    path.closeSubpath();
    return path;
}

void RuzoraMarkView::paintMark(QPainter& painter, const QRectF& rect, qreal size)
{
    const qreal w = rect.width();
    const qreal h = rect.height();
    QLinearGradient gradient(rect.topLeft() + QPointF(0.12 * w, 0.25 * h),
                             rect.topLeft() + QPointF(0.88 * w, 0.75 * h));
    gradient.setColorAt(0.0, BrandColors::indigo());
    gradient.setColorAt(0.5, BrandColors::rgb(0.486, 0.345, 0.949));
    gradient.setColorAt(1.0, BrandColors::rgb(0.22, 0.49, 0.96));

    QPen pen(QBrush(gradient), lineWidth(size), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    pen.setMiterLimit(10);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(markPath(rect.size()).translated(rect.topLeft()));
    painter.restore();
}

void RuzoraMarkView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    paintMark(painter, QRectF(0, 0, m_size, m_size), m_size);
}

RuzoraMarkBadge::RuzoraMarkBadge(int diameter, qreal markSize, QWidget* parent) : QWidget(parent)
{
    setFixedSize(diameter, diameter);
    auto* mark = new RuzoraMarkView(markSize, this);
    mark->move((diameter - mark->width()) / 2, (diameter - mark->height()) / 2);
}

void RuzoraMarkBadge::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QBPaint::roundedRect(painter, QRectF(rect()), -1, QBTheme::cardBg(), QBTheme::hairline());
}
