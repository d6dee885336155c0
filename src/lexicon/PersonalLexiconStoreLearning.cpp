// Learning from edits: a voice rewrite of a short selection, or a one-word edit of text we inserted, becomes
// an auto-learned lexicon entry (the corrected wording, with the wrong one as its alias).
#include "lexicon/DisposableTerm.h"
#include "lexicon/PersonalLexiconStore.h"
#include "lexicon/WordTokenizer.h"
#include "util/Text.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr qint64 kSelectionRewriteWeight = 9;
constexpr qint64 kManualEditWeight = 8;

// A selection rewrite is taken word for word only while both sides are this short.
constexpr int kRewriteSelectionMaximum = 12;
constexpr int kRewriteMinimum = 2;
constexpr int kRewriteMaximum = 16;

constexpr int kManualEditMinimum = 3;

// Single-word extraction: how far an edited line may outgrow its original before it is realigned, how far
// their lengths may then differ, and how much of the original must survive around the change.
constexpr int kAlignmentSlack = 6;
constexpr int kAlignmentHeadLength = 4;
constexpr int kMaximumLengthDifference = 8;
constexpr double kSimilarityShare = 0.58;
constexpr int kMinimumCommonCharacters = 2;
constexpr int kWrongMinimum = 1;
constexpr int kWrongMaximum = 10;
constexpr int kCorrectedMinimum = 2;
constexpr int kCorrectedMaximum = 16;

// Characters that a one-character change may not absorb to make a two-character word.
const QString& cjkGrammarParticles()
{
    static const QString particles = QStringLiteral(
        "的得地了着过是我你他她它们在有和与跟让把被给对向从到去来就都也还又再很太更最不没别这那哪");
    return particles;
}

const QString& rewriteStopCharacters()
{
    static const QString characters = QStringLiteral("，。！？；：,.;!?\n");
    return characters;
}

const QString& lineStopCharacters()
{
    static const QString characters = QStringLiteral("，。！？；：\n");
    return characters;
}

// Punctuation a changed region may carry at its edges; all of it lies in the BMP.
const QString& edgeTrimPunctuation()
{
    static const QString characters = QStringLiteral("，。！？；：、“”‘’\"'()（）");
    return characters;
}

bool containsAnyOf(const QString& text, const QString& characters)
{
    return std::any_of(text.cbegin(), text.cend(), [&](QChar c) { return characters.contains(c); });
}

bool isEdgeTrimmed(QChar c)
{
    return Text::isWhitespaceOrNewline(c.unicode()) || edgeTrimPunctuation().contains(c);
}

QString edgeTrimmed(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isEdgeTrimmed(text[begin]))
        ++begin;
    while (end > begin && isEdgeTrimmed(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

QString joined(const QStringList& characters, int from, int to)
{
    return characters.mid(from, std::max(0, to - from)).join(QString());
}

bool isParticle(const QString& character)
{
    return character.size() == 1 && cjkGrammarParticles().contains(character[0]);
}

// Paths, web addresses and e-mail addresses are written in printable ASCII without spaces. The word tokenizer
// splits them at "/", ":" and "@", so the pollution filter would only see a piece; these rules look at the
// whole run around a change instead. Brackets, quotes and clause punctuation end a run.
bool isAddressCharacter(const QString& character)
{
    if (character.size() != 1)
        return false;
    const char16_t c = character[0].unicode();
    return c > 0x20 && c < 0x7F && !QStringView(u"\"'<>()[]{}`,;").contains(QChar(c));
}

bool isPathSeparator(const QString& character)
{
    return character == QLatin1String("/") || character == QLatin1String("\\");
}

bool isAddressRun(const QString& run)
{
    if (run.contains(QLatin1Char('/')) || run.contains(QLatin1Char('\\')))
        return true; // a path, and every "scheme://" address
    const qsizetype at = run.indexOf(QLatin1Char('@'));
    if (at > 0 && at < run.size() - 1)
        return true; // an e-mail address
    return run.startsWith(QLatin1String("www."), Qt::CaseInsensitive);
}

// Whether characters [from, to) of a line lie in a path, web address or e-mail address: some run of address
// characters that overlaps them is one, or a path separator touches them (a path may have non-ASCII parts).
bool isPartOfAddress(const QStringList& characters, int from, int to)
{
    const int length = int(characters.size());
    if ((from > 0 && isPathSeparator(characters[from - 1])) ||
        (to < length && isPathSeparator(characters[to])))
        return true;
    for (int start = 0; start < length;) {
        if (!isAddressCharacter(characters[start])) {
            ++start;
            continue;
        }
        int end = start;
        while (end < length && isAddressCharacter(characters[end]))
            ++end;
        if (start < to && end > from && isAddressRun(joined(characters, start, end)))
            return true;
        start = end;
    }
    return false;
}

// Whether a whole text holds a path, web address or e-mail address anywhere.
bool containsAddress(const QString& text)
{
    const QStringList characters = Text::graphemes(text);
    return isPartOfAddress(characters, 0, int(characters.size()));
}

// The trimmed lines that are long enough to carry a correction, in order.
QStringList meaningfulLines(const QString& text)
{
    QStringList lines;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        QString trimmed = Text::trimmed(line);
        if (Text::graphemeCount(trimmed) >= kManualEditMinimum)
            lines.append(std::move(trimmed));
    }
    return lines;
}

// The cluster index where needle (as characters) last occurs in text, whose cluster boundaries are given; -1
// when it does not.
int lastIndexOf(const QString& text, const QList<qsizetype>& bounds, const QStringList& needle)
{
    const qsizetype clusters = bounds.size() - 1;
    if (needle.isEmpty() || needle.size() > clusters)
        return -1;
    const QString joinedNeedle = needle.join(QString());
    for (qsizetype from = text.size(); from >= 0;) {
        const qsizetype at = text.lastIndexOf(joinedNeedle, from);
        if (at < 0)
            return -1;
        const auto boundary = std::lower_bound(bounds.cbegin(), bounds.cend(), at);
        const qsizetype index = boundary - bounds.cbegin();
        if (boundary != bounds.cend() && *boundary == at && index + needle.size() <= clusters) {
            bool same = true;
            for (qsizetype k = 0; same && k < needle.size(); ++k)
                same = QStringView(text).sliced(bounds[index + k],
                                                bounds[index + k + 1] - bounds[index + k]) == needle[k];
            if (same)
                return int(index);
        }
        if (at == 0)
            return -1;
        from = at - 1; // never -1, which would mean "from the end"
    }
    return -1;
}

} // namespace

bool PersonalLexiconStore::isCommonOrDisposableAutoLearnTerm(const QString& term)
{
    return DisposableTerm::isCommonOrDisposable(term);
}

std::optional<PersonalLexiconStore::LearnedPair>
PersonalLexiconStore::learnFromSelectionRewrite(const QString& selectedText, const QString& rewrittenText)
{
    const QString selection = Text::trimmed(selectedText);
    const QString rewrite = Text::trimmed(rewrittenText);
    if (selection.isEmpty() || rewrite.isEmpty() || selection == rewrite)
        return std::nullopt;

    const int selectionLength = Text::graphemeCount(selection);
    const int rewriteLength = Text::graphemeCount(rewrite);
    if (selectionLength <= kRewriteSelectionMaximum && rewriteLength >= kRewriteMinimum &&
        rewriteLength <= kRewriteMaximum && !containsAnyOf(selection, rewriteStopCharacters()) &&
        !containsAnyOf(rewrite, rewriteStopCharacters())) {
        // The user chose to say this word again: no stop-word test second-guesses that. A path or an address
        // is still no term.
        if (containsAddress(selection) || containsAddress(rewrite))
            return std::nullopt;
        upsert(rewrite, {selection}, LexiconCategory::autoLearned, kSelectionRewriteWeight);
        return LearnedPair{selection, rewrite};
    }

    const std::optional<LearnedPair> pair = learnFromManualEditIfApplicable(selection, rewrite);
    if (!pair)
        return std::nullopt;
    upsert(pair->corrected, {pair->wrong}, LexiconCategory::autoLearned, kSelectionRewriteWeight);
    return pair;
}

std::optional<PersonalLexiconStore::LearnedPair>
PersonalLexiconStore::learnFromManualEditIfApplicable(const QString& injectedText,
                                                      const QString& editedBoxValue)
{
    const QString injected = Text::trimmed(injectedText);
    const QString edited = Text::trimmed(editedBoxValue);
    if (Text::graphemeCount(injected) < kManualEditMinimum ||
        Text::graphemeCount(edited) < kManualEditMinimum || injected == edited)
        return std::nullopt;

    const QStringList originalLines = meaningfulLines(injected);
    const QStringList editedLines = meaningfulLines(edited);
    for (const QString& originalLine : originalLines) {
        if (editedLines.contains(originalLine))
            continue;
        for (const QString& editedLine : editedLines) {
            const std::optional<LearnedPair> pair = extractSingleWordReplacement(originalLine, editedLine);
            if (!pair || isCommonOrDisposableAutoLearnTerm(Text::trimmed(pair->corrected)))
                continue;
            upsert(pair->corrected, {pair->wrong}, LexiconCategory::autoLearned, kManualEditWeight);
            return pair;
        }
    }
    return std::nullopt;
}

std::optional<PersonalLexiconStore::LearnedPair>
PersonalLexiconStore::extractSingleWordReplacement(const QString& origLine, const QString& editedLine)
{
    const QStringList o = Text::graphemes(origLine);
    const int oLength = int(o.size());

    // The edited line may be a whole document without line breaks: find its part that lines up with the
    // original by cluster boundaries before splitting anything into characters.
    const QList<qsizetype> bounds = Text::graphemeBoundaries(editedLine);
    const int clusters = int(bounds.size()) - 1;
    int start = 0;
    // Text typed before the sentence would push everything out of line: start the edited line where the
    // original's opening characters last appear in it.
    if (clusters > oLength + kAlignmentSlack) {
        const int found = lastIndexOf(editedLine, bounds, o.mid(0, std::min(oLength, kAlignmentHeadLength)));
        start = found >= 0 ? found : clusters - (oLength + kAlignmentSlack);
    }
    const int eLength = clusters - start;
    if (std::abs(oLength - eLength) > kMaximumLengthDifference)
        return std::nullopt;
    QStringList e;
    e.reserve(eLength);
    for (int i = start; i < clusters; ++i)
        e.append(editedLine.sliced(bounds[i], bounds[i + 1] - bounds[i]));

    int p = 0;
    while (p < oLength && p < eLength && o[p] == e[p])
        ++p;
    const int suffixLimit = std::min(oLength, eLength) - p;
    int s = 0;
    while (s < suffixLimit && o[oLength - 1 - s] == e[eLength - 1 - s])
        ++s;

    const int threshold = int(kSimilarityShare * oLength);
    if (p + s < (threshold < kMinimumCommonCharacters ? kMinimumCommonCharacters : threshold))
        return std::nullopt;

    // Widen the change to whole words, so a change inside a word learns the word.
    const QList<WordTokenizer::Range> tokens = WordTokenizer::wordRanges(e.join(QString()));
    const int regionEnd = std::max(eLength - s, p + 1);
    qsizetype first = -1;
    qsizetype last = -1;
    for (qsizetype i = 0; i < tokens.size(); ++i) {
        if (tokens[i].end > p && tokens[i].start < regionEnd) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    if (first >= 0) {
        int lo = tokens[first].start;
        int hi = tokens[last].end;
        const bool hasTokenBefore = first > 0;
        bool widenBackwards = false;
        if (hi - lo == 1) {
            // A one-character change: join it with a one-character neighbour to make a word, unless that
            // neighbour is a particle or pronoun that merely sits next to it.
            const bool oneCharacterAfter =
                last + 1 < tokens.size() && tokens[last + 1].start == hi && tokens[last + 1].length() == 1;
            if (oneCharacterAfter && !isParticle(e[hi]))
                hi = tokens[last + 1].end;
            else
                widenBackwards = hasTokenBefore;
        }
        if (widenBackwards) {
            const WordTokenizer::Range& before = tokens[first - 1];
            if (before.length() == 1 && before.end == lo && !isParticle(e[before.start]))
                lo = before.start;
        }
        p = std::min(p, lo);
        s = std::min(s, std::max(eLength - hi, 0));
    }

    // A word of a path or an address is no term, however it was edited.
    if (isPartOfAddress(o, p, oLength - s) || isPartOfAddress(e, p, std::max(eLength - s, p)))
        return std::nullopt;

    const QString wrong = edgeTrimmed(joined(o, p, oLength - s));
    const QString corrected = edgeTrimmed(joined(e, p, eLength - s));
    const int wrongLength = Text::graphemeCount(wrong);
    const int correctedLength = Text::graphemeCount(corrected);
    if (wrongLength < kWrongMinimum || wrongLength > kWrongMaximum || correctedLength < kCorrectedMinimum ||
        correctedLength > kCorrectedMaximum || wrong == corrected ||
        containsAnyOf(wrong, lineStopCharacters()) || containsAnyOf(corrected, lineStopCharacters()))
        return std::nullopt;
    return LearnedPair{wrong, corrected};
}
