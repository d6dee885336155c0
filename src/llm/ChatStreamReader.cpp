#include "llm/ChatStreamReader.h"

#include "net/NetworkText.h"
#include "util/Text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QByteArrayView trimmedSpacesAndTabs(QByteArrayView bytes)
{
    qsizetype begin = 0;
    qsizetype end = bytes.size();
    while (begin < end && (bytes[begin] == ' ' || bytes[begin] == '\t'))
        ++begin;
    while (end > begin && (bytes[end - 1] == ' ' || bytes[end - 1] == '\t'))
        --end;
    return bytes.sliced(begin, end - begin);
}

std::optional<QJsonObject> parseObject(QByteArrayView payload)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QString> nonEmptyString(const QJsonValue& value)
{
    if (!value.isString())
        return std::nullopt;
    QString text = value.toString();
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

} // namespace

ChatStreamReader::ChatStreamReader(Protocol protocol, bool enablePanguSpacing)
    : m_protocol(protocol), m_assembler(enablePanguSpacing)
{
}

bool ChatStreamReader::append(const QByteArray& bytes)
{
    if (m_done)
        return true;
    // Drop what was read before growing, so a long stream never keeps its history.
    if (m_readFrom > 0 && m_readFrom >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_readFrom);
        m_scanFrom = std::max<qsizetype>(0, m_scanFrom - m_readFrom);
        m_readFrom = 0;
    }
    m_buffer += bytes;
    if (m_head.size() < kHeadBytes)
        m_head += bytes.left(kHeadBytes - m_head.size());
    // Only the part after the last line feed is an unfinished line.
    const qsizetype lastFeed = m_buffer.lastIndexOf('\n');
    const qsizetype pending = m_buffer.size() - std::max(lastFeed + 1, m_readFrom);
    return pending <= kMaxLineBytes;
}

void ChatStreamReader::finishInput()
{
    m_inputFinished = true;
}

std::optional<QByteArray> ChatStreamReader::takeLine()
{
    const qsizetype feed = m_buffer.indexOf('\n', std::max(m_scanFrom, m_readFrom));
    if (feed < 0) {
        m_scanFrom = m_buffer.size();
        if (!m_inputFinished || m_readFrom >= m_buffer.size())
            return std::nullopt;
        QByteArray last = m_buffer.sliced(m_readFrom);
        m_buffer.clear();
        m_readFrom = m_scanFrom = 0;
        return last;
    }
    QByteArray line = m_buffer.sliced(m_readFrom, feed - m_readFrom);
    m_readFrom = feed + 1;
    return line;
}

std::optional<QString> ChatStreamReader::contentOf(const QByteArray& rawLine)
{
    // Lines are trimmed as text: a UTF-8 sequence is never cut, since lines split at line feeds only.
    const QString line = Text::trimmed(QString::fromUtf8(rawLine));
    if (!line.startsWith(QLatin1String("data:")))
        return std::nullopt;
    const QByteArray payloadBytes = line.sliced(5).toUtf8();
    const QByteArrayView payload = trimmedSpacesAndTabs(payloadBytes);
    if (m_protocol == Protocol::chatCompletions && payload == QByteArrayView("[DONE]")) {
        m_done = true;
        return std::nullopt;
    }
    const std::optional<QJsonObject> event = parseObject(payload);
    if (!event)
        return std::nullopt;
    if (m_protocol == Protocol::anthropicMessages) {
        if (event->value(QLatin1String("type")).toString() != QLatin1String("content_block_delta"))
            return std::nullopt;
        const QJsonValue delta = event->value(QLatin1String("delta"));
        if (!delta.isObject())
            return std::nullopt;
        return nonEmptyString(delta.toObject().value(QLatin1String("text")));
    }
    const QJsonValue choices = event->value(QLatin1String("choices"));
    if (!choices.isArray() || choices.toArray().isEmpty())
        return std::nullopt;
    const QJsonValue first = choices.toArray().first();
    if (!first.isObject())
        return std::nullopt;
    const QJsonValue delta = first.toObject().value(QLatin1String("delta"));
    if (!delta.isObject())
        return std::nullopt;
    return nonEmptyString(delta.toObject().value(QLatin1String("content")));
}

std::optional<QString> ChatStreamReader::next()
{
    while (!m_done) {
        const std::optional<QByteArray> line = takeLine();
        if (!line) {
            if (m_inputFinished)
                m_done = true;
            break;
        }
        const std::optional<QString> content = contentOf(*line);
        if (!content)
            continue;
        QString token = m_assembler.push(*content);
        if (!token.isEmpty())
            return token;
    }
    // At the end (by "[DONE]" or by the end of the body) a held-back "<…" turned out not to be a tag.
    if (m_done && !m_finalFlushed) {
        m_finalFlushed = true;
        QString rest = m_assembler.finish();
        if (!rest.isEmpty())
            return rest;
    }
    return std::nullopt;
}

QString ChatStreamReader::fullText() const
{
    return Text::trimmed(m_assembler.accumulated());
}

QString ChatStreamReader::whatCameBack() const
{
    constexpr int kMaxChars = 160;
    const auto with = [](const char* what, const QString& detail) {
        QString text = QString::fromUtf8(what);
        if (!detail.isEmpty())
            text += QStringLiteral("（") + detail + QStringLiteral("）");
        return text;
    };
    if (m_head.trimmed().isEmpty())
        return QStringLiteral("服务器返回了空响应");

    QString firstEvent;
    for (const QByteArray& rawLine : m_head.split('\n')) {
        const QString line = Text::trimmed(QString::fromUtf8(rawLine));
        if (!line.startsWith(QLatin1String("data:")))
            continue;
        const QString payload = Text::trimmed(line.sliced(5));
        if (payload.isEmpty() || payload == QLatin1String("[DONE]"))
            continue;
        if (firstEvent.isEmpty())
            firstEvent = Text::graphemePrefix(payload, kMaxChars);
        const std::optional<QJsonObject> event = parseObject(payload.toUtf8());
        if (!event)
            continue;
        if (const std::optional<QString> message = NetworkText::errorMessage(*event))
            return with("服务器返回了错误", NetworkText::oneLine(*message, kMaxChars));
    }

    const QJsonDocument whole = QJsonDocument::fromJson(m_head);
    if (whole.isObject() && NetworkText::errorMessage(whole.object()))
        return with("服务器返回了错误", NetworkText::summary(m_head, kMaxChars));
    if (!whole.isNull())
        return with("服务器返回的 JSON 中没有模型输出", NetworkText::summary(m_head, kMaxChars));
    if (NetworkText::isHtml(m_head))
        return with("服务器返回了网页而不是模型输出", NetworkText::summary(m_head, kMaxChars));
    if (!firstEvent.isEmpty())
        return with("数据流中没有模型输出", firstEvent);
    return with("服务器返回的内容不是模型数据流", NetworkText::summary(m_head, kMaxChars));
}
