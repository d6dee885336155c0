#include "PrivateXServer.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// Xvfb is up within a second on an idle machine; a loaded one gets more.
constexpr int kStartLimitMs = 30000;
} // namespace

PrivateXServer::PrivateXServer()
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    m_pid = ::fork();
    if (m_pid == 0) {
        // -displayfd: the server takes a free display and writes its number there once it listens.
        ::dup2(pipeFds[1], 3);
        ::setsid();
        const int devNull = ::open("/dev/null", O_WRONLY);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                 "+extension", "XTEST", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    QByteArray number;
    pollfd readable{pipeFds[0], POLLIN, 0};
    while (m_pid > 0 && !number.endsWith('\n') && ::poll(&readable, 1, kStartLimitMs) > 0) {
        char buffer[16];
        const ssize_t count = ::read(pipeFds[0], buffer, sizeof buffer);
        if (count <= 0)
            break;
        number.append(buffer, count);
    }
    ::close(pipeFds[0]);
    if (number.trimmed().isEmpty())
        return;
    m_display = ':' + number.trimmed();
}

PrivateXServer::~PrivateXServer()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
}
