#pragma once

#include "model/Models.h"
#include "util/Timestamp.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <QUuid>
#include <optional>

// One entry of the dictation history ("history.json", newest first).
struct DictationRecord {
    static constexpr double kMinimumDurationSeconds = 0.2;
    // A day of speech or of waiting for a model is far beyond anything real: a stored value outside 0 up to
    // these is not a measurement.
    static constexpr double kMaximumDurationSeconds = 24 * 60 * 60;
    static constexpr qint64 kMaximumPolishLatencyMs = 24LL * 60 * 60 * 1000;

    QUuid id;
    Timestamp timestamp;
    QString rawTranscript;
    QString polishedText;
    double durationSeconds = kMinimumDurationSeconds;
    qint64 polishLatencyMs = 0;
    QString targetAppName;
    DictationMode mode = DictationMode::dictate;
    // The first five recalled lexicon terms, in recall order.
    QStringList matchedTerms;

    DictationRecord() = default;
    // Raises the duration to at least 0.2 s (an undefined duration becomes 0.2 s).
    DictationRecord(QUuid id, Timestamp timestamp, QString rawTranscript, QString polishedText,
                    double durationSeconds, qint64 polishLatencyMs, QString targetAppName, DictationMode mode,
                    QStringList matchedTerms);

    // User-perceived characters of the delivered text.
    int characterCount() const;

    QJsonObject toJson() const;
    // Nothing when a value is missing or of the wrong type, except that a record whose texts are intact is
    // kept with a new id for one that is no UUID, and as a plain dictation for a mode that is missing or
    // unknown (a newer version's); *salvaged then says so.
    static std::optional<DictationRecord> fromJson(const QJsonValue& json, bool* salvaged = nullptr);

    bool operator==(const DictationRecord&) const = default;
};

// The history file read record by record: a bad record is skipped, not the whole file, and the complete
// records of a file cut short are kept.
struct [[nodiscard]] HistoryDecodeResult {
    QList<DictationRecord> records;
    qsizetype skippedRecords = 0;
    // Records whose duration or latency was out of range and was reset: 0.2 s, 0 ms.
    qsizetype adjustedRecords = 0;
    // Records kept with a new id or as a plain dictation (their id or mode did not read).
    qsizetype salvagedRecords = 0;
    bool unreadable = false; // not a JSON array at all

    // Anything was lost or changed on reading: the file must be kept aside before it is overwritten.
    bool needsBackup() const
    {
        return unreadable || skippedRecords > 0 || adjustedRecords > 0 || salvagedRecords > 0;
    }
};

HistoryDecodeResult decodeHistory(const QByteArray& fileContents);
QByteArray encodeHistory(const QList<DictationRecord>& records);

// One personal-dictionary term ("lexicon.json").
struct LexiconEntry {
    static constexpr qint64 kDefaultWeight = 5;

    QUuid id;
    QString term;
    QStringList aliases;
    QString phoneticKey;
    LexiconCategory category = LexiconCategory::project;
    qint64 weight = kDefaultWeight;
    qint64 hitCount = 0;
    Timestamp createdAt;

    LexiconEntry() = default;
    // Trims the term and the aliases (dropping blank ones). The phonetic key is stored as given: computing
    // one needs the transliterator, which is the lexicon's (PhoneticIndexer::withPhoneticKey fills a missing
    // one).
    LexiconEntry(QUuid id, const QString& term, const QStringList& aliases, const QString& phoneticKey,
                 LexiconCategory category, qint64 weight, qint64 hitCount, Timestamp createdAt);

    QJsonObject toJson() const;
    // Lenient: each missing or mistyped key takes its default (a missing phonetic key stays empty); fails
    // only for a non-object. `now` is the creation date given to an entry that has none. unusableValue is set
    // when a key is present with a value that could not be used (a wrong type, an unknown category).
    static std::optional<LexiconEntry> fromJson(const QJsonValue& json, Timestamp now = Timestamp::now(),
                                                bool* unusableValue = nullptr);

    bool operator==(const LexiconEntry&) const = default;
};
// Moved as bytes when a list of 100,000 entries grows: element by element that is a frame's time.
Q_DECLARE_TYPEINFO(LexiconEntry, Q_RELOCATABLE_TYPE);
