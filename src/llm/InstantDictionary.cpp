#include "llm/InstantDictionary.h"

#include "util/Text.h"

#include <QSet>
#include <algorithm>
#include <mutex>
#include <unicode/unistr.h>

namespace {

constexpr int kMinAliasLength = 2;
constexpr int kLiteralAliasLength = 6; // from this length on an alias is matched anywhere

// A handful of lexicon versions alive at once (the store's, a page's edit in progress, a test's) is plenty.
constexpr std::size_t kCachedLexicons = 4;

QString caseFolded(const QString& text)
{
    icu::UnicodeString folded(reinterpret_cast<const char16_t*>(text.utf16()),
                              static_cast<int32_t>(text.size()));
    folded.foldCase();
    return QString(reinterpret_cast<const QChar*>(folded.getBuffer()), folded.length());
}

bool isAsciiLettersAndSpaces(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || u == u' ';
    });
}

QString escapedForPattern(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size() * 2);
    for (QChar c : text) {
        if (!c.isLetterOrNumber() && c != u' ')
            escaped += u'\\';
        escaped += c;
    }
    return escaped;
}

} // namespace

bool InstantDictionary::isCommonShortEnglishWord(const QString& lowerCased)
{
    static const QSet<QString> words = [] {
        QSet<QString> set;
        for (const char16_t* word : {u"in", u"on", u"at", u"to", u"of", u"for", u"by", u"or", u"and", u"the",
                                     u"is", u"it", u"be", u"as", u"do", u"go",  u"no", u"so", u"up",  u"us",
                                     u"we", u"my", u"me", u"he", u"hi", u"ok",  u"ai", u"ui"})
            set.insert(QString::fromUtf16(word));
        return set;
    }();
    return words.contains(lowerCased);
}

QList<InstantDictionary::Key> InstantDictionary::keyOf(const QList<LexiconEntry>& entries)
{
    QList<Key> key;
    const qsizetype count = std::min(entries.size(), kMaxEntries);
    key.reserve(count);
    for (qsizetype i = 0; i < count; ++i)
        key.append({entries[i].term, entries[i].aliases});
    return key;
}

std::shared_ptr<const InstantDictionary> InstantDictionary::compile(const QList<LexiconEntry>& entries)
{
    return build(keyOf(entries));
}

std::shared_ptr<const InstantDictionary> InstantDictionary::build(QList<Key> key)
{
    auto dictionary = std::make_shared<InstantDictionary>();
    for (const Key& item : key) {
        // A blank term would turn every alias into a deletion of what the user said.
        if (Text::isBlank(item.term))
            continue;
        QList<QPair<int, QString>> sized;
        for (const QString& alias : item.aliases) {
            const int length = Text::graphemeCount(alias);
            if (length >= kMinAliasLength)
                sized.append({length, alias});
        }
        std::stable_sort(sized.begin(), sized.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        Entry entry;
        entry.term = item.term;
        for (const auto& [length, alias] : sized) {
            Alias compiled;
            if (length >= kLiteralAliasLength || !isAsciiLettersAndSpaces(alias)) {
                compiled.pattern = IcuRegex::literal(alias, true);
            } else {
                if (isCommonShortEnglishWord(alias.toLower()))
                    continue;
                // A Latin letter may not touch the alias on either side; digits and Chinese may.
                compiled.pattern = IcuRegex(QStringLiteral("(?i)(?<![A-Za-z])") + escapedForPattern(alias) +
                                            QStringLiteral("(?![A-Za-z])"));
            }
            if (!compiled.pattern.isValid())
                continue;
            compiled.folded = caseFolded(alias);
            entry.aliases.append(std::move(compiled));
        }
        if (entry.aliases.isEmpty())
            continue;
        entry.termPattern = IcuRegex::literal(entry.term, true);
        dictionary->m_entries.append(std::move(entry));
    }
    dictionary->m_key = std::move(key);
    return dictionary;
}

std::shared_ptr<const InstantDictionary> InstantDictionary::cached(const QList<LexiconEntry>& entries)
{
    static std::mutex mutex;
    static std::vector<std::shared_ptr<const InstantDictionary>> recent; // most recently used last

    QList<Key> key = keyOf(entries);
    {
        std::lock_guard lock(mutex);
        for (auto it = recent.begin(); it != recent.end(); ++it) {
            if ((*it)->m_key == key) {
                std::shared_ptr<const InstantDictionary> hit = *it;
                recent.erase(it);
                recent.push_back(hit);
                return hit;
            }
        }
    }
    // Compiled outside the lock: two threads may both compile a new lexicon, which is harmless.
    std::shared_ptr<const InstantDictionary> built = build(std::move(key));
    std::lock_guard lock(mutex);
    recent.push_back(built);
    if (recent.size() > kCachedLexicons)
        recent.erase(recent.begin());
    return built;
}

QString InstantDictionary::apply(const QString& text) const
{
    QString result = text;
    QString folded = caseFolded(result);
    for (const Entry& entry : m_entries) {
        for (const Alias& alias : entry.aliases) {
            // Case folding keeps every case-insensitive match a substring, so an alias whose folded form is
            // absent cannot match and its matcher is never built.
            if (!folded.contains(alias.folded))
                continue;
            QString replaced = applyAlias(result, entry, alias);
            if (replaced != result) {
                result = std::move(replaced);
                folded = caseFolded(result);
            }
        }
    }
    return result;
}

QString InstantDictionary::applyAlias(const QString& text, const Entry& entry, const Alias& alias)
{
    const std::optional<QList<IcuRegex::Span>> found = alias.pattern.matches(text);
    if (!found || found->isEmpty())
        return text;
    std::optional<QList<IcuRegex::Span>> termSpans; // looked up only when an alias matched
    QString result;
    result.reserve(text.size() + found->size() * entry.term.size());
    qsizetype copied = 0;
    bool changed = false;
    for (const IcuRegex::Span& match : *found) {
        if (!termSpans)
            termSpans = entry.termPattern.matches(text, true).value_or(QList<IcuRegex::Span>{});
        // Inside a longer occurrence of the term the alias is part of the right word already; an alias that
        // spans a whole occurrence only differs in case and still takes the term's spelling.
        const bool insideTerm =
            std::any_of(termSpans->begin(), termSpans->end(), [&](const IcuRegex::Span& t) {
                return t.start <= match.start && match.end <= t.end && !(t == match);
            });
        if (insideTerm)
            continue;
        result += QStringView(text).sliced(copied, match.start - copied);
        result += entry.term;
        copied = match.end;
        changed = true;
    }
    if (!changed)
        return text;
    result += QStringView(text).sliced(copied);
    return result;
}
