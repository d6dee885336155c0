#pragma once

#include "model/LLMConfig.h"
#include "model/Records.h"

#include <QList>
#include <QString>
#include <QUuid>

// The contents the save loop writes in its n-th round, large enough that a kill lands inside a write more
// often than not. Each version is recognisable in whole, so a file can be checked to be exactly one of them.
namespace SaveLoopData {

constexpr int kRecords = 1000;
constexpr int kTerms = 1000;

inline QUuid idOf(int version, int index, const char* kind)
{
    return QUuid::createUuidV5(QUuid(),
                               QStringLiteral("%1-%2-%3").arg(QLatin1String(kind)).arg(version).arg(index));
}

inline LLMConfig config(int version)
{
    LLMConfig config = LLMConfig::defaults();
    config.modelName = QStringLiteral("model-%1").arg(version);
    for (int i = 0; i < 2000; ++i)
        config.providerModels.insert(QStringLiteral("relay-%1").arg(i),
                                     QStringLiteral("model-%1-%2").arg(version).arg(i));
    // In the form a load gives back (the selected provider's model is filed under it).
    return LLMConfig::fromJson(config.toJson()).value();
}

inline QList<DictationRecord> history(int version)
{
    QList<DictationRecord> records;
    for (int i = 0; i < kRecords; ++i)
        records.append(DictationRecord(idOf(version, i, "record"), Timestamp{786240000.0 + i},
                                       QStringLiteral("%1").arg(version),
                                       QStringLiteral("第%1版的第%2条记录").arg(version).arg(i).repeated(8),
                                       1.5, i, QStringLiteral("Kate"), DictationMode::dictate, {}));
    return records;
}

inline QList<LexiconEntry> terms(int version)
{
    QList<LexiconEntry> entries;
    for (int i = 0; i < kTerms; ++i)
        entries.append(LexiconEntry(idOf(version, i, "term"),
                                    QStringLiteral("term-%1-%2").arg(version).arg(i),
                                    {QStringLiteral("别名%1").arg(i)}, QStringLiteral("key%1").arg(i),
                                    LexiconCategory::project, 5, 0, Timestamp{786240000}));
    return entries;
}

} // namespace SaveLoopData
