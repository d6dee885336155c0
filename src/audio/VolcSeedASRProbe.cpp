#include "audio/VolcSeedASRLink.h"
#include "util/Endpoint.h"

#include "net/NetworkText.h"
#include "util/Text.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPointer>

using namespace std::chrono_literals;
using namespace SeedASRSocket;
using SeedASRProtocol::ClientFrameKind;

namespace {

constexpr Duration kHandshakeTimeout = 5s;
// The whole probe, handshake to answer: a service that accepts the socket but never answers cannot hold
// the settings page.
constexpr Duration kOverallLimit = 8s;
constexpr Duration kCloseLinger = 3s;

constexpr QStringView kNoKey = u"请先粘贴豆包语音 API Key";
constexpr QStringView kServerError = u"鉴权或资源包错误";

AppError seedError(int code, QStringView description)
{
    return AppError{VolcSeedASRClient::errorDomain(), code, description.toString()};
}

AppError timeoutError()
{
    return AppError{QStringLiteral("QAbstractSocket"), static_cast<int>(QAbstractSocket::SocketTimeoutError),
                    kTimedOut.toString()};
}

struct [[nodiscard]] Outcome {
    std::optional<AppError> failure;
    QByteArray binary; // the answer, when it was a binary message
    MonotonicTime arrivedAt{};
};

// Closes with 1000 when the handshake completed, and lets the socket go once the service answers the
// close or the linger runs out.
void dispose(QPointer<QWebSocket> socket, Scheduler& scheduler)
{
    if (!socket)
        return;
    socket->disconnect();
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    socket->close(QWebSocketProtocol::CloseCodeNormal);
    scheduler.schedule(kCloseLinger, [socket] {
        if (socket)
            socket->deleteLater();
    });
}

} // namespace

QCoro::Task<Result<qint64>> VolcSeedASRClient::probeHandshakeLatency(QString apiKey, QString resourceID,
                                                                     Scheduler& scheduler, QUrl webSocketUrl)
{
    const QString key = Text::trimmed(apiKey);
    if (key.isEmpty())
        co_return seedError(-1, kNoKey);
    if (!::Endpoint::isHeaderSafe(key) || !::Endpoint::isHeaderSafe(resourceID))
        co_return seedError(-3, kKeyHasControlCharacters);

    auto outcome = Deferred<Outcome>::create();
    QPointer<QWebSocket> socket = makeSocket(nullptr);
    auto handshakeLimit = std::make_shared<ScheduledWork>();
    const MonotonicTime started = scheduler.now();

    QObject::connect(socket, &QWebSocket::connected, socket, [socket, handshakeLimit] {
        handshakeLimit->cancel();
        socket->sendBinaryMessage(SeedASRProtocol::buildClientFrame(
            ClientFrameKind::fullClientRequest, SeedASRProtocol::buildProbeRequestJson()));
        socket->sendBinaryMessage(SeedASRProtocol::buildClientFrame(
            ClientFrameKind::lastAudio, QByteArray(SeedASRProtocol::kProbeSilenceBytes, '\0')));
    });
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, socket,
                     [outcome, &scheduler](const QByteArray& data) {
                         outcome->resolve({std::nullopt, data, scheduler.now()});
                     });
    QObject::connect(socket, &QWebSocket::textMessageReceived, socket, [outcome, &scheduler] {
        outcome->resolve({std::nullopt, {}, scheduler.now()});
    });
    // The network reads a refused upgrade's body; it lives as long as the probe.
    auto network = std::make_shared<QNetworkAccessManager>();
    network->setProxy(QNetworkProxy::NoProxy);
    auto trouble = std::make_shared<SocketTrouble>();
    auto readingRefusal = std::make_shared<bool>(false);
    const auto failed = [outcome, socket, trouble, readingRefusal, network, handshakeLimit, &scheduler,
                         webSocketUrl, key, resourceID] {
        if (!socket || *readingRefusal)
            return;
        const int code = static_cast<int>(trouble->code.value_or(socket->error()));
        const std::optional<Refusal> refusal = refusedUpgrade(*trouble);
        if (!refusal) {
            outcome->resolve(
                {AppError{QStringLiteral("QAbstractSocket"), code, failureReason(socket, *trouble)}, {}, {}});
            return;
        }
        *readingRefusal = true;
        handshakeLimit->cancel();
        readRefusal(
            *network, webSocketUrl, key, resourceID, *refusal,
            [&scheduler](Duration delay, std::function<void()> work) {
                return ScheduledWork(&scheduler, scheduler.schedule(delay, std::move(work)));
            },
            [outcome, code](const QString& reason) {
                outcome->resolve({AppError{QStringLiteral("QAbstractSocket"), code, reason}, {}, {}});
            });
    };
    QObject::connect(socket, &QWebSocket::sslErrors, socket,
                     [trouble](const QList<QSslError>& errors) { trouble->sslErrors = errors; });
    auto upgraded = std::make_shared<bool>(false);
    QObject::connect(socket, &QWebSocket::connected, socket, [upgraded] { *upgraded = true; });
    QObject::connect(socket, errorSignal, socket,
                     [socket, trouble, failed](QAbstractSocket::SocketError code) {
                         noteError(*trouble, *socket, code);
                         failed();
                     });
    QObject::connect(socket, &QWebSocket::disconnected, socket, [socket, trouble, upgraded, failed] {
        if (awaitsErrorName(*trouble, *upgraded))
            QMetaObject::invokeMethod(socket, failed, Qt::QueuedConnection);
        else
            failed();
    });
    const auto timedOut = [outcome] { outcome->resolve({timeoutError(), {}, {}}); };
    *handshakeLimit = ScheduledWork(&scheduler, scheduler.schedule(kHandshakeTimeout, timedOut));
    ScheduledWork overallLimit(&scheduler, scheduler.schedule(kOverallLimit, timedOut));
    socket->open(handshakeRequest(webSocketUrl, key, resourceID));

    Outcome result = co_await *outcome;
    handshakeLimit->cancel();
    overallLimit.cancel();
    dispose(socket, scheduler);

    if (result.failure)
        co_return *result.failure;
    const SeedASRProtocol::ServerFrame frame = SeedASRProtocol::parseServerFrame(result.binary);
    if (frame.kind == SeedASRProtocol::ServerFrame::Kind::error)
        co_return frame.errorMessage && !frame.errorMessage->isEmpty()
            ? seedError(-2, kServerError.toString() + QStringLiteral("（") +
                                NetworkText::oneLine(*frame.errorMessage) + QStringLiteral("）"))
            : seedError(-2, kServerError);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(result.arrivedAt - started);
    co_return std::max<qint64>(1, elapsed.count());
}
