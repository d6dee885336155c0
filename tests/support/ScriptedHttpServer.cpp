#include "support/ScriptedHttpServer.h"

#include <QTcpSocket>

namespace {
constexpr qsizetype kMaxRequestBytes = 64 * 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}
} // namespace

struct ScriptedHttpServer::Connection {
    QPointer<QTcpSocket> socket;
    QByteArray buffer;
    bool replying = false;
    Reply reply;
    qsizetype nextPiece = 0;
    ScheduledWork pending;
};

ScriptedHttpServer::Reply ScriptedHttpServer::Reply::json(int status, const QByteArray& body)
{
    Reply reply;
    reply.status = status;
    reply.headers = {{"Content-Type", "application/json"}};
    reply.pieces = {{body, {}}};
    return reply;
}

ScriptedHttpServer::Reply ScriptedHttpServer::Reply::sse(const QList<QByteArray>& events, Duration gap)
{
    Reply reply;
    reply.headers = {{"Content-Type", "text/event-stream"}};
    reply.framing = Framing::chunked;
    for (const QByteArray& event : events)
        reply.pieces.append({event, gap});
    return reply;
}

ScriptedHttpServer::ScriptedHttpServer(Scheduler& scheduler, QObject* parent)
    : QObject(parent), m_scheduler(scheduler)
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedHttpServer::onNewConnection);
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    for (auto& connection : m_connections) {
        connection->pending.cancel();
        if (connection->socket)
            connection->socket->abort();
    }
}

bool ScriptedHttpServer::listen(const QHostAddress& address)
{
    m_address = address;
    return m_server.listen(address, 0);
}

QUrl ScriptedHttpServer::baseUrl() const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(m_address.toString());
    url.setPort(m_server.serverPort());
    return url;
}

void ScriptedHttpServer::enqueue(Reply reply)
{
    m_queue.push_back(std::move(reply));
}

void ScriptedHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        Connection* raw = connection.get();
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { onReadyRead(raw); });
        m_connections.push_back(std::move(connection));
    }
}

void ScriptedHttpServer::onReadyRead(Connection* connection)
{
    if (!connection->socket)
        return;
    connection->buffer += connection->socket->readAll();
    if (connection->buffer.size() > kMaxRequestBytes) {
        connection->socket->abort();
        return;
    }
    while (!connection->replying) {
        const qsizetype headerEnd = connection->buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        Request request;
        const QList<QByteArray> lines = connection->buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.path = requestLine.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        const qsizetype bodyLength = request.header("content-length").toLongLong();
        if (connection->buffer.size() < headerEnd + 4 + bodyLength)
            return;
        request.body = connection->buffer.mid(headerEnd + 4, bodyLength);
        connection->buffer.remove(0, headerEnd + 4 + bodyLength);
        m_requests.append(request);

        Reply reply;
        if (!m_queue.empty()) {
            reply = std::move(m_queue.front());
            m_queue.pop_front();
        } else if (m_handler) {
            reply = m_handler(request);
        } else {
            reply = Reply::json(404, "{}");
        }
        startReply(connection, std::move(reply), request.method == "HEAD");
    }
}

void ScriptedHttpServer::startReply(Connection* connection, Reply reply, bool headersOnly)
{
    if (reply.dropWithoutReply) {
        connection->socket->abort();
        return;
    }
    connection->replying = true;
    if (reply.neverAnswer)
        return;
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    for (const auto& [name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    switch (reply.framing) {
    case Reply::Framing::contentLength: {
        qsizetype length = 0;
        for (const Piece& piece : reply.pieces)
            length += piece.data.size();
        if (reply.cutShort)
            length += 1024;
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
        break;
    }
    case Reply::Framing::chunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
    case Reply::Framing::closeDelimited:
        head += "Connection: close\r\n";
        break;
    }
    head += "\r\n";
    connection->socket->write(head);
    connection->socket->flush();
    if (headersOnly) {
        // A body after the head of a HEAD reply would be read as the start of the next reply on this
        // connection.
        connection->replying = false; // the loop reading requests goes on with the next one
        if (reply.framing == Reply::Framing::closeDelimited)
            connection->socket->disconnectFromHost();
        return;
    }
    connection->reply = std::move(reply);
    connection->nextPiece = 0;
    sendNextPiece(connection);
}

void ScriptedHttpServer::sendNextPiece(Connection* connection)
{
    if (!connection->socket)
        return;
    Reply& reply = connection->reply;
    if (connection->nextPiece < reply.pieces.size()) {
        const Piece& piece = reply.pieces[connection->nextPiece];
        auto send = [this, connection] {
            if (!connection->socket)
                return;
            const Piece& current = connection->reply.pieces[connection->nextPiece++];
            if (connection->reply.framing == Reply::Framing::chunked)
                connection->socket->write(QByteArray::number(current.data.size(), 16) + "\r\n" +
                                          current.data + "\r\n");
            else
                connection->socket->write(current.data);
            connection->socket->flush();
            sendNextPiece(connection);
        };
        if (piece.delayBefore > Duration::zero())
            connection->pending = ScheduledWork(&m_scheduler, m_scheduler.schedule(piece.delayBefore, send));
        else
            send();
        return;
    }
    if (reply.stallAfterPieces)
        return;
    if (reply.cutShort) {
        connection->socket->disconnectFromHost();
        return;
    }
    if (reply.framing == Reply::Framing::chunked)
        connection->socket->write("0\r\n\r\n");
    connection->socket->flush();
    if (reply.framing == Reply::Framing::closeDelimited) {
        connection->socket->disconnectFromHost();
        return;
    }
    connection->replying = false;
    if (!connection->buffer.isEmpty()) // a pipelined request is waiting
        onReadyRead(connection);
}
