// Local correction and formatting: no network, pure functions of their arguments.
#include "llm/IcuRegex.h"
#include "llm/InstantDictionary.h"
#include "llm/PolishEngine.h"
#include "util/Text.h"

namespace {

// The fixed patterns are compiled once; a pattern that fails to compile skips its step.
struct FormattingPatterns {
    IcuRegex percentage{uR"(百分之(\d+(?:\.\d+)?))"};
    IcuRegex blankLines{uR"([ \t]*\n{2,}[ \t]*)"};
    IcuRegex bold{uR"(\*\*([^\n*]{1,80})\*\*)"};
    IcuRegex heading{uR"((?m)^#{1,4}[ \t]+)"};
    IcuRegex questionAfterChinese{uR"(([\u4e00-\u9fa5])\s*\?)"};
    IcuRegex exclamationAfterChinese{uR"(([\u4e00-\u9fa5])\s*!)"};
    IcuRegex chineseThenLatin{uR"(([\u4e00-\u9fa5])([A-Za-z0-9$¥%]))"};
    IcuRegex latinThenChinese{uR"(([A-Za-z0-9%])([\u4e00-\u9fa5]))"};
};

const FormattingPatterns& patterns()
{
    static const FormattingPatterns compiled;
    return compiled;
}

bool isChineseIdeograph(char32_t c)
{
    return c >= 0x4e00 && c <= 0x9fa5;
}

bool isAsciiLetterOrDigit(char32_t c)
{
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9');
}

char32_t firstScalar(QStringView text)
{
    if (text.isEmpty())
        return 0;
    if (text.size() > 1 && text[0].isHighSurrogate() && text[1].isLowSurrogate())
        return QChar::surrogateToUcs4(text[0], text[1]);
    return text[0].unicode();
}

// The first scalar of the last user-perceived character. Only the tail is segmented, so a long answer does
// not make every streamed piece slower.
char32_t lastCharacterScalar(const QString& text)
{
    constexpr qsizetype kTail = 64; // longer than any cluster that starts with a Chinese or Latin character
    return firstScalar(Text::graphemeSuffix(QStringView(text).last(std::min(text.size(), kTail)), 1));
}

} // namespace

QString PolishEngine::applyInstantLocalDictionary(const QString& text, const QList<LexiconEntry>& entries,
                                                  const ActiveScreenContext& context, const LLMConfig& config,
                                                  bool stripPeriod)
{
    if (text.isEmpty())
        return {};
    QString result = text;
    result.replace(QStringLiteral("另起一行"), QStringLiteral("\n"));
    result.replace(QStringLiteral("新起一段"), QStringLiteral("\n\n"));
    if (!entries.isEmpty())
        result = InstantDictionary::cached(entries)->apply(result);
    if (stripPeriod)
        return applyPostFormattingRules(result, context, config);
    return result;
}

QString PolishEngine::applyPostFormattingRules(const QString& text, const ActiveScreenContext& context,
                                               const LLMConfig& config)
{
    QString result = Text::trimmed(text);
    if (result.isEmpty())
        return {};
    const FormattingPatterns& p = patterns();
    result = p.percentage.replaceAll(result, QStringLiteral("$1%"));
    result = p.blankLines.replaceAll(result, QStringLiteral("\n"));
    if (!context.isCodeOrTerminal()) {
        result = p.bold.replaceAll(result, QStringLiteral("$1"));
        result = p.heading.replaceAll(result, QString());
        result = p.questionAfterChinese.replaceAll(result, QStringLiteral("$1？"));
        result = p.exclamationAfterChinese.replaceAll(result, QStringLiteral("$1！"));
    }
    if (config.enablePanguSpacing) {
        result = p.chineseThenLatin.replaceAll(result, QStringLiteral("$1 $2"));
        result = p.latinThenChinese.replaceAll(result, QStringLiteral("$1 $2"));
    }
    if (config.stripTrailingPeriodInChatApps &&
        (context.isInstantMessaging() || context.isStrictShellTerminal()) && !result.contains(u'\n')) {
        if (result.endsWith(u'。') || result.endsWith(u'.'))
            result.chop(1);
    }
    return result;
}

QString PolishEngine::cleanAndSpaceStreamToken(const QString& token, const QString& accumulated,
                                               bool enablePanguSpacing)
{
    QString cleaned = token;
    cleaned.remove(QStringLiteral("<raw_speech>"));
    cleaned.remove(QStringLiteral("</raw_speech>"));
    if (cleaned.isEmpty())
        return {};
    if (!enablePanguSpacing || accumulated.isEmpty())
        return cleaned;
    const char32_t last = lastCharacterScalar(accumulated);
    const char32_t first = firstScalar(cleaned);
    const bool chineseThenLatin = isChineseIdeograph(last) && isAsciiLetterOrDigit(first);
    const bool latinThenChinese = (isAsciiLetterOrDigit(last) || last == U'%') && isChineseIdeograph(first);
    if (chineseThenLatin || latinThenChinese)
        return u' ' + cleaned;
    return cleaned;
}
