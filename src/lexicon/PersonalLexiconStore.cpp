#include "lexicon/PersonalLexiconStore.h"

#include "lexicon/LexiconFile.h"
#include "lexicon/LexiconText.h"
#include "lexicon/PhoneticIndexer.h"
#include "util/AppIdentity.h"
#include "util/DataFolder.h"
#include "util/FileIO.h"
#include "util/Scheduler.h"
#include "util/Text.h"

#include <QHash>
#include <QMetaObject>
#include <algorithm>
#include <limits>

namespace {

using LexiconText::foldCase;
using LexiconText::sameTerm;

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

// "lexicon.json 有 3 个词条无法读取，2 个空白词条已去掉": what a load dropped or changed, for the user.
QString describeChanges(const LexiconFile::Decoded& decoded)
{
    QStringList parts;
    if (decoded.lost > 0 && !decoded.entries.isEmpty())
        parts.append(QStringLiteral("有 %1 处内容无法读取，已保留可读的 %2 个词条")
                         .arg(decoded.lost)
                         .arg(decoded.entries.size()));
    else if (decoded.lost > 0)
        parts.append(QStringLiteral("有 %1 处内容无法读取").arg(decoded.lost));
    if (decoded.blankTerms > 0)
        parts.append(QStringLiteral("%1 个空白词条已去掉").arg(decoded.blankTerms));
    if (decoded.longTerms > 0)
        parts.append(QStringLiteral("%1 个超过 %2 字的词条已去掉")
                         .arg(decoded.longTerms)
                         .arg(LexiconFile::kMaximumTermLength));
    if (decoded.unusableValues > 0)
        parts.append(QStringLiteral("%1 个词条含无法使用的值，已改用默认值").arg(decoded.unusableValues));
    if (decoded.mergedEntries > 0)
        parts.append(QStringLiteral("%1 个编号重复的词条已合并").arg(decoded.mergedEntries));
    if (decoded.reassignedIds > 0)
        parts.append(QStringLiteral("%1 个词条与其他词条编号相同，已换用新编号").arg(decoded.reassignedIds));
    return parts.join(QStringLiteral("，"));
}

QString tooLongText(const QString& term)
{
    return QStringLiteral("「%1…」超过 %2 字，词库不收录")
        .arg(Text::graphemePrefix(term, 12))
        .arg(LexiconFile::kMaximumTermLength);
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
    connect(this, &PersonalLexiconStore::entriesChanged, this, [this] {
        ++m_entriesRevision;
        m_lastChange = std::exchange(m_changing, std::nullopt);
    });
    load();
}

PersonalLexiconStore::~PersonalLexiconStore()
{
    m_stopping->store(true);
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

void PersonalLexiconStore::publish(QList<LexiconEntry> entries, bool fillKeys)
{
    // Entries made without a key get it here, so every stored entry has one.
    if (fillKeys) {
        for (LexiconEntry& entry : entries)
            PhoneticIndexer::fillPhoneticKey(entry);
    }
    makeRoomAtFront(entries);
    m_entries = std::move(entries);
    recountFileBytes();
    m_termCounts.clear();
    m_termCounts.reserve(m_entries.size());
    for (const LexiconEntry& entry : std::as_const(m_entries))
        ++m_termCounts[foldCase(entry.term)];
    Q_EMIT entriesChanged();
}

void PersonalLexiconStore::makeRoomAtFront(QList<LexiconEntry>& entries)
{
    // A list read from a file or built by appending has its spare room at the end only: the first single
    // addition would move every entry into a new block, some 10 ms on the main thread for 100,000 terms.
    // Growing at the front leaves room there for the additions that follow.
    entries.prepend(LexiconEntry());
    entries.removeFirst();
}

void PersonalLexiconStore::countTerm(const QString& term, int change)
{
    const QString key = foldCase(term);
    const int count = m_termCounts.value(key) + change;
    if (count > 0)
        m_termCounts.insert(key, count);
    else
        m_termCounts.remove(key);
}

void PersonalLexiconStore::recountFileBytes()
{
    m_fileBytes = LexiconFile::kArrayBytes;
    for (const LexiconEntry& entry : m_entries)
        m_fileBytes += LexiconFile::encodedSizeBound(entry);
}

bool PersonalLexiconStore::hasRoomFor(qint64 addedBytes, const QString& term)
{
    if (m_fileBytes + addedBytes <= LexiconFile::kMaxFileBytes)
        return true;
    Q_EMIT additionRefused(QStringLiteral("词库文件已接近 %1 MB 的上限，「%2」没有加入；删去一些词条后再试")
                               .arg(LexiconFile::kMaxFileBytes / (1024 * 1024))
                               .arg(Text::graphemePrefix(term, 12)));
    return false;
}

void PersonalLexiconStore::applyFilledKeys(const QHash<QUuid, QString>& keys)
{
    // An entry still without a key is as it was loaded: edits always give one.
    bool changed = false;
    for (LexiconEntry& entry : m_entries) {
        if (!entry.phoneticKey.isEmpty())
            continue;
        const auto key = keys.constFind(entry.id);
        if (key != keys.constEnd()) {
            entry.phoneticKey = *key;
            changed = true;
        }
    }
    if (changed) {
        recountFileBytes();
        Q_EMIT entriesChanged();
    }
}

void PersonalLexiconStore::setEntries(QList<LexiconEntry> entries)
{
    publish(std::move(entries));
}

void PersonalLexiconStore::keepFileOnDiskAside(const QString& what)
{
    m_fileWrites.keepAside(m_storagePath, this, [this, what](const Result<QString>& copy) {
        Q_EMIT fileKeptAside(what, copy ? copy.value() : QString(),
                             copy ? QString() : copy.error().description);
    });
}

void PersonalLexiconStore::load()
{
    m_fileWrites.waitForSaves();
    const FileIO::ReadResult read = m_storagePath.isEmpty()
                                        ? FileIO::ReadResult{}
                                        : FileIO::readFile(m_storagePath, LexiconFile::kMaxFileBytes);
    if (read.kind == FileIO::ReadResult::Kind::missing ||
        (read.kind == FileIO::ReadResult::Kind::read && read.bytes.isEmpty())) {
        publish(seedEntries());
        saveChanges();
        warmRecallKeys();
        return;
    }

    LexiconFile::Decoded decoded;
    QString what;
    if (read.unreadable()) {
        what = QStringLiteral("%1 无法读取（%2）").arg(kFileName, read.reason);
    } else {
        decoded = LexiconFile::decode(read.bytes, now());
        if (!decoded.isArray)
            what = QStringLiteral("%1 不是词条列表，无法读取").arg(kFileName);
        else if (decoded.entries.isEmpty() && decoded.changed())
            what = QStringLiteral("%1 中没有可用的词条：%2").arg(kFileName, describeChanges(decoded));
        else if (decoded.entries.isEmpty())
            what = QStringLiteral("%1 中没有可用的词条").arg(kFileName);
        else if (decoded.changed())
            what = kFileName + QLatin1Char(' ') + describeChanges(decoded);
    }
    // What was not taken in whole would be lost with the next save: it is copied aside first.
    if (!what.isEmpty())
        keepFileOnDiskAside(what);
    if (decoded.entries.isEmpty()) {
        // The seeds stay in memory; the unusable file stays in place until the next save.
        publish(seedEntries());
        warmRecallKeys();
        return;
    }
    // Keys missing from the file are filled in the background with the recall keys: a transform per term
    // takes seconds for a large hand-made file.
    publish(std::move(decoded.entries), /*fillKeys=*/false);
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
        return Status::failure(QStringLiteral("数据文件夹不可用"));
    return Status::success();
}

FileWriteQueue::Save PersonalLexiconStore::entriesSave() const
{
    // The list is shared, not copied, until the main thread changes it.
    return {m_storagePath, [entries = m_entries] { return LexiconFile::encode(entries); },
            LexiconFile::kMaxFileBytes};
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
        // Told from the event loop like a save's result, so a load in the constructor is heard too.
        QMetaObject::invokeMethod(
            this, [finished = std::move(finished), ready] { finished(ready); }, Qt::QueuedConnection);
        return;
    }
    m_fileWrites.save(entriesSave(), this, std::move(finished));
}

qsizetype PersonalLexiconStore::indexOfTerm(const QString& term) const
{
    if (!m_termCounts.contains(foldCase(term)))
        return -1;
    // The first characters, folded as sameTerm() folds them, rule out nearly every entry of a large lexicon
    // at a fraction of a full comparison's cost.
    const bool quickFirst = !term.isEmpty() && !term.front().isSurrogate();
    const char32_t first = quickFirst ? QChar::toCaseFolded(char32_t(term.front().unicode())) : 0;
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const QString& candidate = m_entries[i].term;
        if (quickFirst && !candidate.isEmpty() && !candidate.front().isSurrogate() &&
            QChar::toCaseFolded(char32_t(candidate.front().unicode())) != first)
            continue;
        if (sameTerm(candidate, term))
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
    if (LexiconFile::isTooLong(trimmed)) {
        Q_EMIT additionRefused(tooLongText(trimmed));
        return false;
    }
    const qsizetype index = indexOfTerm(trimmed);
    if (index < 0) {
        LexiconEntry added(QUuid::createUuid(), trimmed, aliases, PhoneticIndexer::normalize(trimmed),
                           category, weight, 0, now());
        const qint64 bytes = LexiconFile::encodedSizeBound(added);
        if (!hasRoomFor(bytes, trimmed))
            return false;
        m_entries.prepend(std::move(added));
        m_fileBytes += bytes;
        countTerm(trimmed, 1);
        m_changing = EntriesChange{0, 0, 1};
    } else {
        LexiconEntry changed = m_entries[index];
        changed.aliases = aliasUnion(changed.aliases, aliases, true);
        changed.weight = std::max(changed.weight, weight);
        changed.phoneticKey = PhoneticIndexer::normalize(trimmed);
        const qint64 growth =
            LexiconFile::encodedSizeBound(changed) - LexiconFile::encodedSizeBound(m_entries[index]);
        if (!hasRoomFor(growth, trimmed))
            return false;
        m_entries[index] = std::move(changed);
        m_fileBytes += growth;
        m_changing = EntriesChange{index, 1, 1};
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
    QString refused; // the first item the file had no room for
    for (const BulkItem& item : items) {
        const QString trimmed = Text::trimmed(item.term);
        const int length = Text::graphemeCount(trimmed);
        if (length < kMinimumTermLength || length > kMaximumBulkTermLength)
            continue;
        const QString key = foldCase(trimmed);
        const auto found = firstIndex.constFind(key);
        if (found != firstIndex.constEnd()) {
            LexiconEntry& entry = m_entries[*found];
            const qint64 before = LexiconFile::encodedSizeBound(entry);
            const QStringList merged = aliasUnion(entry.aliases, item.aliases, false);
            LexiconEntry grown = entry;
            grown.aliases = merged;
            const qint64 growth = LexiconFile::encodedSizeBound(grown) - before;
            if (m_fileBytes + growth > LexiconFile::kMaxFileBytes) {
                refused = refused.isEmpty() ? trimmed : refused;
                continue;
            }
            entry.aliases = merged;
            entry.weight = incremented(entry.weight);
            m_fileBytes += growth;
        } else {
            LexiconEntry entry(QUuid::createUuid(), trimmed, item.aliases,
                               PhoneticIndexer::normalize(trimmed), item.category, kBulkAddedWeight, 0,
                               created);
            const qint64 bytes = LexiconFile::encodedSizeBound(entry);
            if (m_fileBytes + bytes > LexiconFile::kMaxFileBytes) {
                refused = refused.isEmpty() ? trimmed : refused;
                continue;
            }
            m_entries.append(std::move(entry));
            m_fileBytes += bytes;
            firstIndex.insert(key, m_entries.size() - 1);
            ++m_termCounts[key];
            ++added;
        }
    }
    if (!refused.isEmpty())
        (void)hasRoomFor(LexiconFile::kMaxFileBytes, refused); // says so, once
    std::stable_sort(m_entries.begin(), m_entries.end(),
                     [](const LexiconEntry& a, const LexiconEntry& b) { return a.weight > b.weight; });
    Q_EMIT entriesChanged();
    saveChanges();
    return added;
}

bool PersonalLexiconStore::updateEntry(const QUuid& id, const QString& newTerm, const QStringList& newAliases,
                                       LexiconCategory newCategory, qint64 newWeight)
{
    const QString term = Text::trimmed(newTerm);
    if (term.isEmpty())
        return false;
    if (LexiconFile::isTooLong(term)) {
        Q_EMIT additionRefused(tooLongText(term));
        return false;
    }
    const auto edited =
        std::find_if(m_entries.cbegin(), m_entries.cend(), [&](const LexiconEntry& e) { return e.id == id; });
    if (edited == m_entries.cend())
        return false;
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

    // Another entry with the new term is looked for only when the counts say there is one.
    const int othersWithTerm = m_termCounts.value(foldCase(term)) - (sameTerm(oldTerm, term) ? 1 : 0);
    const auto other = othersWithTerm <= 0
                           ? m_entries.end()
                           : std::find_if(m_entries.begin(), m_entries.end(), [&](const LexiconEntry& e) {
                                 return e.id != id && sameTerm(e.term, term);
                             });
    if (other != m_entries.end()) {
        QStringList merged;
        for (const QString& alias : aliasUnion(other->aliases, cleaned, false)) {
            if (!sameTerm(alias, term))
                merged.append(alias);
        }
        LexiconEntry changed = *other;
        changed.aliases = dedupedAndSorted(merged);
        changed.category = newCategory;
        changed.weight = std::max(other->weight, newWeight);
        changed.phoneticKey = PhoneticIndexer::normalize(term);
        const qint64 growth = LexiconFile::encodedSizeBound(changed) - LexiconFile::encodedSizeBound(*other) -
                              LexiconFile::encodedSizeBound(m_entries[editedIndex]);
        if (!hasRoomFor(growth, term))
            return false;
        *other = std::move(changed);
        m_fileBytes += growth;
        m_entries.removeAt(editedIndex);
        countTerm(oldTerm, -1);
    } else {
        LexiconEntry changed = m_entries[editedIndex];
        changed.term = term;
        changed.aliases = dedupedAndSorted(cleaned);
        changed.category = newCategory;
        changed.weight = newWeight;
        changed.phoneticKey = PhoneticIndexer::normalize(term);
        const qint64 growth =
            LexiconFile::encodedSizeBound(changed) - LexiconFile::encodedSizeBound(m_entries[editedIndex]);
        if (!hasRoomFor(growth, term))
            return false;
        m_entries[editedIndex] = std::move(changed);
        m_fileBytes += growth;
        countTerm(oldTerm, -1);
        countTerm(term, 1);
        m_changing = EntriesChange{editedIndex, 1, 1};
    }
    Q_EMIT entriesChanged();
    saveChanges();
    return true;
}

void PersonalLexiconStore::remove(const QUuid& id)
{
    const auto hasId = [&](const LexiconEntry& e) { return e.id == id; };
    const auto found = std::find_if(m_entries.cbegin(), m_entries.cend(), hasId);
    // Entries given by setEntries() may share an id: every one of them goes.
    if (found != m_entries.cend() && std::any_of(found + 1, m_entries.cend(), hasId)) {
        const QUuid removed = id; // `id` may be an entry's own, which the removal moves
        removeWhere([&](const LexiconEntry& e) { return e.id == removed; });
        return;
    }
    if (found != m_entries.cend()) {
        const qsizetype index = found - m_entries.cbegin();
        m_fileBytes -= LexiconFile::encodedSizeBound(*found);
        countTerm(found->term, -1);
        m_entries.removeAt(index);
        m_changing = EntriesChange{index, 1, 0};
        Q_EMIT entriesChanged();
    }
    saveChanges();
}

void PersonalLexiconStore::removeBatch(const QSet<QUuid>& ids)
{
    if (ids.isEmpty())
        return;
    removeWhere([&](const LexiconEntry& e) { return ids.contains(e.id); });
}

void PersonalLexiconStore::removeWhere(const std::function<bool(const LexiconEntry&)>& removes)
{
    // What the removed entries took of the file is taken off: a recount would cost a large lexicon a pass
    // over every entry.
    qint64 removedBytes = 0;
    const auto removed = [&](const LexiconEntry& e) {
        if (!removes(e))
            return false;
        removedBytes += LexiconFile::encodedSizeBound(e);
        countTerm(e.term, -1);
        return true;
    };
    if (m_entries.removeIf(removed) > 0) {
        m_fileBytes -= removedBytes;
        Q_EMIT entriesChanged();
    }
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
