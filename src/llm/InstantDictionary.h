#pragma once

#include "llm/IcuRegex.h"
#include "model/Records.h"

#include <QList>
#include <QString>
#include <memory>

// The lexicon half of instant correction: mis-heard aliases become their terms. Compiling the patterns costs
// far more than applying them, and the correction runs on every partial transcript, so compiled lexicons are
// kept per lexicon content (see cached()).
class InstantDictionary {
public:
    // At most this many entries, in the given order, take part.
    static constexpr qsizetype kMaxEntries = 200;

    // Compiles the first kMaxEntries entries afresh.
    static std::shared_ptr<const InstantDictionary> compile(const QList<LexiconEntry>& entries);
    // The compiled form of these entries, compiled once per distinct lexicon content. Thread-safe.
    static std::shared_ptr<const InstantDictionary> cached(const QList<LexiconEntry>& entries);

    // Replaces aliases by their terms, entry by entry and longest alias first; later entries see the result
    // of earlier ones. Replacements are literal, and an alias found inside an occurrence of its own term is
    // left alone (the alias 张三 of 张三丰 does not touch "张三丰").
    QString apply(const QString& text) const;

    // Short Latin aliases that are everyday English words are never replaced.
    static bool isCommonShortEnglishWord(const QString& lowerCased);

private:
    struct Alias {
        QString folded; // full case folding, for the cheap "can it occur at all" test
        IcuRegex pattern;
    };
    struct Entry {
        QString term;
        IcuRegex termPattern; // literal, case-insensitive: where the term itself stands
        QList<Alias> aliases;
    };
    struct Key {
        QString term;
        QStringList aliases;
        bool operator==(const Key&) const = default;
    };

    static QList<Key> keyOf(const QList<LexiconEntry>& entries);
    static std::shared_ptr<const InstantDictionary> build(QList<Key> key);
    static QString applyAlias(const QString& text, const Entry& entry, const Alias& alias);

    QList<Key> m_key;
    QList<Entry> m_entries;
};
