#pragma once

#include "Pactl.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

// A sound server of the test's own, with no device at all, for cases that pause, kill or empty the server:
// the shared one stays as the other tests expect it. While it lives, PULSE_SERVER points at it.
class PrivateSoundServer {
public:
    PrivateSoundServer() : m_previousServer(qgetenv("PULSE_SERVER"))
    {
        const QString dir = m_dir.path();
        m_socket = QStringLiteral("unix:%1/native").arg(dir);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("PULSE_SERVER"));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        environment.insert(QStringLiteral("HOME"), dir);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir);
        environment.insert(QStringLiteral("PULSE_RUNTIME_PATH"), dir);
        environment.insert(QStringLiteral("PULSE_STATE_PATH"), dir);
        m_server.setProcessEnvironment(environment);
        m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // -n: none of the default modules, so there is no source until a test loads one. One left behind by a
        // crashed test exits once idle.
        m_server.start(
            QStringLiteral("pulseaudio"),
            {QStringLiteral("--daemonize=no"), QStringLiteral("--system=false"),
             QStringLiteral("--exit-idle-time=30"), QStringLiteral("-n"),
             QStringLiteral("--log-target=stderr"), QStringLiteral("--log-level=error"), QStringLiteral("-L"),
             QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=%1/native").arg(dir)});
        qputenv("PULSE_SERVER", m_socket.toUtf8());
        m_up = m_server.waitForStarted() && QTest::qWaitFor(&PrivateSoundServer::answers, 30000);
    }
    ~PrivateSoundServer()
    {
        resume();
        kill();
        qputenv("PULSE_SERVER", m_previousServer);
    }
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    bool isUp() const { return m_up; }

    // A source of its own; returns the module to unload, empty on failure.
    QString loadSource(const QString& name, int rate)
    {
        return pactl({QStringLiteral("load-module"), QStringLiteral("module-sine-source"),
                      QStringLiteral("source_name=") + name, QStringLiteral("rate=%1").arg(rate)});
    }
    void unload(const QString& module) { pactl({QStringLiteral("unload-module"), module}); }

    // A hung server: connections stay open, nothing is answered.
    // Returns once the server is really stopped: a stop signal still in flight lets it answer one more
    // request.
    [[nodiscard]] bool pause()
    {
        signal(SIGSTOP);
        return QTest::qWaitFor([this] { return processState() == 'T'; }, 30000);
    }
    void resume() { signal(SIGCONT); }
    void kill()
    {
        if (m_server.state() == QProcess::NotRunning)
            return;
        m_server.kill();
        m_server.waitForFinished(10000);
    }

private:
    static bool answers()
    {
        bool ok = false;
        pactl({QStringLiteral("info")}, &ok);
        return ok;
    }
    char processState() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_server.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray line = stat.readAll();
        const qsizetype end = line.lastIndexOf(')'); // the name in parentheses may hold spaces
        return end >= 0 && end + 2 < line.size() ? line.at(end + 2) : 0;
    }

    void signal(int number)
    {
        if (m_server.state() != QProcess::NotRunning)
            ::kill(static_cast<pid_t>(m_server.processId()), number);
    }

    QByteArray m_previousServer;
    QTemporaryDir m_dir;
    QString m_socket;
    QProcess m_server;
    bool m_up = false;
};
