#include "ui/widgets/QBPaint.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

namespace QBPaint {

qreal capsuleRadius(const QRectF& rect)
{
    return std::min(rect.width(), rect.height()) / 2;
}

void roundedRect(QPainter& painter, const QRectF& rect, qreal radius, const QColor& fill,
                 const QColor& border, qreal borderWidth)
{
    if (radius < 0)
        radius = capsuleRadius(rect);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    if (fill.alpha() > 0) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(rect, radius, radius);
    }
    if (border.alpha() > 0 && borderWidth > 0) {
        // Inside the edge: the ring between the outer shape and the shape inset by the width, filled once, so
        // a translucent border is never painted twice where the pen would overlap itself. The inner shape is
        // a hole by the odd-even rule, which costs none of a path subtraction's work on every paint.
        QPainterPath ring;
        ring.setFillRule(Qt::OddEvenFill);
        ring.addRoundedRect(rect, radius, radius);
        const QRectF inner = rect.adjusted(borderWidth, borderWidth, -borderWidth, -borderWidth);
        const qreal innerRadius = std::max<qreal>(0, radius - borderWidth);
        if (inner.isValid())
            ring.addRoundedRect(inner, innerRadius, innerRadius);
        painter.setPen(Qt::NoPen);
        painter.setBrush(border);
        painter.drawPath(ring);
    }
    painter.restore();
}

QImage shadow(QSizeF size, qreal radius, qreal blur, const QColor& color, qreal dpr)
{
    const int pad = int(std::ceil(blur * dpr));
    const QSize shape(std::max(1, int(std::ceil(size.width() * dpr))),
                      std::max(1, int(std::ceil(size.height() * dpr))));
    QImage alpha(shape + QSize(2 * pad, 2 * pad), QImage::Format_Alpha8);
    alpha.fill(0);
    {
        QPainter p(&alpha);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        p.drawRoundedRect(QRectF(pad, pad, shape.width(), shape.height()), radius * dpr, radius * dpr);
    }
    // Three box blurs approach a Gaussian whose spread is the blur radius.
    const int box = std::max(1, int(std::lround(blur * dpr / 3.0)));
    const int w = alpha.width();
    const int h = alpha.height();
    std::vector<int> line(size_t(std::max(w, h)));
    for (int pass = 0; pass < 3; ++pass) {
        for (int y = 0; y < h; ++y) {
            uchar* row = alpha.scanLine(y);
            for (int x = 0; x < w; ++x)
                line[size_t(x)] = row[x];
            int sum = 0;
            for (int x = -box; x <= box; ++x)
                sum += (x >= 0 && x < w) ? line[size_t(x)] : 0;
            for (int x = 0; x < w; ++x) {
                row[x] = uchar(sum / (2 * box + 1));
                const int out = x - box;
                const int in = x + box + 1;
                sum += (in < w ? line[size_t(in)] : 0) - (out >= 0 ? line[size_t(out)] : 0);
            }
        }
        for (int x = 0; x < w; ++x) {
            for (int y = 0; y < h; ++y)
                line[size_t(y)] = alpha.constScanLine(y)[x];
            int sum = 0;
            for (int y = -box; y <= box; ++y)
                sum += (y >= 0 && y < h) ? line[size_t(y)] : 0;
            for (int y = 0; y < h; ++y) {
                alpha.scanLine(y)[x] = uchar(sum / (2 * box + 1));
                const int out = y - box;
                const int in = y + box + 1;
                sum += (in < h ? line[size_t(in)] : 0) - (out >= 0 ? line[size_t(out)] : 0);
            }
        }
    }
    QImage result(alpha.size(), QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    {
        QPainter p(&result);
        p.drawImage(0, 0, alpha);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(result.rect(), color);
    }
    result.setDevicePixelRatio(dpr);
    return result;
}

const QImage& ShadowCache::shadow(QSizeF size, qreal devicePixelRatio)
{
    const auto found = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& entry) {
        return entry.size == size && entry.devicePixelRatio == devicePixelRatio;
    });
    if (found != m_entries.end()) {
        std::rotate(m_entries.begin(), found, found + 1);
        return m_entries.front().image;
    }
    if (m_entries.size() >= kKept)
        m_entries.pop_back();
    m_entries.insert(m_entries.begin(), Entry{size, devicePixelRatio,
                                              QBPaint::shadow(size, m_radius, m_blur, m_color, devicePixelRatio)});
    return m_entries.front().image;
}

qreal textWidth(const QString& text, const QFont& font)
{
    return QFontMetricsF(font).horizontalAdvance(text);
}

WrappedText wrap(const QString& text, const QFont& font, qreal width, int maxLines)
{
    WrappedText result;
    const QFontMetricsF metrics(font);
    result.lineHeight = metrics.lineSpacing();
    const QStringList paragraphs = text.split(QLatin1Char('\n'));
    for (const QString& paragraph : paragraphs) {
        QTextLayout layout(paragraph, font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(std::max<qreal>(1, width));
            result.lines.append(paragraph.mid(line.textStart(), line.textLength()));
        }
        layout.endLayout();
        if (paragraph.isEmpty())
            result.lines.append(QString());
    }
    if (maxLines > 0 && result.lines.size() > maxLines) {
        QString last = result.lines[maxLines - 1].trimmed() + QStringLiteral("…");
        result.lines = result.lines.mid(0, maxLines);
        // The ellipsis must fit: trim the last line until it does.
        while (!last.isEmpty() && metrics.horizontalAdvance(last) > width && last.size() > 1)
            last.remove(last.size() - 2, 1);
        result.lines.last() = last;
    }
    return result;
}

void drawWrapped(QPainter& painter, const QPointF& topLeft, const WrappedText& text, const QFont& font,
                 const QColor& color)
{
    const QFontMetricsF metrics(font);
    painter.save();
    painter.setFont(font);
    painter.setPen(color);
    qreal y = topLeft.y() + metrics.ascent();
    for (const QString& line : text.lines) {
        painter.drawText(QPointF(topLeft.x(), y), line);
        y += text.lineHeight;
    }
    painter.restore();
}

} // namespace QBPaint
