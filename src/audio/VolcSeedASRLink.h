#pragma once

// The socket side of VolcSeedASRClient, shared by the client's session code and its handshake probe.
// Private to the client: nothing else includes this.

#include "audio/VolcSeedASRClient.h"

#include <QNetworkRequest>
#include <QSslError>
#include <QWebSocket>
#include <unordered_map>

class QNetworkAccessManager;

namespace SeedASRSocket {

inline constexpr QStringView kTimedOut = u"请求超时";
// Audio waits in memory while the socket connects or the send thread is behind; past this much (30 s of
// 16 kHz speech) the link is taken as stalled and the session fails over instead of growing without end.
inline constexpr qsizetype kMaxQueuedAudioBytes = 30 * 16000 * 2;
inline constexpr QStringView kSendBacklog = u"云端发送积压过多";
inline constexpr QStringView kKeyHasControlCharacters = u"豆包语音 API Key 含有控制字符，请重新粘贴";

// A direct (proxy-free) socket whose incoming messages are capped.
QWebSocket* makeSocket(QObject* parent);
QNetworkRequest handshakeRequest(const QUrl& url, const QString& key, const QString& resourceId);
// What went wrong on one socket, as its signals told: Qt 6.4's QWebSocket::error() reads the underlying
// TCP socket, which knows nothing of a refused upgrade, so the code comes from the error signal.
struct SocketTrouble {
    std::optional<QAbstractSocket::SocketError> code;
    QString libraryText;
    QList<QSslError> sslErrors;
    bool duringSecureHandshake = false; // a wss socket whose TLS handshake had not completed
};
// Keeps the first error a socket reports, with what it was doing then.
void noteError(SocketTrouble& trouble, const QWebSocket& socket, QAbstractSocket::SocketError code);
// Qt reports a connection that never came up as disconnected before it names the error: a report of the
// disconnection waits one turn of the event loop, by which the error is known.
bool awaitsErrorName(const SocketTrouble& trouble, bool upgraded);
// Why a socket went away, for the fail-over notice or the probe's error.
QString failureReason(const QWebSocket* socket, const SocketTrouble& trouble);

// An upgrade the service answered with an HTTP status other than 101. Qt 6.4 keeps only the status line
// (in its error text) and drops the body, where the service says why.
struct Refusal {
    std::optional<int> status; // from Qt's text; none when Qt did not name it
    QString phrase;
    QString libraryText;
};
std::optional<Refusal> refusedUpgrade(const SocketTrouble& trouble);
// Our words for a refusal, with the status and the service's message (a JSON "message"/"error", a page's
// title or text) in brackets.
QString refusalReason(int status, const QString& phrase, const QByteArray& body);
// A refusal that a load balancer or a busy service gives in passing (429, 408, any 5xx): a fresh socket may
// well be let through. Other refusals (401, 403: the key) would only meet the same answer again.
bool isPassingRefusal(int status);
// Sets a deadline whose work runs on the calling thread.
using ArmDeadline = std::function<ScheduledWork(Duration, std::function<void()>)>;
// Sends the same upgrade request once more as a plain HTTP(S) request, to read the status and the body of the
// refusal; `done` gets the reason for the user. Bounded in time and size; gives Qt's status alone when the
// second answer cannot be read or differs.
void readRefusal(QNetworkAccessManager& network, const QUrl& webSocketUrl, const QString& key,
                 const QString& resourceId, const Refusal& refusal, const ArmDeadline& arm,
                 std::function<void(QString)> done);
// Qt 6.4 has no QWebSocket::errorOccurred.
inline const auto errorSignal = QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error);

} // namespace SeedASRSocket

// Lives on the send queue's thread and is only ever touched there: owns the sessions' sockets and the
// warm-up requests, and turns socket events into calls on the client.
class VolcSeedASRClient::Link final : public QObject {
public:
    explicit Link(VolcSeedASRClient& client) : m_client(client) {}
    ~Link() override;

    void openSocket(quint64 id, const QString& key, const QString& resourceId);
    // QWebSocket drops what is sent before the handshake completes, so early frames wait in the slot.
    void send(quint64 id, const QByteArray& frame);
    void closeSocket(quint64 id);
    void sendWarmUp(const QUrl& url);

private:
    struct Slot {
        QWebSocket* socket = nullptr;
        QString key, resourceId; // to read a refusal
        SeedASRSocket::SocketTrouble trouble;
        bool readingRefusal = false;
        bool connected = false;
        bool listening = true; // the receive loop goes on
        bool failed = false;
        QList<QByteArray> held;
        qsizetype heldBytes = 0;
        ScheduledWork handshakeTimer;
        ScheduledWork lifetimeTimer;
    };

    // A scheduler timer whose work runs on this thread.
    ScheduledWork deadline(Duration delay, std::function<void()> work);
    // Runs `cutOff` unless `object` is gone by then.
    void lingerUntilGone(QObject* object, Duration limit, std::function<void()> cutOff);
    void onConnected(quint64 id);
    void onBinaryMessage(quint64 id, const QByteArray& data);
    // The handshake limit (only while connecting) or the socket's whole lifetime ran out.
    void onTimeout(quint64 id, bool handshakeOnly);
    // `answered`: the service itself refused (an HTTP status) for a reason a fresh socket would meet again.
    void fail(quint64 id, const QString& reason, bool answered = false);
    // A socket error or close: a refused upgrade is read before it is reported, unless it will be replayed.
    void onSocketGone(quint64 id);
    void onDisconnected(quint64 id);
    QNetworkAccessManager& network();

    VolcSeedASRClient& m_client;
    std::unordered_map<quint64, Slot> m_slots;
    std::unordered_map<QObject*, ScheduledWork> m_deadlines;
    QNetworkAccessManager* m_network = nullptr;
};
