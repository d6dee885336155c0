#include "ui/pill/ShimmerDotsView.h"

#include "ui/theme/BrandColors.h"

#include <QPainter>
#include <cmath>

namespace {
constexpr int kDots = 3;
constexpr double kDiameter = 4.5;
constexpr double kSpacing = 3.5;
constexpr double kLift = 3.0; // a bright dot rises by up to half of this, a dark one sinks as far
constexpr double kWidth = kDots * kDiameter + (kDots - 1) * kSpacing;
} // namespace

ShimmerDotsView::ShimmerDotsView(Scheduler& scheduler, QWidget* parent) : AnimatedView(scheduler, parent)
{
    setFixedSize(sizeHint());
}

QSize ShimmerDotsView::sizeHint() const
{
    return {int(std::ceil(kWidth)), int(std::ceil(kDiameter + kLift))};
}

double ShimmerDotsView::brightness(int dot, double time)
{
    return (std::sin(time * 7.5 - 0.85 * dot) + 1) / 2;
}

void ShimmerDotsView::advanceFrame(double time)
{
    m_time = time;
    update();
}

void ShimmerDotsView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const double left = (width() - kWidth) / 2;
    const double top = (height() - kDiameter) / 2;
    for (int i = 0; i < kDots; ++i) {
        const double c = brightness(i, m_time);
        painter.setBrush(BrandColors::indigo(0.35 + 0.65 * c));
        const double offset = (c - 0.5) * -kLift;
        painter.drawEllipse(QRectF(left + i * (kDiameter + kSpacing), top + offset, kDiameter, kDiameter));
    }
}
