#include "llm/StreamTextAssembler.h"

#include "llm/PolishEngine.h"

namespace {

const QString kOpenTag = QStringLiteral("<raw_speech>");
const QString kCloseTag = QStringLiteral("</raw_speech>");

QString withoutTags(QString text)
{
    // Removing one tag can join the halves of another ("<raw_<raw_speech>speech>"), so repeat until stable.
    for (;;) {
        const qsizetype before = text.size();
        text.remove(kOpenTag);
        text.remove(kCloseTag);
        if (text.size() == before)
            return text;
    }
}

// Length of the longest suffix of text that is a proper prefix of one of the tags.
qsizetype partialTagSuffixLength(const QString& text)
{
    const qsizetype longest = std::min<qsizetype>(text.size(), kCloseTag.size() - 1);
    for (qsizetype length = longest; length > 0; --length) {
        const QStringView suffix = QStringView(text).last(length);
        if (suffix.front() != u'<')
            continue;
        if ((length < kOpenTag.size() && QStringView(kOpenTag).startsWith(suffix)) ||
            QStringView(kCloseTag).startsWith(suffix))
            return length;
    }
    return 0;
}

} // namespace

QString StreamTextAssembler::push(const QString& content)
{
    QString text = withoutTags(m_heldBack + content);
    const qsizetype held = partialTagSuffixLength(text);
    m_heldBack = text.last(held);
    text.chop(held);
    return emit(text);
}

QString StreamTextAssembler::finish()
{
    return emit(std::exchange(m_heldBack, QString()));
}

QString StreamTextAssembler::emit(const QString& cleaned)
{
    const QString token = PolishEngine::cleanAndSpaceStreamToken(cleaned, m_accumulated, m_panguSpacing);
    m_accumulated += token;
    return token;
}
