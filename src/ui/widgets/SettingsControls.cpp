#include "ui/widgets/SettingsControls.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"
#include "ui/widgets/QBSwitch.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <cmath>

QBIconView::QBIconView(QBIcon icon, qreal size, const QColor& color, QWidget* parent, qreal frame)
    : QWidget(parent), m_icon(icon), m_size(size), m_color(color)
{
    const int side = int(std::ceil(std::max(size, frame)));
    setFixedSize(side, side);
}

void QBIconView::setIcon(QBIcon icon, const QColor& color, qreal stroke)
{
    if (icon == m_icon && color == m_color && stroke == m_stroke)
        return;
    m_icon = icon;
    m_color = color;
    m_stroke = stroke;
    update();
}

void QBIconView::setTile(const QColor& fill, qreal radius)
{
    m_tileFill = fill;
    m_tileRadius = radius;
    update();
}

void QBIconView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (m_tileFill.alpha() > 0)
        QBPaint::roundedRect(painter, QRectF(rect()), m_tileRadius, m_tileFill, Qt::transparent);
    QBIcons::paint(painter, QRectF(rect()), m_icon, m_size, m_color, m_stroke);
}

EngineStatusDot::EngineStatusDot(bool isActive, QWidget* parent) : QWidget(parent), m_active(isActive)
{
    setFixedSize(14, 14);
}

void EngineStatusDot::setActive(bool isActive)
{
    if (m_active == isActive)
        return;
    m_active = isActive;
    update();
}

void EngineStatusDot::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QPointF centre(7, 7);
    if (m_active) {
        painter.setBrush(QBTheme::faded(QBTheme::activeGreen(), 0.24));
        painter.drawEllipse(centre, 7, 7);
        painter.setBrush(QBTheme::activeGreen());
        painter.drawEllipse(centre, 3.75, 3.75);
    } else {
        painter.setBrush(QBTheme::faded(QBTheme::inkMuted(), 0.38));
        painter.drawEllipse(centre, 3.25, 3.25);
    }
}

namespace {
constexpr qreal kBannerPaddingH = 9;
constexpr int kProbeMaxLines = 2;
constexpr qreal kBannerRadius = 7;
} // namespace

bool QBInlineBanner::isError(const QString& message)
{
    return message.startsWith(QStringLiteral("❌"));
}

QBInlineBanner::QBInlineBanner(Kind kind, const QString& message, QWidget* parent)
    : QWidget(parent), m_kind(kind), m_message(message)
{
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void QBInlineBanner::setMessage(const QString& message)
{
    if (message == m_message)
        return;
    m_message = message;
    updateGeometry();
    update();
}

QFont QBInlineBanner::font() const
{
    return m_kind == Kind::probe ? QBTheme::font(11, QFont::Medium, QBTheme::FontDesign::monospaced)
                                 : QBTheme::font(11);
}

qreal QBInlineBanner::paddingV() const
{
    return m_kind == Kind::probe ? 6 : 5.5;
}

QColor QBInlineBanner::textColor() const
{
    if (m_kind == Kind::warn)
        return QBTheme::amber();
    return isError(m_message) ? QBTheme::crimson() : QBTheme::emerald();
}

QColor QBInlineBanner::fillColor() const
{
    if (m_kind == Kind::warn)
        return QBTheme::amberTint();
    return isError(m_message) ? QBTheme::faded(QBTheme::crimson(), 0.08) : QBTheme::emeraldTint();
}

QStringList QBInlineBanner::shownLines() const
{
    return QBPaint::wrap(m_message, font(), width() - 2 * kBannerPaddingH,
                         m_kind == Kind::probe ? kProbeMaxLines : 0)
        .lines;
}

int QBInlineBanner::heightForWidth(int width) const
{
    const auto text = QBPaint::wrap(m_message, font(), width - 2 * kBannerPaddingH,
                                    m_kind == Kind::probe ? kProbeMaxLines : 0);
    return int(std::ceil(text.height() + 2 * paddingV()));
}

QSize QBInlineBanner::sizeHint() const
{
    const int w = width() > 0 ? width() : 320;
    return QSize(w, heightForWidth(w));
}

void QBInlineBanner::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (heightForWidth(width()) != height())
        updateGeometry();
}

void QBInlineBanner::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QBPaint::roundedRect(painter, QRectF(rect()), kBannerRadius, fillColor(), Qt::transparent);
    const QFont f = font();
    const auto text = QBPaint::wrap(m_message, f, width() - 2 * kBannerPaddingH,
                                    m_kind == Kind::probe ? kProbeMaxLines : 0);
    QBPaint::drawWrapped(painter, QPointF(kBannerPaddingH, paddingV()), text, f, textColor());
}

QBMatrixControlRow::QBMatrixControlRow(const QString& label, QWidget* content, QWidget* parent)
    : QWidget(parent), m_content(content)
{
    auto* layout = new QHBoxLayout(this);
    // 7.5 pt above and below, as near as whole layout pixels come.
    layout->setContentsMargins(0, 8, 0, 7);
    layout->setSpacing(14);
    auto* title = new QLabel(label, this);
    title->setObjectName(QStringLiteral("matrixLabel"));
    title->setTextFormat(Qt::PlainText);
    title->setFont(QBTheme::font(12.5, QFont::Medium));
    QPalette palette = title->palette();
    palette.setColor(QPalette::WindowText, QBTheme::inkSecondary());
    title->setPalette(palette);
    title->setFixedWidth(78);
    layout->addWidget(title);
    content->setParent(this);
    // A control that can grow takes the rest of the row; a fixed one stays at the label column's side.
    const bool grows = content->sizePolicy().horizontalPolicy() & QSizePolicy::GrowFlag;
    layout->addWidget(content, grows ? 1 : 0);
    if (!grows)
        layout->addStretch(1);
}

CompactSwitchRow::CompactSwitchRow(QBIcon icon, const QString& title, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 7, 0, 6);
    layout->setSpacing(10);

    // The icon tile: a lilac square with the accent-coloured symbol.
    auto* tile = new QBIconView(icon, 11.5, QBTheme::violet(), this, 22);
    tile->setObjectName(QStringLiteral("switchIcon"));
    tile->setTile(QBTheme::lilacTint(), 6);
    layout->addWidget(tile);

    auto* label = new QLabel(title, this);
    label->setObjectName(QStringLiteral("switchTitle"));
    label->setTextFormat(Qt::PlainText);
    label->setFont(QBTheme::font(12.5, QFont::Medium));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QBTheme::inkPrimary());
    label->setPalette(palette);
    layout->addWidget(label);
    layout->addStretch(1);

    m_switch = new QBSwitch(this);
    m_switch->setObjectName(QStringLiteral("switch"));
    layout->addWidget(m_switch);
    connect(m_switch, &QAbstractButton::toggled, this, &CompactSwitchRow::toggled);
}

void CompactSwitchRow::setOn(bool on)
{
    const QSignalBlocker block(m_switch);
    m_switch->setChecked(on);
    m_switch->update();
}

bool CompactSwitchRow::isOn() const
{
    return m_switch->isChecked();
}

namespace SettingsPills {

QBPill* presetPill(const QString& title, bool isActive, QWidget* parent)
{
    auto* pill = new QBPill(title, QBPillLooks::presetPill(isActive), parent);
    pill->setClickable(true);
    return pill;
}

QBPill* engineStatusBadge(bool isActive, QWidget* parent)
{
    return new QBPill(QBPillLooks::engineStatusText(isActive), QBPillLooks::engineStatusBadge(isActive),
                      parent);
}

void updateEngineStatusBadge(QBPill* pill, bool isActive)
{
    pill->setText(QBPillLooks::engineStatusText(isActive));
    pill->setLook(QBPillLooks::engineStatusBadge(isActive));
}

QBPill* keyStatusPill(bool isConfigured, bool keylessLocal, bool muted, QWidget* parent)
{
    return new QBPill(QBPillLooks::keyStatusText(isConfigured, keylessLocal),
                      QBPillLooks::keyStatusPill(isConfigured, keylessLocal, muted), parent);
}

void updateKeyStatusPill(QBPill* pill, bool isConfigured, bool keylessLocal, bool muted)
{
    pill->setText(QBPillLooks::keyStatusText(isConfigured, keylessLocal));
    pill->setLook(QBPillLooks::keyStatusPill(isConfigured, keylessLocal, muted));
}

QBPill* permissionBadge(const QString& title, bool ok, QWidget* parent)
{
    return new QBPill(title, QBPillLooks::permissionBadge(ok), parent);
}

} // namespace SettingsPills
