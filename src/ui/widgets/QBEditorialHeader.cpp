#include "ui/widgets/QBEditorialHeader.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"
#include "ui/widgets/QBPill.h"

#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

namespace {
constexpr qreal kRowSpacing = 12;
constexpr qreal kBarWidth = 2.5;
constexpr qreal kBarHeight = 14;
constexpr qreal kBarSpacing = 10;
constexpr qreal kRuleGap = 2;
// The default spacing between the title and the badge.
constexpr qreal kTitleBadgeSpacing = 8;

QFont titleFont()
{
    return QBTheme::font(30, QFont::Bold, QBTheme::FontDesign::serif);
}
QFont subtitleFont()
{
    return QBTheme::font(13);
}

struct BadgeMetrics {
    QFont font;
    qreal width;
    qreal height;
    qreal ascent;
};
BadgeMetrics badgeMetrics(const QString& badge)
{
    const QBPill::Look look = QBPillLooks::headerBadge();
    QFont font = look.font;
    font.setLetterSpacing(QFont::AbsoluteSpacing, look.letterSpacing);
    const QFontMetricsF metrics(font);
    return {font, metrics.horizontalAdvance(badge) + 2 * look.paddingH, metrics.height() + 2 * look.paddingV,
            metrics.ascent() + look.paddingV};
}
} // namespace

QBEditorialHeader::QBEditorialHeader(const QString& badge, const QString& title, const QString& subtitle,
                                     QWidget* parent)
    : QWidget(parent), m_badge(badge), m_title(title), m_subtitle(subtitle)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void QBEditorialHeader::setBadge(const QString& badge)
{
    if (badge == m_badge)
        return;
    m_badge = badge;
    updateGeometry();
    update();
}

QSize QBEditorialHeader::sizeHint() const
{
    const QFontMetricsF title(titleFont());
    const QFontMetricsF subtitle(subtitleFont());
    const BadgeMetrics badge = badgeMetrics(m_badge);
    // The first row holds the title and the badge on one baseline: as tall as the lower of their tops and
    // bottoms allow.
    const qreal above = std::max(title.ascent(), badge.ascent);
    const qreal below = std::max(title.descent(), badge.height - badge.ascent);
    const qreal height =
        above + below + kRowSpacing + std::max(subtitle.height(), kBarHeight) + kRowSpacing + kRuleGap + 1;
    const qreal width = title.horizontalAdvance(m_title) + kTitleBadgeSpacing + badge.width;
    return QSize(int(std::ceil(width)), int(std::ceil(height)));
}

QSize QBEditorialHeader::minimumSizeHint() const
{
    return QSize(0, sizeHint().height());
}

void QBEditorialHeader::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QFont tFont = titleFont();
    const QFontMetricsF title(tFont);
    const QFontMetricsF subtitle(subtitleFont());
    const BadgeMetrics badge = badgeMetrics(m_badge);
    const qreal w = width();

    const qreal baseline = std::max(title.ascent(), badge.ascent);
    const qreal rowBottom = baseline + std::max(title.descent(), badge.height - badge.ascent);

    // The badge keeps its full width at the trailing edge; a long title is cut before it.
    const QBPill::Look look = QBPillLooks::headerBadge();
    const QRectF badgeRect(w - badge.width, baseline - badge.ascent, badge.width, badge.height);
    QBPaint::roundedRect(painter, badgeRect, -1, look.fill, Qt::transparent);
    painter.setFont(badge.font);
    painter.setPen(look.text);
    painter.drawText(QPointF(badgeRect.left() + look.paddingH, baseline), m_badge);

    painter.setFont(tFont);
    painter.setPen(QBTheme::inkPrimary());
    const qreal titleRoom = std::max<qreal>(0, badgeRect.left() - kTitleBadgeSpacing);
    painter.drawText(QPointF(0, baseline), title.elidedText(m_title, Qt::ElideRight, titleRoom));

    const qreal row2Top = rowBottom + kRowSpacing;
    const qreal row2Height = std::max(subtitle.height(), kBarHeight);
    const qreal row2Mid = row2Top + row2Height / 2;
    painter.fillRect(QRectF(0, row2Mid - kBarHeight / 2, kBarWidth, kBarHeight), QBTheme::violet());
    painter.setFont(subtitleFont());
    painter.setPen(QBTheme::inkSecondary());
    const qreal subtitleX = kBarWidth + kBarSpacing;
    painter.drawText(QPointF(subtitleX, row2Mid + (subtitle.ascent() - subtitle.descent()) / 2),
                     subtitle.elidedText(m_subtitle, Qt::ElideRight, w - subtitleX));

    const qreal ruleTop = row2Top + row2Height + kRowSpacing + kRuleGap;
    painter.fillRect(QRectF(0, ruleTop, w, 1), QBTheme::strongLine());
}
