#include "audio/VolcSeedASRClient.h"
#include "util/Endpoint.h"

#include "audio/VolcSeedASRLink.h"
#include "net/NetworkText.h"
#include "util/AppIdentity.h"
#include "util/Text.h"

#include <QPointer>
#include <QtEndian>

using namespace std::chrono_literals;
using SeedASRProtocol::ClientFrameKind;
using SeedASRProtocol::ServerFrame;

namespace {

constexpr Duration kWarmUpInterval = 25s;
// Three 60 ms chunks get recognition going early; 100 ms chunks afterwards keep the frame rate down.
constexpr qsizetype kEarlyChunkBytes = 1920;
constexpr qsizetype kChunkBytes = 3200;
constexpr int kEarlyChunkCount = 3;
constexpr int kMaxRecordedFrames = 16;
// Far beyond any finish the engine asks for; keeps the conversion to nanoseconds in range.
constexpr quint64 kMaxFinishTimeoutMs = 24ull * 3600 * 1000;

constexpr QStringView kNoKey = u"未配置豆包语音 API Key";
constexpr QStringView kServerError = u"豆包语音服务返回了错误";
constexpr QStringView kFinalUnreadable = u"豆包语音的最终结果数据损坏、无法读取";

} // namespace

VolcSeedASRClient::OutboxItem VolcSeedASRClient::OutboxItem::open(quint64 socketId, QString apiKey,
                                                                  QString resourceId)
{
    OutboxItem item;
    item.kind = Kind::openSocket;
    item.socketId = socketId;
    item.apiKey = std::move(apiKey);
    item.resourceId = std::move(resourceId);
    return item;
}

VolcSeedASRClient::OutboxItem VolcSeedASRClient::OutboxItem::frame(quint64 generation, ClientFrameKind kind,
                                                                   QByteArray payload)
{
    OutboxItem item;
    item.generation = generation;
    item.frameKind = kind;
    item.payload = std::move(payload);
    return item;
}

VolcSeedASRClient::OutboxItem VolcSeedASRClient::OutboxItem::close(quint64 socketId)
{
    OutboxItem item;
    item.kind = Kind::closeSocket;
    item.socketId = socketId;
    return item;
}

VolcSeedASRClient::Endpoint VolcSeedASRClient::Endpoint::volcengine()
{
    return {QUrl(QStringLiteral("wss://openspeech.bytedance.com/api/v3/sauc/bigmodel_async")),
            QUrl(QStringLiteral("https://openspeech.bytedance.com/"))};
}

VolcSeedASRClient::VolcSeedASRClient(Scheduler& scheduler, Endpoint endpoint, QObject* parent)
    : QObject(parent), m_scheduler(scheduler), m_endpoint(std::move(endpoint))
{
    m_thread.setObjectName(AppIdentity::queueLabel(QStringLiteral("volc.seedasr.send")));
    m_link = new Link(*this);
    m_link->moveToThread(&m_thread);
    m_thread.start();
}

VolcSeedASRClient::~VolcSeedASRClient()
{
    TakenWaiter taken;
    {
        std::lock_guard lock(m_stateLock);
        m_isActive = false;
        m_socketId = 0;
        taken = takeWaiterLocked();
    }
    releaseWaiter(std::move(taken), std::nullopt);
    // The link goes on its own thread, taking its sockets and deadlines with it, before the thread stops.
    QMetaObject::invokeMethod(
        m_link, [link = m_link] { delete link; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void VolcSeedASRClient::startSession(quint64 sessionTag, const QString& apiKey, const QStringList& hotwords,
                                     const QStringList& dialogContext, bool enableDDC, bool enableNonstream,
                                     const QString& resourceID)
{
    stopAndReset();
    const QString key = Text::trimmed(apiKey);
    if (key.isEmpty() || !::Endpoint::isHeaderSafe(key) || !::Endpoint::isHeaderSafe(resourceID)) {
        if (onConnectionFallbackNeeded)
            onConnectionFallbackNeeded(sessionTag, key.isEmpty()
                                                       ? kNoKey.toString()
                                                       : SeedASRSocket::kKeyHasControlCharacters.toString());
        return;
    }
    const QByteArray request =
        SeedASRProtocol::buildFullClientRequestJson(hotwords, dialogContext, enableDDC, enableNonstream);
    {
        std::lock_guard lock(m_stateLock);
        ++m_generation;
        m_sessionTag = sessionTag;
        m_isActive = true;
        m_hasFailedOver = false;
        m_handshakeCompleted = false;
        m_failoverReason.reset();
        m_latestServerText.clear();
        m_didReceiveFinalPacket = false;
        m_receivedServerFrameCount = 0;
        m_sentAudioChunkCount = 0;
        m_activeAPIKey = key;
        m_activeResourceID = resourceID;
        m_didRetryFreshSocket = false;
        m_hasUnrecordedFrames = false;
        m_replayHandshakeFrames.clear();
        m_pendingPCM16Bytes.clear();
        m_socketId = ++m_nextSocketId;
        // Queued under the lock: the request goes out before any audio of the session.
        pushLocked(OutboxItem::open(m_socketId, key, resourceID));
        pushLocked(OutboxItem::frame(m_generation, ClientFrameKind::fullClientRequest, request));
    }
    postDrain();
}

void VolcSeedASRClient::appendPCM16Samples(std::span<const qint16> samples)
{
    if (samples.empty())
        return;
    bool cut = false;
    quint64 backloggedSocket = 0;
    {
        std::lock_guard lock(m_stateLock);
        if (!m_isActive || m_hasFailedOver || m_socketId == 0)
            return;
        if (m_outboxBytes > SeedASRSocket::kMaxQueuedAudioBytes)
            backloggedSocket = m_socketId;
        const qsizetype start = m_pendingPCM16Bytes.size();
        m_pendingPCM16Bytes.resize(start + static_cast<qsizetype>(samples.size()) * 2);
        qToLittleEndian<qint16>(samples.data(), static_cast<qsizetype>(samples.size()),
                                m_pendingPCM16Bytes.data() + start);
        for (;;) {
            const qsizetype size = m_sentAudioChunkCount < kEarlyChunkCount ? kEarlyChunkBytes : kChunkBytes;
            if (m_pendingPCM16Bytes.size() < size)
                break;
            pushLocked(
                OutboxItem::frame(m_generation, ClientFrameKind::audioOnly, m_pendingPCM16Bytes.first(size)));
            m_pendingPCM16Bytes.remove(0, size);
            ++m_sentAudioChunkCount;
            cut = true;
        }
    }
    if (backloggedSocket) {
        triggerFailover(backloggedSocket, SeedASRSocket::kSendBacklog.toString());
        return;
    }
    if (cut)
        postDrain();
}

QCoro::Task<std::optional<QString>> VolcSeedASRClient::finishAndAwaitFinalTranscript(quint64 timeoutMs)
{
    QPointer<VolcSeedASRClient> self(this);
    std::shared_ptr<FinalWaiter> waiter;
    std::optional<std::optional<QString>> immediate;
    {
        std::lock_guard lock(m_stateLock);
        if (m_hasFailedOver) {
            m_isActive = false;
            immediate.emplace(std::nullopt);
        } else if (!m_isActive || m_socketId == 0) {
            m_isActive = false;
            immediate.emplace(m_latestServerText);
        } else {
            m_isActive = false; // further audio is dropped
            QByteArray pending = std::exchange(m_pendingPCM16Bytes, {});
            if (m_didReceiveFinalPacket) {
                immediate.emplace(m_latestServerText);
            } else {
                pushLocked(OutboxItem::frame(m_generation, ClientFrameKind::lastAudio, std::move(pending)));
                // Installed in the same step as the last packet is queued, so the final answer cannot
                // slip in between.
                waiter = FinalWaiter::create();
                m_finalWaiter = waiter;
            }
        }
    }
    if (immediate) {
        stopAndReset();
        co_return *immediate;
    }
    postDrain();

    const auto timeout = std::chrono::milliseconds(std::min(timeoutMs, kMaxFinishTimeoutMs));
    const TimerId timer = m_scheduler.schedule(timeout, [self, waiter] {
        if (self)
            self->onFinishTimeout(waiter);
    });
    bool stillWaiting = false;
    {
        std::lock_guard lock(m_stateLock);
        if (m_finalWaiter == waiter) {
            m_finalTimer = timer;
            stillWaiting = true;
        }
    }
    if (!stillWaiting)
        m_scheduler.cancel(timer);

    std::optional<QString> result = co_await *waiter;
    if (!self)
        co_return result;
    stopAndReset();
    co_return result;
}

void VolcSeedASRClient::stopAndReset()
{
    TakenWaiter taken;
    bool closing = false;
    {
        std::lock_guard lock(m_stateLock);
        m_isActive = false;
        if (const quint64 id = std::exchange(m_socketId, 0)) {
            pushLocked(OutboxItem::close(id));
            closing = true;
        }
        taken = takeWaiterLocked();
        m_replayHandshakeFrames.clear();
        m_pendingPCM16Bytes.clear();
    }
    releaseWaiter(std::move(taken), std::nullopt);
    if (closing)
        postDrain();
}

bool VolcSeedASRClient::hasReceivedAnyServerFrame() const
{
    return receivedServerFrameCount() > 0;
}

int VolcSeedASRClient::receivedServerFrameCount() const
{
    std::lock_guard lock(m_stateLock);
    return m_receivedServerFrameCount;
}

VolcSeedASRClient::SessionOutcome VolcSeedASRClient::sessionOutcome() const
{
    std::lock_guard lock(m_stateLock);
    return {m_handshakeCompleted, m_didReceiveFinalPacket, m_failoverReason};
}

void VolcSeedASRClient::noteHandshakeCompleted(quint64 socketId)
{
    std::lock_guard lock(m_stateLock);
    if (m_socketId == socketId)
        m_handshakeCompleted = true;
}

void VolcSeedASRClient::prewarmStandbySocket(const QString& /*apiKey*/, const QString& /*resourceID*/)
{
    {
        std::lock_guard lock(m_stateLock);
        const MonotonicTime now = m_scheduler.now();
        if (m_lastPrewarmAt && now - *m_lastPrewarmAt < kWarmUpInterval)
            return;
        m_lastPrewarmAt = now;
    }
    QMetaObject::invokeMethod(
        m_link, [link = m_link, url = m_endpoint.warmUpUrl] { link->sendWarmUp(url); }, Qt::QueuedConnection);
}

// --- worker thread ----------------------------------------------------------------------------------------

void VolcSeedASRClient::postDrain()
{
    QMetaObject::invokeMethod(
        m_link, [this] { drainOutbox(); }, Qt::QueuedConnection);
}

void VolcSeedASRClient::drainOutbox()
{
    std::deque<OutboxItem> items;
    {
        std::lock_guard lock(m_stateLock);
        items.swap(m_outbox);
        m_outboxBytes = 0;
    }
    for (const OutboxItem& item : items) {
        switch (item.kind) {
        case OutboxItem::Kind::openSocket:
            m_link->openSocket(item.socketId, item.apiKey, item.resourceId);
            break;
        case OutboxItem::Kind::closeSocket:
            m_link->closeSocket(item.socketId);
            break;
        case OutboxItem::Kind::frame:
            sendSessionFrame(item);
            break;
        }
    }
}

void VolcSeedASRClient::sendSessionFrame(const OutboxItem& item)
{
    // Compression happens here, off the audio thread.
    const QByteArray frame = SeedASRProtocol::buildClientFrame(item.frameKind, item.payload);
    quint64 socketId = 0;
    {
        std::lock_guard lock(m_stateLock);
        if (item.generation != m_generation || m_socketId == 0)
            return; // the session ended meanwhile
        socketId = m_socketId;
        if (item.frameKind != ClientFrameKind::lastAudio && m_receivedServerFrameCount == 0) {
            if (m_replayHandshakeFrames.size() < kMaxRecordedFrames)
                m_replayHandshakeFrames.append(frame);
            else
                m_hasUnrecordedFrames = true;
        }
    }
    // Frames queued before a replay switched sockets go to the fresh socket, after the replayed ones.
    m_link->send(socketId, frame);
}

bool VolcSeedASRClient::handleIncomingBinaryFrame(quint64 socketId, const QByteArray& data)
{
    const ServerFrame frame = SeedASRProtocol::parseServerFrame(data);
    if (frame.kind == ServerFrame::Kind::tooShort)
        return true;
    if (frame.kind == ServerFrame::Kind::error) {
        // The service's own message follows ours, in brackets.
        QString reason = kServerError.toString();
        if (frame.errorMessage && !frame.errorMessage->isEmpty())
            reason += QStringLiteral("（") + NetworkText::oneLine(*frame.errorMessage) + QStringLiteral("）");
        triggerFailover(socketId, reason);
        return false;
    }
    // A final answer that cannot be read is no answer: the session ends as an error frame ends it, and the
    // last streamed text is what the user gets, marked as possibly incomplete.
    if (frame.isFinal && frame.unreadable) {
        triggerFailover(socketId, kFinalUnreadable.toString());
        return false;
    }

    TakenWaiter taken;
    std::optional<QString> finalResult;
    quint64 tag = 0;
    {
        std::lock_guard lock(m_stateLock);
        if (m_socketId != socketId)
            return false;
        tag = m_sessionTag;
        ++m_receivedServerFrameCount; // also ends recording for a replay
        if (frame.text && !frame.text->isEmpty())
            m_latestServerText = *frame.text;
        if (frame.isFinal) {
            m_didReceiveFinalPacket = true;
            taken = takeWaiterLocked();
            if (!m_latestServerText.isEmpty())
                finalResult = m_latestServerText;
        }
    }
    const bool hasText = frame.text && !frame.text->isEmpty();
    if (hasText) {
        const QString text = *frame.text;
        const bool definite = frame.isFinal || frame.definite;
        postToOwner([this, tag, text, definite] {
            if (onStreamingTranscript)
                onStreamingTranscript(tag, text, definite);
        });
    }
    if (!frame.isFinal)
        return true;
    releaseWaiter(std::move(taken), finalResult);
    return false;
}

void VolcSeedASRClient::handleEarlySocketErrorOrFailover(quint64 failedSocketId, const QString& reason,
                                                         bool mayReplay)
{
    quint64 freshId = 0;
    QString key, resourceId;
    QList<QByteArray> frames;
    {
        std::lock_guard lock(m_stateLock);
        if (m_socketId == 0 || m_socketId != failedSocketId)
            return;
        if (mayReplay && canReplayLocked()) {
            m_didRetryFreshSocket = true;
            freshId = ++m_nextSocketId;
            m_socketId = freshId;
            key = m_activeAPIKey;
            resourceId = m_activeResourceID;
            frames = m_replayHandshakeFrames;
        }
    }
    if (freshId == 0) {
        triggerFailover(failedSocketId, reason);
        return;
    }
    m_link->closeSocket(failedSocketId);
    m_link->openSocket(freshId, key, resourceId);
    for (const QByteArray& frame : frames)
        m_link->send(freshId, frame);
}

bool VolcSeedASRClient::canReplayLocked() const
{
    // A replay is only worth it while every frame sent so far can be sent again: otherwise the service would
    // hear the dictation with a hole in it.
    return m_isActive && !m_didRetryFreshSocket && m_receivedServerFrameCount == 0 &&
           !m_replayHandshakeFrames.isEmpty() && !m_hasUnrecordedFrames;
}

bool VolcSeedASRClient::wouldReplay(quint64 socketId) const
{
    std::lock_guard lock(m_stateLock);
    return m_socketId != 0 && m_socketId == socketId && canReplayLocked();
}

void VolcSeedASRClient::triggerFailover(quint64 socketId, const QString& reason)
{
    TakenWaiter taken;
    quint64 tag = 0;
    {
        std::lock_guard lock(m_stateLock);
        if (m_hasFailedOver || m_socketId != socketId)
            return;
        m_hasFailedOver = true;
        m_failoverReason = reason;
        tag = m_sessionTag;
        taken = takeWaiterLocked();
    }
    releaseWaiter(std::move(taken), std::nullopt);
    postToOwner([this, tag, reason] {
        if (onConnectionFallbackNeeded)
            onConnectionFallbackNeeded(tag, reason);
    });
}

// --- waiter -----------------------------------------------------------------------------------------------

VolcSeedASRClient::TakenWaiter VolcSeedASRClient::takeWaiterLocked()
{
    TakenWaiter taken{std::exchange(m_finalWaiter, nullptr), std::exchange(m_finalTimer, 0)};
    return taken;
}

void VolcSeedASRClient::releaseWaiter(TakenWaiter taken, std::optional<QString> result)
{
    if (taken.timer)
        m_scheduler.cancel(taken.timer);
    if (taken.waiter)
        taken.waiter->resolve(std::move(result));
}

void VolcSeedASRClient::onFinishTimeout(const std::shared_ptr<FinalWaiter>& waiter)
{
    TakenWaiter taken;
    std::optional<QString> result;
    {
        std::lock_guard lock(m_stateLock);
        if (m_finalWaiter != waiter)
            return;
        taken = takeWaiterLocked();
        if (!m_latestServerText.isEmpty() && !m_hasFailedOver)
            result = m_latestServerText;
    }
    taken.timer = 0; // this is the timer
    releaseWaiter(std::move(taken), std::move(result));
}

void VolcSeedASRClient::postToOwner(std::function<void()> work)
{
    // With the client as context: nothing runs once it is gone.
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}
