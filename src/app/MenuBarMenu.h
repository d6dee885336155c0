#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <array>

class AppState;
class QAction;
class QMenu;

// The menu of the tray icon: counts, totals, the trigger, a manual start and stop, the five newest
// dictations (a click copies one), the taskbar switch and quit. The items are made once and their texts
// follow the state in place, also while the menu is open: taking items out of an open menu closes it.
class MenuBarMenu final : public QObject {
    Q_OBJECT
public:
    static constexpr int kRecentRecords = 5;
    static constexpr int kRecentTitleCharacters = 26;

    MenuBarMenu(AppState& state, QMenu& menu, QObject* parent = nullptr);

    // Brings every item's text, check mark and visibility up to date with the state.
    void refresh();
    // The title of a recent dictation's item: line breaks as spaces, cut to 26 characters.
    static QString recentTitle(const QString& polishedText);

Q_SIGNALS:
    // Open the main window; with a tab, switch to it first.
    void openMainWindowRequested();
    void quitRequested();

private:
    AppState& m_state;
    QPointer<QMenu> m_menu;
    QAction* m_dictionary = nullptr;
    QAction* m_trigger = nullptr;
    QAction* m_total = nullptr;
    // One item per recent dictation, hidden when the history is shorter; the full texts they copy.
    std::array<QAction*, kRecentRecords> m_recent{};
    QStringList m_recentTexts;
    QAction* m_dock = nullptr;
};
