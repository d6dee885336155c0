#pragma once

#include <QColor>
#include <QPixmap>

class QPainter;
class QRectF;

// The few icons the window shows, from the bundled SVG set, tinted and cached by size, colour and weight.
enum class QBIcon {
    insights,
    history,
    dictionary,
    settings,
    sparkles,
    close,
    checkCircleFilled,
    warningTriangleFilled,
    chevronDown,
    chevronRight,
    folderPlus,
    world,
    trash,
    trashFilled,
    pencil,
    search,
    circleXFilled,
    square,
    squareCheckFilled,
    keyboard,
    volumeOff,
    hare,
    microphone,
    typography,
    brain,
    messages,
    taskbar,
    microphoneFilled,
    stopFilled,
    check,
    copy,
    wand,
};

namespace QBIcons {

// The resource path of the icon's SVG.
QString resourcePath(QBIcon icon);
// The icon drawn `size` layout pixels square in `color`; `stroke` is the line width of an outline icon on its
// 24-unit grid (2 is the set's own; a heavier weight draws thicker). Cached in QPixmapCache.
QPixmap pixmap(QBIcon icon, qreal size, const QColor& color, qreal devicePixelRatio, qreal stroke = 2.0);
// Paints the icon centred in `rect`.
void paint(QPainter& painter, const QRectF& rect, QBIcon icon, qreal size, const QColor& color,
           qreal stroke = 2.0);

} // namespace QBIcons
