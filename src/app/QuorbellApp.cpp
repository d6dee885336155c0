#include "app/QuorbellApp.h"

#include <QWidget>

namespace {
constexpr int kDefaultWidth = 960;
constexpr int kDefaultHeight = 680;
} // namespace

QuorbellApp::QuorbellApp() = default;
QuorbellApp::~QuorbellApp() = default;

void QuorbellApp::start()
{
    m_mainWindow = std::make_unique<QWidget>();
    m_mainWindow->setObjectName(QStringLiteral("main"));
    m_mainWindow->setWindowTitle(QStringLiteral("Quorbell"));
    m_mainWindow->resize(kDefaultWidth, kDefaultHeight);
    m_mainWindow->show();
}
