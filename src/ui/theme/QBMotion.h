#pragma once

#include <QEasingCurve>

// The window's motion: one ease-out curve for every change that animates.
namespace QBMotion {

// Fast at first, settling at the end: the cubic Bézier (0, 0, 0.58, 1).
inline QEasingCurve easeOut()
{
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
    return curve;
}

} // namespace QBMotion
