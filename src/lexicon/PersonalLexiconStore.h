#pragma once

#include "lexicon/TermImporter.h"
#include "lexicon/TermKeyCache.h"
#include "model/Records.h"
#include "util/AppIdentity.h"
#include "util/FileWriteQueue.h"
#include "util/SerialQueue.h"
#include "util/Status.h"

#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class Clock;

// The user's personal lexicon: the terms that correct transcripts, become hotwords for the speech engines and
// tell the language model the user's vocabulary. Kept in memory as an observable list and on disk as one JSON
// array ("lexicon.json"). Main thread only.
class PersonalLexiconStore final : public QObject {
    Q_OBJECT

public:
    static inline const QString kFileName = QStringLiteral("lexicon.json");

    // One item of a bulk addition (distilled or imported terms).
    struct BulkItem {
        QString term;
        QStringList aliases;
        LexiconCategory category = LexiconCategory::project;
    };

    // A correction the lexicon learned: the wording that was wrong and the wording that replaced it.
    struct LearnedPair {
        QString wrong;
        QString corrected;
        bool operator==(const LearnedPair&) const = default;
    };

    // An empty path means "lexicon.json" in the app's data folder. `clock` dates new entries (the system
    // clock when none is given) and must outlive the store.
    explicit PersonalLexiconStore(const QString& customStoragePath = {}, const Clock* clock = nullptr,
                                  QObject* parent = nullptr);
    ~PersonalLexiconStore() override; // stops the key work still under way; finishes every save

    const QList<LexiconEntry>& entries() const { return m_entries; }
    // One run of entries that a change replaced: from `first` on, `removed` entries became `inserted` ones,
    // and every other entry stayed as it was.
    struct EntriesChange {
        qsizetype first = 0;
        qsizetype removed = 0;
        qsizetype inserted = 0;
    };
    // Counts the changes of the entries, each announced by entriesChanged.
    quint64 entriesRevision() const { return m_entriesRevision; }
    // The run the last change replaced, when it was one (an addition, an edit, a removal of one entry).
    const std::optional<EntriesChange>& lastChange() const { return m_lastChange; }
    // Replaces the whole list; callers that edit entries this way call save() themselves.
    void setEntries(QList<LexiconEntry> entries);
    const QString& storagePath() const { return m_storagePath; }

    // Fills entries from the file, or from the seeds when there is no usable file; after the saves still
    // under way. A file that was not taken in whole is copied aside at once (fileKeptAside). Entries stored
    // without a phonetic key get it off the main thread, shortly after.
    void load();
    // Writes entries to the file atomically, after the saves still under way, and waits for it. Refused
    // while the file on disk holds something that was not taken in whole and could not be copied aside
    // first, and when the file would be larger than the store reads. Every change the store makes itself is
    // saved off the main thread instead, and announced by saveFinished.
    Status save();
    // Returns once every save asked for so far has ended.
    void waitForSaves() { m_fileWrites.waitForSaves(); }
    // The saves of changes, numbered from 1 as they are asked for; the number of the last one announced by
    // saveFinished. A save dropped for a newer one is announced with it.
    quint64 lastSaveRequested() const { return m_lastSaveRequested; }
    quint64 lastSaveFinished() const { return m_lastSaveFinished; }

    // False when the term is refused (shorter than two characters once trimmed, longer than the store takes,
    // or the file would grow past its limit; the last two are announced by additionRefused): nothing is
    // stored then.
    bool upsert(const QString& term, const QStringList& aliases, LexiconCategory category, qint64 weight);
    // Returns the number of entries newly added. Items the file has no more room for are left out and
    // announced by additionRefused.
    int bulkUpsert(const QList<BulkItem>& items);
    // False when nothing was changed: a blank term, an id no longer stored, or a refusal announced by
    // additionRefused (a term longer than the store takes, or no room left in the file).
    bool updateEntry(const QUuid& id, const QString& newTerm, const QStringList& newAliases,
                     LexiconCategory newCategory, qint64 newWeight);
    void remove(const QUuid& id);
    void removeBatch(const QSet<QUuid>& ids);
    // One more hit for each stored entry whose id is among the given entries, however often it is given.
    void recordTermHits(const QList<LexiconEntry>& entries);

    // The entries a transcript names or resembles in sound, best first, then pinned and fallback entries.
    QList<LexiconEntry> recallRelevantTerms(const QString& text, const QString& activeWindowTitle,
                                            int limit) const;
    // Words for the speech engines to favour: capitalised names from the hint first, then the strongest
    // terms.
    static QStringList rankHotwords(const QList<LexiconEntry>& entries, const QString& contextHint,
                                    int limit);
    QStringList topAcousticContextualStrings(const QString& contextHint, int limit) const;

    // A short selection rewritten by voice: the selection is taken as a mis-hearing of the new wording.
    // Stores what it learned (category autoLearned) and returns it.
    std::optional<LearnedPair> learnFromSelectionRewrite(const QString& selectedText,
                                                         const QString& rewrittenText);
    // The user edited one word of text we inserted: that word is taken as a correction. Stores what it
    // learned (category autoLearned) and returns it.
    std::optional<LearnedPair> learnFromManualEditIfApplicable(const QString& injectedText,
                                                               const QString& editedBoxValue);
    // Numbers, versions, paths and everyday words are never learned from an edit.
    static bool isCommonOrDisposableAutoLearnTerm(const QString& term);

    // Mine frequent page titles of the local browser's history, or frequent marked-up terms of a folder of
    // notes, on a worker thread, and merge the best ones into the lexicon on the calling (main) thread.
    QCoro::Task<TermImportResult> importFromLocalBrowserHistory(int maxEntries,
                                                                TermImportLocations locations = {});
    QCoro::Task<TermImportResult> importFromMarkdownFolder(QString folder, int maxEntries);

Q_SIGNALS:
    void entriesChanged();
    // After each save that follows a change, for the owner to report: a failure keeps the entries in
    // memory, and the next change saves them again.
    void saveFinished(const Status& status);
    // The file found at load was not taken in whole (`what` says how, for the user): it was copied to
    // copyPath, or could not be, for `error`; until it is, nothing is written over it.
    void fileKeptAside(const QString& what, const QString& copyPath, const QString& error);
    // An addition was refused for a reason the user must hear (the text says which and why).
    void additionRefused(const QString& reason);
    // The recall keys of the entries a load published are ready, derived off the main thread: until the
    // entries change, recall derives none there.
    void recallKeysWarmed();

private:
    Timestamp now() const;
    QList<LexiconEntry> seedEntries() const;
    // Copies the file on disk aside, on the writer's thread, before anything is written over it.
    void keepFileOnDiskAside(const QString& what);
    // No data folder: nothing may be written.
    Status readyToSave();
    // Whether the file has room for `addedBytes` more; says so when it has not.
    bool hasRoomFor(qint64 addedBytes, const QString& term);
    void recountFileBytes();
    FileWriteQueue::Save entriesSave() const;
    // fillKeys: entries without a phonetic key get it now (else in the background, after a load).
    void publish(QList<LexiconEntry> entries, bool fillKeys = true);
    // Spare room at the front of the list, where single additions go.
    static void makeRoomAtFront(QList<LexiconEntry>& entries);
    void applyFilledKeys(const QHash<QUuid, QString>& keys);
    void saveChanges();
    // Removes the entries `removes` picks, and saves.
    void removeWhere(const std::function<bool(const LexiconEntry&)>& removes);
    qsizetype indexOfTerm(const QString& term) const;
    // m_termCounts follows each entry that comes, goes or is renamed.
    void countTerm(const QString& term, int change);
    static std::optional<LearnedPair> extractSingleWordReplacement(const QString& origLine,
                                                                   const QString& editedLine);
    QCoro::Task<TermImportResult> mergeMinedTerms(std::function<MinedTerms()> mine, LexiconCategory category);
    SerialQueue& backgroundQueue();
    void warmRecallKeys();

    const Clock* m_clock;
    QString m_storagePath;
    QList<LexiconEntry> m_entries;
    // Case-folded term -> how many entries have it: an addition to a large lexicon learns that its term is
    // new without comparing it with every entry.
    QHash<QString, int> m_termCounts;
    // At least the size of the file that m_entries make, kept up to date as entries come and go.
    qint64 m_fileBytes = 0;
    // Counts the changes of m_entries (each announced by entriesChanged), so work done on a copy of them
    // knows whether it still fits.
    quint64 m_entriesRevision = 0;
    // Set by a change of one run just before it is announced; any other change announced leaves
    // m_lastChange empty.
    std::optional<EntriesChange> m_changing;
    std::optional<EntriesChange> m_lastChange;
    mutable TermKeyCache m_keyCache;
    quint64 m_lastSaveRequested = 0;
    quint64 m_lastSaveFinished = 0;
    FileWriteQueue m_fileWrites{AppIdentity::queueLabel(QStringLiteral("lexicon.files"))};
    // Set when the store goes: key work still under way for a large lexicon stops rather than hold up
    // quitting.
    std::shared_ptr<std::atomic<bool>> m_stopping = std::make_shared<std::atomic<bool>>(false);
    // Imports and the key warm-up run off the main thread; the queue starts with the first of them. Last
    // member: it finishes its work before anything else of the store goes.
    std::unique_ptr<SerialQueue> m_backgroundQueue;
};
