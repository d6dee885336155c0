#include "util/Text.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace {

// Creating a break iterator costs far more than using one: keep one per thread.
icu::BreakIterator* characterIterator()
{
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status))
            it.reset();
        return it;
    }();
    return iterator.get();
}

// Plain ASCII without CR has one cluster per code unit; CR LF is one cluster.
bool isSimpleAscii(QStringView text)
{
    for (QChar c : text) {
        if (c.unicode() >= 0x7f || c.unicode() == u'\r')
            return false;
    }
    return true;
}

template <typename Visitor>
void forEachBoundary(QStringView text, Visitor&& visit)
{
    if (isSimpleAscii(text)) {
        for (qsizetype i = 0; i <= text.size(); ++i) {
            if (!visit(i))
                return;
        }
        return;
    }
    icu::BreakIterator* it = characterIterator();
    if (!it) { // no ICU data: fall back to code points so nothing is split inside a surrogate pair
        qsizetype i = 0;
        while (i < text.size()) {
            if (!visit(i))
                return;
            i += (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) ? 2 : 1;
        }
        visit(text.size());
        return;
    }
    const icu::UnicodeString alias(false, reinterpret_cast<const char16_t*>(text.utf16()),
                                   static_cast<int32_t>(text.size()));
    it->setText(alias);
    for (int32_t pos = it->first(); pos != icu::BreakIterator::DONE; pos = it->next()) {
        if (!visit(static_cast<qsizetype>(pos)))
            return;
    }
}

} // namespace

namespace Text {

int graphemeCount(QStringView text)
{
    if (text.isEmpty())
        return 0;
    int boundaries = 0;
    forEachBoundary(text, [&](qsizetype) {
        ++boundaries;
        return true;
    });
    return boundaries - 1;
}

QList<qsizetype> graphemeBoundaries(QStringView text)
{
    QList<qsizetype> result;
    if (text.isEmpty()) {
        result.append(0);
        return result;
    }
    forEachBoundary(text, [&](qsizetype pos) {
        result.append(pos);
        return true;
    });
    return result;
}

QString graphemePrefix(QStringView text, int count)
{
    if (count <= 0)
        return {};
    qsizetype end = text.size();
    int seen = -1;
    forEachBoundary(text, [&](qsizetype pos) {
        if (++seen == count) {
            end = pos;
            return false;
        }
        return true;
    });
    return text.first(end).toString();
}

QString graphemeSuffix(QStringView text, int count)
{
    if (count <= 0)
        return {};
    const QList<qsizetype> bounds = graphemeBoundaries(text);
    const qsizetype clusters = bounds.size() - 1;
    if (count >= clusters)
        return text.toString();
    return text.sliced(bounds[clusters - count]).toString();
}

QStringList graphemes(QStringView text)
{
    QStringList result;
    const QList<qsizetype> bounds = graphemeBoundaries(text);
    for (qsizetype i = 0; i + 1 < bounds.size(); ++i)
        result.append(text.sliced(bounds[i], bounds[i + 1] - bounds[i]).toString());
    return result;
}

bool isWhitespaceOrNewline(char32_t c)
{
    if ((c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85)
        return true;
    if (c < 0xa0)
        return false;
    const int8_t category = u_charType(static_cast<UChar32>(c));
    return category == U_SPACE_SEPARATOR || category == U_LINE_SEPARATOR || category == U_PARAGRAPH_SEPARATOR;
}

QString trimmed(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    // Every white-space code point of Unicode lies in the BMP, so code units suffice.
    while (begin < end && isWhitespaceOrNewline(text[begin].unicode()))
        ++begin;
    while (end > begin && isWhitespaceOrNewline(text[end - 1].unicode()))
        --end;
    return text.sliced(begin, end - begin).toString();
}

bool isBlank(QStringView text)
{
    for (QChar c : text) {
        if (!isWhitespaceOrNewline(c.unicode()))
            return false;
    }
    return true;
}

} // namespace Text
