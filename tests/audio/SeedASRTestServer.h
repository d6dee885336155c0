#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QThread>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>
#include <deque>
#include <functional>
#include <memory>

// Plays the Seed-ASR service on 127.0.0.1: records each handshake's headers in order, decodes the client's
// frames, and answers as the test scripts it. Handshakes can be stalled or refused, connections dropped, and
// the whole service can sit behind TLS with a certificate no client trusts.
class SeedASRTestServer final : public QObject {
public:
    // stall: never answer the upgrade; unauthorized, unavailable: answer it with HTTP 401 or 503 and close;
    // refuse: answer it with the refusal set by setRefusal().
    enum class Handshake { accept, stall, unauthorized, unavailable, refuse };

    struct ClientFrame {
        quint8 header[4] = {};
        bool sizeMatches = false; // the size field equals the payload's length on the wire
        QByteArray wirePayload;
        QByteArray payload; // inflated when the gzip bit is set

        quint8 typeAndFlags() const { return header[1]; }
        bool isLastAudio() const { return header[1] == 0x22; }
    };

    struct Connection {
        int index = 0;
        QByteArray path;
        QList<QPair<QByteArray, QByteArray>> headers; // in the order received
        QPointer<QTcpSocket> tcp;
        QPointer<QWebSocket> socket;
        QList<ClientFrame> frames;
        bool disconnected = false;
        bool closeFrameReceived = false;
        int closeCodeFromClient = -1; // -1: the client sent no close frame

        QByteArray header(const QByteArray& name) const;
        void send(const QByteArray& frame) const;
        void closeWith(int code) const; // a WebSocket close frame with this code
        void drop() const;              // cut the TCP connection without a close handshake
    };

    explicit SeedASRTestServer(QObject* parent = nullptr);
    ~SeedASRTestServer() override;

    bool listen();
    // TLS on every connection, with a self-signed certificate: the client's handshake fails.
    bool listenWithUntrustedCertificate();
    // A TLS front that will not talk to the client: each connection is closed as its first bytes (the TLS
    // greeting) arrive. The URL is a wss one.
    bool listenRefusingSecureHandshake();
    QUrl url() const;

    // What to do with the n-th handshake (counting from 0); accept when not listed.
    void setHandshakes(QList<Handshake> actions) { m_handshakes = std::move(actions); }
    // What Handshake::refuse answers, e.g. "HTTP/1.1 403 Forbidden", "text/html" and a page.
    void setRefusal(QByteArray statusLine, QByteArray contentType, QByteArray body)
    {
        m_refusal = {std::move(statusLine), std::move(contentType), std::move(body)};
    }
    // Called for every decoded frame, after it has been recorded.
    std::function<void(Connection&, const ClientFrame&)> onFrame;

    int connectionCount() const { return static_cast<int>(m_connections.size()); }
    Connection& connection(int index) { return *m_connections.at(static_cast<size_t>(index)); }

    static QByteArray transcriptJson(const QString& text, bool definite = false);
    // A gzip JSON response carrying `text` as the transcript so far.
    static QByteArray transcriptFrame(int flags, const QString& text)
    {
        return responseFrame(flags, transcriptJson(text));
    }
    // A response frame; flags 1 to 3 carry a sequence number before the size.
    static QByteArray responseFrame(int flags, const QByteArray& json, bool gzip = true);
    // A response frame that says its payload is gzip JSON but carries `payload` as it is (e.g. a stream cut
    // short or damaged).
    static QByteArray responseFrameCarrying(int flags, const QByteArray& payload);
    static QByteArray errorFrame(const QByteArray& message, bool gzip = false);

private:
    void onTcpReadyRead(Connection* connection);
    void onWebSocket(QWebSocket* socket);

    class TcpServer;
    struct RefusalAnswer {
        QByteArray statusLine, contentType, body;
    };

    std::unique_ptr<TcpServer> m_tcpServer;
    QTcpServer& m_tcp;
    bool m_tls = false;
    RefusalAnswer m_refusal;
    QWebSocketServer m_webSockets;
    QList<Handshake> m_handshakes;
    std::deque<std::unique_ptr<Connection>> m_connections;
    std::deque<Connection*> m_upgrading; // handed to the WebSocket server, in order
};

// Bounded waits on real sockets for the cloud clients' tests: events are processed until the condition
// holds or the limit passes. Protocol time-outs never depend on these; they run on virtual time.
namespace CloudTest {

inline void processEventsOnce()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The limit only ends a wait that will never succeed; a sanitizer build on a loaded machine can take several
// seconds over one reply of a few megabytes.
inline bool waitUntil(const std::function<bool()>& condition, int limitMs = 30000)
{
    const QDeadlineTimer deadline(limitMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        processEventsOnce();
        QThread::msleep(1);
    }
    return true;
}

// Runs what is already posted, without waiting: enough to tell that something did not happen when only
// virtual time or the call itself could have made it happen.
inline void runPostedEvents()
{
    processEventsOnce();
}

// Lets in-flight events land, to check that something did not happen that would come over a socket.
inline void settle(int ms = 30)
{
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        processEventsOnce();
        QThread::msleep(1);
    }
}

} // namespace CloudTest
