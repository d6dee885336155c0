#include "llm/HttpExchange.h"

#include "llm/LLMErrors.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>

HttpExchange::HttpExchange(QNetworkAccessManager& manager, Scheduler& scheduler, QNetworkRequest request,
                           Options options)
    : m_scheduler(scheduler), m_options(std::move(options)), m_currentUrl(request.url())
{
    // Every redirect is judged here, so a key cannot be carried to another host by Qt's own policy.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);

    QNetworkReply* reply = m_options.verb == "GET"
                               ? manager.get(request)
                               : manager.sendCustomRequest(request, m_options.verb, m_options.body);
    m_reply = reply;
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        restartIdleTimer();
        notify();
    });
    connect(reply, &QNetworkReply::readyRead, this, [this] {
        restartIdleTimer();
        notify();
    });
    connect(reply, &QNetworkReply::uploadProgress, this, [this] { restartIdleTimer(); });
    connect(reply, &QNetworkReply::redirected, this, &HttpExchange::onRedirected);
    connect(reply, &QNetworkReply::finished, this, &HttpExchange::onFinished);
    // The manager owns its replies: when it goes away first, the exchange ends as cancelled.
    connect(reply, &QObject::destroyed, this, [this] {
        if (!m_finished) {
            m_finished = true;
            fail(LLMErrors::urlError(LLMErrors::cancelled));
        }
    });

    if (m_options.transferLimit > Duration::zero())
        m_transferTimer = ScheduledWork(&m_scheduler, m_scheduler.schedule(m_options.transferLimit, [this] {
            fail(LLMErrors::urlError(LLMErrors::timedOut));
        }));
    restartIdleTimer();
}

HttpExchange::~HttpExchange()
{
    m_idleTimer.cancel();
    m_transferTimer.cancel();
    if (QNetworkReply* reply = m_reply.data()) {
        disconnect(reply, nullptr, this, nullptr);
        if (!reply->isFinished())
            reply->abort();
        reply->deleteLater();
    }
}

bool HttpExchange::hasHeaders() const
{
    if (m_finished || m_failure)
        return true;
    // A redirect answer is not the response while Qt may still follow it; a refused one ends the exchange.
    const std::optional<int> status = httpStatus();
    return status && (*status < 300 || *status > 399);
}

std::optional<int> HttpExchange::httpStatus() const
{
    if (m_refusedRedirectStatus)
        return m_refusedRedirectStatus;
    if (!m_reply)
        return std::nullopt;
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return std::nullopt;
    return status.toInt();
}

QByteArray HttpExchange::readAvailable()
{
    if (!m_reply || m_failure)
        return {};
    QByteArray bytes = m_reply->readAll();
    m_bodyBytes += bytes.size();
    if (m_bodyBytes > m_options.maxBodyBytes) {
        fail(LLMErrors::urlError(LLMErrors::dataLengthExceedsMaximum));
        return {};
    }
    return bytes;
}

bool HttpExchange::isFinished() const
{
    return m_finished && (!m_reply || m_reply->bytesAvailable() == 0);
}

void HttpExchange::abort()
{
    if (m_reply && !m_reply->isFinished())
        m_reply->abort();
}

bool HttpExchange::mayFollowRedirect(const QUrl& from, const QUrl& to, bool carriesSecret)
{
    const QString fromScheme = from.scheme().toLower();
    const QString toScheme = to.scheme().toLower();
    if (toScheme != QLatin1String("http") && toScheme != QLatin1String("https"))
        return false;
    if (carriesSecret) {
        const int defaultPort = fromScheme == QLatin1String("https") ? 443 : 80;
        return fromScheme == toScheme && from.host().compare(to.host(), Qt::CaseInsensitive) == 0 &&
               from.port(defaultPort) == to.port(defaultPort);
    }
    return !(fromScheme == QLatin1String("https") && toScheme == QLatin1String("http"));
}

void HttpExchange::onRedirected(const QUrl& target)
{
    const QUrl resolved = m_currentUrl.resolved(target);
    if (mayFollowRedirect(m_currentUrl, resolved, m_options.carriesSecret)) {
        m_currentUrl = resolved;
        Q_EMIT m_reply->redirectAllowed();
        return;
    }
    // Refused: the redirect answer itself is the response.
    m_refusedRedirectStatus = httpStatus().value_or(-1);
    m_finished = true;
    m_idleTimer.cancel();
    m_transferTimer.cancel();
    disconnect(m_reply, nullptr, this, nullptr);
    m_reply->abort();
    notify();
}

void HttpExchange::onFinished()
{
    m_finished = true;
    m_idleTimer.cancel();
    m_transferTimer.cancel();
    if (m_reply && m_reply->error() != QNetworkReply::NoError && !m_failure) {
        // HTTP error statuses come with a Qt error too; only a missing or 2xx status makes it a transport
        // fault.
        const std::optional<int> status = httpStatus();
        if (!status || (*status >= 200 && *status < 300))
            m_failure = LLMErrors::network(m_reply->error(), m_reply->errorString());
    }
    notify();
}

void HttpExchange::fail(AppError error)
{
    if (!m_failure)
        m_failure = std::move(error);
    m_idleTimer.cancel();
    m_transferTimer.cancel();
    if (m_reply && !m_reply->isFinished()) {
        disconnect(m_reply, &QNetworkReply::finished, this, &HttpExchange::onFinished);
        m_reply->abort();
    }
    m_finished = true;
    notify();
}

void HttpExchange::restartIdleTimer()
{
    if (m_options.idleLimit <= Duration::zero() || m_finished)
        return;
    m_idleTimer = ScheduledWork(&m_scheduler, m_scheduler.schedule(m_options.idleLimit, [this] {
        fail(LLMErrors::urlError(LLMErrors::timedOut));
    }));
}

void HttpExchange::notify()
{
    m_eventPending = true;
    Q_EMIT progressed();
    if (!m_waiter || m_resumeQueued)
        return;
    m_resumeQueued = true;
    // Resumed from the event loop, never from inside one of the reply's signals: the coroutine may end and
    // destroy this exchange, which must not happen while Qt is still delivering to it.
    QPointer<HttpExchange> self(this);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self] {
            if (!self)
                return;
            self->m_resumeQueued = false;
            if (std::coroutine_handle<> waiter = std::exchange(self->m_waiter, nullptr))
                waiter.resume();
        },
        Qt::QueuedConnection);
}
