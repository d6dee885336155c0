#pragma once

#include <QObject>
#include <memory>

class AppState;
class MenuBarMenu;
class QMenu;
class QSystemTrayIcon;
class QWidget;

// The running application's shell: the tray icon with its menu and the main window host. Closing the main
// window keeps the application running in the tray; without a tray the main window opens at start.
class QuorbellApp final : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultWidth = 960;
    static constexpr int kDefaultHeight = 680;

    explicit QuorbellApp(AppState& state, QObject* parent = nullptr);
    ~QuorbellApp() override;

    void start();
    // Shows the main window (created on first use) and raises it.
    void presentMainWindow();
    QWidget* mainWindow() const { return m_mainWindow.get(); }
    QMenu* menu() const { return m_menu.get(); }

    // The tray's "infinity" mark, drawn for the given pixel size.
    static QPixmap infinityMark(int size, const QColor& color);

private:
    void applyTaskbarEntry(bool showInTaskbar);
    void followOnboardingSheet();

    AppState& m_state;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<MenuBarMenu> m_menuContent;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<QWidget> m_mainWindow;
    bool m_started = false;
    // The sheet's flag as last seen after start, so the window is brought once each time it is asked for.
    bool m_onboardingShown = false;
};
