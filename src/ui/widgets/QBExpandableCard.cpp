#include "ui/widgets/QBExpandableCard.h"

#include "ui/theme/QBMotion.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBTextLabel.h"
#include "ui/widgets/SettingsControls.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QVariantAnimation>
#include <cmath>

namespace {
constexpr qreal kRadius = 10;
constexpr int kPaddingH = 12;
constexpr int kSubtitleGap = 2;
// Vertical padding of a card that is selected or expanded, and of one that is neither.
constexpr int kOpenPaddingV = 11;
constexpr int kClosedPaddingV = 8;

void setTextColor(QLabel* label, const QColor& color)
{
    QPalette palette = label->palette();
    if (palette.color(QPalette::WindowText) == color)
        return;
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

// Shows its one child at the child's full height, cut off at its own: as tall as the child while open, less
// while opening or closing.
class RevealClip final : public QWidget {
public:
    explicit RevealClip(QWidget* parent) : QWidget(parent), m_content(new QWidget(this))
    {
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    }

    QWidget* content() const { return m_content; }
    int fullHeight() const { return heightAt(width()); }

    QSize sizeHint() const override { return m_content->sizeHint(); }
    QSize minimumSizeHint() const override { return QSize(m_content->minimumSizeHint().width(), 0); }
    bool hasHeightForWidth() const override { return m_content->hasHeightForWidth(); }
    int heightForWidth(int width) const override { return heightAt(width); }

protected:
    bool event(QEvent* event) override
    {
        // The content's rows changed: its height may have, too.
        if (event->type() == QEvent::LayoutRequest) {
            updateGeometry();
            place();
        }
        return QWidget::event(event);
    }
    void resizeEvent(QResizeEvent*) override { place(); }
    void showEvent(QShowEvent*) override { place(); }

private:
    int heightAt(int width) const
    {
        return m_content->hasHeightForWidth() ? m_content->heightForWidth(width)
                                              : m_content->sizeHint().height();
    }
    void place() { m_content->setGeometry(0, 0, width(), std::max(heightAt(width()), height())); }

    QWidget* m_content;
};

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
    // The title row stays where it is whether or not the subtitle shows under it: the subtitle unrolls
    // and rolls up with the body instead of shifting the row it belongs to.
    auto* headerColumn = new QVBoxLayout(m_header);
    headerColumn->setContentsMargins(0, 0, 0, 0);
    headerColumn->setSpacing(0);
    m_headerLayout = new QHBoxLayout;
    m_headerLayout->setSpacing(8);
    headerColumn->addLayout(m_headerLayout);

    m_chevron = new QBIconView(QBIcon::chevronRight, 10, QBTheme::inkMuted(), m_header, 12);
    m_chevron->setObjectName(QStringLiteral("cardChevron"));
    m_headerLayout->addWidget(m_chevron);
    m_dot = new EngineStatusDot(false, m_header);
    m_headerLayout->addWidget(m_dot);

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
    m_headerLayout->addLayout(titleRow, 1);

    m_badge = SettingsPills::engineStatusBadge(false, m_header);
    m_badge->setObjectName(QStringLiteral("cardStatusBadge"));
    m_headerLayout->addWidget(m_badge);

    // Under the title, 2 below it, from the title's left edge to the header's right; a long one wraps so
    // that all of it shows in a narrow window.
    m_subtitle = new QLabel(subtitle, m_header);
    m_subtitle->setObjectName(QStringLiteral("cardSubtitle"));
    m_subtitle->setTextFormat(Qt::PlainText);
    m_subtitle->setWordWrap(true);
    // Rolled up from below, like the body, rather than sliding up out of its own top edge.
    m_subtitle->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_subtitle->setFont(QBTheme::font(11.5));
    auto* subtitleRow = new QHBoxLayout;
    subtitleRow->setContentsMargins(m_chevron->sizeHint().width() + m_dot->sizeHint().width() + 16, 0, 0, 0);
    subtitleRow->addWidget(m_subtitle);
    m_subtitleGap = new QWidget(m_header);
    m_subtitleGap->setFixedHeight(kSubtitleGap);
    headerColumn->addWidget(m_subtitleGap);
    headerColumn->addLayout(subtitleRow);
    contentLayout()->addWidget(m_header);

    // The divider and the body keep their full height inside a clip whose height opening and closing
    // animate, so the rows unroll rather than squeeze.
    m_reveal = new RevealClip(this);
    m_reveal->setObjectName(QStringLiteral("cardReveal"));
    QWidget* revealed = static_cast<RevealClip*>(m_reveal)->content();
    auto* revealLayout = new QVBoxLayout(revealed);
    revealLayout->setContentsMargins(0, 0, 0, 0);
    revealLayout->setSpacing(0);
    contentLayout()->addWidget(m_reveal);
    // The hairline under the header, 10 below it, shown with the body.
    m_divider = new QWidget(revealed);
    auto* dividerLayout = new QVBoxLayout(m_divider);
    dividerLayout->setContentsMargins(0, 10, 0, 0);
    dividerLayout->addWidget(qbRule(m_divider));
    revealLayout->addWidget(m_divider);
    m_body = new QWidget(revealed);
    m_body->setObjectName(QStringLiteral("cardBody"));
    m_bodyLayout = new QVBoxLayout(m_body);
    m_bodyLayout->setContentsMargins(0, 10, 0, 0);
    m_bodyLayout->setSpacing(10);
    revealLayout->addWidget(m_body);

    m_revealAnimation = new QVariantAnimation(this);
    m_revealAnimation->setDuration(kRevealMs);
    m_revealAnimation->setEasingCurve(QBMotion::easeOut());
    connect(m_revealAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        // Aimed anew while stopped, the animation reports the value at its old end time, the new target:
        // only a running animation's values are frames.
        if (m_revealAnimation->state() != QAbstractAnimation::Stopped)
            applyReveal(value.toReal());
    });
    applyState();
    applyReveal(0);
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
    applyState(true);
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
    applyHeaderShape();
    layOutNow();
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

void QBExpandableCard::applyState(bool animated)
{
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
    setTextColor(m_subtitle, m_selected ? QBTheme::inkSecondary() : QBTheme::inkMuted());
    SettingsPills::updateEngineStatusBadge(m_badge, m_selected);

    const qreal target = m_expanded && !m_bodySuppressed ? 1 : 0;
    if (target == m_revealTarget) {
        applyHeaderShape();
        layOutNow();
        return;
    }
    m_revealTarget = target;
    m_revealAnimation->stop();
    // Only opening and closing on screen ease; a card built or changed out of sight, or a body that gives
    // way to a row of the card's own, changes at once.
    if (!animated || !isVisible()) {
        applyReveal(target);
        return;
    }
    m_revealAnimation->setStartValue(m_revealProgress);
    m_revealAnimation->setEndValue(target);
    m_revealAnimation->start();
    // Its first frame, where the card is now: an opening body shows from here on.
    applyReveal(m_revealProgress);
}

void QBExpandableCard::applyHeaderShape()
{
    // How far the header is in its open shape (subtitle and the larger padding): all the way for the
    // selected card, and for an expanded one whose body gives way to a row of its own; otherwise as far
    // as the body has opened, so the header changes only as fast as the body eases.
    const qreal open = m_selected ? 1 : m_bodySuppressed ? (m_expanded ? 1 : 0) : m_revealProgress;
    const int paddingV = int(std::round(kClosedPaddingV + (kOpenPaddingV - kClosedPaddingV) * open));
    contentLayout()->setContentsMargins(kPaddingH, paddingV, kPaddingH, paddingV);
    m_subtitle->setVisible(open > 0);
    m_subtitleGap->setVisible(open > 0);
    const int fullHeight = m_subtitle->heightForWidth(std::max(1, m_subtitle->width()));
    m_subtitle->setMaximumHeight(open >= 1 ? QWIDGETSIZE_MAX : int(std::round(open * fullHeight)));
}

void QBExpandableCard::applyReveal(qreal progress)
{
    m_revealProgress = progress;
    applyHeaderShape();
    // Shown from the moment it starts to open until it has closed.
    m_reveal->setVisible(progress > 0 || m_revealTarget > 0);
    // Fully open, the body takes whatever height its rows come to need.
    m_reveal->setMaximumHeight(
        progress >= 1 ? QWIDGETSIZE_MAX
                      : int(std::round(progress * static_cast<RevealClip*>(m_reveal)->fullHeight())));
    layOutNow();
}

void QBExpandableCard::layOutNow()
{
    if (!isVisible())
        return;
    // Qt lays a change out one level of widgets per turn of the event loop and paints in between, so a
    // frame would show the card at its new height in the room the page had for its old one: the header
    // stretched with the title sunk into it, the cards around squeezed, then all of it back. Every level
    // from the header (the subtitle's height) up to the window takes the change now, the scroll area
    // included.
    for (QWidget* widget = m_header; widget; widget = widget->parentWidget()) {
        QEvent request(QEvent::LayoutRequest);
        QCoreApplication::sendEvent(widget, &request);
        if (widget->isWindow())
            break;
    }
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
