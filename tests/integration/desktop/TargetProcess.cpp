#include "TargetProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <functional>

namespace {
// Generous for a loaded machine; a working target answers within milliseconds.
constexpr int kReplyTimeoutMs = 30000;

// Waits until `done` holds, handling each event as it arrives. QTest::qWaitFor sleeps 10 ms between its
// looks, which would add up to that to the target's answers and to every reply of a server this process
// plays meanwhile, and so to the times measured with them.
bool waitPromptly(const std::function<bool()>& done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // an event now and then, so the deadline is seen when nothing else happens
    wake.start(20);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}
} // namespace

TargetProcess::TargetProcess(QStringList arguments, QProcessEnvironment environment, QString program)
    : m_program(std::move(program)), m_arguments(std::move(arguments))
{
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { readLines(); });
}

TargetProcess::~TargetProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    send("QUIT");
    if (!m_process.waitForFinished(2000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

bool TargetProcess::start()
{
    m_process.start(m_program, m_arguments);
    if (!m_process.waitForStarted(kReplyTimeoutMs))
        return false;
    const std::optional<QByteArrayList> ready = waitForLine("READY");
    m_windowId = ready ? ready->value(0).toULong() : 0;
    return ready.has_value();
}

void TargetProcess::send(const QByteArray& command)
{
    m_process.write(command + '\n');
    m_process.waitForBytesWritten(kReplyTimeoutMs);
}

std::optional<QByteArrayList> TargetProcess::request(const QByteArray& command, const QByteArray& prefix)
{
    m_lines.clear();
    send(command);
    return waitForLine(prefix);
}

void TargetProcess::setText(const QString& text)
{
    send("SET " + text.toUtf8().toBase64());
    waitForText(text);
}

QString TargetProcess::waitForText(const QString& expected)
{
    (void)waitPromptly([&] { return m_text == expected || m_process.state() == QProcess::NotRunning; },
                       kReplyTimeoutMs);
    return m_text;
}

std::optional<QByteArrayList> TargetProcess::waitForLine(const QByteArray& prefix)
{
    std::optional<QByteArrayList> found;
    auto take = [&] {
        for (qsizetype i = 0; i < m_lines.size(); ++i) {
            if (m_lines[i].startsWith(prefix)) {
                QByteArrayList words = m_lines[i].split(' ');
                words.removeFirst();
                found = words;
                m_lines.remove(0, i + 1);
                return true;
            }
        }
        return m_process.state() == QProcess::NotRunning;
    };
    (void)waitPromptly(take, kReplyTimeoutMs);
    return found;
}

void TargetProcess::readLines()
{
    m_pending.append(m_process.readAllStandardOutput());
    qsizetype end = 0;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 1);
        if (line.startsWith("TEXT "))
            m_text = QString::fromUtf8(QByteArray::fromBase64(line.mid(5)));
        else if (line == "TEXT")
            m_text.clear();
        m_lines.append(line);
    }
}
