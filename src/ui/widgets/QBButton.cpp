#include "ui/widgets/QBButton.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QVariantAnimation>
#include <cmath>

namespace {
constexpr qreal kPressedScale = 0.985;
constexpr int kPressAnimationMs = 120;
} // namespace

QBButton::Look QBButton::look(Kind kind, bool compact, bool enabled, bool pressed)
{
    Look look;
    look.radius = compact ? 7 : 9;
    look.scale = pressed ? kPressedScale : 1;
    if (kind == Kind::primary) {
        look.font = QBTheme::font(compact ? 12 : 12.5, QFont::DemiBold);
        // Only the fill fades when disabled; the label stays white.
        look.text = Qt::white;
        look.fill = QBTheme::faded(QBTheme::violet(), !enabled ? 0.4 : pressed ? 0.84 : 1.0);
        look.border = Qt::transparent;
        look.paddingH = compact ? 11 : 15;
        look.paddingV = compact ? 5.5 : 7.5;
        return look;
    }
    const bool destructive = kind == Kind::destructive;
    look.font = QBTheme::font(compact ? 11.5 : 12.5, QFont::Medium);
    look.text =
        destructive ? QBTheme::crimson() : QBTheme::faded(QBTheme::inkPrimary(), enabled ? 0.88 : 0.4);
    look.fill = pressed ? QBTheme::sandWell() : QBTheme::softWell();
    look.border = destructive ? QBTheme::faded(QBTheme::crimson(), 0.28) : QBTheme::hairline();
    look.paddingH = compact ? 10 : 13;
    look.paddingV = compact ? 5 : 7;
    return look;
}

QBButton::QBButton(Kind kind, const QString& text, QWidget* parent, bool compact)
    : QAbstractButton(parent), m_kind(kind), m_compact(compact)
{
    setText(text);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFont(look(kind, compact, true, false).font);
    if (kind == Kind::primary) {
        m_pressAnimation = new QVariantAnimation(this);
        m_pressAnimation->setDuration(kPressAnimationMs);
        m_pressAnimation->setEasingCurve(QEasingCurve::OutQuad);
        connect(m_pressAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
            m_press = value.toReal();
            update();
        });
    }
    const auto follow = [this](bool down) {
        if (!m_pressAnimation) {
            update();
            return;
        }
        m_pressAnimation->stop();
        m_pressAnimation->setStartValue(m_press);
        m_pressAnimation->setEndValue(down ? 1.0 : 0.0);
        m_pressAnimation->start();
    };
    connect(this, &QAbstractButton::pressed, this, [follow] { follow(true); });
    connect(this, &QAbstractButton::released, this, [follow] { follow(false); });
}

void QBButton::setStretched(bool stretched)
{
    setSizePolicy(stretched ? QSizePolicy::Expanding : QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void QBButton::setLeadingIcon(QBIcon icon, qreal size, qreal spacing)
{
    m_icon = icon;
    m_iconSize = size;
    m_iconSpacing = spacing;
    updateGeometry();
    update();
}

QSize QBButton::faceSize(const Look& look, const QString& text, std::optional<QBIcon> icon, qreal iconSize,
                         qreal iconSpacing)
{
    const QFontMetricsF metrics(look.font);
    qreal width = text.isEmpty() ? 0 : metrics.horizontalAdvance(text);
    if (icon)
        width += iconSize + (text.isEmpty() ? 0 : iconSpacing);
    const qreal height = std::max(metrics.height(), icon ? iconSize : 0.0);
    return QSize(int(std::ceil(width + 2 * look.paddingH)), int(std::ceil(height + 2 * look.paddingV)));
}

void QBButton::paintFace(QPainter& painter, const QRectF& bounds, const Look& look, const QColor& fill,
                         const QString& text, std::optional<QBIcon> icon, qreal iconSize, qreal iconSpacing)
{
    QBPaint::roundedRect(painter, bounds, look.radius, fill, look.border);
    painter.setFont(look.font);
    painter.setPen(look.text);
    if (!icon) {
        painter.drawText(bounds, Qt::AlignCenter | Qt::TextSingleLine, text);
        return;
    }
    // Icon and title centred together as one row.
    const qreal textWidth = text.isEmpty() ? 0 : QFontMetricsF(look.font).horizontalAdvance(text);
    const qreal gap = text.isEmpty() ? 0 : iconSpacing;
    const qreal left = bounds.center().x() - (iconSize + gap + textWidth) / 2;
    QBIcons::paint(painter, QRectF(left, bounds.center().y() - iconSize / 2, iconSize, iconSize), *icon, iconSize,
                   look.text);
    if (!text.isEmpty())
        painter.drawText(QRectF(left + iconSize + gap, bounds.top(), textWidth + 1, bounds.height()),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
}

QSize QBButton::sizeHint() const
{
    return faceSize(look(m_kind, m_compact, true, false), text(), m_icon, m_iconSize, m_iconSpacing);
}

void QBButton::paintEvent(QPaintEvent*)
{
    const bool enabled = isEnabled();
    const Look rest = look(m_kind, m_compact, enabled, false);
    const Look down = look(m_kind, m_compact, enabled, true);
    // Between the two looks by the press progress (a disabled primary fill ignores the press); at rest the
    // progress is the button's down state.
    const bool easing = m_pressAnimation && m_pressAnimation->state() == QAbstractAnimation::Running;
    const qreal t = !enabled ? 0 : easing ? m_press : isDown() ? 1 : 0;
    QColor fill = rest.fill;
    if (m_kind == Kind::primary)
        fill.setAlphaF(float(rest.fill.alphaF() + (down.fill.alphaF() - rest.fill.alphaF()) * t));
    else
        fill = t >= 0.5 ? down.fill : rest.fill;
    const qreal scale = 1 + (down.scale - 1) * t;

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QRectF bounds = QRectF(rect());
    painter.translate(bounds.center());
    painter.scale(scale, scale);
    painter.translate(-bounds.center());
    paintFace(painter, bounds, rest, fill, text(), m_icon, m_iconSize, m_iconSpacing);
}
