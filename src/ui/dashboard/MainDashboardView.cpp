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
#include "ui/theme/QBTheme.h"

#include <QDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>

namespace {
constexpr int kContentPaddingH = 38;
constexpr int kContentPaddingV = 32;
constexpr int kContentSpacing = 24;

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
    m_banner = new StatusBanner(content);
    m_banner->hide();
    connect(m_banner, &StatusBanner::closeRequested, this, [this] { m_state.setStatusBanner(QString()); });
    m_contentLayout->addWidget(m_banner);
    m_contentLayout->addStretch(1);
    m_scroll->setWidget(content);
    root->addWidget(m_scroll, 1);

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
    m_banner->setVisible(!banner.isEmpty());

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
    if (m_page) {
        m_page->hide();
        delete m_page.data();
    }
    m_page = buildPage(tab, m_state, m_contentLayout->parentWidget());
    m_pageTab = tab;
    m_contentLayout->insertWidget(m_contentLayout->indexOf(m_banner) + 1, m_page);
    m_scroll->verticalScrollBar()->setValue(0);
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
    // A sheet asked for while the window was hidden opens with it.
    syncSheet();
}
