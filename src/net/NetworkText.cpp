#include "net/NetworkText.h"

#include "util/Text.h"

#include <QByteArrayView>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringDecoder>
#include <algorithm>

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

} // namespace

namespace NetworkText {

QString failure(QNetworkReply::NetworkError code, const QString& libraryText)
{
    QString description;
    switch (code) {
    case QNetworkReply::ConnectionRefusedError:
        description = QStringLiteral("无法连接到服务器");
        break;
    case QNetworkReply::HostNotFoundError:
        description = QStringLiteral("找不到服务器，请检查 Base URL 与网络");
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
        description = QStringLiteral("无法连接到服务器");
        break;
    case QAbstractSocket::RemoteHostClosedError:
        description = QStringLiteral("服务器中途断开了连接");
        break;
    case QAbstractSocket::HostNotFoundError:
        description = QStringLiteral("找不到服务器，请检查网络");
        break;
    case QAbstractSocket::SocketTimeoutError:
        description = QStringLiteral("连接超时");
        break;
    case QAbstractSocket::NetworkError:
        description = QStringLiteral("网络连接失败");
        break;
    case QAbstractSocket::SslHandshakeFailedError:
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
    // mentions "<html>" further on is still a transcript.
    QByteArrayView text(body);
    if (text.startsWith("\xEF\xBB\xBF"))
        text = text.sliced(3);
    text = text.trimmed();
    const QByteArray start = text.first(std::min<qsizetype>(text.size(), 16)).toByteArray().toLower();
    if (start.startsWith("<!doctype html"))
        return true;
    if (!start.startsWith("<html"))
        return false;
    // "<html>", "<html lang=…>", "<html/>": the element, not a word that begins with it.
    if (start.size() == 5)
        return true;
    const char next = start.at(5);
    return next == '>' || next == '/' || next == ' ' || next == '\t' || next == '\n' || next == '\r';
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
