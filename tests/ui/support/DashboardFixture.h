#pragma once

#include "core/AppStateHarness.h"
#include "lexicon/PersonalLexiconStore.h"

#include <QDateTime>
#include <QUuid>

// An AppState on fakes with a history and a lexicon of a chosen size, for the window's tests, snapshots and
// benchmark. Texts mix Chinese and Latin so both font families are exercised.
struct DashboardFixture {
    static QList<DictationRecord> history(int count)
    {
        QList<DictationRecord> records;
        const QDateTime start = QDateTime(QDate(2025, 3, 1), QTime(9, 0), Qt::UTC);
        for (int i = 0; i < count; ++i) {
            records.append(DictationRecord(QUuid::createUuid(),
                                           Timestamp::fromDateTime(start.addSecs(i * 3600)),
                                           QStringLiteral("第 %1 条口述 draft notes").arg(i),
                                           QStringLiteral("第 %1 条口述，已润色。").arg(i), 4.5, 180 + i % 90,
                                           QStringLiteral("Editor"), DictationMode::dictate, {}));
        }
        return records;
    }

    static QList<LexiconEntry> terms(int count)
    {
        QList<LexiconEntry> entries;
        for (int i = 0; i < count; ++i)
            entries.append(LexiconEntry(QUuid::createUuid(), QStringLiteral("术语%1 Term").arg(i), {},
                                        QString(), LexiconCategory::project, LexiconEntry::kDefaultWeight, 0,
                                        Timestamp::fromUnixSeconds(1.74e9)));
        return entries;
    }

    // Starts the state with `records` history records and `termCount` lexicon terms.
    AppState& start(int records = 0, int termCount = 0, QJsonObject config = {})
    {
        if (onboardingDone)
            harness.defaults.setValue(AppState::kOnboardingDoneKey, true);
        AppState& state = harness.start(std::move(config));
        if (records > 0)
            state.setHistory(history(records));
        if (termCount >= 0)
            state.lexiconStore().setEntries(terms(termCount));
        return state;
    }

    // The first-run sheet stays closed unless a test asks for the first run.
    bool onboardingDone = true;
    AppStateHarness harness;
};
