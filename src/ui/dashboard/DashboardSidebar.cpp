#include "ui/dashboard/DashboardSidebar.h"

#include "core/AppState.h"
#include "lexicon/PersonalLexiconStore.h"
#include "ui/dashboard/SidebarStatus.h"
#include "ui/theme/QBIcons.h"
#include "ui/theme/QBMotion.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBCard.h"
#include "ui/widgets/QBDot.h"
#include "ui/widgets/QBPaint.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBTextLabel.h"
#include "ui/widgets/RuzoraMarkView.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QTextBoundaryFinder>
#include <QVariantAnimation>
#include <cmath>

namespace {
using QBTheme::FontDesign;

QBIcon tabIcon(SidebarTab tab)
{
    switch (tab.value) {
    case SidebarTab::home:
        return QBIcon::insights;
    case SidebarTab::history:
        return QBIcon::history;
    case SidebarTab::dictionary:
        return QBIcon::dictionary;
    case SidebarTab::settings:
        break;
    }
    return QBIcon::settings;
}

constexpr qreal kRowPaddingH = 12;
constexpr qreal kRowPaddingV = 9;
constexpr qreal kIconFrame = 20;
constexpr qreal kRowSpacing = 11;
constexpr int kBrandPaddingH = 12;

QFont tabTitleFont(bool selected)
{
    return QBTheme::font(13.5, selected ? QFont::DemiBold : QFont::Normal);
}

// The colour a share t of the way from `from` to `to`.
QColor blend(const QColor& from, const QColor& to, qreal t)
{
    const auto mix = [t](float a, float b) { return a + float(t) * (b - a); };
    return QColor::fromRgbF(mix(from.redF(), to.redF()), mix(from.greenF(), to.greenF()),
                            mix(from.blueF(), to.blueF()), mix(from.alphaF(), to.alphaF()));
}

QWidget* rule(QWidget* parent)
{
    return qbRule(parent);
}

QLabel* noteLabel(const QString& objectName, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setFont(QBTheme::font(11));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QBTheme::amber());
    label->setPalette(palette);
    label->hide();
    return label;
}

// A wrapped note never ends in a line of one character: its last two are joined (U+2060 WORD JOINER, drawn
// as nothing), so they move to the next line together.
QString withoutLoneLastCharacter(const QString& text)
{
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    graphemes.toEnd();
    const qsizetype last = graphemes.toPreviousBoundary();
    if (last <= 0 || text.at(last - 1).isSpace() || text.at(last).isSpace())
        return text;
    return text.left(last) + QChar(0x2060) + text.mid(last);
}

void setPlainText(QLabel* label, const QString& plain)
{
    const QString text = withoutLoneLastCharacter(plain);
    if (label->text() != text)
        label->setText(text);
    label->setToolTip(QString());
    label->setVisible(!text.isEmpty());
}
} // namespace

SidebarTabRow::SidebarTabRow(SidebarTab tab, QWidget* parent)
    : QAbstractButton(parent), m_tab(tab), m_selection(new QVariantAnimation(this))
{
    m_selection->setDuration(kSelectionMs);
    m_selection->setEasingCurve(QBMotion::easeOut());
    connect(m_selection, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_progress = value.toReal();
        update();
    });
    setObjectName(QStringLiteral("tab-") + id(tab));
    setText(title(tab));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QString SidebarTabRow::title(SidebarTab tab)
{
    switch (tab.value) {
    case SidebarTab::home:
        return QStringLiteral("洞察总览");
    case SidebarTab::history:
        return QStringLiteral("口述历史");
    case SidebarTab::dictionary:
        return QStringLiteral("个人词库");
    case SidebarTab::settings:
        break;
    }
    return QStringLiteral("引擎与快捷键");
}

QString SidebarTabRow::id(SidebarTab tab)
{
    switch (tab.value) {
    case SidebarTab::home:
        return QStringLiteral("home");
    case SidebarTab::history:
        return QStringLiteral("history");
    case SidebarTab::dictionary:
        return QStringLiteral("dictionary");
    case SidebarTab::settings:
        break;
    }
    return QStringLiteral("settings");
}

void SidebarTabRow::setSelected(bool selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    const qreal target = selected ? 1 : 0;
    m_selection->stop();
    if (!isVisible()) { // nothing to ease while the row is not on screen
        m_progress = target;
        update();
        return;
    }
    // From wherever a change still under way has got to.
    m_selection->setStartValue(m_progress);
    m_selection->setEndValue(target);
    m_selection->start();
}

void SidebarTabRow::setCount(qsizetype count)
{
    const QString text = QString::number(count);
    if (text == m_count)
        return;
    m_count = text;
    update();
}

QSize SidebarTabRow::sizeHint() const
{
    const QFontMetricsF metrics(tabTitleFont(true));
    const qreal badge = QFontMetricsF(QBPillLooks::countBadge(true).font).height() + 4;
    const qreal content = std::max({metrics.height(), badge, 13.5});
    return QSize(
        int(std::ceil(2 * kRowPaddingH + kIconFrame + kRowSpacing + metrics.horizontalAdvance(text()))),
        int(std::ceil(content + 2 * kRowPaddingV)));
}

void SidebarTabRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QRectF bounds = QRectF(rect());
    // The frame fades in and the colours move towards their selected ones; the weights, which cannot
    // ease, change halfway.
    const qreal t = m_progress;
    const bool bold = t >= 0.5;
    if (t > 0)
        QBPaint::roundedRect(painter, bounds, 9, QBTheme::faded(QBTheme::cardBg(), t),
                             QBTheme::faded(QBTheme::hairline(), t));

    const qreal midY = bounds.center().y();
    qreal x = kRowPaddingH;
    QBIcons::paint(painter, QRectF(x, midY - kIconFrame / 2, kIconFrame, kIconFrame), tabIcon(m_tab), 13.5,
                   blend(QBTheme::inkSecondary(), QBTheme::violet(), t), bold ? 2.3 : 2.0);
    x += kIconFrame + kRowSpacing;

    qreal right = bounds.width() - kRowPaddingH;
    if (!m_count.isEmpty()) {
        QBPill::Look look = QBPillLooks::countBadge(bold);
        const QBPill::Look unselected = QBPillLooks::countBadge(false);
        const QBPill::Look selected = QBPillLooks::countBadge(true);
        look.fill = blend(unselected.fill, selected.fill, t);
        look.text = blend(unselected.text, selected.text, t);
        const QFontMetricsF metrics(look.font);
        const QSizeF size(metrics.horizontalAdvance(m_count) + 2 * look.paddingH,
                          metrics.height() + 2 * look.paddingV);
        const QRectF badge(right - size.width(), midY - size.height() / 2, size.width(), size.height());
        QBPaint::roundedRect(painter, badge, -1, look.fill, Qt::transparent);
        painter.setFont(look.font);
        painter.setPen(look.text);
        painter.drawText(
            QPointF(badge.left() + look.paddingH, midY + (metrics.ascent() - metrics.descent()) / 2),
            m_count);
        right = badge.left() - 8;
    }

    const QFont font = tabTitleFont(bold);
    const QFontMetricsF metrics(font);
    painter.setFont(font);
    painter.setPen(blend(QBTheme::inkSecondary(), QBTheme::inkPrimary(), t));
    painter.drawText(QPointF(x, midY + (metrics.ascent() - metrics.descent()) / 2),
                     metrics.elidedText(text(), Qt::ElideRight, right - x));
}

DashboardSidebar::DashboardSidebar(AppState& state, QWidget* parent) : QWidget(parent), m_state(state)
{
    setObjectName(QStringLiteral("sidebar"));
    setFixedWidth(kWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 0, 14, 18);
    layout->setSpacing(6);
    layout->addWidget(buildBrand());
    for (SidebarTab tab : SidebarTab::allCases()) {
        auto* row = new SidebarTabRow(tab, this);
        connect(row, &QAbstractButton::clicked, this, [this, tab] { m_state.setSelectedTab(tab); });
        layout->addWidget(row);
        m_tabs.append(row);
    }
    layout->addStretch(1);
    layout->addWidget(buildStatusCard());
    refresh();
}

QWidget* DashboardSidebar::buildBrand()
{
    auto* block = new QWidget(this);
    auto* column = new QVBoxLayout(block);
    column->setContentsMargins(kBrandPaddingH, 26, 0, 10);
    column->setSpacing(10);
    auto* row = new QHBoxLayout;
    row->setSpacing(10);
    row->addWidget(new RuzoraMarkBadge(34, 21, block));
    auto* names = new QVBoxLayout;
    names->setSpacing(1);
    names->addWidget(new QBTextLabel(QStringLiteral("Quorbell"),
                                     QBTheme::font(17.5, QFont::Bold, FontDesign::serif),
                                     QBTheme::inkPrimary(), block));
    m_asrStatus = new QBTextLabel(QString(), QBTheme::font(9.5, QFont::DemiBold, FontDesign::monospaced),
                                  QBTheme::violet(), block);
    m_asrStatus->setObjectName(QStringLiteral("asrStatus"));
    names->addWidget(m_asrStatus);
    row->addLayout(names, 1);
    column->addLayout(row);
    // The status line runs on into the block's right padding: its longest text ("SENSEVOICE INT8 · LOCAL")
    // needs more than the padded column leaves. The rule keeps the padding.
    auto* ruleRow = new QHBoxLayout;
    ruleRow->setContentsMargins(0, 0, kBrandPaddingH, 0);
    ruleRow->addWidget(rule(block));
    column->addLayout(ruleRow);
    return block;
}

QWidget* DashboardSidebar::buildStatusCard()
{
    // Framed like a card but flat: the status card has no shadow.
    auto* card = new QBCard(12, 13, this);
    card->setObjectName(QStringLiteral("statusCard"));
    card->setShadow(std::nullopt);
    QVBoxLayout* column = card->contentLayout();
    column->setSpacing(9);

    auto* engineRow = new QHBoxLayout;
    engineRow->setSpacing(7);
    auto* dot = new QBDot(7, card);
    dot->setObjectName(QStringLiteral("engineDot"));
    m_engineDot = dot;
    engineRow->addWidget(dot);
    m_engineLabel = new QBTextLabel(QString(), QBTheme::font(11.5, QFont::DemiBold, FontDesign::monospaced),
                                    QBTheme::inkPrimary(), card);
    m_engineLabel->setObjectName(QStringLiteral("engineLabel"));
    engineRow->addWidget(m_engineLabel, 1);
    column->addLayout(engineRow);

    m_accessibilityReason = noteLabel(QStringLiteral("accessibilityReason"), card);
    column->addWidget(m_accessibilityReason);

    auto* triggerRow = new QHBoxLayout;
    triggerRow->addWidget(
        new QBTextLabel(QStringLiteral("触发键"), QBTheme::font(11), QBTheme::inkMuted(), card));
    triggerRow->addStretch(1);
    m_triggerChip = new QBPill(QString(), QBPillLooks::triggerChip(), card);
    m_triggerChip->setObjectName(QStringLiteral("triggerChip"));
    triggerRow->addWidget(m_triggerChip);
    column->addLayout(triggerRow);

    m_triggerProblem = noteLabel(QStringLiteral("triggerKeyProblem"), card);
    column->addWidget(m_triggerProblem);

    m_latencyRow = new QWidget(card);
    m_latencyRow->setObjectName(QStringLiteral("latencyRow"));
    auto* latency = new QHBoxLayout(m_latencyRow);
    latency->setContentsMargins(0, 0, 0, 0);
    latency->addWidget(new QBTextLabel(QStringLiteral("平均首包延迟"), QBTheme::font(11), QBTheme::inkMuted(),
                                       m_latencyRow));
    latency->addStretch(1);
    m_latencyValue = new QBTextLabel(QString(), QBTheme::font(11, QFont::DemiBold, FontDesign::monospaced),
                                     QBTheme::violet(), m_latencyRow);
    m_latencyValue->setObjectName(QStringLiteral("latencyValue"));
    latency->addWidget(m_latencyValue);
    column->addWidget(m_latencyRow);

    m_permissionButton =
        new QBButton(QBButton::Kind::primary, QStringLiteral("授权辅助功能上屏"), card, true);
    m_permissionButton->setObjectName(QStringLiteral("permissionButton"));
    m_permissionButton->setStretched(true);
    connect(m_permissionButton, &QAbstractButton::clicked, this, [this] { m_state.requestAllPermissions(); });
    column->addSpacing(2);
    column->addWidget(m_permissionButton);
    return card;
}

void DashboardSidebar::refresh()
{
    const auto speech = SidebarStatus::SpeechInputs::from(m_state);
    m_asrStatus->setText(SidebarStatus::asrStatusText(speech));
    m_asrStatus->setColor(SidebarStatus::asrStatusReady(speech) ? QBTheme::emerald() : QBTheme::violet());

    const SidebarTab selected = m_state.selectedTab();
    const qsizetype terms = m_state.lexiconStore().entries().size();
    for (SidebarTabRow* row : m_tabs) {
        row->setSelected(row->tab() == selected);
        if (row->tab() == SidebarTab::dictionary)
            row->setCount(terms);
    }

    const bool granted = m_state.accessibilityGranted();
    m_engineDot->setColor(granted && m_state.micAuthorized() ? QBTheme::emerald() : QBTheme::amber());
    m_engineLabel->setText(SidebarStatus::activeEngineShortLabel(m_state.llmConfig()));
    // Name what keeps Accessibility off (a Wayland session, the accessibility bus off), not just the colour.
    setPlainText(m_accessibilityReason, granted ? QString() : m_state.accessibilityReason());
    m_permissionButton->setToolTip(granted ? QString() : m_state.accessibilityReason());

    const QString trigger = m_state.activeTriggerCompactLabel();
    if (m_triggerChip->text() != trigger)
        m_triggerChip->setText(trigger);
    setPlainText(m_triggerProblem, m_state.triggerKeyProblem());

    const qint64 latency = m_state.averagePolishLatencyMs();
    m_latencyRow->setVisible(SidebarStatus::showsLatency(latency));
    m_latencyValue->setText(SidebarStatus::latencyText(latency));
    m_permissionButton->setVisible(!granted);
}

void DashboardSidebar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QBTheme::sidebarBg());
}
