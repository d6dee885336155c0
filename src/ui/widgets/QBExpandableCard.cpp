#include "ui/widgets/QBExpandableCard.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBTextLabel.h"
#include "ui/widgets/SettingsControls.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>

namespace {
constexpr qreal kRadius = 10;
constexpr int kPaddingH = 12;

void setTextColor(QLabel* label, const QColor& color)
{
    QPalette palette = label->palette();
    if (palette.color(QPalette::WindowText) == color)
        return;
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

QBPill::Look tagLook(bool selected, bool monospaced)
{
    QBPill::Look look;
    look.font = QBTheme::font(10.5, QFont::Medium,
                              monospaced ? QBTheme::FontDesign::monospaced : QBTheme::FontDesign::system);
    look.text = selected ? QBTheme::activeGreen() : QBTheme::inkMuted();
    look.fill = selected ? QBTheme::activeGreenBg() : QBTheme::faded(QBTheme::sandWell(), 0.5);
    look.radius = 4;
    look.paddingH = 6;
    look.paddingV = 1.5;
    return look;
}
} // namespace

QBExpandableCard::QBExpandableCard(const QString& title, const QString& tag, const QString& subtitle,
                                   QWidget* parent)
    : QBCard(kRadius, 0, parent)
{
    m_header = new QWidget(this);
    m_header->setObjectName(QStringLiteral("cardHeader"));
    m_header->setCursor(Qt::PointingHandCursor);
    m_header->installEventFilter(this);
    m_headerLayout = new QHBoxLayout(m_header);
    m_headerLayout->setContentsMargins(0, 0, 0, 0);
    m_headerLayout->setSpacing(8);

    m_chevron = new QBIconView(QBIcon::chevronRight, 10, QBTheme::inkMuted(), m_header, 12);
    m_chevron->setObjectName(QStringLiteral("cardChevron"));
    m_headerLayout->addWidget(m_chevron);
    m_dot = new EngineStatusDot(false, m_header);
    m_headerLayout->addWidget(m_dot);

    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(7);
    m_title = new QLabel(title, m_header);
    m_title->setObjectName(QStringLiteral("cardTitle"));
    m_title->setTextFormat(Qt::PlainText);
    titleRow->addWidget(m_title);
    m_tag = new QBPill(tag, tagLook(false, false), m_header);
    m_tag->setObjectName(QStringLiteral("cardTag"));
    titleRow->addWidget(m_tag);
    titleRow->addStretch(1);
    column->addLayout(titleRow);
    m_subtitle = new QBTextLabel(subtitle, QBTheme::font(11.5), QBTheme::inkMuted(), m_header);
    m_subtitle->setObjectName(QStringLiteral("cardSubtitle"));
    column->addWidget(m_subtitle);
    m_headerLayout->addLayout(column, 1);

    m_badge = SettingsPills::engineStatusBadge(false, m_header);
    m_badge->setObjectName(QStringLiteral("cardStatusBadge"));
    m_headerLayout->addWidget(m_badge);
    contentLayout()->addWidget(m_header);

    // The hairline under the header, 10 below it, shown with the body.
    m_divider = new QWidget(this);
    auto* dividerLayout = new QVBoxLayout(m_divider);
    dividerLayout->setContentsMargins(0, 10, 0, 0);
    dividerLayout->addWidget(qbRule(m_divider));
    contentLayout()->addWidget(m_divider);
    m_body = new QWidget(this);
    m_body->setObjectName(QStringLiteral("cardBody"));
    m_bodyLayout = new QVBoxLayout(m_body);
    m_bodyLayout->setContentsMargins(0, 10, 0, 0);
    m_bodyLayout->setSpacing(10);
    contentLayout()->addWidget(m_body);
    applyState();
}

void QBExpandableCard::setSelected(bool selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    applyState();
}

void QBExpandableCard::setExpanded(bool expanded)
{
    if (expanded == m_expanded)
        return;
    m_expanded = expanded;
    applyState();
}

void QBExpandableCard::setTag(const QString& tag)
{
    if (m_tag->text() != tag)
        m_tag->setText(tag);
}

void QBExpandableCard::setSubtitle(const QString& subtitle)
{
    if (m_subtitle->text() != subtitle)
        m_subtitle->setText(subtitle);
}

void QBExpandableCard::setMonospacedTag(bool monospaced)
{
    if (monospaced == m_monospacedTag)
        return;
    m_monospacedTag = monospaced;
    applyState();
}

void QBExpandableCard::setBodySuppressed(bool suppressed)
{
    if (suppressed == m_bodySuppressed)
        return;
    m_bodySuppressed = suppressed;
    applyState();
}

void QBExpandableCard::addTrailing(QWidget* widget)
{
    widget->setParent(m_header);
    m_headerLayout->insertWidget(m_headerLayout->indexOf(m_badge), widget);
}

void QBExpandableCard::applyState()
{
    const int paddingV = (m_selected || m_expanded) ? 11 : 8;
    contentLayout()->setContentsMargins(kPaddingH, paddingV, kPaddingH, paddingV);
    if (m_selected)
        setColors(QBTheme::faded(QBTheme::activeGreenBg(), 0.72),
                  QBTheme::faded(QBTheme::activeGreenBorder(), 0.78), 1.55);
    else if (m_expanded)
        setColors(QBTheme::cardBg(), QBTheme::faded(QBTheme::strongLine(), 0.85));
    else
        setColors(QBTheme::faded(QBTheme::softWell(), 0.45), QBTheme::faded(QBTheme::hairline(), 0.75));
    setShadow(m_selected ? std::optional<Shadow>(Shadow{QBTheme::faded(QBTheme::activeGreen(), 0.08), 6, 2})
                         : std::nullopt);

    m_chevron->setIcon(m_expanded ? QBIcon::chevronDown : QBIcon::chevronRight,
                       m_selected ? QBTheme::activeGreen() : QBTheme::faded(QBTheme::inkMuted(), 0.65), 2.4);
    m_dot->setActive(m_selected);
    m_title->setFont(QBTheme::font(13, m_selected ? QFont::DemiBold : QFont::Medium));
    setTextColor(m_title, m_selected ? QBTheme::inkPrimary() : QBTheme::inkSecondary());
    m_tag->setLook(tagLook(m_selected, m_monospacedTag));
    m_subtitle->setVisible(m_expanded || m_selected);
    m_subtitle->setColor(m_selected ? QBTheme::inkSecondary() : QBTheme::inkMuted());
    SettingsPills::updateEngineStatusBadge(m_badge, m_selected);
    m_divider->setVisible(m_expanded && !m_bodySuppressed);
    m_body->setVisible(m_expanded && !m_bodySuppressed);
}

bool QBExpandableCard::eventFilter(QObject* watched, QEvent* event)
{
    // The whole header row takes the click, blank parts included.
    if (watched == m_header && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && m_header->rect().contains(mouse->position().toPoint()))
            Q_EMIT headerClicked();
        return true;
    }
    return QBCard::eventFilter(watched, event);
}
