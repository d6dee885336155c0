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

    // A lived-in history: `count` records over the `days` days up to `newest`, newest first, denser towards
    // the newest, with texts of every length (lists and mixed scripts among them), both modes, several target
    // applications (one unnamed) and raw transcripts that polishing changed or left alone.
    static QList<DictationRecord> archive(int count, int days, Timestamp newest)
    {
        static const QStringList texts{
            QStringLiteral("好的，今天下午三点开会。"),
            QStringLiteral("我们今天做三件事：\n1. 优化 SwiftUI 前端排版\n2. 检查 DeepSeek 接口延迟\n3. "
                           "推送到 GitHub 分支"),
            QStringLiteral(
                "Please review the pull request before Friday, and ping me on 飞书 if the CI is still red."),
            QStringLiteral("把上周的季度报表整理成三段摘要，重点写清楚成本下降的原因，以及下个季度要跟进的两"
                           "个风险点，最后附上负责人名单。"),
            QStringLiteral("收到"),
            QStringLiteral("帮我回复张伟：方案已经看过了，整体没问题，细节我们明天上午当面对一下。"),
            QStringLiteral("git rebase 之后记得跑一遍 ctest，再把 benchmark 的数字贴到评论里。"),
        };
        static const QStringList apps{QStringLiteral("飞书"), QStringLiteral("Cursor"),
                                      QStringLiteral("Mail"), QString(), QStringLiteral("Terminal")};
        QList<DictationRecord> records;
        for (int i = 0; i < count; ++i) {
            const double share = double(i) / std::max(1, count);
            const double age = days * 86400.0 * share * share + (i % 5) * 1800.0;
            const QString polished = texts[i % texts.size()];
            QString raw = polished;
            if (i % 3 != 0)
                raw = QString(polished).remove(u'，').remove(u'：').replace(QStringLiteral("DeepSeek"),
                                                                            QStringLiteral("迪普西克"));
            records.append(
                DictationRecord(QUuid::createUuid(), newest.addedSeconds(-age), raw, polished,
                                1.5 + (i * 13 % 90) / 10.0, 120 + (i * 37) % 900, apps[i % apps.size()],
                                i % 7 == 3 ? DictationMode::rewriteSelection : DictationMode::dictate, {}));
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
