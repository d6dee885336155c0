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
        m_shadowImage = {};
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
            if (m_shadowImage.isNull() || !qFuzzyCompare(m_shadowImage.devicePixelRatio(), dpr))
                m_shadowImage =
                    QBPaint::shadow(QSizeF(size()), m_radius, m_shadow->blur, m_shadow->color, dpr);
            QPainter painter(m_watchedParent);
            const qreal spread = std::ceil(m_shadow->blur * dpr) / dpr;
            painter.drawImage(QPointF(x() - spread, y() - spread + m_shadow->offsetY), m_shadowImage);
        }
    }
    return QWidget::eventFilter(watched, event);
}
