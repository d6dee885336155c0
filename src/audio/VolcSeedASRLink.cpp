#include "audio/VolcSeedASRLink.h"

#include "net/NetworkText.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QRegularExpression>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QUuid>

using namespace std::chrono_literals;

namespace {

constexpr Duration kSessionHandshakeTimeout = seconds(4.5);
// No session socket lives longer than this; a dictation that long fails over.
constexpr Duration kSocketLifetime = 300s;
constexpr Duration kWarmUpTimeout = 3s;
// How long a closed socket may wait for the service's close reply before it is cut off.
constexpr Duration kCloseLinger = 3s;
// A transcript frame is a few kilobytes.
constexpr quint64 kMaxIncomingMessageBytes = SeedASRProtocol::kMaxDecompressedBytes;

// A refusal is a short JSON answer or an error page; its title is near the top.
constexpr qint64 kMaxRefusalBody = 64 * 1024;
constexpr Duration kRefusalReadLimit = 3s;

constexpr QStringView kHandshakeTimedOut = u"豆包语音服务没有响应连接请求（握手超时）";
constexpr QStringView kConnectionClosed = u"连接已断开";
constexpr QStringView kClosedByService = u"语音服务关闭了连接";
constexpr QStringView kCloseCode = u"关闭码 ";
constexpr QStringView kCertificateRefused = u"安全连接失败：服务器证书未通过校验";
constexpr QStringView kSecureHandshakeCut = u"安全连接失败，服务器在加密握手时断开了连接";
constexpr QStringView kUpgradeRefused = u"语音服务拒绝了连接";
constexpr QStringView kCheckKey = u"，请检查豆包语音 API Key";

QString bracketed(const QString& text)
{
    return QStringLiteral("（") + text + QStringLiteral("）");
}

// What a refusal's page or message adds to its status line: nothing when it only repeats it ("502 Bad
// Gateway" under "HTTP 502 Bad Gateway"), the rest when it begins with it.
QString beyondStatusLine(const QString& message, int status, const QString& phrase)
{
    const QString number = QString::number(status);
    QStringList echoes;
    if (!phrase.isEmpty())
        echoes << QStringLiteral("HTTP ") + number + QLatin1Char(' ') + phrase
               << number + QLatin1Char(' ') + phrase << phrase;
    echoes << QStringLiteral("HTTP ") + number << number;
    for (const QString& echo : echoes) {
        if (message.compare(echo, Qt::CaseInsensitive) == 0)
            return {};
        if (message.startsWith(echo, Qt::CaseInsensitive) && message.size() > echo.size() &&
            !message.at(echo.size()).isLetterOrNumber()) {
            QString rest = message.sliced(echo.size());
            while (!rest.isEmpty() && !rest.front().isLetterOrNumber())
                rest.remove(0, 1);
            return rest;
        }
    }
    return message;
}

} // namespace

namespace SeedASRSocket {

QWebSocket* makeSocket(QObject* parent)
{
    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, parent);
    socket->setProxy(QNetworkProxy::NoProxy); // the speech host is always reached directly
    socket->setMaxAllowedIncomingMessageSize(kMaxIncomingMessageBytes);
    socket->setMaxAllowedIncomingFrameSize(kMaxIncomingMessageBytes);
    return socket;
}

QNetworkRequest handshakeRequest(const QUrl& url, const QString& key, const QString& resourceId)
{
    QNetworkRequest request(url);
    for (const auto& [name, value] : SeedASRProtocol::handshakeHeaders(key, resourceId))
        request.setRawHeader(name, value);
    return request;
}

void noteError(SocketTrouble& trouble, const QWebSocket& socket, QAbstractSocket::SocketError code)
{
    if (trouble.code)
        return;
    trouble.code = code;
    trouble.libraryText = socket.errorString();
    // No cipher yet on a wss socket: the TLS handshake was still going on.
    trouble.duringSecureHandshake = socket.requestUrl().scheme() == QLatin1String("wss") &&
                                    socket.sslConfiguration().sessionCipher().isNull();
}

bool awaitsErrorName(const SocketTrouble& trouble, bool upgraded)
{
    return !upgraded && !trouble.code;
}

QString failureReason(const QWebSocket* socket, const SocketTrouble& trouble)
{
    // Qt's and the service's own words only ever follow ours, in brackets.
    if (!trouble.sslErrors.isEmpty()) {
        QStringList texts;
        for (const QSslError& error : trouble.sslErrors)
            texts.append(error.errorString());
        texts.removeDuplicates();
        return kCertificateRefused.toString() +
               bracketed(NetworkText::oneLine(texts.join(QStringLiteral("; "))));
    }
    // A TLS terminator that will not talk to us (an unknown host name, no common protocol) just hangs up.
    if (trouble.duringSecureHandshake && (trouble.code == QAbstractSocket::RemoteHostClosedError ||
                                          trouble.code == QAbstractSocket::NetworkError))
        return kSecureHandshakeCut.toString() + bracketed(NetworkText::oneLine(trouble.libraryText));
    if (trouble.code && *trouble.code != QAbstractSocket::UnknownSocketError &&
        !trouble.libraryText.isEmpty())
        return NetworkText::socketFailure(*trouble.code, NetworkText::oneLine(trouble.libraryText));
    if (socket->error() != QAbstractSocket::UnknownSocketError && !socket->errorString().isEmpty())
        return NetworkText::socketFailure(socket->error(), NetworkText::oneLine(socket->errorString()));
    if (!socket->closeReason().isEmpty())
        return kClosedByService.toString() + bracketed(NetworkText::oneLine(socket->closeReason()));
    const QWebSocketProtocol::CloseCode code = socket->closeCode();
    if (code != QWebSocketProtocol::CloseCodeNormal &&
        code != QWebSocketProtocol::CloseCodeAbnormalDisconnection)
        return kClosedByService.toString() + bracketed(kCloseCode.toString() + QString::number(int(code)));
    return kConnectionClosed.toString();
}

std::optional<Refusal> refusedUpgrade(const SocketTrouble& trouble)
{
    // Qt words a refused upgrade as "…processHandshake: Unhandled http status code: 401 (Unauthorized).", and
    // a 400 without naming it; a refused TCP connection has the same code but no handshake in its text.
    if (trouble.code != QAbstractSocket::ConnectionRefusedError ||
        !trouble.libraryText.contains(QLatin1String("handshake"), Qt::CaseInsensitive))
        return std::nullopt;
    static const QRegularExpression statusLine(QStringLiteral("status code: (\\d{3}) \\(([^)]*)\\)"));
    Refusal refusal;
    refusal.libraryText = trouble.libraryText;
    const QRegularExpressionMatch match = statusLine.match(trouble.libraryText);
    if (match.hasMatch()) {
        refusal.status = match.captured(1).toInt();
        refusal.phrase = match.captured(2).trimmed();
    }
    return refusal;
}

QString refusalReason(int status, const QString& phrase, const QByteArray& body)
{
    QString reason = kUpgradeRefused.toString();
    if (status == 401 || status == 403)
        reason += kCheckKey;
    QString detail = QStringLiteral("HTTP ") + QString::number(status);
    if (!phrase.isEmpty())
        detail += QLatin1Char(' ') + NetworkText::oneLine(phrase);
    const std::optional<QString> text = NetworkText::utf8Body(body);
    const QString message = beyondStatusLine(text ? NetworkText::oneLine(*text) : QString(), status, phrase);
    if (!message.isEmpty())
        detail += QStringLiteral("：") + message;
    return reason + bracketed(detail);
}

bool isPassingRefusal(int status)
{
    return status == 408 || status == 429 || status >= 500;
}

void readRefusal(QNetworkAccessManager& network, const QUrl& webSocketUrl, const QString& key,
                 const QString& resourceId, const Refusal& refusal, const ArmDeadline& arm,
                 std::function<void(QString)> done)
{
    QUrl url = webSocketUrl;
    url.setScheme(url.scheme() == QLatin1String("wss") ? QStringLiteral("https") : QStringLiteral("http"));
    QNetworkRequest request = handshakeRequest(url, key, resourceId);
    // The same upgrade request as the socket's: a service may answer a plain request differently.
    request.setRawHeader("Connection", "Upgrade");
    request.setRawHeader("Upgrade", "websocket");
    request.setRawHeader("Sec-WebSocket-Version", "13");
    request.setRawHeader("Sec-WebSocket-Key", QUuid::createUuid().toRfc4122().toBase64());
    // The key never follows a redirect.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QPointer<QNetworkReply> reply = network.get(request);

    struct State {
        std::function<void(QString)> done;
        ScheduledWork limit;
    };
    auto state = std::make_shared<State>();
    state->done = std::move(done);
    const auto complete = [state, reply, refusal] {
        std::function<void(QString)> finished = std::exchange(state->done, nullptr);
        if (!finished)
            return;
        state->limit.cancel();
        std::optional<int> status = refusal.status;
        QString phrase = refusal.phrase;
        QByteArray body;
        if (reply) {
            const QVariant code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            // Only the same answer again tells what the refusal meant.
            if (code.isValid() && (!status || code.toInt() == *status)) {
                status = code.toInt();
                if (phrase.isEmpty())
                    phrase = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
                body = reply->read(kMaxRefusalBody);
            }
            reply->disconnect();
            reply->abort();
            reply->deleteLater();
        }
        finished(status ? refusalReason(*status, phrase, body)
                        : kUpgradeRefused.toString() + bracketed(NetworkText::oneLine(refusal.libraryText)));
    };
    state->limit = arm(kRefusalReadLimit, complete);
    QObject::connect(reply, &QNetworkReply::finished, reply, complete);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, complete] {
        if (reply && reply->bytesAvailable() >= kMaxRefusalBody)
            complete();
    });
}

} // namespace SeedASRSocket

using namespace SeedASRSocket;

VolcSeedASRClient::Link::~Link()
{
    // Every deadline is cancelled before the sockets go, so no timer posts to a dead link.
    m_slots.clear();
    m_deadlines.clear();
    // A refusal still being read ends now, which cancels its limit; it reports to no socket.
    if (m_network) {
        for (QNetworkReply* reply : m_network->findChildren<QNetworkReply*>())
            reply->abort();
    }
}

void VolcSeedASRClient::Link::openSocket(quint64 id, const QString& key, const QString& resourceId)
{
    QWebSocket* socket = makeSocket(this);
    Slot& slot = m_slots[id];
    slot.socket = socket;
    slot.key = key;
    slot.resourceId = resourceId;
    connect(socket, &QWebSocket::connected, this, [this, id] { onConnected(id); });
    connect(socket, &QWebSocket::binaryMessageReceived, this,
            [this, id](const QByteArray& data) { onBinaryMessage(id, data); });
    // Text messages carry nothing for us; they are read and dropped.
    connect(socket, &QWebSocket::sslErrors, this, [this, id](const QList<QSslError>& errors) {
        if (auto it = m_slots.find(id); it != m_slots.end())
            it->second.trouble.sslErrors = errors;
    });
    connect(socket, errorSignal, this, [this, id, socket](QAbstractSocket::SocketError code) {
        if (auto it = m_slots.find(id); it != m_slots.end())
            noteError(it->second.trouble, *socket, code);
        onSocketGone(id);
    });
    connect(socket, &QWebSocket::disconnected, this, [this, id] { onDisconnected(id); });
    // Qt has no handshake time-out of its own.
    slot.handshakeTimer = deadline(kSessionHandshakeTimeout, [this, id] { onTimeout(id, true); });
    slot.lifetimeTimer = deadline(kSocketLifetime, [this, id] { onTimeout(id, false); });
    socket->open(handshakeRequest(m_client.m_endpoint.webSocketUrl, key, resourceId));
}

void VolcSeedASRClient::Link::send(quint64 id, const QByteArray& frame)
{
    auto it = m_slots.find(id);
    if (it == m_slots.end())
        return;
    Slot& slot = it->second;
    if (slot.connected) {
        slot.socket->sendBinaryMessage(frame);
        return;
    }
    slot.heldBytes += frame.size();
    if (slot.heldBytes > SeedASRSocket::kMaxQueuedAudioBytes) {
        slot.held.clear();
        fail(id, SeedASRSocket::kSendBacklog.toString());
        return;
    }
    slot.held.append(frame);
}

void VolcSeedASRClient::Link::closeSocket(quint64 id)
{
    auto node = m_slots.extract(id);
    if (node.empty())
        return;
    QWebSocket* socket = node.mapped().socket;
    socket->disconnect(this);
    // Closed with code 1000 while the connection is up, a failed socket too (a replay leaves it that way);
    // one that is not connected can only be cut.
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    lingerUntilGone(socket, kCloseLinger, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->close(QWebSocketProtocol::CloseCodeNormal);
}

QNetworkAccessManager& VolcSeedASRClient::Link::network()
{
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        m_network->setProxy(QNetworkProxy::NoProxy);
    }
    return *m_network;
}

void VolcSeedASRClient::Link::sendWarmUp(const QUrl& url)
{
    QNetworkReply* reply = network().head(QNetworkRequest(url));
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    lingerUntilGone(reply, kWarmUpTimeout, [reply] { reply->abort(); });
}

ScheduledWork VolcSeedASRClient::Link::deadline(Duration delay, std::function<void()> work)
{
    // The scheduler runs its work on the main thread; the link is only destroyed from the client's
    // destructor on that thread, so a firing timer never races the link's end.
    Scheduler& scheduler = m_client.m_scheduler;
    return ScheduledWork(&scheduler, scheduler.schedule(delay, [this, work = std::move(work)] {
        QMetaObject::invokeMethod(this, work, Qt::QueuedConnection);
    }));
}

void VolcSeedASRClient::Link::lingerUntilGone(QObject* object, Duration limit, std::function<void()> cutOff)
{
    connect(object, &QObject::destroyed, this, [this, object] { m_deadlines.erase(object); });
    m_deadlines[object] = deadline(limit, [this, object, cutOff = std::move(cutOff)] {
        if (m_deadlines.erase(object))
            cutOff();
    });
}

void VolcSeedASRClient::Link::onConnected(quint64 id)
{
    auto it = m_slots.find(id);
    if (it == m_slots.end())
        return;
    Slot& slot = it->second;
    slot.connected = true;
    slot.handshakeTimer.cancel();
    m_client.noteHandshakeCompleted(id);
    const QList<QByteArray> held = std::exchange(slot.held, {});
    slot.heldBytes = 0;
    for (const QByteArray& frame : held)
        slot.socket->sendBinaryMessage(frame);
}

void VolcSeedASRClient::Link::onBinaryMessage(quint64 id, const QByteArray& data)
{
    auto it = m_slots.find(id);
    if (it == m_slots.end() || !it->second.listening)
        return;
    if (m_client.handleIncomingBinaryFrame(id, data))
        return;
    it = m_slots.find(id); // the handler may have closed it
    if (it != m_slots.end())
        it->second.listening = false;
}

void VolcSeedASRClient::Link::onTimeout(quint64 id, bool handshakeOnly)
{
    auto it = m_slots.find(id);
    if (it == m_slots.end() || (handshakeOnly && it->second.connected))
        return;
    QPointer<QWebSocket> socket = it->second.socket;
    fail(id, handshakeOnly ? kHandshakeTimedOut.toString() : kTimedOut.toString());
    // A failed-over socket stays current until the owner stops the session; cut it off now.
    if (socket && m_slots.count(id))
        socket->abort();
}

// Socket, send and receive failures. Reported once per socket, and only while its receive loop runs: after
// the final answer or an error frame the socket closing is no news.
void VolcSeedASRClient::Link::fail(quint64 id, const QString& reason, bool answered)
{
    auto it = m_slots.find(id);
    if (it == m_slots.end() || it->second.failed || !it->second.listening)
        return;
    it->second.failed = true;
    it->second.listening = false; // a failed receive ends the loop
    it->second.handshakeTimer.cancel();
    m_client.handleEarlySocketErrorOrFailover(id, reason, !answered);
}

void VolcSeedASRClient::Link::onDisconnected(quint64 id)
{
    auto it = m_slots.find(id);
    if (it == m_slots.end())
        return;
    if (!awaitsErrorName(it->second.trouble, it->second.connected)) {
        onSocketGone(id);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, id] { onSocketGone(id); }, Qt::QueuedConnection);
}

void VolcSeedASRClient::Link::onSocketGone(quint64 id)
{
    auto it = m_slots.find(id);
    if (it == m_slots.end() || it->second.failed || !it->second.listening || it->second.readingRefusal)
        return;
    Slot& slot = it->second;
    const std::optional<Refusal> refusal = refusedUpgrade(slot.trouble);
    if (!refusal) {
        fail(id, failureReason(slot.socket, slot.trouble));
        return;
    }
    const bool passing = refusal->status && isPassingRefusal(*refusal->status);
    // A refusal in passing is tried again at once; its body only matters when it is the last word.
    if (passing && m_client.wouldReplay(id)) {
        fail(id, refusalReason(*refusal->status, refusal->phrase, {}));
        return;
    }
    slot.readingRefusal = true;
    slot.handshakeTimer.cancel(); // the service has answered; its reason is on the way
    readRefusal(
        network(), m_client.m_endpoint.webSocketUrl, slot.key, slot.resourceId, *refusal,
        [this](Duration delay, std::function<void()> work) { return deadline(delay, std::move(work)); },
        [this, id, passing](const QString& reason) { fail(id, reason, !passing); });
}
