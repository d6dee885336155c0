#pragma once

#include "platform/Accessibility.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QHash>
#include <QList>
#include <mutex>

class QDBusMessage;

// Accessibility through AT-SPI, spoken over QtDBus on the accessibility bus. Every D-Bus call has a short
// time-out and every query an overall budget, so an unresponsive application costs the caller a bounded
// wait; nothing but the bus connection and the process ids of bus names is kept between queries. The text of
// a password field is never read.
//
// Trust means: an X11 session (not Wayland) with XTest, and the accessibility bus switched on
// (org.a11y.Status.IsEnabled).
class AtspiAccessibility final : public Accessibility {
public:
    // Checks the X server named by `displayName` (or $DISPLAY) once, here. Create on the main thread.
    explicit AtspiAccessibility(const QByteArray& displayName = {});
    ~AtspiAccessibility() override;

    bool isTrusted() override;
    bool requestTrust() override;
    QString untrustedReason() override;

    std::optional<FocusedElement> focusedElement(qint64 processId) override;
    std::optional<QString> selectedText(qint64 processId) override;
    std::optional<QString> focusedValue(qint64 processId) override;
    std::optional<QRect> caretRect(qint64 processId) override;

    // One accessible object on the bus.
    struct Object {
        QString service;
        QDBusObjectPath path;
    };

private:
    class Query;
    struct Focus {
        Object object;
        quint32 role = 0;
        bool editable = false;
    };

    // The focused object of the application with this process id, under `query`'s budget.
    std::optional<Focus> findFocus(Query& query, qint64 processId);
    // Runs `read` on the focused object of the process, one query at a time; nothing without trust or focus.
    template <typename T, typename Read> std::optional<T> readFocus(qint64 processId, Read read);
    std::optional<QDBusConnection> accessibilityBus();
    // The process id behind a bus name, asked once per name.
    std::optional<qint64> processIdOf(Query& query, const QString& service);
    std::optional<bool> busEnabled();

    QString m_x11Problem; // why this session cannot have trust, from the constructor; empty when it can
    double m_devicePixelRatio = 1.0;

    std::mutex m_mutex; // one query at a time; guards the members below
    QString m_connectionName;
    bool m_connected = false;
    QHash<QString, qint64> m_processIds;
};
