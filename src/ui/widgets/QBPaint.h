#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRectF>
#include <QString>
#include <vector>

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

// Shadows of one look kept for the last few sizes asked for: a widget that paints a lift every frame blurs
// it once per size, not once per paint.
class ShadowCache {
public:
    ShadowCache(qreal radius, qreal blur, const QColor& color) : m_radius(radius), m_blur(blur), m_color(color)
    {
    }
    const QImage& shadow(QSizeF size, qreal devicePixelRatio);

private:
    struct Entry {
        QSizeF size;
        qreal devicePixelRatio = 0;
        QImage image;
    };
    static constexpr int kKept = 4;
    qreal m_radius;
    qreal m_blur;
    QColor m_color;
    std::vector<Entry> m_entries; // the most recently used first
};

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
