#pragma once

#include "util/SerialQueue.h"

#include <QByteArray>
#include <QObject>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

class AppState;
class MenuBarMenu;
class QMenu;
class QSystemTrayIcon;
class QTranslator;
class QWidget;
class WindowActivator;

// The running application's shell: the tray icon with its menu and the main window host. Closing the main
// window keeps the application running in the tray; without a tray the main window opens at start and closing
// it quits. The tray is followed while the application runs: when the panel goes away the window comes back
// and closing it quits; when a tray appears the icon docks there again.
class QuorbellApp final : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultWidth = 960;
    static constexpr int kDefaultHeight = 680;

    // `activator` brings the window from another workspace; without one it is only raised where it is.
    explicit QuorbellApp(AppState& state, WindowActivator* activator = nullptr, QObject* parent = nullptr);
    ~QuorbellApp() override;

    void start();
    // Shows the main window (created on first use), de-minimised but otherwise as the user left it (where
    // they put it, at their size, a maximised window still maximised), on the user's workspace and in front,
    // for the user's latest input to our windows (or the launch).
    void presentMainWindow();
    // The same for a request the user made at `userTime`, the display server's time (a second launch).
    void presentMainWindowFor(quint32 userTime);
    // The same for a request the user is making now: a click on the tray icon or an item of its menu. A D-Bus
    // tray delivers those with no input event on our windows, so the request carries the server's time now.
    void presentMainWindowNow();
    QWidget* mainWindow() const { return m_mainWindow.get(); }
    QMenu* menu() const { return m_menu.get(); }

    // The tray's "infinity" mark, drawn for the given pixel size.
    static QPixmap infinityMark(int size, const QColor& color);

private Q_SLOTS:
    void followTray();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // `userTime` empty: the server's time when the request goes out.
    void present(std::optional<quint32> userTime);
    void useTray(bool available);
    void applyTaskbarEntry(bool showInTaskbar);
    void followOnboardingSheet();
    QCoro::Task<> bringToUser(QWidget* window, std::optional<quint32> userTime);

    AppState& m_state;
    WindowActivator* m_activator;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<MenuBarMenu> m_menuContent;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<QWidget> m_mainWindow;
    QByteArray m_placement; // the main window's place and size when it last went from the screen
    std::unique_ptr<QTranslator> m_qtTranslation; // Qt's own texts in Chinese
    bool m_started = false;
    bool m_inTray = false;
    // The sheet's flag as last seen after start, so the window is brought once each time it is asked for.
    bool m_onboardingShown = false;
    // The window manager's requests wait on the X server: they run here, never on the main thread. Declared
    // last, so its last job is done before anything above goes.
    SerialQueue m_windowQueue;
};
