#include "model/Records.h"

#include "util/Json.h"
#include "util/Text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>

namespace {
QString key(const char* name)
{
    return QLatin1String(name);
}
} // namespace

// --- DictationRecord ---------------------------------------------------------------------------------------

DictationRecord::DictationRecord(QUuid id_, Timestamp timestamp_, QString rawTranscript_,
                                 QString polishedText_, double durationSeconds_, qint64 polishLatencyMs_,
                                 QString targetAppName_, DictationMode mode_, QStringList matchedTerms_)
    : id(id_), timestamp(timestamp_), rawTranscript(std::move(rawTranscript_)),
      polishedText(std::move(polishedText_)),
      // NaN fails every comparison, so it lands on the minimum too.
      durationSeconds(durationSeconds_ >= kMinimumDurationSeconds ? durationSeconds_
                                                                  : kMinimumDurationSeconds),
      polishLatencyMs(polishLatencyMs_), targetAppName(std::move(targetAppName_)), mode(mode_),
      matchedTerms(std::move(matchedTerms_))
{
}

int DictationRecord::characterCount() const
{
    return Text::graphemeCount(polishedText);
}

QJsonObject DictationRecord::toJson() const
{
    // JSON has no infinity or NaN; such a duration would make the record unreadable next time.
    const double duration = std::isfinite(durationSeconds) ? durationSeconds : kMinimumDurationSeconds;
    return QJsonObject{
        {key("id"), Json::uuidText(id)},
        {key("timestamp"), Json::fromTimestamp(timestamp)},
        {key("rawTranscript"), rawTranscript},
        {key("polishedText"), polishedText},
        {key("durationSeconds"), duration},
        {key("polishLatencyMs"), polishLatencyMs},
        {key("targetAppName"), targetAppName},
        {key("mode"), mode.rawValue()},
        {key("matchedTerms"), Json::fromStringList(matchedTerms)},
    };
}

std::optional<DictationRecord> DictationRecord::fromJson(const QJsonValue& json, bool* salvaged)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject o = json.toObject();
    const auto id = Json::uuid(o.value(key("id")));
    const auto timestamp = Json::timestamp(o.value(key("timestamp")));
    const auto raw = Json::string(o.value(key("rawTranscript")));
    const auto polished = Json::string(o.value(key("polishedText")));
    const auto duration = Json::number(o.value(key("durationSeconds")));
    const auto latency = Json::integer(o.value(key("polishLatencyMs")));
    const auto target = Json::string(o.value(key("targetAppName")));
    const auto mode = DictationMode::fromJson(o.value(key("mode")));
    const auto terms = Json::stringList(o.value(key("matchedTerms")));
    if (!timestamp || !raw || !polished || !duration || !latency || !target || !terms)
        return std::nullopt;
    if (salvaged)
        *salvaged = !id || !mode;
    // Built field by field: a stored duration is taken as it is, without the floor of the constructor.
    DictationRecord record;
    record.id = id.value_or(QUuid::createUuid());
    record.timestamp = *timestamp;
    record.rawTranscript = *raw;
    record.polishedText = *polished;
    record.durationSeconds = *duration;
    record.polishLatencyMs = *latency;
    record.targetAppName = *target;
    record.mode = mode.value_or(DictationMode::dictate);
    record.matchedTerms = *terms;
    return record;
}

HistoryDecodeResult decodeHistory(const QByteArray& fileContents)
{
    HistoryDecodeResult result;
    const Json::ArrayElements read = Json::readArray(fileContents);
    if (!read.isArray) {
        result.unreadable = true;
        return result;
    }
    result.skippedRecords = read.lost;
    result.records.reserve(read.elements.size());
    for (const QJsonValue& element : read.elements) {
        bool salvaged = false;
        std::optional<DictationRecord> record = DictationRecord::fromJson(element, &salvaged);
        if (!record) {
            ++result.skippedRecords;
            continue;
        }
        if (salvaged)
            ++result.salvagedRecords;
        // Shown on the history card as they are: a 309-digit duration or a negative latency is no figure.
        const double duration = record->durationSeconds;
        const qint64 latency = record->polishLatencyMs;
        const bool durationUsable = duration >= 0 && duration <= DictationRecord::kMaximumDurationSeconds;
        const bool latencyUsable = latency >= 0 && latency <= DictationRecord::kMaximumPolishLatencyMs;
        if (!durationUsable)
            record->durationSeconds = DictationRecord::kMinimumDurationSeconds;
        if (!latencyUsable)
            record->polishLatencyMs = 0;
        if (!durationUsable || !latencyUsable)
            ++result.adjustedRecords;
        result.records.append(std::move(*record));
    }
    return result;
}

QByteArray encodeHistory(const QList<DictationRecord>& records)
{
    return Json::compactArray(records);
}

// --- LexiconEntry ------------------------------------------------------------------------------------------

LexiconEntry::LexiconEntry(QUuid id_, const QString& term_, const QStringList& aliases_,
                           const QString& phoneticKey_, LexiconCategory category_, qint64 weight_,
                           qint64 hitCount_, Timestamp createdAt_)
    : id(id_), term(Text::trimmed(term_)), phoneticKey(phoneticKey_), category(category_), weight(weight_),
      hitCount(hitCount_), createdAt(createdAt_)
{
    for (const QString& alias : aliases_) {
        QString cleaned = Text::trimmed(alias);
        if (!cleaned.isEmpty())
            aliases.append(std::move(cleaned));
    }
}

QJsonObject LexiconEntry::toJson() const
{
    return QJsonObject{
        {key("id"), Json::uuidText(id)},
        {key("term"), term},
        {key("aliases"), Json::fromStringList(aliases)},
        {key("phoneticKey"), phoneticKey},
        {key("category"), category.rawValue()},
        {key("weight"), weight},
        {key("hitCount"), hitCount},
        {key("createdAt"), Json::fromTimestamp(createdAt)},
    };
}

std::optional<LexiconEntry> LexiconEntry::fromJson(const QJsonValue& json, Timestamp now, bool* unusableValue)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject o = json.toObject();
    bool unusable = false;
    // A present value that does not read takes the default like a missing one, and is noted.
    auto read = [&](const char* name, auto reader) {
        const QJsonValue value = o.value(key(name));
        auto result = reader(value);
        if (!result && !value.isUndefined())
            unusable = true;
        return result;
    };
    // No trimming on decoding: the stored values are kept as they are.
    LexiconEntry entry;
    entry.id = read("id", Json::uuid).value_or(QUuid::createUuid());
    entry.term = read("term", Json::string).value_or(QString());
    entry.aliases = read("aliases", Json::stringList).value_or(QStringList());
    entry.phoneticKey = read("phoneticKey", Json::string).value_or(QString());
    entry.category = read("category", LexiconCategory::fromJson).value_or(LexiconCategory::project);
    entry.weight = read("weight", Json::integer).value_or(kDefaultWeight);
    entry.hitCount = read("hitCount", Json::integer).value_or(0);
    entry.createdAt = read("createdAt", Json::timestamp).value_or(now);
    if (unusableValue)
        *unusableValue = unusable;
    return entry;
}
