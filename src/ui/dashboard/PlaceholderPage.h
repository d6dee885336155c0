#pragma once

#include "ui/dashboard/DashboardPage.h"

// The page of a tab whose content is not built yet: its title, nothing else.
class PlaceholderPage final : public DashboardPage {
    Q_OBJECT
public:
    explicit PlaceholderPage(const QString& title, QWidget* parent = nullptr);
};
