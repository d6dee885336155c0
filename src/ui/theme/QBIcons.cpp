#include "ui/theme/QBIcons.h"

#include <QFile>
#include <QPainter>
#include <QPixmapCache>
#include <QSvgRenderer>
#include <cmath>

// Resources of a static library are registered by hand, once, before the first read.
static void registerIconResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(icons);
        return true;
    }();
    (void)registered;
}

namespace QBIcons {

QString resourcePath(QBIcon icon)
{
    const char* name = "";
    switch (icon) {
    case QBIcon::insights:
        name = "insights";
        break;
    case QBIcon::history:
        name = "history";
        break;
    case QBIcon::dictionary:
        name = "dictionary";
        break;
    case QBIcon::settings:
        name = "settings";
        break;
    case QBIcon::sparkles:
        name = "sparkles";
        break;
    case QBIcon::close:
        name = "close";
        break;
    case QBIcon::checkCircleFilled:
        name = "check-circle-filled";
        break;
    case QBIcon::warningTriangleFilled:
        name = "warning-triangle-filled";
        break;
    case QBIcon::chevronDown:
        name = "chevron-down";
        break;
    case QBIcon::chevronRight:
        name = "chevron-right";
        break;
    case QBIcon::folderPlus:
        name = "folder-plus";
        break;
    case QBIcon::world:
        name = "world";
        break;
    case QBIcon::trash:
        name = "trash";
        break;
    case QBIcon::trashFilled:
        name = "trash-filled";
        break;
    case QBIcon::pencil:
        name = "pencil";
        break;
    case QBIcon::search:
        name = "search";
        break;
    case QBIcon::circleXFilled:
        name = "circle-x-filled";
        break;
    case QBIcon::square:
        name = "square";
        break;
    case QBIcon::squareCheckFilled:
        name = "square-check-filled";
        break;
    case QBIcon::keyboard:
        name = "keyboard";
        break;
    case QBIcon::volumeOff:
        name = "volume-off";
        break;
    case QBIcon::hare:
        name = "hare";
        break;
    case QBIcon::microphone:
        name = "microphone";
        break;
    case QBIcon::typography:
        name = "typography";
        break;
    case QBIcon::brain:
        name = "brain";
        break;
    case QBIcon::messages:
        name = "messages";
        break;
    case QBIcon::taskbar:
        name = "taskbar";
        break;
    case QBIcon::microphoneFilled:
        name = "microphone-filled";
        break;
    case QBIcon::stopFilled:
        name = "stop-filled";
        break;
    case QBIcon::check:
        name = "check";
        break;
    case QBIcon::copy:
        name = "copy";
        break;
    case QBIcon::wand:
        name = "wand";
        break;
    }
    return QStringLiteral(":/qb/icons/%1.svg").arg(QLatin1String(name));
}

QPixmap pixmap(QBIcon icon, qreal size, const QColor& color, qreal devicePixelRatio, qreal stroke)
{
    const int side = std::max(1, int(std::ceil(size * devicePixelRatio)));
    const QString key = QStringLiteral("qb-icon:%1:%2:%3:%4")
                            .arg(int(icon))
                            .arg(side)
                            .arg(color.rgba(), 8, 16, QLatin1Char('0'))
                            .arg(stroke);
    QPixmap cached;
    if (QPixmapCache::find(key, &cached))
        return cached;

    registerIconResources();
    QFile file(resourcePath(icon));
    QByteArray svg = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    svg.replace("currentColor", "#000000");
    svg.replace("stroke-width=\"2\"",
                QByteArrayLiteral("stroke-width=\"") + QByteArray::number(stroke) + '"');
    QSvgRenderer renderer(svg);
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, side, side));
        // Tint: keep the drawn shape, take the colour.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
    }
    QPixmap result = QPixmap::fromImage(image);
    result.setDevicePixelRatio(devicePixelRatio);
    QPixmapCache::insert(key, result);
    return result;
}

void paint(QPainter& painter, const QRectF& rect, QBIcon icon, qreal size, const QColor& color, qreal stroke)
{
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QPixmap pm = pixmap(icon, size, color, dpr, stroke);
    const QSizeF drawn(pm.width() / dpr, pm.height() / dpr);
    painter.drawPixmap(QRectF(rect.center() - QPointF(drawn.width() / 2, drawn.height() / 2), drawn), pm,
                       QRectF(pm.rect()));
}

} // namespace QBIcons
