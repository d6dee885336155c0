#include "ui/widgets/QBPill.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

QBPill::QBPill(const QString& text, const Look& look, QWidget* parent) : QAbstractButton(parent)
{
    setText(text);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFocusPolicy(Qt::NoFocus);
    setClickable(false);
    setLook(look);
}

void QBPill::setLook(const Look& look)
{
    m_look = look;
    updateGeometry();
    update();
}

void QBPill::setClickable(bool clickable)
{
    setAttribute(Qt::WA_TransparentForMouseEvents, !clickable);
    setCursor(clickable ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

QFont QBPill::spacedFont() const
{
    QFont font = m_look.font;
    if (m_look.letterSpacing > 0)
        font.setLetterSpacing(QFont::AbsoluteSpacing, m_look.letterSpacing);
    return font;
}

QSize QBPill::sizeHint() const
{
    const QFontMetricsF metrics(spacedFont());
    qreal width = metrics.horizontalAdvance(text()) + 2 * m_look.paddingH;
    qreal height = metrics.height();
    if (m_look.dot) {
        width += m_look.dotSize + m_look.spacing;
        height = std::max(height, m_look.dotSize);
    } else if (m_look.icon) {
        width += m_look.iconSize + m_look.spacing;
        height = std::max(height, m_look.iconSize);
    }
    return QSize(int(std::ceil(width)), int(std::ceil(height + 2 * m_look.paddingV)));
}

void QBPill::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange)
        updateGeometry();
    QAbstractButton::changeEvent(event);
}

void QBPill::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QRectF bounds = QRectF(rect());
    QBPaint::roundedRect(painter, bounds, m_look.radius, m_look.fill, m_look.border, m_look.borderWidth);

    const QFont font = spacedFont();
    const QFontMetricsF metrics(font);
    const qreal textWidth = metrics.horizontalAdvance(text());
    qreal lead = 0;
    if (m_look.dot)
        lead = m_look.dotSize + m_look.spacing;
    else if (m_look.icon)
        lead = m_look.iconSize + m_look.spacing;
    // Centred as a group, so a pill stretched wider than its hint keeps its content together.
    qreal x = bounds.center().x() - (lead + textWidth) / 2;
    const qreal midY = bounds.center().y();
    if (m_look.dot) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(*m_look.dot);
        painter.drawEllipse(QPointF(x + m_look.dotSize / 2, midY), m_look.dotSize / 2, m_look.dotSize / 2);
    } else if (m_look.icon) {
        QBIcons::paint(painter, QRectF(x, midY - m_look.iconSize / 2, m_look.iconSize, m_look.iconSize),
                       *m_look.icon, m_look.iconSize, m_look.text);
    }
    x += lead;
    painter.setFont(font);
    painter.setPen(m_look.text);
    const qreal baseline = midY + (metrics.ascent() - metrics.descent()) / 2;
    painter.drawText(QPointF(x, baseline), text());
}

namespace QBPillLooks {

using QBTheme::FontDesign;

QBPill::Look headerBadge()
{
    QBPill::Look look;
    look.font = QBTheme::font(10.5, QFont::DemiBold, FontDesign::monospaced);
    look.letterSpacing = 0.8;
    look.text = QBTheme::inkSecondary();
    look.fill = QBTheme::sandWell();
    look.paddingH = 10;
    look.paddingV = 4;
    return look;
}

QBPill::Look countBadge(bool selected)
{
    QBPill::Look look;
    look.font = QBTheme::font(10.5, QFont::DemiBold, FontDesign::monospaced);
    look.text = selected ? QBTheme::violet() : QBTheme::inkMuted();
    look.fill = selected ? QBTheme::lilacTint() : QBTheme::faded(QBTheme::sandWell(), 0.65);
    look.paddingH = 6;
    look.paddingV = 2;
    return look;
}

QBPill::Look triggerChip()
{
    QBPill::Look look;
    look.font = QBTheme::font(11, QFont::DemiBold, FontDesign::monospaced);
    look.text = QBTheme::inkSecondary();
    look.fill = QBTheme::sandWell();
    look.radius = 4;
    look.paddingH = 6;
    look.paddingV = 1.5;
    return look;
}

QBPill::Look presetPill(bool isActive)
{
    QBPill::Look look;
    look.font = QBTheme::font(11, isActive ? QFont::DemiBold : QFont::Medium);
    look.text = isActive ? QBTheme::violet() : QBTheme::inkSecondary();
    look.fill = isActive ? QBTheme::cardBg() : QBTheme::faded(QBTheme::sandWell(), 0.65);
    look.border = isActive ? QBTheme::faded(QBTheme::violet(), 0.55) : QBTheme::hairline();
    look.radius = 6;
    look.paddingH = 9;
    look.paddingV = 4;
    return look;
}

QString engineStatusText(bool isActive)
{
    return isActive ? QStringLiteral("当前生效") : QStringLiteral("未启用");
}

QBPill::Look engineStatusBadge(bool isActive)
{
    QBPill::Look look;
    look.font = QBTheme::font(10.5, isActive ? QFont::DemiBold : QFont::Medium);
    look.text = isActive ? QColor(Qt::white) : QBTheme::inkMuted();
    look.fill = isActive ? QBTheme::activeGreen() : QBTheme::faded(QBTheme::sandWell(), 0.55);
    look.dot = isActive ? QColor(Qt::white) : QBTheme::faded(QBTheme::inkMuted(), 0.45);
    look.dotSize = 5.5;
    look.spacing = 4.5;
    look.paddingH = 8.5;
    look.paddingV = 3;
    return look;
}

QString keyStatusText(bool isConfigured, bool keylessLocal)
{
    if (keylessLocal)
        return QStringLiteral("本地免密");
    return isConfigured ? QStringLiteral("密钥已存") : QStringLiteral("待填密钥");
}

QBPill::Look keyStatusPill(bool isConfigured, bool keylessLocal, bool muted)
{
    QBPill::Look look;
    look.font = QBTheme::font(10.5, QFont::Medium);
    look.borderWidth = 0.8;
    look.paddingH = 7.5;
    look.paddingV = 2.5;
    const bool satisfied = isConfigured || keylessLocal;
    if (satisfied && !muted) {
        look.text = QBTheme::activeGreen();
        look.fill = QBTheme::activeGreenBg();
        look.border = QBTheme::faded(QBTheme::activeGreen(), 0.28);
    } else if (satisfied) {
        look.text = QBTheme::inkMuted();
        look.fill = QBTheme::faded(QBTheme::softWell(), 0.8);
        look.border = QBTheme::hairline();
    } else if (!muted) {
        look.text = QBTheme::amber();
        look.fill = QBTheme::amberTint();
        look.border = QBTheme::faded(QBTheme::amber(), 0.28);
    } else {
        look.text = QBTheme::faded(QBTheme::amber(), 0.72);
        look.fill = QBTheme::faded(QBTheme::amberTint(), 0.55);
        look.border = QBTheme::faded(QBTheme::amber(), 0.16);
    }
    return look;
}

QBPill::Look permissionBadge(bool ok)
{
    QBPill::Look look;
    look.font = QBTheme::font(10.5, QFont::DemiBold);
    look.text = ok ? QBTheme::emerald() : QBTheme::amber();
    look.fill = ok ? QBTheme::emeraldTint() : QBTheme::amberTint();
    look.icon = ok ? QBIcon::checkCircleFilled : QBIcon::warningTriangleFilled;
    look.iconSize = 10;
    look.spacing = 4;
    look.paddingH = 8;
    look.paddingV = 3;
    return look;
}

} // namespace QBPillLooks
