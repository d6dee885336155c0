#pragma once

#include <QProcess>
#include <QStringList>

#include <string>

// openbox for the shell tests: a window manager with workspaces and maximised windows. Once stopped it takes
// its properties off the root window, so later tests see a bare display.
class WindowManager {
public:
    explicit WindowManager(const QStringList& arguments = {})
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("openbox"), QStringList{QStringLiteral("--sm-disable")} + arguments);
    }
    ~WindowManager()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(kStopMs))
            m_process.kill();
        m_process.waitForFinished(kStopMs);
    }
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

    // What it printed and why it could not run, for a test's failure message.
    std::string describe()
    {
        return (m_process.readAll() + ' ' + m_process.errorString().toUtf8()).toStdString();
    }

private:
    static constexpr int kStopMs = 30000;
    QProcess m_process;
};
