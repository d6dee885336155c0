#pragma once

// The socket side of VolcSeedASRClient, shared by the client's session code and its handshake probe.
// Private to the client: nothing else includes this.

#include "audio/VolcSeedASRClient.h"

#include <QNetworkRequest>
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
// Why a socket went away, for the fail-over notice or the probe's error.
QString failureReason(const QWebSocket* socket);
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
    void fail(quint64 id, const QString& reason);

    VolcSeedASRClient& m_client;
    std::unordered_map<quint64, Slot> m_slots;
    std::unordered_map<QObject*, ScheduledWork> m_deadlines;
    QNetworkAccessManager* m_network = nullptr;
};
