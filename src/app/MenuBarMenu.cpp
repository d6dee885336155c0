#include "app/MenuBarMenu.h"

#include "core/AppState.h"
#include "lexicon/PersonalLexiconStore.h"
#include "util/Text.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>

MenuBarMenu::MenuBarMenu(AppState& state, QMenu& menu, QObject* parent)
    : QObject(parent), m_state(state), m_menu(&menu)
{
    QAction* open = menu.addAction(QStringLiteral("打开 Quorbell 主界面"));
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(open, &QAction::triggered, this, &MenuBarMenu::openMainWindowRequested);
    connect(menu.addAction(QStringLiteral("引擎与快捷键设置…")), &QAction::triggered, this, [this] {
        m_state.setSelectedTab(SidebarTab::settings);
        Q_EMIT openMainWindowRequested();
    });
    m_dictionary = menu.addAction(QString());
    connect(m_dictionary, &QAction::triggered, this, [this] {
        m_state.setSelectedTab(SidebarTab::dictionary);
        Q_EMIT openMainWindowRequested();
    });
    menu.addSeparator();
    m_trigger = menu.addAction(QString());
    m_trigger->setEnabled(false);
    m_total = menu.addAction(QString());
    m_total->setEnabled(false);
    connect(menu.addAction(QStringLiteral("手动开始/结束试音")), &QAction::triggered, this, [this] {
        if (m_state.phase().isListening()) {
            [](QPointer<AppState> target) -> QCoro::Task<> {
                if (target)
                    co_await target->finishDictationSession();
            }(&m_state);
        } else {
            m_state.beginDictationSession(); // refused while a session finishes
        }
    });
    menu.addSeparator();
    menu.addAction(QStringLiteral("最近口述救生舱（点击复制）"))->setEnabled(false);
    for (int i = 0; i < kRecentRecords; ++i) {
        m_recent[static_cast<size_t>(i)] = menu.addAction(QString());
        connect(m_recent[static_cast<size_t>(i)], &QAction::triggered, this, [this, i] {
            if (i >= m_recentTexts.size() || m_recentTexts.at(i).isEmpty())
                return;
            QGuiApplication::clipboard()->setText(m_recentTexts.at(i));
        });
    }
    menu.addSeparator();
    m_dock = menu.addAction(QStringLiteral("在任务栏显示图标"));
    m_dock->setCheckable(true);
    // Only the user's click changes the setting; the check mark set from the state does not.
    connect(m_dock, &QAction::triggered, this, [this](bool on) {
        LLMConfig config = m_state.llmConfig();
        config.showInDock = on;
        m_state.setLLMConfig(config);
    });
    QAction* quit = menu.addAction(QStringLiteral("退出 Quorbell"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &MenuBarMenu::quitRequested);

    connect(&menu, &QMenu::aboutToShow, this, &MenuBarMenu::refresh);
    connect(&state, &AppState::changed, this, [this] {
        if (m_menu && m_menu->isVisible())
            refresh();
    });
    refresh();
}

QString MenuBarMenu::recentTitle(const QString& polishedText)
{
    QString oneLine = polishedText;
    oneLine.replace(u'\n', u' ');
    return Text::graphemePrefix(oneLine, kRecentTitleCharacters);
}

void MenuBarMenu::refresh()
{
    if (!m_menu)
        return;
    const AppState& state = m_state;
    const auto termCount = static_cast<qlonglong>(state.lexiconStore().entries().size());
    m_dictionary->setText(QStringLiteral("个人专属词库（%1 词）…").arg(termCount));
    m_trigger->setText(QStringLiteral("快捷键：") + state.activeTriggerDisplayName());
    m_total->setText(
        QStringLiteral("今日累计：%1 字").arg(static_cast<qlonglong>(state.totalCharactersDictated())));
    const QList<DictationRecord>& history = state.history();
    m_recentTexts.clear();
    for (int i = 0; i < kRecentRecords; ++i) {
        QAction* item = m_recent[static_cast<size_t>(i)];
        const bool shown = i < history.size();
        if (shown) {
            const QString text = history.at(i).polishedText;
            m_recentTexts.append(text);
            // Plain text: an ampersand is not a mnemonic here.
            item->setText(recentTitle(text).replace(u'&', QStringLiteral("&&")));
        }
        item->setVisible(shown);
    }
    m_dock->setChecked(state.llmConfig().showInDock);
}
