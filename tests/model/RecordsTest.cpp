#include "model/Records.h"

#include "util/FileIO.h"
#include "util/Json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

DictationRecord makeRecord(double duration, QString polished = QStringLiteral("好的"))
{
    return DictationRecord(QUuid::createUuid(), Timestamp{757382400.5}, QStringLiteral("raw"),
                           std::move(polished), duration, 120, QStringLiteral("Kate"), DictationMode::dictate,
                           {QStringLiteral("DeepSeek")});
}

QJsonObject parseObject(const char* json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

TEST(DictationRecord, DurationIsFlooredWhenMadeAndNeverWrittenNonFinite)
{
    const std::pair<double, double> rows[] = {{0.05, 0.2}, {3.7, 3.7}, {std::nan(""), 0.2}, {-1, 0.2}};
    for (const auto& [given, kept] : rows)
        EXPECT_DOUBLE_EQ(makeRecord(given).durationSeconds, kept) << given;

    QJsonObject json = makeRecord(1).toJson();
    json.insert(QStringLiteral("durationSeconds"), 0.05);
    EXPECT_DOUBLE_EQ(DictationRecord::fromJson(json)->durationSeconds, 0.05) << "decoding does not floor";

    // JSON has no infinity or NaN: written as such, the whole file would stop reading.
    DictationRecord notANumber = makeRecord(1);
    notANumber.durationSeconds = std::nan("");
    const HistoryDecodeResult back =
        decodeHistory(encodeHistory({makeRecord(std::numeric_limits<double>::infinity()), notANumber}));
    ASSERT_EQ(back.records.size(), 2);
    for (const DictationRecord& record : back.records)
        EXPECT_DOUBLE_EQ(record.durationSeconds, 0.2);
}

TEST(DictationRecord, CharactersAndStoredForms)
{
    EXPECT_EQ(makeRecord(1, QStringLiteral("你好，hello")).characterCount(), 8);
    EXPECT_EQ(makeRecord(1, QStringLiteral("🇨🇳")).characterCount(), 1) << "a flag is one character";

    DictationRecord record = makeRecord(1);
    record.timestamp = Timestamp::fromDateTime(QDateTime(QDate(2025, 1, 1), QTime(0, 0), Qt::UTC));
    const QJsonObject json = record.toJson();
    EXPECT_EQ(QJsonDocument(QJsonObject{{QStringLiteral("t"), json.value(QStringLiteral("timestamp"))}})
                  .toJson(QJsonDocument::Compact),
              QByteArray(R"({"t":757382400})"));
    const QString id = json.value(QStringLiteral("id")).toString();
    EXPECT_EQ(id, id.toUpper());
    EXPECT_EQ(id.size(), 36);
}

TEST(History, HandWrittenFileDecodesRecordByRecord)
{
    const auto bytes = FileIO::readAll(QStringLiteral(QB_FIXTURES_DIR "/core/history.json"));
    ASSERT_TRUE(bytes.has_value());
    const HistoryDecodeResult history = decodeHistory(*bytes);
    EXPECT_FALSE(history.unreadable);
    // Missing matchedTerms, a fractional latency and a non-object are each skipped alone; the record of an
    // unknown mode is kept as a plain dictation.
    EXPECT_EQ(history.skippedRecords, 3);
    EXPECT_EQ(history.salvagedRecords, 1);
    EXPECT_TRUE(history.needsBackup());
    ASSERT_EQ(history.records.size(), 3);
    EXPECT_EQ(history.records.at(2).rawTranscript, QStringLiteral("bad mode"));
    EXPECT_EQ(history.records.at(2).mode, DictationMode::dictate);

    const DictationRecord& first = history.records.at(0);
    EXPECT_EQ(Json::uuidText(first.id), QStringLiteral("0F5C3B1A-9D2E-4C7B-8A61-3E2F1D0C9B8A"));
    EXPECT_DOUBLE_EQ(first.timestamp.secondsSinceReferenceDate, 786240000.125) << "the fraction is kept";
    EXPECT_EQ(first.polishedText, QStringLiteral("今天开会讨论 DeepSeek。"));
    EXPECT_DOUBLE_EQ(first.durationSeconds, 3.7);
    EXPECT_EQ(first.polishLatencyMs, 412);
    EXPECT_EQ(first.targetAppName, QStringLiteral("微信"));
    EXPECT_EQ(first.matchedTerms, QStringList{QStringLiteral("DeepSeek")});

    const DictationRecord& second = history.records.at(1);
    EXPECT_EQ(Json::uuidText(second.id), QStringLiteral("1A2B3C4D-5E6F-4A5B-8C7D-9E0F1A2B3C4D"))
        << "a lower-case identifier reads";
    EXPECT_EQ(second.mode, DictationMode::rewriteSelection);
    EXPECT_DOUBLE_EQ(second.durationSeconds, 0.05);
    EXPECT_EQ(second.polishedText, QStringLiteral("敬请审阅。\nhttps://example.com/a"));

    const HistoryDecodeResult again = decodeHistory(encodeHistory(history.records));
    EXPECT_EQ(again.records, history.records);
    EXPECT_FALSE(again.needsBackup());
}

TEST(History, RecordsWhoseTextsAreIntactAreKeptWhateverTheirModeOrId)
{
    QJsonArray records;
    auto add = [&](const char* key, const QJsonValue& value) {
        QJsonObject record = makeRecord(1, QString::fromUtf8(key)).toJson();
        if (value.isUndefined())
            record.remove(QLatin1String(key));
        else
            record.insert(QLatin1String(key), value);
        records.append(record);
    };
    add("mode", QStringLiteral("语音命令")); // a newer version's mode
    add("mode", QJsonValue::Undefined);
    add("mode", 3);
    add("id", QStringLiteral("not-a-uuid"));
    add("id", QJsonValue::Undefined);
    add("polishedText", 5); // the text itself is gone: not kept
    add("rawTranscript", QJsonValue::Undefined);
    const HistoryDecodeResult history = decodeHistory(QJsonDocument(records).toJson());
    ASSERT_EQ(history.records.size(), 5);
    EXPECT_EQ(history.skippedRecords, 2);
    EXPECT_EQ(history.salvagedRecords, 5);
    EXPECT_TRUE(history.needsBackup());
    QSet<QUuid> ids;
    for (const DictationRecord& record : history.records) {
        EXPECT_EQ(record.mode, DictationMode::dictate);
        EXPECT_FALSE(record.id.isNull());
        ids.insert(record.id);
    }
    EXPECT_EQ(ids.size(), 5) << "a bad id gets a new one of its own";
    EXPECT_EQ(history.records[3].polishedText, QStringLiteral("id"));
    const HistoryDecodeResult again = decodeHistory(encodeHistory(history.records));
    EXPECT_EQ(again.records, history.records);
    EXPECT_FALSE(again.needsBackup());
}

TEST(History, AStrayQuoteCostsOnlyItsOwnRecord)
{
    QList<DictationRecord> records;
    for (int i = 0; i < 6; ++i)
        records.append(makeRecord(1, QStringLiteral("第%1条, 好").arg(i)));
    QByteArray file = encodeHistory(records);
    const qsizetype second = file.indexOf(QStringLiteral("条, 好").toUtf8(), file.indexOf("第1"));
    ASSERT_GT(second, 0);
    file.insert(second, '"');
    const HistoryDecodeResult history = decodeHistory(file);
    EXPECT_EQ(history.skippedRecords, 1);
    ASSERT_EQ(history.records.size(), 5);
    EXPECT_EQ(history.records[1].polishedText, records[2].polishedText);
    EXPECT_EQ(history.records[4].polishedText, records[5].polishedText);
}

TEST(History, UnreadableFilesAreReportedNotEmptied)
{
    for (const char* bad : {"not json", R"({"records":[]})", ""})
        EXPECT_TRUE(decodeHistory(bad).unreadable) << bad;
    const HistoryDecodeResult empty = decodeHistory("[]");
    EXPECT_FALSE(empty.needsBackup());
    EXPECT_TRUE(empty.records.isEmpty());
}

TEST(LexiconEntry, ConstructionTrimsAndDecodingIsLenient)
{
    const LexiconEntry entry(
        QUuid::createUuid(), QStringLiteral(" 深度求索 "),
        {QStringLiteral("   "), QStringLiteral("深度 求索"), QStringLiteral("deep seek ")}, QString(),
        LexiconCategory::project, 5, 0, Timestamp{1});
    EXPECT_EQ(entry.term, QStringLiteral("深度求索"));
    EXPECT_EQ(entry.aliases, (QStringList{QStringLiteral("深度 求索"), QStringLiteral("deep seek")}));
    EXPECT_TRUE(entry.phoneticKey.isEmpty()) << "keys are the lexicon's to compute";

    const LexiconEntry keyed(QUuid::createUuid(), QStringLiteral("x"), {}, QStringLiteral("custom key"),
                             LexiconCategory::person, 9, 2, Timestamp{1});
    EXPECT_EQ(keyed.phoneticKey, QStringLiteral("custom key")) << "a given key is stored unchanged";

    // Decoding is lenient, key by key, and does not trim.
    const Timestamp now{800000000.25};
    const auto onlyTerm =
        LexiconEntry::fromJson(parseObject(R"({"term":"DeepSeek","category":"纠错自学习"})"), now);
    ASSERT_TRUE(onlyTerm.has_value());
    EXPECT_FALSE(onlyTerm->id.isNull());
    EXPECT_TRUE(onlyTerm->aliases.isEmpty());
    EXPECT_TRUE(onlyTerm->phoneticKey.isEmpty());
    EXPECT_EQ(onlyTerm->category, LexiconCategory::autoLearned);
    EXPECT_EQ(onlyTerm->weight, 5);
    EXPECT_EQ(onlyTerm->createdAt, now);

    const auto odd = LexiconEntry::fromJson(
        parseObject(
            R"({"term":" 张三 ","phoneticKey":"","category":"客户","weight":"heavy","aliases":[" a "]})"),
        now);
    ASSERT_TRUE(odd.has_value());
    EXPECT_EQ(odd->term, QStringLiteral(" 张三 "));
    EXPECT_EQ(odd->aliases, QStringList{QStringLiteral(" a ")});
    EXPECT_EQ(odd->category, LexiconCategory::project);
    EXPECT_EQ(odd->weight, 5);

    EXPECT_FALSE(LexiconEntry::fromJson(QJsonValue(QStringLiteral("term"))).has_value());

    const LexiconEntry full(QUuid::createUuid(), QStringLiteral("Quorbell"), {QStringLiteral("扣贝")},
                            QString(), LexiconCategory::autoLearned, 7, 3, Timestamp{757382400.75});
    EXPECT_EQ(LexiconEntry::fromJson(full.toJson()), full);
}
