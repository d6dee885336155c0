#pragma once

#include <QList>
#include <QString>
#include <QStringView>
#include <cstdint>
#include <memory>
#include <optional>

// A compiled ICU regular expression. Immutable and shareable between threads: every use makes its own
// matcher. Every ICU status is checked; a pattern that fails to compile is invalid and matches nothing, and a
// failure while matching leaves the text as it was.
class IcuRegex {
public:
    struct Span {
        qsizetype start = 0;
        qsizetype end = 0;
        bool operator==(const Span&) const = default;
    };

    IcuRegex() = default;
    // flags: URegexpFlag bits (0 = the defaults).
    explicit IcuRegex(QStringView pattern, std::uint32_t flags = 0);
    // Matches the text itself, with no pattern meaning.
    static IcuRegex literal(QStringView text, bool caseInsensitive);

    bool isValid() const { return m_compiled != nullptr; }

    // Every non-overlapping match replaced by the template ("$1" is group 1, "\" escapes).
    QString replaceAll(const QString& text, const QString& replacementTemplate) const;
    bool containsMatch(QStringView text) const;
    // Matches left to right; with `overlapping`, a search restarts one code point after each match start.
    // Nothing when the pattern is invalid or matching fails.
    std::optional<QList<Span>> matches(QStringView text, bool overlapping = false) const;

private:
    struct Compiled;
    std::shared_ptr<const Compiled> m_compiled;
};
