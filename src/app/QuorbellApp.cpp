#include "app/QuorbellApp.h"

#include "app/MenuBarMenu.h"
#include "core/AppState.h"
#include "platform/WindowActivator.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/theme/QBTheme.h"
#include "ui/theme/QtTranslation.h"
#include "util/AppIdentity.h"
#include "util/QueueTask.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTranslator>
#include <QWidget>

QuorbellApp::QuorbellApp(AppState& state, WindowActivator* activator, QObject* parent)
    : QObject(parent), m_state(state), m_activator(activator),
      m_windowQueue(AppIdentity::queueLabel(QStringLiteral("window")))
{
    connect(&state, &AppState::dockVisibilityRequested, this, &QuorbellApp::applyTaskbarEntry);
    connect(&state, &AppState::changed, this, &QuorbellApp::followOnboardingSheet);
}

void QuorbellApp::followOnboardingSheet()
{
    // The wizard is a sheet over the main window: asking for it (the first-run check, the settings page)
    // brings the window, also when the application started in the tray.
    const bool asked = m_state.showOnboardingSheet();
    if (asked && !m_onboardingShown && m_started)
        presentMainWindow();
    m_onboardingShown = asked && m_started;
}

QuorbellApp::~QuorbellApp()
{
    // The window's last hide, as it goes, has no place left to be kept in.
    if (m_mainWindow)
        m_mainWindow->removeEventFilter(this);
}

QPixmap QuorbellApp::infinityMark(int size, const QColor& color)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // A lemniscate of Bernoulli across the icon's width.
    QPainterPath path;
    const double a = size * 0.42;
    const QPointF centre(size / 2.0, size / 2.0);
    for (int i = 0; i <= 96; ++i) {
        const double t = 2 * M_PI * i / 96.0;
        const double d = 1 + std::sin(t) * std::sin(t);
        const QPointF p(centre.x() + a * std::cos(t) / d, centre.y() + a * std::sin(t) * std::cos(t) / d);
        if (i == 0)
            path.moveTo(p);
        else
            path.lineTo(p);
    }
    painter.setPen(QPen(color, std::max(1.5, size / 11.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(path);
    return pixmap;
}

void QuorbellApp::start()
{
    QApplication::setQuitOnLastWindowClosed(false);
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance()))
        QBTheme::applyLightLook(*app);
    QString failure;
    m_qtTranslation = QtTranslation::installChinese(&failure);
    if (!m_qtTranslation)
        qWarning("Qt's own dialogs and menus stay in English: %s", qPrintable(failure));
    m_menu = std::make_unique<QMenu>();
    m_menuContent = std::make_unique<MenuBarMenu>(m_state, *m_menu);
    connect(m_menuContent.get(), &MenuBarMenu::openMainWindowRequested, this,
            &QuorbellApp::presentMainWindowNow);
    connect(m_menuContent.get(), &MenuBarMenu::quitRequested, qApp, &QCoreApplication::quit);

    m_started = true;
    // The X11 platform tells when a tray's manager window comes or goes (a panel restarted or killed). Its
    // native interface is a QObject whose class is not public, so the signal is joined by name; on platforms
    // without it the tray is only looked for at start.
    if (QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface()) {
        auto* object = reinterpret_cast<QObject*>(native); // QObject is its only base
        if (object->metaObject()->indexOfSignal("systemTrayWindowChanged(QScreen*)") >= 0)
            connect(object, SIGNAL(systemTrayWindowChanged(QScreen*)), this, SLOT(followTray()));
    }
    useTray(QSystemTrayIcon::isSystemTrayAvailable());
    followOnboardingSheet();
}

void QuorbellApp::followTray()
{
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available != m_inTray)
        useTray(available);
}

void QuorbellApp::useTray(bool available)
{
    m_inTray = available;
    if (available) {
        if (!m_tray) {
            QIcon icon;
            for (int size : {16, 22, 24, 32, 48})
                icon.addPixmap(infinityMark(size, QColor(0x3a, 0x3a, 0x3c)));
            m_tray = std::make_unique<QSystemTrayIcon>(icon);
            m_tray->setToolTip(QStringLiteral("Quorbell"));
            m_tray->setContextMenu(m_menu.get());
            // A click on the icon reopens the main window, like a reopen from the Dock.
            connect(m_tray.get(), &QSystemTrayIcon::activated, this,
                    [this](QSystemTrayIcon::ActivationReason reason) {
                        if (reason == QSystemTrayIcon::Trigger)
                            presentMainWindowNow();
                    });
        }
        // Shown again after a tray went away: the icon docks in the new one.
        m_tray->show();
        QApplication::setQuitOnLastWindowClosed(false);
        return;
    }
    if (m_tray)
        m_tray->hide();
    // Nothing else could bring the window back: without a tray it opens (at start, or when the tray goes)
    // and closing it quits. At start it opens once the trigger key is watched, so a key pressed as soon as
    // the window is up is heard.
    QApplication::setQuitOnLastWindowClosed(true);
    if (m_state.hasStarted()) {
        if (!m_mainWindow || !m_mainWindow->isVisible())
            presentMainWindow();
    } else {
        connect(
            &m_state, &AppState::started, this,
            [this] {
                if (!m_inTray)
                    presentMainWindow();
            },
            Qt::SingleShotConnection);
    }
}

void QuorbellApp::presentMainWindow()
{
    present(m_activator ? m_activator->latestUserTime() : 0);
}

void QuorbellApp::presentMainWindowFor(quint32 userTime)
{
    present(userTime);
}

void QuorbellApp::presentMainWindowNow()
{
    present(std::nullopt);
}

bool QuorbellApp::eventFilter(QObject* watched, QEvent* event)
{
    // Where the user left the window, taken as it goes: a close by the window manager then destroys the X
    // window, and a new one would be placed afresh.
    if (watched == m_mainWindow.get() && event->type() == QEvent::Hide)
        m_placement = m_mainWindow->saveGeometry();
    return QObject::eventFilter(watched, event);
}

void QuorbellApp::present(std::optional<quint32> userTime)
{
    if (!m_mainWindow) {
        m_mainWindow = std::make_unique<MainDashboardView>(m_state);
        m_mainWindow->setObjectName(QStringLiteral("main"));
        m_mainWindow->setWindowTitle(QStringLiteral("Quorbell"));
        m_mainWindow->setWindowIcon(QIcon(infinityMark(64, QColor(0x4f, 0x46, 0xe5))));
        m_mainWindow->resize(kDefaultWidth, kDefaultHeight);
        m_mainWindow->installEventFilter(this);
        applyTaskbarEntry(m_state.llmConfig().showInDock);
    }
    QWidget* window = m_mainWindow.get();
    // Back where the user left it, at the size they gave it (maximised or not). Only a window that is gone
    // from the screen: one shown elsewhere is the user's as it is.
    if (!window->isVisible() && !m_placement.isEmpty())
        window->restoreGeometry(m_placement);
    // De-minimised only: showNormal() would also take a maximised window back to its normal size.
    if (window->isMinimized())
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    // Raised on the next turn, once the window exists on the display.
    QTimer::singleShot(0, window, [this, window, userTime] {
        window->raise();
        // A sheet open over the window stays over it, also where no window manager keeps it there.
        for (QDialog* sheet : window->findChildren<QDialog*>(Qt::FindDirectChildrenOnly)) {
            if (sheet->isVisible())
                sheet->raise();
        }
        bringToUser(window, userTime);
    });
}

QCoro::Task<> QuorbellApp::bringToUser(QWidget* window, std::optional<quint32> userTime)
{
    QPointer<QWidget> guard(window);
    if (!m_activator) {
        window->activateWindow();
        co_return;
    }
    WindowActivator* activator = m_activator;
    auto request = [activator, windowId = window->winId(), userTime] {
        // A request made now takes the server's time here, off the main thread; 0 (none to be had) makes it a
        // pager's request.
        return activator->bringToUser(windowId, userTime ? *userTime : activator->serverTime());
    };
    // Nothing of this object is touched after the wait: it may be gone by then.
    const WindowActivator::Outcome outcome = co_await runOnQueue(m_windowQueue, std::move(request));
    if (!outcome.status)
        qWarning("The main window could not be brought to the current workspace: %s",
                 qPrintable(outcome.status.error));
    // One activation only: a second one of our own, racing the window manager's, could land after the user
    // has moved on, and the window manager has already judged the request by the user's time.
    if (!outcome.activationRequested && guard)
        guard->activateWindow();
}

void QuorbellApp::applyTaskbarEntry(bool showInTaskbar)
{
    if (!m_mainWindow)
        return;
    // A tool window has no taskbar entry: that is the menu-bar-only mode.
    const bool isTool = m_mainWindow->windowFlags().testFlag(Qt::Tool);
    if (isTool == !showInTaskbar)
        return;
    const bool visible = m_mainWindow->isVisible();
    m_mainWindow->setWindowFlag(Qt::Tool, !showInTaskbar);
    // Qt takes a tool window out of the quit-on-last-window rule. Without a tray that would leave a process
    // with no window and no icon after the close; with a tray the application never quits on a close anyway.
    m_mainWindow->setAttribute(Qt::WA_QuitOnClose, true);
    if (visible)
        m_mainWindow->show();
}
