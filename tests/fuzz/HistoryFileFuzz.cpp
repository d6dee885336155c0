// history.json: decoded record by record; what was taken in must survive the next save and load whole.
#include "fuzz/FuzzTarget.h"

#include "model/Records.h"

QB_FUZZ_TARGET(history_file)
{
    const HistoryDecodeResult decoded = decodeHistory(input);
    if (decoded.unreadable)
        FUZZ_CHECK(decoded.records.isEmpty() && decoded.needsBackup());
    if (decoded.skippedRecords > 0)
        FUZZ_CHECK(decoded.needsBackup());
    const HistoryDecodeResult reloaded = decodeHistory(encodeHistory(decoded.records));
    FUZZ_CHECK(!reloaded.needsBackup());
    FUZZ_CHECK(reloaded.records == decoded.records);
}
