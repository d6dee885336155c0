#include "lexicon/PersonalLexiconStore.h"

#include "lexicon/LexiconText.h"
#include "lexicon/PhoneticIndexer.h"
#include "util/AppIdentity.h"
#include "util/DataFolder.h"
#include "util/FileIO.h"
#include "util/Scheduler.h"
#include "util/Text.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <limits>

namespace {

using LexiconText::foldCase;
using LexiconText::sameTerm;

// A lexicon of several thousand terms is a few hundred kilobytes; anything near this is not ours to load.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;
constexpr int kMinimumTermLength = 2;
constexpr int kMaximumBulkTermLength = 36;
constexpr qint64 kBulkAddedWeight = 2;

qint64 incremented(qint64 value)
{
    return value == std::numeric_limits<qint64>::max() ? value : value + 1;
}

// Existing aliases first, then the new ones, each once (exact comparison).
QStringList aliasUnion(const QStringList& existing, const QStringList& added, bool dropEmpty)
{
    QStringList result;
    QSet<QString> seen;
    for (const QStringList* list : {&existing, &added}) {
        for (const QString& alias : *list) {
            if (dropEmpty && alias.isEmpty())
                continue;
            if (!seen.contains(alias)) {
                seen.insert(alias);
                result.append(alias);
            }
        }
    }
    return result;
}

// Ascending by Unicode scalar values (UTF-16 order differs for characters beyond the first plane).
bool scalarLess(const QString& a, const QString& b)
{
    const QList<uint> ua = a.toUcs4();
    const QList<uint> ub = b.toUcs4();
    return std::lexicographical_compare(ua.begin(), ua.end(), ub.begin(), ub.end());
}

QStringList dedupedAndSorted(const QStringList& aliases)
{
    QStringList result = aliasUnion(aliases, {}, false);
    std::sort(result.begin(), result.end(), scalarLess);
    return result;
}

bool existsOnDisk(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

const Clock& systemClock()
{
    static const SystemClock clock;
    return clock;
}

} // namespace

PersonalLexiconStore::PersonalLexiconStore(const QString& customStoragePath, const Clock* clock,
                                           QObject* parent)
    : QObject(parent), m_clock(clock ? clock : &systemClock()),
      m_storagePath(customStoragePath.isEmpty() ? DataFolder::filePath(kFileName) : customStoragePath)
{
    load();
}

Timestamp PersonalLexiconStore::now() const
{
    return m_clock->currentDate();
}

QList<LexiconEntry> PersonalLexiconStore::seedEntries() const
{
    const Timestamp created = now();
    return {
        LexiconEntry(QUuid::createUuid(), QStringLiteral("DeepSeek"),
                     {QStringLiteral("迪普西克"), QStringLiteral("deep seek")}, {}, LexiconCategory::project,
                     LexiconEntry::kDefaultWeight, 0, created),
        LexiconEntry(QUuid::createUuid(), QStringLiteral("Quorbell"),
                     {QStringLiteral("quor bell"), QStringLiteral("阔贝尔")}, {}, LexiconCategory::project,
                     LexiconEntry::kDefaultWeight, 0, created),
    };
}

void PersonalLexiconStore::publish(QList<LexiconEntry> entries)
{
    // Entries made or decoded without a key get it here, so every stored entry has one.
    for (LexiconEntry& entry : entries)
        PhoneticIndexer::fillPhoneticKey(entry);
    m_entries = std::move(entries);
    Q_EMIT entriesChanged();
}

void PersonalLexiconStore::setEntries(QList<LexiconEntry> entries)
{
    publish(std::move(entries));
}

bool PersonalLexiconStore::backUpFileOnDisk()
{
    if (FileIO::preserveCorruptCopy(m_storagePath))
        m_fileNeedsBackup = false;
    return !m_fileNeedsBackup;
}

void PersonalLexiconStore::load()
{
    m_fileWrites.waitForSaves();
    m_fileNeedsBackup = false;
    if (m_storagePath.isEmpty() || !existsOnDisk(m_storagePath)) {
        publish(seedEntries());
        saveChanges();
        return;
    }

    const std::optional<QByteArray> bytes = FileIO::readAll(m_storagePath, kMaxFileBytes);
    if (bytes && bytes->isEmpty()) {
        publish(seedEntries());
        saveChanges();
        return;
    }

    QList<LexiconEntry> loaded;
    qsizetype dropped = 0;
    if (bytes) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(*bytes, &error);
        if (error.error == QJsonParseError::NoError && document.isArray()) {
            const Timestamp readTime = now();
            const QJsonArray array = document.array();
            for (const QJsonValue& element : array) {
                // Only elements with a term survive; checking that first keeps a file of thousands of empty
                // objects from minting an id for each.
                if (element.toObject().value(QStringLiteral("term")).toString().isEmpty()) {
                    ++dropped;
                    continue;
                }
                std::optional<LexiconEntry> entry = LexiconEntry::fromJson(element, readTime);
                if (entry && !entry->term.isEmpty())
                    loaded.append(std::move(*entry));
                else
                    ++dropped;
            }
        }
    }

    if (loaded.isEmpty()) {
        // Unreadable, undecodable or without a single usable entry. The seeds stay in memory; the file is
        // copied aside now, and is not overwritten until that copy exists.
        m_fileNeedsBackup = true;
        backUpFileOnDisk();
        publish(seedEntries());
        return;
    }
    // Elements that could not be read would vanish with the next save, so that save copies the file first.
    m_fileNeedsBackup = dropped > 0;
    publish(std::move(loaded));
    warmRecallKeys();
}

SerialQueue& PersonalLexiconStore::backgroundQueue()
{
    if (!m_backgroundQueue)
        m_backgroundQueue =
            std::make_unique<SerialQueue>(AppIdentity::queueLabel(QStringLiteral("lexicon.background")));
    return *m_backgroundQueue;
}

Status PersonalLexiconStore::readyToSave()
{
    if (m_storagePath.isEmpty())
        return Status::failure(QStringLiteral("The data folder is not available."));
    if (m_fileNeedsBackup && !backUpFileOnDisk())
        return Status::failure(
            QStringLiteral("The lexicon file on disk could not be backed up; it is left as it is."));
    return Status::success();
}

FileWriteQueue::Save PersonalLexiconStore::entriesSave() const
{
    // The list is shared, not copied, until the main thread changes it.
    return {m_storagePath, [entries = m_entries] {
                QJsonArray array;
                for (const LexiconEntry& entry : entries)
                    array.append(entry.toJson());
                return QJsonDocument(array).toJson(QJsonDocument::Compact);
            }};
}

Status PersonalLexiconStore::save()
{
    if (const Status ready = readyToSave(); !ready)
        return ready;
    return m_fileWrites.saveAndWait(entriesSave());
}

void PersonalLexiconStore::saveChanges()
{
    const quint64 number = ++m_lastSaveRequested;
    auto finished = [this, number](const Status& saved) {
        m_lastSaveFinished = number;
        Q_EMIT saveFinished(saved);
    };
    if (const Status ready = readyToSave(); !ready) {
        finished(ready);
        return;
    }
    m_fileWrites.save(entriesSave(), this, std::move(finished));
}

qsizetype PersonalLexiconStore::indexOfTerm(const QString& term) const
{
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        if (sameTerm(m_entries[i].term, term))
            return i;
    }
    return -1;
}

bool PersonalLexiconStore::upsert(const QString& term, const QStringList& aliases, LexiconCategory category,
                                  qint64 weight)
{
    const QString trimmed = Text::trimmed(term);
    if (Text::graphemeCount(trimmed) < kMinimumTermLength)
        return false;
    const qsizetype index = indexOfTerm(trimmed);
    if (index < 0) {
        m_entries.prepend(LexiconEntry(QUuid::createUuid(), trimmed, aliases,
                                       PhoneticIndexer::normalize(trimmed), category, weight, 0, now()));
    } else {
        LexiconEntry& entry = m_entries[index];
        entry.aliases = aliasUnion(entry.aliases, aliases, true);
        entry.weight = std::max(entry.weight, weight);
        entry.phoneticKey = PhoneticIndexer::normalize(trimmed);
    }
    Q_EMIT entriesChanged();
    saveChanges();
    return true;
}

int PersonalLexiconStore::bulkUpsert(const QList<BulkItem>& items)
{
    // Case-folded term -> first entry with it: the same match as a scan, without one per item.
    QHash<QString, qsizetype> firstIndex;
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const QString key = foldCase(m_entries[i].term);
        if (!firstIndex.contains(key))
            firstIndex.insert(key, i);
    }

    int added = 0;
    const Timestamp created = now();
    for (const BulkItem& item : items) {
        const QString trimmed = Text::trimmed(item.term);
        const int length = Text::graphemeCount(trimmed);
        if (length < kMinimumTermLength || length > kMaximumBulkTermLength)
            continue;
        const QString key = foldCase(trimmed);
        const auto found = firstIndex.constFind(key);
        if (found != firstIndex.constEnd()) {
            LexiconEntry& entry = m_entries[*found];
            entry.aliases = aliasUnion(entry.aliases, item.aliases, false);
            entry.weight = incremented(entry.weight);
        } else {
            m_entries.append(LexiconEntry(QUuid::createUuid(), trimmed, item.aliases,
                                          PhoneticIndexer::normalize(trimmed), item.category,
                                          kBulkAddedWeight, 0, created));
            firstIndex.insert(key, m_entries.size() - 1);
            ++added;
        }
    }
    std::stable_sort(m_entries.begin(), m_entries.end(),
                     [](const LexiconEntry& a, const LexiconEntry& b) { return a.weight > b.weight; });
    Q_EMIT entriesChanged();
    saveChanges();
    return added;
}

void PersonalLexiconStore::updateEntry(const QUuid& id, const QString& newTerm, const QStringList& newAliases,
                                       LexiconCategory newCategory, qint64 newWeight)
{
    const QString term = Text::trimmed(newTerm);
    if (term.isEmpty())
        return;
    const auto edited =
        std::find_if(m_entries.cbegin(), m_entries.cend(), [&](const LexiconEntry& e) { return e.id == id; });
    if (edited == m_entries.cend())
        return;
    const qsizetype editedIndex = edited - m_entries.cbegin();

    QStringList cleaned;
    for (const QString& alias : newAliases) {
        QString trimmedAlias = Text::trimmed(alias);
        if (!trimmedAlias.isEmpty() && !sameTerm(trimmedAlias, term))
            cleaned.append(std::move(trimmedAlias));
    }
    // A renamed term stays recognisable: the old spelling becomes an alias.
    const QString oldTerm = edited->term;
    if (!sameTerm(oldTerm, term) && Text::graphemeCount(oldTerm) >= kMinimumTermLength &&
        std::none_of(cleaned.cbegin(), cleaned.cend(),
                     [&](const QString& a) { return sameTerm(a, oldTerm); }))
        cleaned.prepend(oldTerm);

    const auto other = std::find_if(m_entries.begin(), m_entries.end(), [&](const LexiconEntry& e) {
        return e.id != id && sameTerm(e.term, term);
    });
    if (other != m_entries.end()) {
        QStringList merged;
        for (const QString& alias : aliasUnion(other->aliases, cleaned, false)) {
            if (!sameTerm(alias, term))
                merged.append(alias);
        }
        other->aliases = dedupedAndSorted(merged);
        other->category = newCategory;
        other->weight = std::max(other->weight, newWeight);
        other->phoneticKey = PhoneticIndexer::normalize(term);
        m_entries.removeAt(editedIndex);
    } else {
        LexiconEntry& entry = m_entries[editedIndex];
        entry.term = term;
        entry.aliases = dedupedAndSorted(cleaned);
        entry.category = newCategory;
        entry.weight = newWeight;
        entry.phoneticKey = PhoneticIndexer::normalize(term);
    }
    Q_EMIT entriesChanged();
    saveChanges();
}

void PersonalLexiconStore::remove(const QUuid& id)
{
    if (m_entries.removeIf([&](const LexiconEntry& e) { return e.id == id; }) > 0)
        Q_EMIT entriesChanged();
    saveChanges();
}

void PersonalLexiconStore::removeBatch(const QSet<QUuid>& ids)
{
    if (ids.isEmpty())
        return;
    if (m_entries.removeIf([&](const LexiconEntry& e) { return ids.contains(e.id); }) > 0)
        Q_EMIT entriesChanged();
    saveChanges();
}

void PersonalLexiconStore::recordTermHits(const QList<LexiconEntry>& entries)
{
    if (entries.isEmpty())
        return;
    QSet<QUuid> ids;
    for (const LexiconEntry& entry : entries)
        ids.insert(entry.id);
    bool changed = false;
    for (LexiconEntry& entry : m_entries) {
        if (ids.contains(entry.id)) {
            entry.hitCount = incremented(entry.hitCount);
            changed = true;
        }
    }
    if (!changed)
        return;
    Q_EMIT entriesChanged();
    saveChanges();
}
