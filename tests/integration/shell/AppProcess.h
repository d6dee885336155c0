#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>

// The real quorbell binary as a new user starts it: on the test display, with folders of its own, all empty
// (no settings, no history, no keys, no sound server) and a single-instance socket of its own.
class AppProcess {
public:
    AppProcess()
    {
        for (const char* folder : {"home", "data", "config", "cache", "tmp", "runtime"})
            QDir().mkpath(path(QString::fromLatin1(folder)));
        // Qt wants the runtime folder private, as a session's is.
        QFile::setPermissions(path(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_environment = QProcessEnvironment::systemEnvironment();
        m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_environment.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("x11"));
        m_environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        m_environment.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
        m_environment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        m_environment.insert(QStringLiteral("XDG_CACHE_HOME"), path(QStringLiteral("cache")));
        m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("runtime")));
        m_environment.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("tmp")));
        m_environment.insert(QStringLiteral("PULSE_SERVER"),
                             QStringLiteral("unix:") + path(QStringLiteral("no-pulse")));
        m_environment.insert(QStringLiteral("USER"), QStringLiteral("qb-shell-") +
                                                         QString::number(QCoreApplication::applicationPid()));
        m_process.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~AppProcess()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(kWaitMs)) {
            m_process.kill();
            m_process.waitForFinished(kWaitMs);
        }
    }

    QString path(const QString& relative) const { return m_home.filePath(relative); }
    // A variable of the environment it starts in (a session bus of the test's own, say).
    void setEnvironment(const QString& name, const QString& value) { m_environment.insert(name, value); }
    QProcess& process() { return m_process; }
    qint64 processId() const { return m_process.processId(); }
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    // The settings file the app reads at start.
    QString settingsPath() const { return path(QStringLiteral("config/Quorbell/Quorbell.conf")); }
    // A user who has been through the first-run wizard once; every other setting keeps its default.
    void markFirstRunDone() const
    {
        QSettings defaults(settingsPath(), QSettings::IniFormat);
        defaults.setValue(QStringLiteral("qb_onboarding_done_v1"), true);
    }

    bool start()
    {
        m_process.setProcessEnvironment(m_environment);
        m_process.setProgram(QStringLiteral(QB_APP_BINARY));
        m_process.start();
        return m_process.waitForStarted(kWaitMs);
    }

    // Starts the program a second time, as the user would; it hands over to the running one and leaves with
    // its exit status (-1 when it did not leave). A launcher's startup notification id comes in
    // `startupId`.
    int launchAgain(const QString& startupId = {}) const
    {
        QProcess second;
        QProcessEnvironment environment = m_environment;
        if (!startupId.isEmpty())
            environment.insert(QStringLiteral("DESKTOP_STARTUP_ID"), startupId);
        second.setProcessEnvironment(environment);
        second.setProcessChannelMode(QProcess::MergedChannels);
        second.start(QStringLiteral(QB_APP_BINARY), {});
        if (!second.waitForFinished(kStartMs)) {
            second.kill();
            second.waitForFinished(kWaitMs);
            return -1;
        }
        return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
    }

    QByteArray log() { return m_process.readAll(); }

    static constexpr int kWaitMs = 5000;
    // A start of the program, generous for a loaded machine or a sanitizer build.
    static constexpr int kStartMs = 20000;

private:
    QTemporaryDir m_home;
    QProcessEnvironment m_environment;
    QProcess m_process;
};
