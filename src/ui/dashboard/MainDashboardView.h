#pragma once

#include "model/Models.h"
#include "ui/dashboard/DashboardPage.h"
#include "ui/onboarding/OnboardingWizardSheet.h"

#include <QDialog>
#include <QPointer>
#include <QWidget>

class AppState;

class DashboardSidebar;

class QScrollArea;
class QVariantAnimation;
class QVBoxLayout;
class StatusBanner;

// The main window: the fixed sidebar, a hairline, and the status banner above the scrolling page of the
// selected tab; the first-run sheet is shown while the state asks for it. Every change of the state
// or the lexicon leads to one refresh in the next event-loop turn, however many arrive in this one.
class MainDashboardView final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMinimumWidth = 960;
    static constexpr int kMinimumHeight = 650;

    explicit MainDashboardView(AppState& state, QWidget* parent = nullptr);
    ~MainDashboardView() override;

    DashboardSidebar* sidebar() const { return m_sidebar; }
    DashboardPage* page() const { return m_page; }
    QDialog* onboardingSheet() const { return m_sheet; }
    OnboardingWizardSheet* onboardingWizard() const { return m_wizard; }
    // How many refreshes ran: what a benchmark or test counts to see that changes were coalesced.
    int refreshCount() const { return m_refreshCount; }

    // Runs a pending refresh now.
    void refreshNow();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void scheduleRefresh();
    void showPage(SidebarTab tab);
    void syncSheet();
    void alignBanner();
    void holdPage();

    AppState& m_state;
    DashboardSidebar* m_sidebar;
    QScrollArea* m_scroll;
    QVBoxLayout* m_contentLayout;
    QWidget* m_bannerHolder;
    StatusBanner* m_banner;
    QPointer<DashboardPage> m_page;
    QWidget* m_leavingPage;
    QVariantAnimation* m_pageFade;
    std::optional<SidebarTab> m_pageTab;
    QPointer<QDialog> m_sheet;
    QPointer<OnboardingWizardSheet> m_wizard;
    // Where a scrolled page was when the banner came or went: the scroll that keeps it there follows once
    // the new room is laid out.
    struct PageAnchor {
        int value = 0;
        int viewportTop = 0;
        int marginTop = 0;
    };
    std::optional<PageAnchor> m_pageAnchor;
    bool m_refreshPending = false;
    int m_refreshCount = 0;
};
