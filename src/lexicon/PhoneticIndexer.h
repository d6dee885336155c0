#pragma once

#include "model/Records.h"

#include <QString>
#include <QStringList>

// Turns mixed Chinese and Latin text into toneless pinyin-like keys, so that sound-alike words match by plain
// substring search. Stateless; safe to call from any thread.
namespace PhoneticIndexer {

// Lower-case Latin letters and digits only: the key stored in every lexicon entry.
QString normalize(const QString& text);
// The transliterated syllables and Latin words, in text order.
QStringList syllables(const QString& text);
// A coarser key that also merges sounds recognisers and accents confuse (zh/z, l/n, ing/in, ...).
QString fuzzySkeleton(const QString& text);
// fuzzySkeleton() of text whose syllables() are already known, so one transliteration serves both keys.
QString fuzzySkeletonOfSyllables(const QStringList& syllables);

// Gives an entry without a phonetic key the normalized key of its term; a key it has is kept.
void fillPhoneticKey(LexiconEntry& entry);

// Lower-cased Mandarin-to-Latin transliteration with tone marks removed; syllables separated by spaces.
QString transliterate(const QString& text);
// How often the calling thread has run the transform (which is slow, and slower still on first use), so a
// caller can tell which thread pays for it.
quint64 transformRunsOnThisThread();

} // namespace PhoneticIndexer
