#include "util/Json.h"

#include <QJsonDocument>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace Json {

std::optional<QString> string(const QJsonValue& value)
{
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<bool> boolean(const QJsonValue& value)
{
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

std::optional<double> number(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    return value.toDouble();
}

std::optional<qint64> integer(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    // toInteger() answers its default for non-integral values; two defaults tell that case apart.
    const qint64 a = value.toInteger(0);
    const qint64 b = value.toInteger(1);
    if (a != b)
        return std::nullopt;
    return a;
}

std::optional<QStringList> stringList(const QJsonValue& value)
{
    if (!value.isArray())
        return std::nullopt;
    QStringList result;
    const QJsonArray array = value.toArray();
    result.reserve(array.size());
    for (const QJsonValue& element : array) {
        if (!element.isString())
            return std::nullopt;
        result.append(element.toString());
    }
    return result;
}

std::optional<Timestamp> timestamp(const QJsonValue& value)
{
    const auto seconds = number(value);
    if (!seconds || !std::isfinite(*seconds))
        return std::nullopt;
    return Timestamp{*seconds};
}

std::optional<QUuid> uuid(const QJsonValue& value)
{
    const auto text = string(value);
    if (!text || text->size() != 36)
        return std::nullopt;
    for (qsizetype i = 0; i < 36; ++i) {
        const QChar c = text->at(i);
        const bool hyphenPosition = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (hyphenPosition ? c != u'-' : !hex)
            return std::nullopt;
    }
    return QUuid::fromString(*text);
}

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Reads, by the JSON grammar, one element of a damaged list from its '{': a flat object, as our list files
// hold (its values are strings, numbers, literals or arrays of them). An object inside an element is
// damage: a brace lost at an element's end must not make it swallow the elements after it. A scan ends at
// the element's closing brace or at the first byte that cannot follow, so it never passes another element's
// opening brace; where a stray quote has turned the strings inside out it ends at the next key, which is no
// value. Every byte is thus passed over by at most two scans, and the whole recovery stays linear.
class ElementScanner {
public:
    ElementScanner(const QByteArray& text, qsizetype& work) : m_text(text), m_work(work) {}

    // The position of the closing brace of the object that opens at `open`, or nothing.
    std::optional<qsizetype> objectEnd(qsizetype open)
    {
        m_at = open + 1;
        const bool closed = object();
        m_work += std::min(m_at, m_text.size()) - open + 1;
        if (!closed)
            return std::nullopt;
        return m_at;
    }

private:
    bool more()
    {
        while (m_at < m_text.size() && isSpace(m_text[m_at]))
            ++m_at;
        return m_at < m_text.size();
    }
    bool at(char c) { return more() && m_text[m_at] == c; }

    // Leaves m_at on the closing brace.
    bool object()
    {
        if (at('}'))
            return true;
        for (;;) {
            if (!at('"') || !string() || !at(':'))
                return false;
            ++m_at;
            if (!more() || !value() || !more())
                return false;
            if (m_text[m_at] == '}')
                return true;
            if (m_text[m_at] != ',')
                return false;
            ++m_at;
        }
    }

    bool value()
    {
        switch (m_text[m_at]) {
        case '"':
            return string();
        case '[':
            return array();
        case '{':
            return false;
        default:
            return scalar();
        }
    }

    // Arrays nest without recursion: the depth is all they need.
    bool array()
    {
        qsizetype depth = 0;
        bool afterValue = false; // else after '[' or ','
        bool mayClose = false;   // just after '[' or after a value
        for (;;) {
            if (!more())
                return false;
            const char c = m_text[m_at];
            if (!afterValue && c == '[') {
                ++depth;
                ++m_at;
                mayClose = true;
            } else if (c == ']' && mayClose) {
                ++m_at;
                if (--depth == 0)
                    return true;
                afterValue = true;
            } else if (afterValue && c == ',') {
                ++m_at;
                afterValue = false;
                mayClose = false;
            } else if (!afterValue && c != '{' && (c == '"' ? string() : scalar())) {
                afterValue = true;
                mayClose = true;
            } else {
                return false;
            }
        }
    }

    // From the opening quote to just past the closing one. Escapes are the JSON reader's to judge.
    bool string()
    {
        for (++m_at; m_at < m_text.size(); ++m_at) {
            if (m_text[m_at] == '\\') {
                ++m_at;
            } else if (m_text[m_at] == '"') {
                ++m_at;
                return true;
            }
        }
        return false;
    }

    bool literal(const char* word)
    {
        const qsizetype length = qsizetype(std::strlen(word));
        if (m_text.size() - m_at < length || std::memcmp(m_text.constData() + m_at, word, length) != 0)
            return false;
        m_at += length;
        return true;
    }

    bool digits()
    {
        const qsizetype from = m_at;
        while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9')
            ++m_at;
        return m_at > from;
    }
    bool next(char c)
    {
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }

    bool scalar()
    {
        if (literal("true") || literal("false") || literal("null"))
            return true;
        next('-');
        if (!next('0') && !digits())
            return false;
        if (next('.') && !digits())
            return false;
        if (next('e') || next('E')) {
            if (!next('+'))
                next('-');
            if (!digits())
                return false;
        }
        return true;
    }

    const QByteArray& m_text;
    qsizetype& m_work;
    qsizetype m_at = 0;
};

} // namespace

ArrayElements readArray(const QByteArray& text)
{
    ArrayElements result;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error == QJsonParseError::NoError) {
        result.isArray = document.isArray();
        result.elements = document.array();
        return result;
    }

    // Damaged: every flat object in the text that reads on its own is an element, taken in order; the
    // elements and what lies between them never overlap. Where an element begins is not trusted to the
    // commas, which a damaged element's strings may hold: each '{' is tried in turn. A damaged opening
    // bracket costs no element either.
    qsizetype i = 0;
    const qsizetype size = text.size();
    if (text.startsWith("\xEF\xBB\xBF"))
        i = 3;
    while (i < size && isSpace(text[i]))
        ++i;
    const bool opens = i < size && text[i] == '[';
    const qsizetype first = opens ? i + 1 : i;
    // The array's closing bracket, or the end of a file cut short.
    qsizetype last = size;
    while (last > first && isSpace(text[last - 1]))
        --last;
    if (last > first && text[last - 1] == ']')
        --last;
    else
        last = size;

    ElementScanner scanner(text, result.scanned);
    qsizetype gapBegin = first;
    qsizetype failedStarts = 0; // where an element seemed to begin, since the last one kept
    // Between two elements kept lies a comma, before the first and after the last nothing (white space
    // aside). Anything else is damage: one loss for each element start there that did not read, or one.
    auto endGap = [&](qsizetype gapEnd, bool betweenElements) {
        qsizetype commas = 0;
        bool other = false;
        for (qsizetype j = gapBegin; j < gapEnd; ++j) {
            if (text[j] == ',')
                ++commas;
            else if (!isSpace(text[j]))
                other = true;
        }
        result.scanned += gapEnd - gapBegin;
        if (other || commas != (betweenElements ? 1 : 0) || failedStarts > 0)
            result.lost += std::max<qsizetype>(failedStarts, 1);
        failedStarts = 0;
    };
    char before = '['; // the last byte before the one looked at that is not white space
    for (qsizetype c = first; c < last; ++c) {
        ++result.scanned;
        if (text[c] != '{') {
            if (!isSpace(text[c]))
                before = text[c];
            continue;
        }
        qsizetype next = c + 1;
        while (next < size && isSpace(text[next]))
            ++next;
        result.scanned += next - c - 1;
        // Where an element may begin (after a bracket, a comma or a brace, before a key) a '{' that does not
        // read is a loss; any other is most likely inside a damaged element's string, and counts for nothing.
        const bool startsElement = (before == '[' || before == ',' || before == '{' || before == '}') &&
                                   next < size &&
                                   (text[next] == '"' || text[next] == '}' || text[next] == '{');
        before = '{';
        const std::optional<qsizetype> close = scanner.objectEnd(c);
        if (!close) {
            failedStarts += startsElement ? 1 : 0;
            continue;
        }
        const qsizetype length = *close - c + 1;
        result.scanned += length;
        QJsonParseError elementError{};
        const QJsonDocument element =
            QJsonDocument::fromJson(QByteArray::fromRawData(text.constData() + c, length), &elementError);
        if (elementError.error == QJsonParseError::NoError && element.isObject()) {
            endGap(c, !result.elements.isEmpty());
            result.elements.append(element.object());
            gapBegin = *close + 1;
        } else {
            // Whole to the grammar, not to the reader (a bad byte in a string): lost, and nothing in it is
            // tried again.
            failedStarts += 1;
        }
        c = *close;
        before = '}';
    }
    endGap(last, false);
    // Without its bracket and without one element, the text is no list at all.
    result.isArray = opens || !result.elements.isEmpty();
    if (!result.isArray) {
        result.lost = 0;
        return result;
    }
    // The whole did not parse, so something was lost even when every piece read.
    result.lost = std::max<qsizetype>(result.lost, 1);
    return result;
}

QJsonValue fromTimestamp(Timestamp t)
{
    return QJsonValue(t.secondsSinceReferenceDate);
}

QString uuidText(const QUuid& id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QJsonArray fromStringList(const QStringList& list)
{
    return QJsonArray::fromStringList(list);
}

} // namespace Json
