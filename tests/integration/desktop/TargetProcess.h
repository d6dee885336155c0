#pragma once

#include "support/QtPrinters.h"

#include <QByteArrayList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <optional>

// The target publishes its widgets on the accessibility bus whatever the bus's switch says.
inline QProcessEnvironment accessibleEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    environment.insert(QStringLiteral("QT_ACCESSIBILITY"), QStringLiteral("1"));
    return environment;
}

// Drives the target application (TargetApp.cpp) as a second process: starts it, sends commands and waits,
// with a bound, for the lines it reports.
class TargetProcess {
public:
    // `program` speaks the same protocol as TargetApp.cpp; the Qt target by default.
    explicit TargetProcess(QStringList arguments,
                           QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(),
                           QString program = QStringLiteral(QB_DESKTOP_TARGET));
    ~TargetProcess();

    // Starts the target and waits until its field has the keyboard focus.
    bool start();
    qint64 processId() const { return m_process.processId(); }
    unsigned long windowId() const { return m_windowId; }

    void send(const QByteArray& command);
    // Sends a command and waits for the first reply line that starts with `prefix`; its words after the
    // prefix.
    std::optional<QByteArrayList> request(const QByteArray& command, const QByteArray& prefix);
    void setText(const QString& text);

    // Waits until the field's text equals `expected`; the last text reported either way.
    QString waitForText(const QString& expected);
    // The last text the field reported.
    const QString& text() const { return m_text; }

private:
    // Waits for a line starting with `prefix` that arrives from now on.
    std::optional<QByteArrayList> waitForLine(const QByteArray& prefix);
    void readLines();

    QProcess m_process;
    QString m_program;
    QStringList m_arguments;
    QByteArray m_pending;
    QList<QByteArray> m_lines; // unconsumed lines
    QString m_text;
    unsigned long m_windowId = 0;
};
