#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QJsonObject>
#include <QNetworkReply>
#include <QString>
#include <optional>

// What the user reads when a network exchange fails or answers with something that is not an answer: our own
// Chinese words first, the library's or the server's text only after them, in brackets.
namespace NetworkText {

// A transport failure as Qt reports it, e.g. "服务器中途断开了连接（Connection closed）".
QString failure(QNetworkReply::NetworkError code, const QString& libraryText);
// The same for a socket (the WebSocket of the streaming speech service).
QString socketFailure(QAbstractSocket::SocketError code, const QString& libraryText);

// A body as text, or nothing when it is not valid UTF-8.
std::optional<QString> utf8Body(const QByteArray& body);
// A page meant for a browser (a captive portal, a relay's error page) rather than an answer of the interface:
// a body that opens, after white space and a byte-order mark, with an HTML doctype or an html element.
bool isHtml(const QByteArray& body);
// The "error"."message" string of a JSON error answer, else its top-level "message" string.
std::optional<QString> errorMessage(const QJsonObject& object);
// One line saying what a body held: a JSON error's message, a page's title, else the start of the text
// (at most maxChars characters). Empty for an empty body or one that is not UTF-8.
QString summary(const QByteArray& body, int maxChars = 160);

// How much of a text from outside the banner, a card or the pill shows.
inline constexpr int kOneLineChars = 120;
// Text from outside (a service's message or page, a library's words) as the banner, a card or the pill may
// show it: one line of at most maxChars characters, a page reduced to its title, "…" where it was cut. The
// whole text goes to the log when anything of it was left out.
QString oneLine(const QString& text, int maxChars = kOneLineChars);

} // namespace NetworkText
