#pragma once

#include "platform/Accessibility.h"
#include "util/SerialQueue.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QHash>
#include <QList>
#include <atomic>
#include <memory>
#include <mutex>

class QDBusMessage;
class QObject;

// Accessibility through AT-SPI, spoken over QtDBus on the accessibility bus. Every D-Bus call has a short
// time-out and every query an overall budget, so an unresponsive application costs the caller a bounded
// wait. Between queries only the bus connection, the process ids of bus names and each process's last
// focused object are kept. The text of a password field is never read.
//
// Trust means: an X11 session (not Wayland) with XTest, and the accessibility bus switched on
// (org.a11y.Status.IsEnabled). It is kept cached: asked on the backend's own queue when created, on
// refreshTrust() and requestTrust(), and followed through the bus launcher's change notification.
class AtspiAccessibility final : public Accessibility {
public:
    // Waits on nothing: the X server named by `displayName` (or $DISPLAY) and the bus are first asked on
    // the backend's queue, and until then trust reads false. Create on a thread with an event loop (the
    // main thread): the bus's change notifications are delivered there.
    explicit AtspiAccessibility(const QByteArray& displayName = {});
    ~AtspiAccessibility() override;

    bool isTrusted() override;
    bool refreshTrust() override;
    bool requestTrust() override;
    QString untrustedReason() override;

    std::optional<FocusedElement> focusedElement(qint64 processId) override;
    std::optional<QString> selectedText(qint64 processId) override;
    std::optional<QString> focusedValue(qint64 processId) override;
    std::optional<QRect> caretRect(qint64 processId) override;

    // The calls made on the accessibility bus so far, from every thread: what the queries cost.
    quint64 busCallCount() const { return m_busCalls.load(); }

    // One accessible object on the bus.
    struct Object {
        QString service;
        QDBusObjectPath path;
    };

private:
    class Query;
    struct Focus {
        Object object;
        std::optional<quint32> role; // nullopt when it could not be read
        bool editable = false;
        // A field whose role could not be read may be a password field: its text is not read either.
        bool mayBePassword() const;
    };
    struct Bus {
        QDBusConnection connection;
        quint64 generation = 0;
    };
    enum class BusState { Unknown, Enabled, Disabled, Unreachable };

    // The focused object of the application with this process id, under `query`'s budget: the one found
    // last time if it still has the focus, else found by a walk of the application's windows.
    std::optional<Focus> findFocus(Query& query, qint64 processId);
    std::optional<Focus> stillFocused(Query& query, const Object& object, qint64 processId);
    std::optional<Focus> walkToFocus(Query& query, qint64 processId);
    // Runs `read` on the focused object of the process; nothing without trust or focus.
    template <typename T, typename Read> std::optional<T> readFocus(qint64 processId, Read read);
    std::optional<Bus> accessibilityBus();
    // The process id behind a bus name, asked once per name.
    std::optional<qint64> processIdOf(Query& query, const QString& service);

    // On m_trustQueue.
    void refreshOnQueue();
    std::optional<bool> busEnabled();
    // From the bus launcher's change notification, on the main thread.
    void statusChanged(const QDBusMessage& message);
    void setBusState(BusState state, std::optional<quint64> onlyIfSerial = std::nullopt);

    const QByteArray m_displayName;
    double m_devicePixelRatio = 1.0;
    std::atomic<quint64> m_busCalls = 0;

    // The trust cache. m_trusted is what isTrusted() reads; the rest is guarded by m_trustMutex, which is
    // held only to read or write these fields.
    std::atomic<bool> m_trusted = false;
    mutable std::mutex m_trustMutex;
    QString m_x11Problem; // why this session cannot have trust; empty when it can or before it is known
    bool m_x11Checked = false;
    BusState m_busState = BusState::Unknown;
    quint64 m_statusSerial = 0; // counts the notifications, so a slower answer never overwrites a newer one

    // Guards the fields below; held only to read or write them, never across a call to another process.
    std::mutex m_mutex;
    const QString m_connectionPrefix;
    std::atomic<quint64> m_connectionCount = 0;
    quint64 m_busGeneration = 0;
    std::optional<QDBusConnection> m_bus;
    QString m_busName;
    QHash<QString, qint64> m_processIds;
    QHash<qint64, Object> m_lastFocus; // per process id

    std::unique_ptr<QObject> m_watcher; // receives the notifications, on the creating thread
    bool m_subscribed = false;          // m_trustQueue only
    // Trust is asked here, off the caller's thread; last, so it stops before the fields above go.
    SerialQueue m_trustQueue;
};
