#include "net/NetworkText.h"

#include "util/Text.h"

#include <QByteArrayView>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <algorithm>
#include <cctype>

namespace {

QString withReason(QString description, const QString& reason)
{
    const QString trimmed = Text::trimmed(reason);
    if (!trimmed.isEmpty())
        description += QStringLiteral("（") + trimmed + QStringLiteral("）");
    return description;
}

std::optional<QString> nonEmptyString(const QJsonValue& value)
{
    if (!value.isString() || Text::isBlank(value.toString()))
        return std::nullopt;
    return Text::trimmed(value.toString());
}

// The elements a page or a fragment of one may open with.
const QSet<QByteArray>& htmlElementNames()
{
    static const QSet<QByteArray> names = {
        "a",        "abbr",     "address",  "area",       "article", "aside",    "audio",    "b",
        "base",     "bdi",      "bdo",      "blockquote", "body",    "br",       "button",   "canvas",
        "caption",  "center",   "cite",     "code",       "col",     "colgroup", "data",     "datalist",
        "dd",       "del",      "details",  "dfn",        "dialog",  "div",      "dl",       "dt",
        "em",       "embed",    "fieldset", "figcaption", "figure",  "font",     "footer",   "form",
        "frame",    "frameset", "h1",       "h2",         "h3",      "h4",       "h5",       "h6",
        "head",     "header",   "hgroup",   "hr",         "html",    "i",        "iframe",   "img",
        "input",    "ins",      "kbd",      "label",      "legend",  "li",       "link",     "main",
        "map",      "mark",     "menu",     "meta",       "meter",   "nav",      "noscript", "object",
        "ol",       "optgroup", "option",   "output",     "p",       "param",    "picture",  "pre",
        "progress", "q",        "rp",       "rt",         "ruby",    "s",        "samp",     "script",
        "search",   "section",  "select",   "slot",       "small",   "source",   "span",     "strong",
        "style",    "sub",      "summary",  "sup",        "svg",     "table",    "tbody",    "td",
        "template", "textarea", "tfoot",    "th",         "thead",   "time",     "title",    "tr",
        "track",    "u",        "ul",       "var",        "video",   "wbr"};
    return names;
}

bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// A page's text as a reader sees it: scripts, styles, comments and tags left out, the common entities read.
QString pageText(const QString& html)
{
    static const QRegularExpression hidden(
        QStringLiteral("<(script|style)\\b[^>]*>.*?</\\1\\s*>|<!--.*?-->|<![^>]*>"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression tag(QStringLiteral("<[^>]*>?"));
    QString text = html;
    text.replace(hidden, QStringLiteral(" "));
    text.replace(tag, QStringLiteral(" "));
    static const std::pair<QLatin1StringView, QLatin1StringView> entities[] = {
        {QLatin1StringView("&nbsp;"), QLatin1StringView(" ")},
        {QLatin1StringView("&lt;"), QLatin1StringView("<")},
        {QLatin1StringView("&gt;"), QLatin1StringView(">")},
        {QLatin1StringView("&quot;"), QLatin1StringView("\"")},
        {QLatin1StringView("&#39;"), QLatin1StringView("'")},
        {QLatin1StringView("&apos;"), QLatin1StringView("'")},
        {QLatin1StringView("&amp;"), QLatin1StringView("&")}};
    for (const auto& [entity, character] : entities)
        text.replace(entity, character, Qt::CaseInsensitive);
    return text.simplified();
}

} // namespace

namespace NetworkText {

QString failure(QNetworkReply::NetworkError code, const QString& libraryText)
{
    QString description;
    switch (code) {
    case QNetworkReply::ConnectionRefusedError:
        description = QStringLiteral("连接被拒绝，无法连接到服务器");
        break;
    case QNetworkReply::HostNotFoundError:
        description = QStringLiteral("找不到服务器，主机名无法解析，请检查 Base URL 与网络");
        break;
    case QNetworkReply::RemoteHostClosedError:
        description = QStringLiteral("服务器中途断开了连接");
        break;
    case QNetworkReply::TimeoutError:
        description = QStringLiteral("请求超时");
        break;
    case QNetworkReply::OperationCanceledError:
        description = QStringLiteral("请求已取消");
        break;
    case QNetworkReply::SslHandshakeFailedError:
        description = QStringLiteral("安全连接失败");
        break;
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        description = QStringLiteral("网络暂时不可用");
        break;
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
        description = QStringLiteral("代理连接失败");
        break;
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        description = QStringLiteral("服务器的跳转无法跟随");
        break;
    case QNetworkReply::ProtocolFailure:
    case QNetworkReply::ProtocolInvalidOperationError:
        description = QStringLiteral("服务器的响应不符合 HTTP 协议");
        break;
    default:
        description = QStringLiteral("网络请求失败");
        break;
    }
    return withReason(description, libraryText);
}

QString socketFailure(QAbstractSocket::SocketError code, const QString& libraryText)
{
    QString description;
    switch (code) {
    case QAbstractSocket::ConnectionRefusedError:
        description = QStringLiteral("连接被拒绝，无法连接到服务器");
        break;
    case QAbstractSocket::RemoteHostClosedError:
        description = QStringLiteral("服务器中途断开了连接");
        break;
    case QAbstractSocket::HostNotFoundError:
        description = QStringLiteral("找不到服务器，主机名无法解析，请检查网络");
        break;
    case QAbstractSocket::SocketTimeoutError:
        description = QStringLiteral("连接超时");
        break;
    case QAbstractSocket::NetworkError:
        description = QStringLiteral("网络连接失败");
        break;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        description = QStringLiteral("安全连接失败");
        break;
    case QAbstractSocket::ProxyConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionClosedError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
    case QAbstractSocket::ProxyNotFoundError:
    case QAbstractSocket::ProxyProtocolError:
    case QAbstractSocket::ProxyAuthenticationRequiredError:
        description = QStringLiteral("代理连接失败");
        break;
    default:
        description = QStringLiteral("连接失败");
        break;
    }
    return withReason(description, libraryText);
}

std::optional<QString> utf8Body(const QByteArray& body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(body);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

bool isHtml(const QByteArray& body)
{
    // Judged by the body alone: frameworks label plain text "text/html" by default, and a transcript that
    // mentions "<html>" further on is still a transcript. A fragment counts: portals and proxies send
    // "<head>…" or "<body><h1>…" without the document around it.
    QByteArrayView text(body);
    if (text.startsWith("\xEF\xBB\xBF"))
        text = text.sliced(3);
    text = text.trimmed();
    if (!text.startsWith('<'))
        return false;
    if (text.startsWith("<!"))
        return true;
    // "<name" followed by '>', '/', white space or the end: the element, not a word that begins with it.
    constexpr qsizetype kLongestName = 10;
    qsizetype end = 1;
    while (end < text.size() && end <= kLongestName + 1 &&
           std::isalnum(static_cast<unsigned char>(text[end])))
        ++end;
    if (end < text.size()) {
        const char next = text[end];
        if (next != '>' && next != '/' && !isAsciiSpace(next))
            return false;
    }
    return htmlElementNames().contains(text.sliced(1, end - 1).toByteArray().toLower());
}

std::optional<QString> errorMessage(const QJsonObject& object)
{
    const QJsonValue error = object.value(QLatin1String("error"));
    if (error.isObject()) {
        if (std::optional<QString> message = nonEmptyString(error.toObject().value(QLatin1String("message"))))
            return message;
    }
    // Some relays put the text straight under "error".
    if (std::optional<QString> message = nonEmptyString(error))
        return message;
    return nonEmptyString(object.value(QLatin1String("message")));
}

QString summary(const QByteArray& body, int maxChars)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (document.isObject()) {
        if (const std::optional<QString> message = errorMessage(document.object()))
            return Text::graphemePrefix(message->simplified(), maxChars);
    }
    const std::optional<QString> text = utf8Body(body);
    if (!text)
        return {};
    if (isHtml(body)) {
        static const QRegularExpression title(QStringLiteral("<title[^>]*>([^<]*)</title>"),
                                              QRegularExpression::CaseInsensitiveOption);
        const QString found = Text::trimmed(title.match(*text).captured(1));
        if (!found.isEmpty())
            return Text::graphemePrefix(found.simplified(), maxChars);
        // No title: what the page says, never its markup.
        const QString said = pageText(*text);
        if (Text::graphemeCount(said) <= maxChars)
            return said;
        return Text::graphemePrefix(said, std::max(0, maxChars - 1)) + QStringLiteral("…");
    }
    return Text::graphemePrefix(Text::trimmed(*text).simplified(), maxChars);
}

QString oneLine(const QString& text, int maxChars)
{
    const QString whole = Text::trimmed(text);
    QString line = summary(whole.toUtf8(), maxChars);
    const QString flat = whole.simplified();
    if (line == flat)
        return line;
    // Cut short (not a message or a title picked out of it): say so.
    if (flat.startsWith(line) && !line.isEmpty())
        line += QStringLiteral("…");
    qWarning("Text from outside shortened for display; in full: %s", qUtf8Printable(whole));
    return line;
}

} // namespace NetworkText
