#pragma once

#include "util/Scheduler.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QUrl>
#include <deque>
#include <functional>
#include <memory>

class QTcpSocket;

// A small HTTP/1.1 server for tests: it records every request and answers with scripted replies, sent piece
// by piece with delays (through the given scheduler), stalled, or cut off. Bind it to 127.0.0.2 to play a
// remote host.
class ScriptedHttpServer final : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray path;                      // with the query
        QMap<QByteArray, QByteArray> headers; // names lower-cased
        QByteArray body;

        QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
    };

    struct Piece {
        QByteArray data;
        Duration delayBefore{};
    };

    struct Reply {
        enum class Framing { contentLength, chunked, closeDelimited };

        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QList<Piece> pieces;
        Framing framing = Framing::contentLength;
        bool stallAfterPieces = false; // keep the connection open and send nothing more
        bool dropWithoutReply = false; // close the connection as soon as the request is read
        bool cutShort =
            false; // the head promises more body than the pieces; the connection closes after them
        bool neverAnswer = false; // read the request, then send nothing at all (not even the head)

        static Reply json(int status, const QByteArray& body);
        // text/event-stream, one piece per event, sent chunked.
        static Reply sse(const QList<QByteArray>& events, Duration gap = {});
    };

    using Handler = std::function<Reply(const Request&)>;

    explicit ScriptedHttpServer(Scheduler& scheduler, QObject* parent = nullptr);
    ~ScriptedHttpServer() override;

    bool listen(const QHostAddress& address = QHostAddress::LocalHost);
    QUrl baseUrl() const;
    quint16 port() const { return m_server.serverPort(); }

    // Replies are used in order; with none queued the handler answers (404 when there is none).
    void enqueue(Reply reply);
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    const QList<Request>& requests() const { return m_requests; }

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(Connection* connection);
    void startReply(Connection* connection, Reply reply, bool headersOnly);
    void sendNextPiece(Connection* connection);

    Scheduler& m_scheduler;
    QTcpServer m_server;
    QHostAddress m_address;
    std::deque<Reply> m_queue;
    Handler m_handler;
    QList<Request> m_requests;
    std::vector<std::unique_ptr<Connection>> m_connections;
};
