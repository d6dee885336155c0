// history.json: decoded record by record, keeping every complete record of a damaged file, however close
// together the damage, in time linear in the file; what was taken in must survive the next save and load
// whole, with every value in range.
#include "fuzz/FuzzTarget.h"
#include "fuzz/IntactElements.h"

#include "model/Records.h"
#include "util/Json.h"

#include <algorithm>

QB_FUZZ_TARGET(history_file)
{
    const HistoryDecodeResult decoded = decodeHistory(input);
    if (decoded.unreadable)
        FUZZ_CHECK(decoded.records.isEmpty() && decoded.needsBackup());
    if (decoded.skippedRecords > 0)
        FUZZ_CHECK(decoded.needsBackup());
    for (const DictationRecord& record : decoded.records) {
        FUZZ_CHECK(record.durationSeconds >= 0 &&
                   record.durationSeconds <= DictationRecord::kMaximumDurationSeconds);
        FUZZ_CHECK(record.polishLatencyMs >= 0 &&
                   record.polishLatencyMs <= DictationRecord::kMaximumPolishLatencyMs);
    }
    for (const DictationRecord& intact : intactRecords<DictationRecord>(
             input, [](const QJsonObject& o) { return DictationRecord::fromJson(o); })) {
        FUZZ_CHECK(
            std::any_of(decoded.records.cbegin(), decoded.records.cend(), [&](const DictationRecord& r) {
                return r.id == intact.id && r.timestamp == intact.timestamp &&
                       r.polishedText == intact.polishedText;
            }));
    }
    FUZZ_CHECK(Json::readArray(input).scanned <= 6 * input.size() + 16);
    const HistoryDecodeResult reloaded = decodeHistory(encodeHistory(decoded.records));
    FUZZ_CHECK(!reloaded.needsBackup());
    FUZZ_CHECK(reloaded.records == decoded.records);
}
