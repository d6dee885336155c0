#pragma once

#include <QColor>
#include <QDir>
#include <QImage>
#include <QRect>
#include <QString>
#include <cstdlib>

// Pixels within the rectangle whose colour is within `tolerance` of the given one (the sum of the three
// channel differences), as a sign that something was drawn there.
inline int pixelsNear(const QImage& image, const QRect& rect, QColor colour, int tolerance)
{
    int count = 0;
    const QRect inside = rect.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (std::abs(pixel.red() - colour.red()) + std::abs(pixel.green() - colour.green()) +
                    std::abs(pixel.blue() - colour.blue()) <
                tolerance)
                ++count;
        }
    }
    return count;
}

// Where a screenshot for a look by eye goes: the build's screenshots folder.
inline QString screenshotPath(const QString& name)
{
    const QString folder = qEnvironmentVariable("QB_SHELL_SCREENSHOTS", QStringLiteral("screenshots"));
    QDir().mkpath(folder);
    return QDir(folder).filePath(name);
}
