#pragma once

#include "audio/SeedASRProtocol.h"
#include "util/AppError.h"
#include "util/Deferred.h"
#include "util/Scheduler.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QUrl>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include <qcoro/qcorotask.h>

// Streams one dictation at a time to the Seed-ASR service over a WebSocket and hands back the live and the
// final transcript. Until the service answers, the frames sent are kept, and a failed socket is replayed
// once on a fresh one; any other failure asks the owner to fail over.
//
// Threads: every operation may be called from any thread. The sockets live on one worker thread named
// "org.quorbell.volc.seedasr.send" (the send queue): frames are compressed, framed and sent there, in the
// order the session produced them, and socket events are read there. Callbacks are posted to the thread
// the client lives on (the main thread), except the no-key fallback of startSession, which runs at once.
// The scheduler must outlive the client.
class VolcSeedASRClient final : public QObject {
public:
    struct Endpoint {
        QUrl webSocketUrl; // the streaming endpoint
        QUrl warmUpUrl;    // the same host's root, for the connection warm-up
        static Endpoint volcengine();
    };

    static QString defaultResourceID() { return QStringLiteral("volc.seedasr.sauc.duration"); }
    static QString errorDomain() { return QStringLiteral("Quorbell.SeedASR"); }

    explicit VolcSeedASRClient(Scheduler& scheduler, Endpoint endpoint = Endpoint::volcengine(),
                               QObject* parent = nullptr);
    ~VolcSeedASRClient() override;

    // Callbacks carry the tag their session was started with: one posted just before a newer session
    // started may still arrive after it.
    // Called on the main thread for every non-empty transcript the service sends.
    std::function<void(quint64 sessionTag, const QString& text, bool isDefinite)> onStreamingTranscript;
    // Asks the owner to move the session to another recognizer.
    std::function<void(quint64 sessionTag, const QString& reason)> onConnectionFallbackNeeded;

    // `sessionTag` is the caller's own number for the session.
    void startSession(quint64 sessionTag, const QString& apiKey, const QStringList& hotwords,
                      const QStringList& dialogContext, bool enableDDC, bool enableNonstream,
                      const QString& resourceID);
    // 16 kHz mono samples; typically from the audio thread.
    void appendPCM16Samples(std::span<const qint16> samples);
    // Always ends the session. Nothing when no usable text arrived or the session failed over.
    QCoro::Task<std::optional<QString>> finishAndAwaitFinalTranscript(quint64 timeoutMs);
    void stopAndReset();

    bool hasReceivedAnyServerFrame() const;
    int receivedServerFrameCount() const;

    // How the last session went, kept until the next start: what the owner tells the user when the finish
    // brought no final answer.
    struct SessionOutcome {
        bool handshakeCompleted = false; // a socket of the session was upgraded
        bool receivedFinal = false;
        std::optional<QString> failure; // why it failed over, when it did
    };
    SessionOutcome sessionOutcome() const;

    // Both arguments are accepted and ignored: the warm-up only opens a connection to the host.
    void prewarmStandbySocket(const QString& apiKey, const QString& resourceID);

    // Time from opening a socket to the first answer, in whole milliseconds (at least 1).
    static QCoro::Task<Result<qint64>>
    probeHandshakeLatency(QString apiKey, QString resourceID, Scheduler& scheduler,
                          QUrl webSocketUrl = Endpoint::volcengine().webSocketUrl);

private:
    class Link;
    using FinalWaiter = Deferred<std::optional<QString>>;

    // Work for the send queue, queued under the state lock so its order is the session's order.
    struct OutboxItem {
        enum class Kind { openSocket, frame, closeSocket };
        Kind kind = Kind::frame;
        quint64 socketId = 0;   // openSocket, closeSocket
        quint64 generation = 0; // frame: the session it belongs to
        SeedASRProtocol::ClientFrameKind frameKind = SeedASRProtocol::ClientFrameKind::audioOnly;
        QByteArray payload;
        QString apiKey, resourceId; // openSocket

        static OutboxItem open(quint64 socketId, QString apiKey, QString resourceId);
        static OutboxItem frame(quint64 generation, SeedASRProtocol::ClientFrameKind kind,
                                QByteArray payload);
        static OutboxItem close(quint64 socketId);
    };

    struct TakenWaiter {
        std::shared_ptr<FinalWaiter> waiter;
        TimerId timer = 0;
    };

    // Worker-thread side.
    void drainOutbox();
    void sendSessionFrame(const OutboxItem& item);
    bool handleIncomingBinaryFrame(quint64 socketId, const QByteArray& data);
    // `mayReplay` is false when the service itself refused for a reason a fresh socket would meet again.
    void handleEarlySocketErrorOrFailover(quint64 failedSocketId, const QString& reason,
                                          bool mayReplay = true);
    // Whether a failure of `socketId` now would be replayed on a fresh socket.
    bool wouldReplay(quint64 socketId) const;
    bool canReplayLocked() const;
    // Fails the session of `socketId` over, once; nothing when a newer session has started meanwhile.
    void triggerFailover(quint64 socketId, const QString& reason);
    void noteHandshakeCompleted(quint64 socketId);

    TakenWaiter takeWaiterLocked();
    void releaseWaiter(TakenWaiter taken, std::optional<QString> result);
    void onFinishTimeout(const std::shared_ptr<FinalWaiter>& waiter);
    void pushLocked(OutboxItem item)
    {
        m_outboxBytes += item.payload.size();
        m_outbox.push_back(std::move(item));
    }
    void postDrain();
    void postToOwner(std::function<void()> work);

    Scheduler& m_scheduler;
    const Endpoint m_endpoint;
    QThread m_thread;
    Link* m_link = nullptr; // lives on m_thread

    mutable std::mutex m_stateLock;
    quint64 m_socketId = 0; // the current session's socket; 0 when none
    quint64 m_nextSocketId = 0;
    quint64 m_generation = 0;
    quint64 m_sessionTag = 0;
    std::optional<MonotonicTime> m_lastPrewarmAt;
    QString m_activeAPIKey;
    QString m_activeResourceID = defaultResourceID();
    bool m_didRetryFreshSocket = false;
    QList<QByteArray> m_replayHandshakeFrames;
    // A frame went out before the first answer but could not be kept: a replay would lose audio.
    bool m_hasUnrecordedFrames = false;
    int m_sentAudioChunkCount = 0;
    QByteArray m_pendingPCM16Bytes;
    bool m_isActive = false;
    bool m_hasFailedOver = false;
    bool m_handshakeCompleted = false;
    std::optional<QString> m_failoverReason;
    QString m_latestServerText;
    bool m_didReceiveFinalPacket = false;
    int m_receivedServerFrameCount = 0;
    std::shared_ptr<FinalWaiter> m_finalWaiter;
    TimerId m_finalTimer = 0;
    std::deque<OutboxItem> m_outbox;
    qsizetype m_outboxBytes = 0;
};
