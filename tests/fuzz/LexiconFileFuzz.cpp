// lexicon.json through the store itself: whatever the file holds, nothing of it is lost. A file the store
// did not take in whole is copied aside, byte for byte, before the first save writes over it; what it did
// take in comes back unchanged from that save.
#include "fuzz/FuzzTarget.h"

#include "lexicon/PersonalLexiconStore.h"
#include "util/FileIO.h"
#include "util/Scheduler.h"

#include <QFile>

namespace {

// A fixed date for entries without one, so a second load dates them the same.
class FixedClock final : public Clock {
public:
    MonotonicTime now() const override { return MonotonicTime{}; }
    Timestamp currentDate() const override { return Timestamp{800'000'000}; }
};

} // namespace

QB_FUZZ_TARGET(lexicon_file)
{
    const QString path = fuzzScratchFolder() + QStringLiteral("/lexicon.json");
    const QString backup = FileIO::corruptBackupPath(path);
    // A store of its own for each input, gone with everything it derived by the end of it: memory kept from
    // one input to the next would make libFuzzer look for leaks after every input.
    static const FixedClock clock;

    QFile::remove(backup);
    FUZZ_CHECK(FileIO::writeAtomically(path, input));
    PersonalLexiconStore store(path, &clock); // loads the file
    const QList<LexiconEntry> loaded = store.entries();
    for (const LexiconEntry& entry : loaded)
        FUZZ_CHECK(!entry.term.isEmpty());
    FUZZ_CHECK(store.save());
    const std::optional<QByteArray> kept = FileIO::readAll(backup);
    if (kept)
        FUZZ_CHECK(*kept == input);

    store.load();
    FUZZ_CHECK(store.entries() == loaded);
}
