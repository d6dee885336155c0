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
    connect(&menu, &QMenu::aboutToShow, this, &MenuBarMenu::rebuild);
    connect(&state, &AppState::changed, this, [this] {
        if (m_menu && m_menu->isVisible())
            rebuild();
    });
    rebuild();
}

QString MenuBarMenu::recentTitle(const QString& polishedText)
{
    QString oneLine = polishedText;
    oneLine.replace(u'\n', u' ');
    return Text::graphemePrefix(oneLine, kRecentTitleCharacters);
}

void MenuBarMenu::rebuild()
{
    if (!m_menu)
        return;
    QMenu& menu = *m_menu;
    menu.clear();
    AppState& state = m_state;

    QAction* open = menu.addAction(QStringLiteral("打开 Quorbell 主界面"));
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(open, &QAction::triggered, this, &MenuBarMenu::openMainWindowRequested);
    connect(menu.addAction(QStringLiteral("引擎与快捷键设置…")), &QAction::triggered, this, [this] {
        m_state.setSelectedTab(SidebarTab::settings);
        Q_EMIT openMainWindowRequested();
    });
    const auto termCount = static_cast<qlonglong>(state.lexiconStore().entries().size());
    connect(menu.addAction(QStringLiteral("个人专属词库（%1 词）…").arg(termCount)), &QAction::triggered, this, [this] {
        m_state.setSelectedTab(SidebarTab::dictionary);
        Q_EMIT openMainWindowRequested();
    });
    menu.addSeparator();
    menu.addAction(QStringLiteral("快捷键：") + state.activeTriggerDisplayName())->setEnabled(false);
    menu.addAction(QStringLiteral("今日累计：%1 字").arg(static_cast<qlonglong>(state.totalCharactersDictated())))
        ->setEnabled(false);
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
    const QList<DictationRecord>& history = state.history();
    for (qsizetype i = 0; i < history.size() && i < kRecentRecords; ++i) {
        const QString text = history.at(i).polishedText;
        // Plain text: an ampersand is not a mnemonic here.
        connect(menu.addAction(recentTitle(text).replace(u'&', QStringLiteral("&&"))), &QAction::triggered, this, [text] {
            if (text.isEmpty())
                return;
            QGuiApplication::clipboard()->setText(text);
        });
    }
    menu.addSeparator();
    QAction* dock = menu.addAction(QStringLiteral("在任务栏显示图标"));
    dock->setCheckable(true);
    dock->setChecked(state.llmConfig().showInDock);
    connect(dock, &QAction::toggled, this, [this](bool on) {
        LLMConfig config = m_state.llmConfig();
        config.showInDock = on;
        m_state.setLLMConfig(config);
    });
    QAction* quit = menu.addAction(QStringLiteral("退出 Quorbell"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &MenuBarMenu::quitRequested);
}
