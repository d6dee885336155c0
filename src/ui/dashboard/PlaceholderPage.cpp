#include "ui/dashboard/PlaceholderPage.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBTextLabel.h"

#include <QVBoxLayout>

PlaceholderPage::PlaceholderPage(const QString& title, QWidget* parent) : DashboardPage(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QBTextLabel(title, QBTheme::font(30, QFont::Bold, QBTheme::FontDesign::serif),
                                  QBTheme::inkPrimary(), this);
    label->setObjectName(QStringLiteral("pageTitle"));
    layout->addWidget(label);
    layout->addStretch(1);
}
