#include "platform/linux/X11CompositorWatch.h"

#include "platform/linux/X11PrivateDisplay.h"

#include <QString>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

#include "platform/linux/XlibIncludes.h"

// One running watch: the connection and the thread that reads it. Built and torn down on the caller's thread.
class X11CompositorWatch::Reader {
public:
    static std::unique_ptr<Reader> create(const QByteArray& displayName, Handler handler, QString* error)
    {
        auto reader = std::unique_ptr<Reader>(new Reader(std::move(handler)));
        *error = reader->connect(displayName);
        if (!error->isEmpty())
            return nullptr;
        reader->m_thread = std::thread([raw = reader.get()] { raw->run(); });
        return reader;
    }

    ~Reader()
    {
        if (m_thread.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = write(m_wakeFd, &one, sizeof one);
            m_thread.join();
        }
        if (m_wakeFd >= 0)
            close(m_wakeFd);
    }

private:
    explicit Reader(Handler handler) : m_handler(std::move(handler)) {}

    QString connect(const QByteArray& displayName)
    {
        QString error;
        m_connection = X11PrivateDisplay::open(displayName, &error);
        if (!m_connection)
            return error;
        Display* display = m_connection->display();
        int errorBase = 0;
        if (!XFixesQueryExtension(display, &m_fixesEventBase, &errorBase))
            return QStringLiteral("X 服务器没有 XFixes 扩展");
        const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(display));
        m_selection = XInternAtom(display, name.constData(), False);
        XFixesSelectSelectionInput(display, DefaultRootWindow(display), m_selection,
                                   XFixesSetSelectionOwnerNotifyMask |
                                       XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
        if (const int code = m_connection->syncAndTakeError())
            return QStringLiteral("X 服务器拒绝了合成管理器的选区通知（错误 %1）").arg(code);
        m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_wakeFd < 0)
            return QStringLiteral("无法创建合成管理器监视线程的唤醒描述符");
        return {};
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "qb.compositor");
        Display* display = m_connection->display();
        // Selected before the first look, so an owner that comes in between is news too.
        report(XGetSelectionOwner(display, m_selection) != 0);
        pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        for (;;) {
            bool changed = false;
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                changed = changed || event.type == m_fixesEventBase + XFixesSelectionNotify;
            }
            // The owner now, not the event's: a burst of news settles on the last word.
            if (changed)
                report(XGetSelectionOwner(display, m_selection) != 0);
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
    }

    void report(bool composited)
    {
        if (m_reported && *m_reported == composited)
            return;
        m_reported = composited;
        m_handler(composited);
    }

    Handler m_handler;
    std::unique_ptr<X11PrivateDisplay> m_connection;
    int m_fixesEventBase = 0;
    Atom m_selection = 0;
    std::optional<bool> m_reported;
    int m_wakeFd = -1;
    std::thread m_thread;
};

X11CompositorWatch::X11CompositorWatch(QByteArray displayName) : m_displayName(std::move(displayName)) {}

X11CompositorWatch::~X11CompositorWatch()
{
    stop();
}

Status X11CompositorWatch::start(Handler handler)
{
    stop();
    QString error;
    m_reader = Reader::create(m_displayName, std::move(handler), &error);
    return m_reader ? Status::success() : Status::failure(error);
}

void X11CompositorWatch::stop()
{
    m_reader.reset();
}
