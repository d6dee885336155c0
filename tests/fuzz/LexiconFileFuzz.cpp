// lexicon.json through the store itself: whatever the file holds, nothing of it is lost. Every complete
// entry of a damaged file is kept, however close together the damage, in time linear in the file. A file the
// store did not take in whole is copied aside, byte for byte and under a name of its own, before the first
// save writes over it; what it did take in comes back unchanged from that save, which its reader takes whole.
#include "fuzz/FuzzTarget.h"
#include "fuzz/IntactElements.h"

#include "lexicon/LexiconFile.h"
#include "lexicon/LexiconText.h"
#include "lexicon/PersonalLexiconStore.h"
#include "util/FileIO.h"
#include "util/Json.h"
#include "util/Scheduler.h"
#include "util/Text.h"

#include <QFileInfo>
#include <QSet>
#include <algorithm>

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
    // A store of its own for each input, gone with everything it derived by the end of it: memory kept from
    // one input to the next would make libFuzzer look for leaks after every input.
    static const FixedClock clock;

    // Copies named by a clock set far ahead fill the folder: whatever they say, the copy made for this input
    // must survive the pruning that follows it. Only the one pruned last time is made again.
    static const QStringList future = [&] {
        QStringList names;
        for (int i = 1; i <= FileIO::kKeptCopies; ++i)
            names.append(FileIO::keptCopyPath(path, QStringLiteral("99991231-235959Z-%1").arg(i)));
        return names;
    }();
    for (const QString& copy : FileIO::keptCopies(path)) {
        if (!future.contains(copy))
            FileIO::removeTree(copy);
    }
    for (const QString& copy : future) {
        if (!QFileInfo::exists(copy))
            FUZZ_CHECK(FileIO::writeAtomically(copy, "future"));
    }
    const LexiconFile::Decoded asRead = LexiconFile::decode(input, clock.currentDate());
    const bool needsCopy =
        !input.isEmpty() && (!asRead.isArray || asRead.entries.isEmpty() || asRead.changed());
    FUZZ_CHECK(FileIO::writeAtomically(path, input));
    PersonalLexiconStore store(path, &clock); // loads the file
    const QList<LexiconEntry> loaded = store.entries();
    QSet<QUuid> ids;
    for (const LexiconEntry& entry : loaded) {
        FUZZ_CHECK(!entry.term.trimmed().isEmpty());
        FUZZ_CHECK(!LexiconFile::isTooLong(entry.term));
        FUZZ_CHECK(!ids.contains(entry.id));
        ids.insert(entry.id);
    }
    // Dropped only by the store's own rules: a blank term, or one longer than it takes.
    const auto readEntry = [](const QJsonObject& o) {
        return LexiconEntry::fromJson(o, clock.currentDate());
    };
    for (const LexiconEntry& intact : intactRecords<LexiconEntry>(input, readEntry)) {
        if (Text::isBlank(intact.term) || LexiconFile::isTooLong(Text::trimmed(intact.term)))
            continue;
        FUZZ_CHECK(std::any_of(loaded.cbegin(), loaded.cend(), [&](const LexiconEntry& e) {
            return LexiconText::sameTerm(e.term, intact.term);
        }));
    }
    FUZZ_CHECK(Json::readArray(input).scanned <= 6 * input.size() + 16);
    FUZZ_CHECK(store.save());
    QStringList copies = FileIO::keptCopies(path);
    FUZZ_CHECK(copies.size() <= FileIO::kKeptCopies);
    for (const QString& old : future)
        copies.removeAll(old);
    // The copy just made exists and holds the file as it was.
    FUZZ_CHECK(copies.size() == (needsCopy ? 1 : 0));
    if (!copies.isEmpty())
        FUZZ_CHECK(FileIO::readAll(copies.first()) == input);

    // Nothing is written that the reader refuses or takes only in part.
    const std::optional<QByteArray> written = FileIO::readAll(path, LexiconFile::kMaxFileBytes);
    FUZZ_CHECK(written.has_value());
    // The store's size bound never undercounts what the writer wrote.
    qint64 bound = LexiconFile::kArrayBytes;
    for (const LexiconEntry& entry : store.entries())
        bound += LexiconFile::encodedSizeBound(entry);
    FUZZ_CHECK(written->size() <= bound);
    const LexiconFile::Decoded reread = LexiconFile::decode(*written, clock.currentDate());
    FUZZ_CHECK(reread.isArray && !reread.changed());

    store.load();
    FUZZ_CHECK(store.entries() == loaded);
    // A whole file needs no copy, and no copy was overwritten.
    QStringList copiesAfter = FileIO::keptCopies(path);
    for (const QString& old : future)
        copiesAfter.removeAll(old);
    FUZZ_CHECK(copiesAfter == copies);
    if (!copies.isEmpty())
        FUZZ_CHECK(FileIO::readAll(copies.first()) == input);
}
