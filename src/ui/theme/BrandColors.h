#pragma once

#include "ui/theme/QBTheme.h"

#include <QColor>

// The pill's colours, as sRGB components. Views apply their own opacity. Those the window shares (the accent
// and the ink) come from the window's theme.
namespace BrandColors {
inline QColor rgb(double r, double g, double b, double alpha = 1.0)
{
    return QColor::fromRgbF(r, g, b, alpha);
}

inline QColor indigo(double alpha = 1.0)
{
    return QBTheme::faded(QBTheme::violet(), alpha);
}
inline QColor violet(double alpha = 1.0)
{
    return rgb(0.56, 0.24, 0.88, alpha);
}
inline QColor paper(double alpha = 1.0)
{
    return rgb(0.988, 0.984, 0.973, alpha);
}
inline QColor ink(double alpha = 1.0)
{
    return QBTheme::faded(QBTheme::inkPrimary(), alpha);
}
inline QColor successGreen(double alpha = 1.0)
{
    return rgb(0.12, 0.72, 0.42, alpha);
}
inline QColor clipboardBlue(double alpha = 1.0)
{
    return rgb(0.1, 0.42, 1.0, alpha);
}
inline QColor noticeText(double alpha = 1.0)
{
    return rgb(0.1, 0.1, 0.14, alpha);
}
// The desktop's usual warning orange.
inline QColor orange(double alpha = 1.0)
{
    return rgb(1.0, 0.584, 0.0, alpha);
}
} // namespace BrandColors
