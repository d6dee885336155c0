#pragma once

#include "util/Status.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <optional>

class AppState;

// The success line of a change to the lexicon, shown in the status banner once the saves the change asked for
// have ended, and not at all if the last of them failed (the state shows that failure; no success goes over
// it). The store saves off the main thread, so the line may be due after the page that made the change is
// gone: the report belongs to the store, not to the page.
class LexiconChangeReport final : public QObject {
    Q_OBJECT
public:
    // Starts watching the store's saves; made before the change. Gone with the store.
    static QPointer<LexiconChangeReport> begin(AppState& state);
    // After the change: shows the line once its saves have ended, then goes.
    void finish(const QString& line);
    // Nothing to show (the change failed and the caller reports that): stops watching and goes.
    void drop();

private:
    explicit LexiconChangeReport(AppState& state);
    void onSaveFinished(const Status& saved);
    void show(const QString& line);

    QPointer<AppState> m_state;
    quint64 m_savesBefore = 0;
    Status m_lastSave;
    struct Pending {
        quint64 save = 0;
        QString line;
    };
    std::optional<Pending> m_pending;
};
