#include "ui/pill/MicroSymbolStreamView.h"

#include "ui/theme/BrandColors.h"
#include "ui/theme/QBTheme.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace {

const std::array<QString, 6> kGlyphCycle = {
    QStringLiteral("\u2022"), QStringLiteral("\u00B7"), QStringLiteral("\u2726"),
    QStringLiteral("\u2022"), QStringLiteral("\u25AA"), QStringLiteral("\u00B7"),
};
constexpr int kStarCyclePosition = 2; // "✦" is drawn smaller than the others

constexpr double kGlyphSpacing = 3.2;
constexpr double kCounterGap = 5;
constexpr double kCounterPaddingX = 5;
constexpr double kCounterPaddingY = 1;
constexpr double kRestingDot = 3.2;
constexpr double kRestingSpacing = 4;

// Sizes of 8.5 and 10.5 points stay fractional.
QFont boldMonospaced(qreal points)
{
    return QBTheme::font(points, QFont::Bold, QBTheme::FontDesign::monospaced);
}

int cyclePosition(int absoluteIndex)
{
    return absoluteIndex % int(kGlyphCycle.size());
}

} // namespace

double MicroSymbolStreamView::Frame::newestScale() const
{
    return 0.75 + 0.3 * std::sin(std::numbers::pi * fraction);
}

MicroSymbolStreamView::Frame MicroSymbolStreamView::frameFor(double progress)
{
    Frame frame;
    const double p = std::isfinite(progress) ? std::max(progress, 0.0) : 0.0;
    frame.count = int(std::floor(p));
    frame.fraction = p - frame.count;
    frame.glyphCount = std::min(frame.count, kMaxGlyphs);
    frame.firstIndex = std::max(frame.count - kMaxGlyphs, 0);
    return frame;
}

QString MicroSymbolStreamView::glyph(int absoluteIndex)
{
    return kGlyphCycle[std::size_t(cyclePosition(absoluteIndex))];
}

MicroSymbolStreamView::MicroSymbolStreamView(QColor accent, Scheduler& scheduler, AudioLevelBus& bus,
                                             QWidget* parent)
    : AnimatedView(scheduler, parent), m_bus(bus), m_accent(accent), m_glyphFont(boldMonospaced(10.5)),
      m_starFont(boldMonospaced(8.5)), m_counterFont(boldMonospaced(9.5))
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void MicroSymbolStreamView::setAccent(QColor accent)
{
    if (accent == m_accent)
        return;
    m_accent = accent;
    update();
}

QString MicroSymbolStreamView::counterText() const
{
    return QString::number(qlonglong(m_frame.count));
}

QFont MicroSymbolStreamView::glyphFont(int absoluteIndex) const
{
    return cyclePosition(absoluteIndex) == kStarCyclePosition ? m_starFont : m_glyphFont;
}

qreal MicroSymbolStreamView::glyphWidth(int absoluteIndex) const
{
    return QFontMetricsF(glyphFont(absoluteIndex)).horizontalAdvance(glyph(absoluteIndex));
}

QSizeF MicroSymbolStreamView::counterSize() const
{
    const QFontMetricsF metrics(m_counterFont);
    return {metrics.horizontalAdvance(counterText()) + 2 * kCounterPaddingX,
            metrics.height() + 2 * kCounterPaddingY};
}

QSize MicroSymbolStreamView::sizeHint() const
{
    if (m_frame.count == 0)
        return {int(std::ceil(3 * kRestingDot + 2 * kRestingSpacing)), kHeight};
    double width = kGlyphSpacing * (m_frame.glyphCount - 1);
    for (int j = 0; j < m_frame.glyphCount; ++j)
        width += glyphWidth(m_frame.firstIndex + j);
    const QSizeF counter = counterSize();
    width += kCounterGap + counter.width();
    return {int(std::ceil(width)), std::max(kHeight, int(std::ceil(counter.height())))};
}

void MicroSymbolStreamView::advanceFrame(double time)
{
    m_time = time;
    const Frame next = frameFor(m_bus.sampleRecognizedSymbolProgress().smoothProgress);
    const bool resized = next.count != m_frame.count;
    m_frame = next;
    if (resized)
        updateGeometry(); // more glyphs or another counter width
    update();
}

void MicroSymbolStreamView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    if (m_frame.count == 0)
        paintRestingDots(painter);
    else
        paintGlyphs(painter);
}

void MicroSymbolStreamView::paintRestingDots(QPainter& painter) const
{
    painter.setPen(Qt::NoPen);
    const double top = (height() - kRestingDot) / 2;
    for (int i = 0; i < 3; ++i) {
        painter.setBrush(BrandColors::ink(0.22 + 0.1 * (std::sin(4.2 * m_time - 0.9 * i) + 1)));
        painter.drawEllipse(QRectF(i * (kRestingDot + kRestingSpacing), top, kRestingDot, kRestingDot));
    }
}

void MicroSymbolStreamView::paintGlyphs(QPainter& painter) const
{
    const double midY = height() / 2.0;
    double x = 0;
    for (int j = 0; j < m_frame.glyphCount; ++j) {
        const int g = m_frame.firstIndex + j;
        const bool newest = j == m_frame.glyphCount - 1;
        const QFont font = glyphFont(g);
        const QFontMetricsF metrics(font);
        const double w = metrics.horizontalAdvance(glyph(g));
        const double lift = 1.1 * std::sin(6.5 * m_time - 0.65 * g);
        const QRectF cell(x, midY - kHeight / 2.0 + lift, w, kHeight);

        painter.save();
        if (newest) {
            const double scale = m_frame.newestScale();
            painter.translate(cell.center());
            painter.scale(scale, scale);
            painter.translate(-cell.center());
        }
        painter.setFont(font);
        painter.setPen(newest ? m_accent : BrandColors::ink(0.68));
        painter.drawText(cell, Qt::AlignCenter, glyph(g));
        painter.restore();
        x += w + kGlyphSpacing;
    }

    const QSizeF counter = counterSize();
    const QRectF capsule(x - kGlyphSpacing + kCounterGap, midY - counter.height() / 2, counter.width(),
                         counter.height());
    QColor fill = m_accent;
    fill.setAlphaF(0.11f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
    painter.setFont(m_counterFont);
    painter.setPen(m_accent);
    painter.drawText(capsule, Qt::AlignCenter, counterText());
}
