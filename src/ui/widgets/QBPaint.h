#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRectF>
#include <QString>

class QPainter;

// Drawing helpers every painted widget shares: fills and 1-pt strokes drawn inside the shape's edge, soft
// shadows and wrapped plain text.
namespace QBPaint {

// A rounded rectangle (radius < 0 means a capsule) filled, then stroked inside its edge.
void roundedRect(QPainter& painter, const QRectF& rect, qreal radius, const QColor& fill,
                 const QColor& border, qreal borderWidth = 1.0);
qreal capsuleRadius(const QRectF& rect);

// The blurred shadow of a rounded rectangle of `size`, premultiplied, `blur` layout pixels of spread on each
// side; draw it at the shape's position minus `blur`, plus the offset.
QImage shadow(QSizeF size, qreal radius, qreal blur, const QColor& color, qreal devicePixelRatio);

// Plain text wrapped to `width`, at most `maxLines` lines (0: no limit), the last kept line elided.
struct WrappedText {
    QStringList lines;
    qreal lineHeight = 0;
    qreal height() const { return lineHeight * lines.size(); }
};
WrappedText wrap(const QString& text, const QFont& font, qreal width, int maxLines = 0);
void drawWrapped(QPainter& painter, const QPointF& topLeft, const WrappedText& text, const QFont& font,
                 const QColor& color);

// Width of one line of text in the font, fractional.
qreal textWidth(const QString& text, const QFont& font);

} // namespace QBPaint
