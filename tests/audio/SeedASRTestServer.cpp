#include "audio/SeedASRTestServer.h"

#include "audio/SeedASRProtocol.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpSocket>

// Starts TLS with the test's own certificate on every connection when asked to.
class SeedASRTestServer::TcpServer final : public QTcpServer {
public:
    QSslCertificate certificate;
    QSslKey key;
    bool tls = false;
    bool refuseTls = false;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (refuseTls) {
            auto* socket = new QTcpSocket(this);
            if (!socket->setSocketDescriptor(descriptor)) {
                delete socket;
                return;
            }
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                socket->readAll();
                socket->disconnectFromHost();
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            return;
        }
        if (!tls) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        socket->startServerEncryption();
        addPendingConnection(socket);
    }
};

namespace {
constexpr qsizetype kMaxHandshakeBytes = 64 * 1024;

void appendBigEndian32(QByteArray& out, quint32 value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(static_cast<char>((value >> shift) & 0xFF));
}

quint32 readBigEndian32(const QByteArray& data, qsizetype offset)
{
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<quint8>(data[offset + i]);
    return value;
}
} // namespace

QByteArray SeedASRTestServer::Connection::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

void SeedASRTestServer::Connection::send(const QByteArray& frame) const
{
    if (socket)
        socket->sendBinaryMessage(frame);
}

void SeedASRTestServer::Connection::closeWith(int code) const
{
    if (socket)
        socket->close(static_cast<QWebSocketProtocol::CloseCode>(code));
}

void SeedASRTestServer::Connection::drop() const
{
    if (socket)
        socket->abort();
    else if (tcp)
        tcp->abort();
}

SeedASRTestServer::SeedASRTestServer(QObject* parent)
    : QObject(parent), m_tcpServer(std::make_unique<TcpServer>()), m_tcp(*m_tcpServer),
      m_webSockets(QStringLiteral("seed-asr-test"), QWebSocketServer::NonSecureMode)
{
    connect(&m_tcp, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* tcp = m_tcp.nextPendingConnection()) {
            auto connection = std::make_unique<Connection>();
            connection->index = connectionCount();
            connection->tcp = tcp;
            Connection* raw = connection.get();
            m_connections.push_back(std::move(connection));
            connect(tcp, &QTcpSocket::readyRead, this, [this, raw] { onTcpReadyRead(raw); });
        }
    });
    connect(&m_webSockets, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket* socket = m_webSockets.nextPendingConnection())
            onWebSocket(socket);
    });
}

SeedASRTestServer::~SeedASRTestServer()
{
    for (auto& connection : m_connections) {
        if (connection->socket)
            connection->socket->abort();
        if (connection->tcp)
            connection->tcp->abort();
    }
}

bool SeedASRTestServer::listen()
{
    return m_tcp.listen(QHostAddress::LocalHost, 0);
}

bool SeedASRTestServer::listenWithUntrustedCertificate()
{
    QFile certificate(QStringLiteral(QB_FIXTURES_DIR "/tls/untrusted.crt"));
    QFile key(QStringLiteral(QB_FIXTURES_DIR "/tls/untrusted.key"));
    if (!certificate.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
        return false;
    m_tcpServer->certificate = QSslCertificate(certificate.readAll());
    m_tcpServer->key = QSslKey(key.readAll(), QSsl::Rsa);
    m_tcpServer->tls = m_tls = true;
    return !m_tcpServer->certificate.isNull() && !m_tcpServer->key.isNull() && listen();
}

bool SeedASRTestServer::listenRefusingSecureHandshake()
{
    m_tcpServer->refuseTls = m_tls = true;
    return listen();
}

QUrl SeedASRTestServer::url() const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2/api/v3/sauc/bigmodel_async")
                    .arg(m_tls ? QStringLiteral("wss") : QStringLiteral("ws"))
                    .arg(m_tcp.serverPort()));
}

void SeedASRTestServer::onTcpReadyRead(Connection* connection)
{
    QTcpSocket* tcp = connection->tcp;
    if (!tcp || !connection->path.isEmpty())
        return;
    // Peek, so the WebSocket server can still read the whole request itself.
    const QByteArray seen = tcp->peek(kMaxHandshakeBytes);
    const qsizetype end = seen.indexOf("\r\n\r\n");
    if (end < 0) {
        if (seen.size() >= kMaxHandshakeBytes)
            tcp->abort();
        return;
    }
    const QList<QByteArray> lines = seen.left(end).split('\n');
    connection->path = lines.value(0).split(' ').value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            connection->headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    tcp->disconnect(this);
    const Handshake action = m_handshakes.value(connection->index, Handshake::accept);
    if (action == Handshake::stall)
        return;
    if (action == Handshake::unauthorized || action == Handshake::unavailable ||
        action == Handshake::refuse) {
        RefusalAnswer answer{action == Handshake::unauthorized ? "HTTP/1.1 401 Unauthorized"
                                                               : "HTTP/1.1 503 Service Unavailable",
                             "application/json", R"({"error":"refused"})"};
        if (action == Handshake::refuse)
            answer = m_refusal;
        tcp->readAll();
        tcp->write(answer.statusLine + "\r\nContent-Type: " + answer.contentType + "\r\nContent-Length: " +
                   QByteArray::number(answer.body.size()) + "\r\nConnection: close\r\n\r\n" + answer.body);
        tcp->disconnectFromHost();
        return;
    }
    m_upgrading.push_back(connection);
    m_webSockets.handleConnection(tcp);
}

void SeedASRTestServer::onWebSocket(QWebSocket* socket)
{
    if (m_upgrading.empty()) {
        socket->abort();
        return;
    }
    Connection* connection = m_upgrading.front();
    m_upgrading.pop_front();
    connection->socket = socket;
    socket->setParent(this);
    // Qt reports code 1000 for a connection that was merely cut as well: only a close frame, which makes the
    // socket announce its close, counts as the client's.
    connect(socket, &QWebSocket::aboutToClose, this, [connection] { connection->closeFrameReceived = true; });
    connect(socket, &QWebSocket::disconnected, this, [connection, socket] {
        connection->disconnected = true;
        if (connection->closeFrameReceived)
            connection->closeCodeFromClient = socket->closeCode();
    });
    connect(socket, &QWebSocket::binaryMessageReceived, this, [this, connection](const QByteArray& data) {
        ClientFrame frame;
        if (data.size() >= 8) {
            for (int i = 0; i < 4; ++i)
                frame.header[i] = static_cast<quint8>(data[i]);
            frame.wirePayload = data.mid(8);
            frame.sizeMatches = readBigEndian32(data, 4) == static_cast<quint32>(frame.wirePayload.size());
            frame.payload = (frame.header[2] & 0x0F) == 1 ? SeedASRProtocol::gzipDecompress(frame.wirePayload)
                                                          : frame.wirePayload;
        }
        connection->frames.append(frame);
        if (onFrame)
            onFrame(*connection, frame);
    });
}

QByteArray SeedASRTestServer::transcriptJson(const QString& text, bool definite)
{
    const QJsonObject result{
        {QStringLiteral("text"), text},
        {QStringLiteral("utterances"), QJsonArray{QJsonObject{{QStringLiteral("definite"), definite}}}}};
    return QJsonDocument(QJsonObject{{QStringLiteral("result"), result}}).toJson(QJsonDocument::Compact);
}

// Header, an optional number (a sequence or an error code, never read), the size and the payload as given.
static QByteArray frameCarrying(int typeAndFlags, bool gzip, std::optional<quint32> number,
                                const QByteArray& payload)
{
    QByteArray frame;
    frame.append(char(0x11));
    frame.append(static_cast<char>(typeAndFlags));
    frame.append(static_cast<char>(0x10 | (gzip ? 1 : 0)));
    frame.append('\0');
    if (number)
        appendBigEndian32(frame, *number);
    appendBigEndian32(frame, static_cast<quint32>(payload.size()));
    return frame + payload;
}

static QByteArray serverFrame(int typeAndFlags, bool gzip, std::optional<quint32> number,
                              const QByteArray& body)
{
    return frameCarrying(typeAndFlags, gzip, number, gzip ? *SeedASRProtocol::gzipCompress(body) : body);
}

// Flags 1 to 3 carry a sequence number before the size.
static QByteArray responseCarrying(int flags, bool gzip, const QByteArray& payload)
{
    const bool sequenced = flags >= 1 && flags <= 3;
    return frameCarrying(0x90 | (flags & 0x0F), gzip, sequenced ? std::optional<quint32>(7) : std::nullopt,
                         payload);
}

QByteArray SeedASRTestServer::responseFrame(int flags, const QByteArray& json, bool gzip)
{
    return responseCarrying(flags, gzip, gzip ? *SeedASRProtocol::gzipCompress(json) : json);
}

QByteArray SeedASRTestServer::responseFrameCarrying(int flags, const QByteArray& payload)
{
    return responseCarrying(flags, true, payload);
}

QByteArray SeedASRTestServer::errorFrame(const QByteArray& message, bool gzip)
{
    return serverFrame(0xF0, gzip, 45000001, message);
}
