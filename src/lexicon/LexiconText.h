#pragma once

#include <QString>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// Small text helpers shared by the lexicon's store and recall.
namespace LexiconText {

// Simple case folding, code point by code point: the same equivalence as
// QString::compare(Qt::CaseInsensitive), so folded texts can key a hash and be searched with plain substring
// search.
inline QString foldCase(const QString& text)
{
    QString folded;
    folded.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(text[i], text[i + 1]) : text[i].unicode();
        const char32_t f = QChar::toCaseFolded(c);
        if (QChar::requiresSurrogates(f)) {
            folded.append(QChar(QChar::highSurrogate(f)));
            folded.append(QChar(QChar::lowSurrogate(f)));
        } else {
            folded.append(QChar(static_cast<char16_t>(f)));
        }
        i += pair ? 2 : 1;
    }
    return folded;
}

// Whole-string comparison ignoring case.
inline bool sameTerm(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

inline std::string utf8(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// Plain substring search over UTF-8, which matches exactly where the UTF-16 texts match. An empty needle is
// never contained.
inline bool contains(std::string_view haystack, std::string_view needle)
{
    if (needle.empty() || needle.size() > haystack.size())
        return false;
    return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

// A text searched for thousands of short needles, as recall does for every entry. A bitmap of the hashed
// 3-byte windows the text holds rules out nearly every absent needle before a real search runs; a needle it
// lets through is still confirmed by search, so results are exact.
class Haystack {
public:
    explicit Haystack(std::string text) : m_text(std::move(text)), m_windows(kWords, 0)
    {
        for (size_t i = 0; i + kWindow <= m_text.size(); ++i) {
            const uint32_t h = windowHash(m_text.data() + i);
            m_windows[h / 64] |= uint64_t(1) << (h % 64);
        }
    }

    bool contains(std::string_view needle) const
    {
        if (needle.empty() || needle.size() > m_text.size())
            return false;
        for (size_t i = 0; i + kWindow <= needle.size(); ++i) {
            const uint32_t h = windowHash(needle.data() + i);
            if ((m_windows[h / 64] & (uint64_t(1) << (h % 64))) == 0)
                return false;
        }
        return LexiconText::contains(m_text, needle);
    }

    bool empty() const { return m_text.empty(); }

private:
    static constexpr size_t kWindow = 3;
    static constexpr size_t kBits = size_t(1) << 16;
    static constexpr size_t kWords = kBits / 64;

    static uint32_t windowHash(const char* p)
    {
        const uint32_t v =
            uint32_t(uint8_t(p[0])) | uint32_t(uint8_t(p[1])) << 8 | uint32_t(uint8_t(p[2])) << 16;
        return (v * 2654435761u) >> 16;
    }

    std::string m_text;
    std::vector<uint64_t> m_windows;
};

} // namespace LexiconText
