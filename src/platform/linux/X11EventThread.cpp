#include "platform/linux/X11EventThread.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/linux/XlibIncludes.h"

X11EventThread::~X11EventThread()
{
    stop();
}

QString X11EventThread::start(Display* display, const char* name, std::function<void()> begin, Handler handle)
{
    stop();
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        return QStringLiteral("无法创建 X 事件读取线程的唤醒描述符");
    m_running = true;
    m_thread = std::thread([this, display, name, begin = std::move(begin), handle = std::move(handle)] {
        run(display, name, begin, handle);
    });
    return {};
}

void X11EventThread::stop()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(m_wakeFd, &one, sizeof one);
        m_thread.join();
    }
    if (m_wakeFd >= 0)
        close(m_wakeFd);
    m_wakeFd = -1;
    m_running = false;
}

void X11EventThread::run(Display* display, const char* name, const std::function<void()>& begin,
                         const Handler& handle)
{
    pthread_setname_np(pthread_self(), name);
    if (begin)
        begin();
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    for (;;) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            handle(event);
        }
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break; // stop()
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            break; // the server went away
    }
    m_running = false;
}
