#pragma once

#include "util/AppError.h"
#include "util/Scheduler.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <coroutine>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// One HTTP request in flight, for coroutines on the main thread: its limits run on the injected scheduler,
// its body is capped, and a request that carries a key never follows a redirect to another origin.
//
//     HttpExchange exchange(manager, scheduler, request, options);
//     while (!exchange.hasHeaders())
//         co_await exchange.changed();
class HttpExchange final : public QObject {
    Q_OBJECT
public:
    struct Options {
        QByteArray verb = "GET";
        QByteArray body;
        Duration idleLimit{};     // without any data arriving
        Duration transferLimit{}; // for the whole exchange
        bool carriesSecret = false;
        qsizetype maxBodyBytes = 8 * 1024 * 1024;
    };

    class Awaiter {
    public:
        explicit Awaiter(HttpExchange& exchange) : m_exchange(exchange) {}
        bool await_ready() const noexcept { return m_exchange.m_eventPending; }
        void await_suspend(std::coroutine_handle<> handle) noexcept { m_exchange.m_waiter = handle; }
        void await_resume() noexcept { m_exchange.m_eventPending = false; }

    private:
        HttpExchange& m_exchange;
    };

    // Sends the request at once.
    HttpExchange(QNetworkAccessManager& manager, Scheduler& scheduler, QNetworkRequest request,
                 Options options);
    // Aborts the request if it is still running.
    ~HttpExchange() override;

    // Resumes once something happened since the last wait: headers, data, the end, a failure.
    Awaiter changed() { return Awaiter(*this); }

    // The status line is in, or the exchange ended without one.
    bool hasHeaders() const;
    // The HTTP status, or nothing when no HTTP response arrived.
    std::optional<int> httpStatus() const;
    // The body bytes received since the last call. Passing the body cap fails the exchange.
    QByteArray readAvailable();
    // The reply has ended and every byte has been read.
    bool isFinished() const;
    // A time-out, the body cap, a cancellation or a transport error; an HTTP error status is not a failure.
    const std::optional<AppError>& failure() const { return m_failure; }
    void abort();

    // Whether a redirect from `from` to `to` may be followed: with a secret only within the same origin,
    // without one anywhere but from https down to http.
    static bool mayFollowRedirect(const QUrl& from, const QUrl& to, bool carriesSecret);

Q_SIGNALS:
    // Emitted whenever changed() would resume, for an owner that watches the exchange without a coroutine.
    // It may come from inside one of the reply's own signals: connect it queued when the receiver may delete
    // the exchange.
    void progressed();

private:
    void onRedirected(const QUrl& target);
    void onFinished();
    void fail(AppError error);
    void restartIdleTimer();
    void notify();

    Scheduler& m_scheduler;
    Options m_options;
    QUrl m_currentUrl;
    QPointer<QNetworkReply> m_reply;
    ScheduledWork m_idleTimer;
    ScheduledWork m_transferTimer;
    std::optional<AppError> m_failure;
    std::optional<int> m_refusedRedirectStatus;
    qsizetype m_bodyBytes = 0;
    bool m_finished = false;
    bool m_eventPending = false;
    bool m_resumeQueued = false;
    std::coroutine_handle<> m_waiter;
};
