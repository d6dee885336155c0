#include "lexicon/DisposableTerm.h"

#include "util/Text.h"

#include <QSet>
#include <memory>
#include <unicode/regex.h>
#include <unicode/unistr.h>

namespace {

constexpr int kMinimumTermLength = 2;

const QSet<QString>& commonAutoLearnStopWords()
{
    static const QSet<QString> words = [] {
        const QString list = QStringLiteral(
            "今天 明天 昨天 现在 刚才 马上 以后 之前 时候 时间 可以 没有 不是 好的 没问题 什么 怎么 为什么 "
            "应该 需要 因为 所以 但是 如果 然后 不过 另外 还有 而且 或者 这个 那个 这些 那些 这样 那样 "
            "这里 那里 自己 大家 一下 一起 一直 一定 一点 一般 已经 还是 就是 只是 知道 觉得 希望 看看 "
            "意思 问题 地方 东西 事情 工作");
        const QStringList split = list.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        return QSet<QString>(split.cbegin(), split.cend());
    }();
    return words;
}

// Bare numbers, dotted or dashed versions with an optional "v", and a number with one counting unit.
const icu::RegexPattern* disposableTermPattern()
{
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError{};
        std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
            icu::UnicodeString(u"^(?:[vV]?\\d+(?:[.\\-]\\d+)*|\\d+[年月日时分秒天周月个次项%]?)$"), 0,
            parseError, status));
        if (U_FAILURE(status))
            compiled.reset();
        return compiled;
    }();
    return pattern.get();
}

bool matchesDisposableTermPattern(const QString& term)
{
    const icu::RegexPattern* pattern = disposableTermPattern();
    if (!pattern)
        return false;
    const icu::UnicodeString text(false, reinterpret_cast<const char16_t*>(term.utf16()),
                                  static_cast<int32_t>(term.size()));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
    if (U_FAILURE(status) || !matcher)
        return false;
    const bool found = matcher->find(status);
    return U_SUCCESS(status) && found;
}

} // namespace

bool DisposableTerm::isCommonOrDisposable(const QString& term)
{
    const QString trimmed = Text::trimmed(term);
    if (Text::graphemeCount(trimmed) < kMinimumTermLength)
        return true;
    if (trimmed.contains(QLatin1Char('/')) || trimmed.contains(QLatin1Char('\\')))
        return true; // "://" contains "/" as well
    if (matchesDisposableTermPattern(trimmed))
        return true;
    return commonAutoLearnStopWords().contains(trimmed);
}
