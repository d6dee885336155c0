#include "ui/widgets/QBCard.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <cmath>

QBCard::Shadow QBCard::defaultShadow()
{
    return {QColor::fromRgbF(0, 0, 0, 0.022f), 8, 3};
}

QBCard::QBCard(qreal cornerRadius, qreal padding, QWidget* parent)
    : QWidget(parent), m_radius(cornerRadius), m_fill(QBTheme::cardBg()), m_border(QBTheme::hairline()),
      m_shadow(defaultShadow()), m_layout(new QVBoxLayout(this))
{
    const int p = int(std::lround(padding));
    m_layout->setContentsMargins(p, p, p, p);
    m_layout->setSpacing(0);
    watchParent();
}

QBCard::~QBCard()
{
    if (m_watchedParent)
        m_watchedParent->removeEventFilter(this);
}

void QBCard::setShadow(std::optional<Shadow> shadow)
{
    m_shadow = shadow;
    m_shadowImage = {};
    repaintShadowArea();
}

void QBCard::setColors(const QColor& fill, const QColor& border, qreal borderWidth)
{
    if (fill == m_fill && border == m_border && borderWidth == m_borderWidth)
        return;
    m_fill = fill;
    m_border = border;
    m_borderWidth = borderWidth;
    update();
}

void QBCard::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QBPaint::roundedRect(painter, QRectF(rect()), m_radius, m_fill, m_border, m_borderWidth);
}

QRect QBCard::shadowArea() const
{
    if (!m_shadow)
        return {};
    const int spread = int(std::ceil(m_shadow->blur)) + 1;
    return geometry()
        .adjusted(-spread, -spread, spread, spread)
        .translated(0, int(std::ceil(m_shadow->offsetY)));
}

void QBCard::repaintShadowArea()
{
    if (m_watchedParent && m_shadow)
        m_watchedParent->update(shadowArea());
}

void QBCard::watchParent()
{
    QWidget* parent = parentWidget();
    if (parent == m_watchedParent)
        return;
    if (m_watchedParent)
        m_watchedParent->removeEventFilter(this);
    m_watchedParent = parent;
    if (m_watchedParent)
        m_watchedParent->installEventFilter(this);
}

bool QBCard::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::ParentChange:
        watchParent();
        break;
    case QEvent::Resize:
        repaintShadowArea();
        break;
    case QEvent::Move:
    case QEvent::Show:
    case QEvent::Hide:
        repaintShadowArea();
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

bool QBCard::eventFilter(QObject* watched, QEvent* event)
{
    // The parent is being painted: lay the shadow down first, the card then paints over it.
    if (watched == m_watchedParent && event->type() == QEvent::Paint && m_shadow && isVisible()) {
        const auto* paint = static_cast<QPaintEvent*>(event);
        if (paint->rect().intersects(shadowArea())) {
            const qreal dpr = m_watchedParent->devicePixelRatioF();
            // Along a straight edge the shadow is the same everywhere: it is blurred for a card at most
            // `2 * ends + 1` tall and its middle row stretched, so a tall card, or one whose height changes
            // as a list rebinds it, costs no more than a short one.
            const int ends = int(std::ceil(m_radius + 2 * m_shadow->blur)) + 1;
            const QSize source(width(), std::min(height(), 2 * ends + 1));
            if (m_shadowImage.isNull() || source != m_shadowSource ||
                !qFuzzyCompare(m_shadowImage.devicePixelRatio(), dpr)) {
                m_shadowImage =
                    QBPaint::shadow(QSizeF(source), m_radius, m_shadow->blur, m_shadow->color, dpr);
                m_shadowSource = source;
            }
            QPainter painter(m_watchedParent);
            const qreal spread = std::ceil(m_shadow->blur * dpr) / dpr;
            const QPointF origin(x() - spread, y() - spread + m_shadow->offsetY);
            if (source.height() == height()) {
                painter.drawImage(origin, m_shadowImage);
            } else {
                // Top and bottom as blurred, the one middle row stretched between them (source rectangles
                // are in the image's pixels).
                const qreal imageWidth = m_shadowImage.width() / dpr;
                const qreal edge = spread + ends;
                const qreal fullHeight = height() + 2 * spread;
                const qreal pixels = m_shadowImage.height();
                painter.drawImage(QRectF(origin.x(), origin.y(), imageWidth, edge), m_shadowImage,
                                  QRectF(0, 0, m_shadowImage.width(), edge * dpr));
                painter.drawImage(QRectF(origin.x(), origin.y() + edge, imageWidth, fullHeight - 2 * edge),
                                  m_shadowImage, QRectF(0, edge * dpr, m_shadowImage.width(), 1));
                painter.drawImage(QRectF(origin.x(), origin.y() + fullHeight - edge, imageWidth, edge),
                                  m_shadowImage,
                                  QRectF(0, pixels - edge * dpr, m_shadowImage.width(), edge * dpr));
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

QWidget* qbRule(QWidget* parent, const QColor& color)
{
    auto* line = new QWidget(parent);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, color.isValid() ? color : QBTheme::hairline());
    line->setPalette(palette);
    return line;
}
