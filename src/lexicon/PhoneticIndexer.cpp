#include "lexicon/PhoneticIndexer.h"

#include <memory>
#include <mutex>
#include <unicode/locid.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace {

// Each transliterator takes about 120 ms to build, so they are built once for the process.
struct Transliterators {
    std::unique_ptr<icu::Transliterator> hanLatin;
    std::unique_ptr<icu::Transliterator> stripMarks;
    std::mutex mutex; // ICU transliterators are not documented as safe for concurrent use
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
    static Transliterators instance{createTransliterator("Han-Latin"),
                                    createTransliterator("NFD; [:Nonspacing Mark:] Remove; NFC"), {}};
    return instance;
}

// Letters, marks and digits of any script.
bool isAlphanumeric(UChar32 c)
{
    const uint32_t mask = U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK;
    return (U_GET_GC_MASK(c) & mask) != 0;
}

} // namespace

namespace PhoneticIndexer {

QString transliterate(const QString& text)
{
    icu::UnicodeString value(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<int32_t>(text.size()));
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

QString normalize(const QString& text)
{
    // The key is exactly the alphanumeric runs of the transliteration, run together.
    return syllables(text).join(QString());
}

QStringList syllables(const QString& text)
{
    QStringList result;
    if (text.isEmpty())
        return result;
    const QString latin = transliterate(text);
    QString current;
    for (qsizetype i = 0; i < latin.size();) {
        const qsizetype width =
            (latin[i].isHighSurrogate() && i + 1 < latin.size() && latin[i + 1].isLowSurrogate()) ? 2 : 1;
        const char32_t c = width == 2 ? QChar::surrogateToUcs4(latin[i], latin[i + 1]) : latin[i].unicode();
        if (isAlphanumeric(static_cast<UChar32>(c))) {
            current.append(latin.sliced(i, width));
        } else if (!current.isEmpty()) {
            result.append(current);
            current.clear();
        }
        i += width;
    }
    if (!current.isEmpty())
        result.append(current);
    return result;
}

QString fuzzySkeleton(const QString& text)
{
    QString result;
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
    for (QString syllable : syllables(text)) {
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

} // namespace PhoneticIndexer
