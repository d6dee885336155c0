#include "ui/pages/dictionary/LexiconChangeReport.h"

#include "core/AppState.h"
#include "lexicon/PersonalLexiconStore.h"

QPointer<LexiconChangeReport> LexiconChangeReport::begin(AppState& state)
{
    return new LexiconChangeReport(state);
}

LexiconChangeReport::LexiconChangeReport(AppState& state)
    : QObject(&state.lexiconStore()), m_state(&state), m_savesBefore(state.lexiconStore().lastSaveRequested())
{
    connect(&state.lexiconStore(), &PersonalLexiconStore::saveFinished, this,
            &LexiconChangeReport::onSaveFinished);
}

void LexiconChangeReport::finish(const QString& line)
{
    const auto* store = static_cast<const PersonalLexiconStore*>(parent());
    const quint64 save = store->lastSaveRequested();
    if (save == m_savesBefore) { // nothing to save
        show(line);
        return;
    }
    if (store->lastSaveFinished() >= save) { // ended already (a save refused before it was queued)
        if (m_lastSave)
            show(line);
        else
            drop();
        return;
    }
    m_pending = Pending{save, line};
}

void LexiconChangeReport::drop()
{
    disconnect(parent(), nullptr, this, nullptr);
    m_pending.reset();
    deleteLater();
}

void LexiconChangeReport::onSaveFinished(const Status& saved)
{
    m_lastSave = saved;
    const auto* store = static_cast<const PersonalLexiconStore*>(parent());
    if (!m_pending || store->lastSaveFinished() < m_pending->save)
        return;
    if (saved)
        show(m_pending->line);
    else
        drop();
}

void LexiconChangeReport::show(const QString& line)
{
    if (m_state)
        m_state->setStatusBanner(line);
    drop();
}
