#include "llm/IcuRegex.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

struct IcuRegex::Compiled {
    std::unique_ptr<icu::RegexPattern> pattern;
};

namespace {

// A read-only ICU view of a QString's code units; the text must outlive it.
icu::UnicodeString icuView(QStringView text)
{
    static const char16_t kEmpty[1] = {0};
    if (text.isEmpty())
        return icu::UnicodeString(false, kEmpty, 0);
    return icu::UnicodeString(false, reinterpret_cast<const char16_t*>(text.utf16()),
                              static_cast<int32_t>(text.size()));
}

QString fromIcu(const icu::UnicodeString& text)
{
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}

} // namespace

IcuRegex::IcuRegex(QStringView pattern, std::uint32_t flags)
{
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    // compile() copies the pattern text, so a view is enough here.
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icuView(pattern), flags, parseError, status));
    if (U_FAILURE(status) || !compiled)
        return;
    auto holder = std::make_shared<Compiled>();
    holder->pattern = std::move(compiled);
    m_compiled = std::move(holder);
}

IcuRegex IcuRegex::literal(QStringView text, bool caseInsensitive)
{
    return IcuRegex(text, caseInsensitive ? (UREGEX_LITERAL | UREGEX_CASE_INSENSITIVE) : UREGEX_LITERAL);
}

QString IcuRegex::replaceAll(const QString& text, const QString& replacementTemplate) const
{
    if (!m_compiled || text.isEmpty())
        return text;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString input = icuView(text);
    std::unique_ptr<icu::RegexMatcher> matcher(m_compiled->pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher)
        return text;
    const icu::UnicodeString result = matcher->replaceAll(icuView(replacementTemplate), status);
    if (U_FAILURE(status) || result.isBogus())
        return text;
    return fromIcu(result);
}

bool IcuRegex::containsMatch(QStringView text) const
{
    if (!m_compiled)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString input = icuView(text);
    std::unique_ptr<icu::RegexMatcher> matcher(m_compiled->pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher)
        return false;
    const bool found = matcher->find(status);
    return U_SUCCESS(status) && found;
}

std::optional<QList<IcuRegex::Span>> IcuRegex::matches(QStringView text, bool overlapping) const
{
    if (!m_compiled)
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString input = icuView(text);
    std::unique_ptr<icu::RegexMatcher> matcher(m_compiled->pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher)
        return std::nullopt;
    QList<Span> spans;
    if (!overlapping) {
        while (matcher->find(status)) {
            const int32_t start = matcher->start(status);
            const int32_t end = matcher->end(status);
            if (U_FAILURE(status))
                return std::nullopt;
            spans.append({start, end});
        }
        if (U_FAILURE(status))
            return std::nullopt;
        return spans;
    }
    int32_t from = 0;
    while (from <= input.length() && matcher->find(from, status)) {
        const int32_t start = matcher->start(status);
        const int32_t end = matcher->end(status);
        if (U_FAILURE(status))
            return std::nullopt;
        spans.append({start, end});
        from = input.moveIndex32(start, 1);
        if (from == start) // at the end of the text
            break;
    }
    if (U_FAILURE(status))
        return std::nullopt;
    return spans;
}
