#pragma once

#include <QProcess>
#include <QSystemTrayIcon>
#include <QTest>

constexpr int kWaitMs = 30000;

// A tray host on the test display: trayer docked at the top right, stopped when the suite ends.
class TrayHost {
public:
    TrayHost()
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("trayer"),
                        {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                         QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request"),
                         QStringLiteral("--height"), QStringLiteral("24"), QStringLiteral("--transparent"),
                         QStringLiteral("false")});
        m_up = m_process.waitForStarted(kWaitMs) &&
               QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, kWaitMs);
    }
    ~TrayHost()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(kWaitMs);
    }
    bool isUp() const { return m_up; }
    QString log() { return QString::fromLocal8Bit(m_process.readAll()) + m_process.errorString(); }

private:
    QProcess m_process;
    bool m_up = false;
};
