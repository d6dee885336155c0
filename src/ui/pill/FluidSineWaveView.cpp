#include "ui/pill/FluidSineWaveView.h"

#include <QPainter>
#include <QPen>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

struct Layer {
    double frequency;
    double speed;
    double amplitude;
    double opacity;
    double lineWidth;
};

// Front to back: the front wave is fast, full and strong; the ones behind slower, lower and fainter.
constexpr Layer kLayers[] = {
    {2.7, 10.5, 1.0, 0.94, 1.9},
    {2.0, 7.4, 0.78, 0.42, 1.35},
    {1.5, 5.2, 0.55, 0.2, 1.0},
};

} // namespace

FluidSineWaveView::FluidSineWaveView(QColor accent, QSize size, Scheduler& scheduler, AudioLevelBus& bus,
                                     QWidget* parent)
    : AnimatedView(scheduler, parent), m_bus(bus), m_accent(accent)
{
    setFixedSize(size);
}

void FluidSineWaveView::setAccent(QColor accent)
{
    if (accent == m_accent)
        return;
    m_accent = accent;
    update();
}

QPainterPath FluidSineWaveView::wavePath(int layer, QSizeF canvas, double time, float level)
{
    const Layer& layerShape = kLayers[layer];
    const double w = canvas.width();
    const double mid = canvas.height() * 0.5;
    // A silent microphone still leaves a small ripple.
    const double amp = std::max(canvas.height() * double(level) * 0.47, 1.5);
    QPainterPath path;
    if (!std::isfinite(w) || w <= 0)
        return path;
    const int whole = int(w);
    for (int x = 0; x <= whole; x += 2) {
        const double phi = double(x) / w * std::numbers::pi;
        // The envelope pins both ends to the middle line (clamped: sin(pi) may come out a hair below 0).
        const double envelope = std::pow(std::max(std::sin(phi), 0.0), 1.25);
        const double y = mid + amp * layerShape.amplitude *
                                   std::sin(layer * 1.15 + layerShape.frequency * phi - time * layerShape.speed) *
                                   envelope;
        if (x == 0)
            path.moveTo(x, y);
        else
            path.lineTo(x, y);
    }
    return path;
}

void FluidSineWaveView::advanceFrame(double time)
{
    m_time = time;
    m_level = m_bus.sampleBallisticEnvelope();
    update();
}

void FluidSineWaveView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    for (int k = 0; k < int(std::size(kLayers)); ++k) {
        QColor colour = m_accent;
        colour.setAlphaF(float(kLayers[k].opacity));
        QPen pen(colour, kLayers[k].lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
        pen.setMiterLimit(10);
        painter.setPen(pen);
        painter.drawPath(wavePath(k, size(), m_time, m_level));
    }
}
