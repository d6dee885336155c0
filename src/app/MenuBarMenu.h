#pragma once

#include <QObject>
#include <QPointer>

class AppState;
class QMenu;

// The menu of the tray icon: counts, totals, the trigger, a manual start and stop, the five newest
// dictations (a click copies one), the taskbar switch and quit. Rebuilt from the state each time it shows,
// and while it is open whenever the state changes.
class MenuBarMenu final : public QObject {
    Q_OBJECT
public:
    static constexpr int kRecentRecords = 5;
    static constexpr int kRecentTitleCharacters = 26;

    MenuBarMenu(AppState& state, QMenu& menu, QObject* parent = nullptr);

    void rebuild();
    // The title of a recent dictation's item: line breaks as spaces, cut to 26 characters.
    static QString recentTitle(const QString& polishedText);

Q_SIGNALS:
    // Open the main window; with a tab, switch to it first.
    void openMainWindowRequested();
    void quitRequested();

private:
    AppState& m_state;
    QPointer<QMenu> m_menu;
};
