#include "ui/dashboard/MainDashboardView.h"

#include "core/AppState.h"
#include "lexicon/PersonalLexiconStore.h"
#include "ui/dashboard/DashboardSidebar.h"
#include "ui/dashboard/StatusBanner.h"
#include "ui/onboarding/OnboardingWizardSheet.h"
#include "ui/pages/dictionary/PersonalDictionarySection.h"
#include "ui/pages/history/HistoryListSection.h"
#include "ui/pages/insights/HomeInsightsSection.h"
#include "ui/pages/settings/EngineSettingsSection.h"
#include "ui/theme/QBMotion.h"
#include "ui/theme/QBTheme.h"

#include <QDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVariantAnimation>

namespace {
constexpr int kContentPaddingH = 38;
constexpr int kContentPaddingV = 32;
constexpr int kContentSpacing = 24;
// Of the space between the banner and the page, what stays under the banner when the page scrolls beneath
// it, so the page is not cut off right at the banner's edge.
constexpr int kBannerGap = 10;

// The page being left, drawn over the new one as it fades out while the sidebar's selection moves.
class LeavingPage final : public QWidget {
public:
    explicit LeavingPage(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("leavingPage"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        hide();
    }
    void start(const QPixmap& picture)
    {
        m_picture = picture;
        m_opacity = 1;
        setGeometry(parentWidget()->rect());
        raise();
        show();
    }
    void setOpacity(qreal opacity)
    {
        m_opacity = opacity;
        update();
    }
    void finish()
    {
        hide();
        m_picture = QPixmap();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setOpacity(m_opacity);
        painter.drawPixmap(0, 0, m_picture);
    }

private:
    QPixmap m_picture;
    qreal m_opacity = 0;
};

DashboardPage* buildPage(SidebarTab tab, AppState& state, QWidget* parent)
{
    DashboardPage* page = nullptr;
    switch (tab.value) {
    case SidebarTab::home:
        page = new HomeInsightsSection(state, parent);
        break;
    case SidebarTab::history:
        page = new HistoryListSection(state, parent);
        break;
    case SidebarTab::dictionary:
        page = new PersonalDictionarySection(state, parent);
        break;
    case SidebarTab::settings:
        page = new EngineSettingsSection(state, parent);
        break;
    }
    page->setObjectName(QStringLiteral("page-") + SidebarTabRow::id(tab));
    return page;
}
} // namespace

MainDashboardView::MainDashboardView(AppState& state, QWidget* parent) : QWidget(parent), m_state(state)
{
    setObjectName(QStringLiteral("dashboard"));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    setPalette(QBTheme::palette());

    auto* root = new QHBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    m_sidebar = new DashboardSidebar(state, this);
    root->addWidget(m_sidebar);
    auto* divider = new QWidget(this);
    divider->setObjectName(QStringLiteral("sidebarDivider"));
    divider->setFixedWidth(1);
    divider->setAutoFillBackground(true);
    QPalette dividerPalette = divider->palette();
    dividerPalette.setColor(QPalette::Window, QBTheme::hairline());
    divider->setPalette(dividerPalette);
    root->addWidget(divider);

    // The banner stands above the scrolling page, so a line written after a click far down the page is in
    // view at once and the page does not move under the pointer.
    auto* column = new QVBoxLayout;
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    m_bannerHolder = new QWidget(this);
    m_bannerHolder->setObjectName(QStringLiteral("bannerHolder"));
    auto* holderLayout = new QVBoxLayout(m_bannerHolder);
    holderLayout->setContentsMargins(kContentPaddingH, kContentPaddingV, kContentPaddingH, kBannerGap);
    m_banner = new StatusBanner(m_bannerHolder);
    connect(m_banner, &StatusBanner::closeRequested, this, [this] { m_state.setStatusBanner(QString()); });
    holderLayout->addWidget(m_banner);
    m_bannerHolder->hide();
    column->addWidget(m_bannerHolder);

    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("pageArea"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->viewport()->setAutoFillBackground(false);
    auto* content = new QWidget(m_scroll);
    content->setObjectName(QStringLiteral("pageContent"));
    content->setAutoFillBackground(false);
    m_contentLayout = new QVBoxLayout(content);
    m_contentLayout->setContentsMargins(kContentPaddingH, kContentPaddingV, kContentPaddingH,
                                        kContentPaddingV);
    m_contentLayout->setSpacing(kContentSpacing);
    m_contentLayout->addStretch(1);
    m_scroll->setWidget(content);
    column->addWidget(m_scroll, 1);
    root->addLayout(column, 1);
    // A change of tab runs in one ease-out with the sidebar's selection: the new page is there from the
    // first frame and the old one fades out over it.
    m_leavingPage = new LeavingPage(m_scroll->viewport());
    m_pageFade = new QVariantAnimation(this);
    m_pageFade->setObjectName(QStringLiteral("pageFade"));
    m_pageFade->setDuration(SidebarTabRow::kSelectionMs);
    m_pageFade->setEasingCurve(QBMotion::easeOut());
    m_pageFade->setStartValue(0.0);
    m_pageFade->setEndValue(1.0);
    connect(m_pageFade, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        static_cast<LeavingPage*>(m_leavingPage)->setOpacity(1 - value.toReal());
    });
    connect(m_pageFade, &QAbstractAnimation::finished, this,
            [this] { static_cast<LeavingPage*>(m_leavingPage)->finish(); });
    // The banner's right edge stays in line with the page's, which moves in when the scroll bar shows.
    connect(m_scroll->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] {
        alignBanner();
        holdPage();
    });
    // Once the user scrolls, the page is where the user puts it.
    connect(m_scroll->verticalScrollBar(), &QScrollBar::actionTriggered, this,
            [this] { m_pageAnchor.reset(); });

    connect(&state, &AppState::changed, this, &MainDashboardView::scheduleRefresh);
    connect(&state.lexiconStore(), &PersonalLexiconStore::entriesChanged, this,
            &MainDashboardView::scheduleRefresh);
    refreshNow();
}

MainDashboardView::~MainDashboardView() = default;

void MainDashboardView::scheduleRefresh()
{
    if (m_refreshPending)
        return;
    m_refreshPending = true;
    QMetaObject::invokeMethod(this, &MainDashboardView::refreshNow, Qt::QueuedConnection);
}

void MainDashboardView::refreshNow()
{
    m_refreshPending = false;
    ++m_refreshCount;
    m_sidebar->refresh();

    // A banner of only spaces is still a message.
    const QString& banner = m_state.statusBanner();
    m_banner->setText(banner);
    if (m_bannerHolder->isVisibleTo(this) != !banner.isEmpty()) {
        // A page scrolled down stays where it is while the banner takes or gives back its room.
        const int scrolled = m_scroll->verticalScrollBar()->value();
        QMargins margins = m_contentLayout->contentsMargins();
        m_pageAnchor = scrolled > 0
                           ? std::optional<PageAnchor>(PageAnchor{
                                 scrolled, m_scroll->viewport()->mapTo(this, QPoint()).y(), margins.top()})
                           : std::nullopt;
        m_bannerHolder->setVisible(!banner.isEmpty());
        // Under the banner the page keeps the gap it had below the banner; without it, its top padding.
        margins.setTop(banner.isEmpty() ? kContentPaddingV : kContentSpacing - kBannerGap);
        m_contentLayout->setContentsMargins(margins);
    }

    if (m_pageTab != m_state.selectedTab())
        showPage(m_state.selectedTab());
    else if (m_page)
        m_page->refresh();
    syncSheet();
}

void MainDashboardView::showPage(SidebarTab tab)
{
    // A page is built afresh for its tab, so its form state starts anew each time it is selected.
    // Hidden first, so the page sees itself leave (a settings page ends its shortcut capture).
    const bool eased = m_page && isVisible();
    QPixmap leaving;
    if (eased)
        leaving = m_scroll->viewport()->grab();
    if (m_page) {
        m_page->hide();
        delete m_page.data();
    }
    m_page = buildPage(tab, m_state, m_contentLayout->parentWidget());
    m_pageTab = tab;
    m_contentLayout->insertWidget(0, m_page);
    // Shown and laid out now: a page added to a shown window would only show on the next turn, leaving the
    // content area empty for a frame or more.
    m_page->show();
    m_contentLayout->activate();
    m_pageAnchor.reset();
    m_scroll->verticalScrollBar()->setValue(0);
    m_pageFade->stop();
    if (eased) {
        static_cast<LeavingPage*>(m_leavingPage)->start(leaving);
        m_pageFade->start();
    } else {
        static_cast<LeavingPage*>(m_leavingPage)->finish();
    }
}

void MainDashboardView::alignBanner()
{
    const QScrollBar* bar = m_scroll->verticalScrollBar();
    const int right = kContentPaddingH + (bar->maximum() > bar->minimum() ? bar->sizeHint().width() : 0);
    QLayout* layout = m_bannerHolder->layout();
    QMargins margins = layout->contentsMargins();
    if (margins.right() == right)
        return;
    margins.setRight(right);
    layout->setContentsMargins(margins);
}

void MainDashboardView::holdPage()
{
    if (!m_pageAnchor)
        return;
    // The viewport moved by the banner's room and the page's top padding changed: scroll by as much.
    const int viewportTop = m_scroll->viewport()->mapTo(this, QPoint()).y();
    const int wanted = m_pageAnchor->value + (viewportTop - m_pageAnchor->viewportTop) +
                       (m_contentLayout->contentsMargins().top() - m_pageAnchor->marginTop);
    QScrollBar* bar = m_scroll->verticalScrollBar();
    bar->setValue(wanted);
    // Held once there; a page that would have to start above the top simply starts at the top.
    if (bar->value() == wanted || wanted <= bar->minimum())
        m_pageAnchor.reset();
}

void MainDashboardView::syncSheet()
{
    const bool wanted = m_state.showOnboardingSheet();
    if (wanted && !m_sheet) {
        // The wizard, window-modal over the dashboard, as tall as its content.
        auto* sheet = new QDialog(this);
        sheet->setObjectName(QStringLiteral("onboardingSheet"));
        sheet->setWindowTitle(QStringLiteral("欢迎使用 Quorbell"));
        sheet->setWindowModality(Qt::WindowModal);
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        sheet->setPalette(QBTheme::palette());
        auto* layout = new QVBoxLayout(sheet);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        m_wizard = new OnboardingWizardSheet(m_state, sheet);
        layout->addWidget(m_wizard);
        // Closing the sheet, however it is closed (Escape too), clears the flag; only Finish marks the
        // first run done.
        connect(sheet, &QDialog::finished, this, [this] { m_state.setShowOnboardingSheet(false); });
        m_sheet = sheet;
        if (isVisible())
            sheet->open();
    } else if (wanted && m_sheet && isVisible() && !m_sheet->isVisible()) {
        m_wizard->refresh();
        m_sheet->open();
    } else if (wanted && m_wizard) {
        m_wizard->refresh(); // an open sheet follows the state like a page
    } else if (!wanted && m_sheet) {
        QDialog* sheet = m_sheet;
        m_sheet = nullptr;
        sheet->disconnect(this);
        sheet->close();
        sheet->deleteLater();
    }
}

void MainDashboardView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QBTheme::paperBg());
}

void MainDashboardView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // A sheet asked for while the window was hidden opens with it, on the next turn: the window is mapped
    // only after this event, and a window manager that met the sheet before its parent would not keep it
    // above that parent (openbox stacked the first-run wizard under the window it blocks).
    QTimer::singleShot(0, this, &MainDashboardView::syncSheet);
}
