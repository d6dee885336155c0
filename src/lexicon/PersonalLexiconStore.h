#pragma once

#include "core/Records.h"
#include "lexicon/TermKeyCache.h"
#include "util/Status.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>

class Clock;

// The user's personal lexicon: the terms that correct transcripts, become hotwords for the speech engines and
// tell the language model the user's vocabulary. Kept in memory as an observable list and on disk as one JSON
// array ("lexicon.json"). Main thread only.
class PersonalLexiconStore final : public QObject {
    Q_OBJECT

public:
    // One item of a bulk addition (distilled or imported terms).
    struct BulkItem {
        QString term;
        QStringList aliases;
        LexiconCategory category = LexiconCategory::project;
    };

    // An empty path means "lexicon.json" in the app's data folder. `clock` dates new entries (the system
    // clock when none is given) and must outlive the store.
    explicit PersonalLexiconStore(const QString& customStoragePath = {}, const Clock* clock = nullptr,
                                  QObject* parent = nullptr);

    const QList<LexiconEntry>& entries() const { return m_entries; }
    // Replaces the whole list; callers that edit entries this way call save() themselves.
    void setEntries(QList<LexiconEntry> entries);
    const QString& storagePath() const { return m_storagePath; }

    // Fills entries from the file, or from the seeds when there is no usable file.
    void load();
    // Writes entries to the file atomically. Refused while the file on disk holds something that was not
    // taken in whole and could not be copied aside first.
    Status save();

    void upsert(const QString& term, const QStringList& aliases, LexiconCategory category, qint64 weight);
    // Returns the number of entries newly added.
    int bulkUpsert(const QList<BulkItem>& items);
    void updateEntry(const QUuid& id, const QString& newTerm, const QStringList& newAliases,
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

Q_SIGNALS:
    void entriesChanged();

private:
    Timestamp now() const;
    QList<LexiconEntry> seedEntries() const;
    // Copies the file on disk to the backup beside it; true when nothing there needs keeping any more.
    bool backUpFileOnDisk();
    void publish(QList<LexiconEntry> entries);
    qsizetype indexOfTerm(const QString& term) const;

    const Clock* m_clock;
    QString m_storagePath;
    QList<LexiconEntry> m_entries;
    // The file on disk holds data the store did not take in whole; it must be copied aside before it is
    // overwritten.
    bool m_fileNeedsBackup = false;
    mutable TermKeyCache m_keyCache;
};
