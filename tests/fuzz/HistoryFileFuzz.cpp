// history.json: decoded record by record, keeping the complete records of a damaged file; what was taken in
// must survive the next save and load whole, with every value in range.
#include "fuzz/FuzzTarget.h"

#include "model/Records.h"

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
    const HistoryDecodeResult reloaded = decodeHistory(encodeHistory(decoded.records));
    FUZZ_CHECK(!reloaded.needsBackup());
    FUZZ_CHECK(reloaded.records == decoded.records);
}
