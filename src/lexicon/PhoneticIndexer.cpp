#include "lexicon/PhoneticIndexer.h"

#include <memory>
#include <mutex>
#include <unicode/locid.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace {

// Each transliterator takes about 120 ms to build, so they are built once for the process. ICU documents no
// thread safety for a shared instance, hence the lock; its rule-based transliterators also take a
// process-wide lock of their own while they run, so per-thread copies would not run in parallel either.
struct Transliterators {
    std::unique_ptr<icu::Transliterator> hanLatin;
    std::unique_ptr<icu::Transliterator> stripMarks;
    std::mutex mutex;
};

std::unique_ptr<icu::Transliterator> createTransliterator(const char* id)
{
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Transliterator> t(icu::Transliterator::createInstance(id, UTRANS_FORWARD, status));
    if (U_FAILURE(status))
        t.reset();
    return t;
}

Transliterators& transliterators()
{
    static Transliterators instance{
        createTransliterator("Han-Latin"), createTransliterator("NFD; [:Nonspacing Mark:] Remove; NFC"), {}};
    return instance;
}

// Letters, marks and digits of any script.
bool isAlphanumeric(char32_t c)
{
    const uint32_t mask = U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK;
    return (U_GET_GC_MASK(static_cast<UChar32>(c)) & mask) != 0;
}

bool isAscii(const QString& text)
{
    for (QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

// Splits at every character that is not a letter, mark or digit.
QStringList alphanumericRuns(const QString& latin)
{
    QStringList result;
    qsizetype runStart = -1;
    for (qsizetype i = 0; i < latin.size();) {
        const bool pair = latin[i].isHighSurrogate() && i + 1 < latin.size() && latin[i + 1].isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(latin[i], latin[i + 1]) : latin[i].unicode();
        if (isAlphanumeric(c)) {
            if (runStart < 0)
                runStart = i;
        } else if (runStart >= 0) {
            result.append(latin.sliced(runStart, i - runStart));
            runStart = -1;
        }
        i += pair ? 2 : 1;
    }
    if (runStart >= 0)
        result.append(latin.sliced(runStart));
    return result;
}

// The transform's cost grows with the square of its input's length (a 100,000-character text took
// seconds), so long texts go through it in pieces of about this many UTF-16 units.
constexpr qsizetype kPieceUnits = 128;

thread_local quint64 transformRuns = 0;

QString transliteratePiece(const QString& text)
{
    ++transformRuns;
    icu::UnicodeString value(reinterpret_cast<const char16_t*>(text.utf16()),
                             static_cast<int32_t>(text.size()));
    value.toLower(icu::Locale::getRoot());
    Transliterators& t = transliterators();
    {
        std::lock_guard lock(t.mutex);
        if (t.hanLatin)
            t.hanLatin->transliterate(value);
        if (t.stripMarks)
            t.stripMarks->transliterate(value);
    }
    return QString(reinterpret_cast<const QChar*>(value.getBuffer()), value.length());
}

// Where to end a piece that starts at `start`: after a separator in its second half if there is one, so no
// word is cut, and never inside a surrogate pair.
qsizetype pieceEnd(const QString& text, qsizetype start)
{
    qsizetype end = start + kPieceUnits;
    if (end >= text.size())
        return text.size();
    for (qsizetype i = end; i > start + kPieceUnits / 2; --i) {
        if (!text[i - 1].isLetterOrNumber() && !text[i - 1].isSurrogate())
            return i;
    }
    if (text[end - 1].isHighSurrogate())
        --end;
    return end;
}

} // namespace

namespace PhoneticIndexer {

quint64 transformRunsOnThisThread()
{
    return transformRuns;
}

QString transliterate(const QString& text)
{
    if (text.size() <= kPieceUnits)
        return transliteratePiece(text);
    // Pieces joined by a space: syllables are space-separated anyway, and every key is built from runs of
    // letters and digits.
    QString result;
    for (qsizetype start = 0; start < text.size();) {
        const qsizetype end = pieceEnd(text, start);
        if (!result.isEmpty())
            result += u' ';
        result += transliteratePiece(text.sliced(start, end - start));
        start = end;
    }
    return result;
}

QString normalize(const QString& text)
{
    // The key is exactly the alphanumeric runs of the transliteration, run together.
    return syllables(text).join(QString());
}

void fillPhoneticKey(LexiconEntry& entry)
{
    if (entry.phoneticKey.isEmpty())
        entry.phoneticKey = normalize(entry.term);
}

QStringList syllables(const QString& text)
{
    if (text.isEmpty())
        return {};
    // The transform costs several microseconds per character even where it changes nothing. On plain ASCII it
    // only lower-cases and inserts spaces next to punctuation, which is a separator anyway, so the runs are
    // the same without it.
    if (isAscii(text))
        return alphanumericRuns(text.toLower());
    return alphanumericRuns(transliterate(text));
}

QString fuzzySkeletonOfSyllables(const QStringList& syllables)
{
    // Initial and final rewrites, each first match only, applied to Latin words too.
    static const std::pair<QString, QString> initials[] = {
        {QStringLiteral("zh"), QStringLiteral("z")},
        {QStringLiteral("ch"), QStringLiteral("c")},
        {QStringLiteral("sh"), QStringLiteral("s")},
        {QStringLiteral("l"), QStringLiteral("n")},
    };
    static const std::pair<QString, QString> finals[] = {
        {QStringLiteral("ing"), QStringLiteral("in")},
        {QStringLiteral("eng"), QStringLiteral("en")},
        {QStringLiteral("ang"), QStringLiteral("an")},
        {QStringLiteral("ong"), QStringLiteral("un")},
    };
    QString result;
    for (QString syllable : syllables) {
        for (const auto& [from, to] : initials) {
            if (syllable.startsWith(from)) {
                syllable.replace(0, from.size(), to);
                break;
            }
        }
        for (const auto& [from, to] : finals) {
            if (syllable.endsWith(from)) {
                syllable.replace(syllable.size() - from.size(), from.size(), to);
                break;
            }
        }
        result += syllable;
    }
    return result;
}

QString fuzzySkeleton(const QString& text)
{
    return fuzzySkeletonOfSyllables(syllables(text));
}

} // namespace PhoneticIndexer
