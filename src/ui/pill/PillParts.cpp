#include "ui/pill/PillParts.h"

#include <QFontMetricsF>
#include <QLayout>
#include <QPainter>
#include <algorithm>
#include <cmath>

PillCapsule::PillCapsule(Style style, QWidget* parent) : QWidget(parent), m_style(std::move(style))
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize PillCapsule::sizeHint() const
{
    QSize hint = layout() ? layout()->totalSizeHint() : QSize(0, 0);
    if (m_style.fixedHeight > 0)
        hint.setHeight(m_style.fixedHeight);
    return hint;
}

QPainterPath PillCapsule::shapeIn(const QRectF& rect) const
{
    const qreal radius = m_style.cornerRadius < 0 ? rect.height() / 2 : m_style.cornerRadius;
    const qreal r = std::min({radius, rect.width() / 2, rect.height() / 2});
    QPainterPath path;
    path.addRoundedRect(rect, r, r);
    return path;
}

void PillCapsule::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect());
    const QPainterPath shape = shapeIn(bounds);
    painter.setPen(Qt::NoPen);
    for (auto it = m_style.backgrounds.crbegin(); it != m_style.backgrounds.crend(); ++it) {
        painter.setBrush(*it);
        painter.drawPath(shape);
    }
    // Inside the edge: the stroke's centre line is half its width in.
    const qreal inset = kBorderWidth / 2;
    QPen pen(m_style.border, kBorderWidth);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(shapeIn(bounds.adjusted(inset, inset, -inset, -inset)));
}

// ---------------------------------------------------------------------------------------------------------

PillSymbolView::PillSymbolView(Symbol symbol, qreal fontSize, QColor colour, QWidget* parent)
    : QWidget(parent), m_symbol(symbol), m_colour(colour)
{
    // Symbols sit a little larger than the capital height of text of the same size.
    const int side = int(std::ceil(fontSize * 1.1));
    setFixedSize(side, side);
}

void PillSymbolView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = width();
    const QColor white(Qt::white);
    switch (m_symbol) {
    case Symbol::checkmarkCircle: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_colour);
        painter.drawEllipse(QRectF(0.5, 0.5, s - 1, s - 1));
        QPainterPath check;
        check.moveTo(0.28 * s, 0.52 * s);
        check.lineTo(0.44 * s, 0.67 * s);
        check.lineTo(0.72 * s, 0.35 * s);
        painter.setPen(QPen(white, std::max(1.3, s * 0.12), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(check);
        break;
    }
    case Symbol::clipboard: {
        // A sheet behind a filled clipboard with its clip on top.
        painter.setPen(QPen(m_colour, std::max(1.0, s * 0.09)));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(0.08 * s, 0.3 * s, 0.5 * s, 0.62 * s), 0.1 * s, 0.1 * s);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_colour);
        painter.drawRoundedRect(QRectF(0.3 * s, 0.14 * s, 0.62 * s, 0.8 * s), 0.12 * s, 0.12 * s);
        painter.setBrush(white);
        painter.drawRoundedRect(QRectF(0.47 * s, 0.08 * s, 0.28 * s, 0.16 * s), 0.06 * s, 0.06 * s);
        painter.setBrush(m_colour);
        painter.drawRoundedRect(QRectF(0.51 * s, 0.04 * s, 0.2 * s, 0.14 * s), 0.05 * s, 0.05 * s);
        painter.setPen(QPen(white, std::max(0.8, s * 0.07), Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0.44 * s, 0.5 * s), QPointF(0.78 * s, 0.5 * s));
        painter.drawLine(QPointF(0.44 * s, 0.68 * s), QPointF(0.7 * s, 0.68 * s));
        break;
    }
    case Symbol::warningTriangle: {
        QPainterPath triangle;
        triangle.moveTo(0.5 * s, 0.06 * s);
        triangle.lineTo(0.97 * s, 0.9 * s);
        triangle.lineTo(0.03 * s, 0.9 * s);
        triangle.closeSubpath();
        painter.setPen(QPen(m_colour, s * 0.08, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(m_colour);
        painter.drawPath(triangle);
        painter.setPen(QPen(white, std::max(1.2, s * 0.11), Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0.5 * s, 0.36 * s), QPointF(0.5 * s, 0.6 * s));
        painter.drawPoint(QPointF(0.5 * s, 0.76 * s));
        break;
    }
    }
}

// ---------------------------------------------------------------------------------------------------------

PillTextLabel::PillTextLabel(QFont font, QColor colour, int maximumTextWidth, QWidget* parent)
    : QWidget(parent), m_font(std::move(font)), m_colour(colour), m_maximumTextWidth(maximumTextWidth)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void PillTextLabel::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

QString PillTextLabel::displayedText() const
{
    QString line = m_text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return QFontMetricsF(m_font).elidedText(line, Qt::ElideRight, m_maximumTextWidth);
}

QSize PillTextLabel::sizeHint() const
{
    const QFontMetricsF metrics(m_font);
    const qreal width = std::min<qreal>(metrics.horizontalAdvance(displayedText()), m_maximumTextWidth);
    return {int(std::ceil(width)), int(std::ceil(metrics.height()))};
}

void PillTextLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(m_font);
    painter.setPen(m_colour);
    painter.drawText(QRectF(rect()), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, displayedText());
}
