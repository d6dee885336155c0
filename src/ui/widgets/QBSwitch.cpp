#include "ui/widgets/QBSwitch.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"

#include <QPainter>

namespace {
// The smallest switch size of the desktop toolkits.
constexpr QSize kTrack(26, 15);
constexpr qreal kKnobInset = 1.5;
} // namespace

QBSwitch::QBSwitch(QWidget* parent) : QAbstractButton(parent)
{
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize QBSwitch::sizeHint() const
{
    return kTrack;
}

void QBSwitch::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track(QPointF(0, (height() - kTrack.height()) / 2.0), QSizeF(kTrack));
    const bool on = isChecked();
    QColor fill = on ? QBTheme::violet() : QBTheme::sandWell();
    if (!isEnabled())
        fill = QBTheme::faded(fill, 0.45);
    QBPaint::roundedRect(painter, track, -1, fill, on ? QColor(Qt::transparent) : QBTheme::hairline());
    const qreal knob = track.height() - 2 * kKnobInset;
    const qreal knobX = on ? track.right() - kKnobInset - knob : track.left() + kKnobInset;
    const QRectF knobRect(knobX, track.top() + kKnobInset, knob, knob);
    QBPaint::roundedRect(painter, knobRect.translated(0, 0.5), -1, QColor::fromRgbF(0, 0, 0, 0.12f),
                         Qt::transparent);
    QBPaint::roundedRect(painter, knobRect, -1, Qt::white, Qt::transparent);
}
