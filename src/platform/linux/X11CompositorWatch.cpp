#include "platform/linux/X11CompositorWatch.h"

#include "platform/linux/X11EventThread.h"
#include "platform/linux/X11PrivateDisplay.h"

#include <QString>
#include <optional>

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
        Reader* raw = reader.get();
        // Selected before the first look, so an owner that comes in between is news too.
        *error = reader->m_events.start(
            reader->m_connection->display(), "qb.compositor", [raw] { raw->reportOwner(); },
            [raw](XEvent& event) {
                if (event.type == raw->m_fixesEventBase + XFixesSelectionNotify)
                    raw->reportOwner();
            });
        return error->isEmpty() ? std::move(reader) : nullptr;
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
        return {};
    }

    // The owner now, not the event's: a burst of news settles on the last word, and only a change is told.
    void reportOwner()
    {
        const bool composited = XGetSelectionOwner(m_connection->display(), m_selection) != 0;
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
    // Declared last: the thread is joined before the state it touches goes.
    X11EventThread m_events;
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
