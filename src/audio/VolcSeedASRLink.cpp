#include "audio/VolcSeedASRLink.h"

#include "net/NetworkText.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>

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

constexpr QStringView kConnectionClosed = u"连接已断开";
constexpr QStringView kClosedByService = u"语音服务关闭了连接";

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

QString failureReason(const QWebSocket* socket)
{
    // Qt's and the service's own words only ever follow ours, in brackets.
    if (socket->error() != QAbstractSocket::UnknownSocketError && !socket->errorString().isEmpty())
        return NetworkText::socketFailure(socket->error(), socket->errorString());
    if (!socket->closeReason().isEmpty())
        return kClosedByService.toString() + QStringLiteral("（") + socket->closeReason() +
               QStringLiteral("）");
    return kConnectionClosed.toString();
}

} // namespace SeedASRSocket

using namespace SeedASRSocket;

VolcSeedASRClient::Link::~Link()
{
    // Every deadline is cancelled before the sockets go, so no timer posts to a dead link.
    m_slots.clear();
    m_deadlines.clear();
}

void VolcSeedASRClient::Link::openSocket(quint64 id, const QString& key, const QString& resourceId)
{
    QWebSocket* socket = makeSocket(this);
    Slot& slot = m_slots[id];
    slot.socket = socket;
    connect(socket, &QWebSocket::connected, this, [this, id] { onConnected(id); });
    connect(socket, &QWebSocket::binaryMessageReceived, this,
            [this, id](const QByteArray& data) { onBinaryMessage(id, data); });
    // Text messages carry nothing for us; they are read and dropped.
    connect(socket, errorSignal, this, [this, id, socket] { fail(id, failureReason(socket)); });
    connect(socket, &QWebSocket::disconnected, this, [this, id, socket] { fail(id, failureReason(socket)); });
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

void VolcSeedASRClient::Link::sendWarmUp(const QUrl& url)
{
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        m_network->setProxy(QNetworkProxy::NoProxy);
    }
    QNetworkReply* reply = m_network->head(QNetworkRequest(url));
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
    fail(id, kTimedOut.toString());
    // A failed-over socket stays current until the owner stops the session; cut it off now.
    if (socket && m_slots.count(id))
        socket->abort();
}

// Socket, send and receive failures. Reported once per socket, and only while its receive loop runs: after
// the final answer or an error frame the socket closing is no news.
void VolcSeedASRClient::Link::fail(quint64 id, const QString& reason)
{
    auto it = m_slots.find(id);
    if (it == m_slots.end() || it->second.failed || !it->second.listening)
        return;
    it->second.failed = true;
    it->second.listening = false; // a failed receive ends the loop
    it->second.handshakeTimer.cancel();
    m_client.handleEarlySocketErrorOrFailover(id, reason);
}
