#include "platform/linux/X11ClipboardServer.h"

#include "platform/linux/X11PrivateDisplay.h"
#include "util/AppIdentity.h"
#include "util/SerialQueue.h"

#include <QLoggingCategory>
#include <QString>
#include <algorithm>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/linux/XlibIncludes.h"

namespace {

Q_LOGGING_CATEGORY(lcClipboardServer, "quorbell.clipboard")

using Clock = std::chrono::steady_clock;

// How long taking the selection may wait for the server's timestamp.
constexpr std::chrono::milliseconds kTimestampLimit{1000};
// A MULTIPLE request lists at most this many targets and properties (in 32-bit units).
constexpr long kMaxMultipleLongs = 1024;
// More than the server clock's millisecond.
constexpr std::chrono::milliseconds kHeaderSettle{2};
// The server clock's millisecond.
constexpr std::chrono::milliseconds kClockTick{1};

const QString kPlainText = QStringLiteral("text/plain");

} // namespace

class X11ClipboardServer::Loop {
public:
    Loop(const QByteArray& displayName, const char* selection)
    {
        m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_connection = X11PrivateDisplay::open(displayName, nullptr);
        if (!m_connection || m_wake < 0)
            return;
        m_display = m_connection->display();
        m_selection = atom(selection);
        m_targets = atom("TARGETS");
        m_timestamp = atom("TIMESTAMP");
        m_incr = atom("INCR");
        m_utf8 = atom("UTF8_STRING");
        m_text = atom("TEXT");
        m_plainText = atom("text/plain");
        m_stampProperty = atom("QB_CLIPBOARD_STAMP");
        m_saveProperty = atom("QB_CLIPBOARD_SAVE");
        m_multiple = atom("MULTIPLE");
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        m_window = XCreateWindow(m_display, DefaultRootWindow(m_display), -10, -10, 1, 1, 0, CopyFromParent,
                                 InputOnly, CopyFromParent, CWEventMask, &attributes);
        if (m_connection->syncAndTakeError() != 0)
            m_window = 0;
        // A piece stays well below the largest request the server takes: a quarter of it (counted in 4-byte
        // units).
        long maxRequest = XExtendedMaxRequestSize(m_display);
        if (maxRequest == 0)
            maxRequest = XMaxRequestSize(m_display);
        m_pieceBytes = std::clamp<qsizetype>(qsizetype(maxRequest), 4096, kPieceBytes);
    }

    ~Loop()
    {
        if (m_window)
            XDestroyWindow(m_display, m_window);
        m_connection.reset();
        if (m_wake >= 0)
            ::close(m_wake);
    }

    bool isAvailable() const { return m_window != 0; }
    Window window() const { return m_window; }

    void serve(ClipboardSnapshot contents)
    {
        {
            std::lock_guard lock(m_mutex);
            m_held = std::move(contents);
            m_takeSelection = true;
        }
        wake();
    }

    void release()
    {
        std::lock_guard lock(m_mutex);
        m_held.reset();
        m_takeSelection = false;
    }

    // Ends run(); with `handOver`, a clipboard manager is first asked to keep what we hold, as applications
    // do when they quit.
    void stop(bool handOver)
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            m_handOver = handOver;
            if (!handOver)
                m_held.reset();
        }
        wake();
    }

    std::optional<ClipboardSnapshot> contents() const
    {
        std::lock_guard lock(m_mutex);
        return m_held;
    }

    // Until stop(): takes the selection when asked, answers every request, sends the pieces.
    void run()
    {
        for (;;) {
            bool take = false;
            {
                std::unique_lock lock(m_mutex);
                if (m_stopping) {
                    const bool handOver = m_handOver;
                    lock.unlock();
                    if (handOver)
                        handOverToClipboardManager();
                    return;
                }
                take = std::exchange(m_takeSelection, false);
            }
            if (take)
                takeSelection();
            while (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                handle(event);
            }
            XFlush(m_display);
            dropStalledTransfers();
            // The round trips above may have read events off the socket into Xlib's queue, where polling
            // the socket would not see them: those are handled first.
            if (XEventsQueued(m_display, QueuedAlready) > 0)
                continue;
            pollfd watched[2] = {{ConnectionNumber(m_display), POLLIN, 0}, {m_wake, POLLIN, 0}};
            ::poll(watched, 2, pollTimeoutMs());
            quint64 count = 0;
            while (::read(m_wake, &count, sizeof count) > 0) {
            }
        }
    }

private:
    struct Transfer {
        Window requestor = 0;
        Atom property = 0;
        Atom type = 0;
        QByteArray bytes;
        qsizetype sent = 0;
        bool finished = false; // the closing empty piece is out
        Clock::time_point deadline;
    };

    Atom atom(const char* name) { return XInternAtom(m_display, name, 0); }
    Atom atom(const QString& name) { return atom(name.toLatin1().constData()); }

    void wake()
    {
        const quint64 one = 1;
        if (m_wake >= 0 && ::write(m_wake, &one, sizeof one) < 0)
            qCWarning(lcClipboardServer) << "could not wake the clipboard server";
    }

    // The server's time now, which a zero-length change of our own property brings back; CurrentTime when
    // it has not come by `giveUpAt`.
    Time serverTime(Clock::time_point giveUpAt)
    {
        XChangeProperty(m_display, m_window, m_stampProperty, XA_STRING, 8, PropModeAppend, nullptr, 0);
        XFlush(m_display);
        XEvent event;
        while (Clock::now() < giveUpAt) {
            if (XCheckTypedWindowEvent(m_display, m_window, PropertyNotify, &event) &&
                event.xproperty.atom == m_stampProperty)
                return event.xproperty.time;
            pollfd connection{ConnectionNumber(m_display), POLLIN, 0};
            ::poll(&connection, 1, 10);
        }
        return CurrentTime;
    }

    // The selection is taken with a time of the server's, as the selection rules ask, and a later one than
    // this process's paste took it with a moment before: Qt ignores the loss of a selection taken from it in
    // the millisecond it took it, and would go on believing it owns the clipboard (and read another
    // application's contents on the main thread for its own).
    void takeSelection()
    {
        const Clock::time_point giveUpAt = Clock::now() + kTimestampLimit;
        const Time now = serverTime(giveUpAt);
        Time time = now;
        while (now != CurrentTime && time != CurrentTime && time <= now && Clock::now() < giveUpAt) {
            std::this_thread::sleep_for(kClockTick);
            time = serverTime(giveUpAt);
        }
        if (time == CurrentTime || time <= now)
            time = now;
        {
            // Let go while the time came back (this process put something else there): not taken at all.
            std::lock_guard lock(m_mutex);
            if (!m_held || m_takeSelection)
                return;
        }
        m_ownedSince = time;
        XSetSelectionOwner(m_display, m_selection, m_window, time);
        if (XGetSelectionOwner(m_display, m_selection) != m_window) {
            qCWarning(lcClipboardServer) << "could not take the clipboard back for the user";
            std::lock_guard lock(m_mutex);
            m_held.reset();
        }
    }

    void handle(const XEvent& event)
    {
        switch (event.type) {
        case SelectionRequest:
            answer(event.xselectionrequest);
            break;
        case SelectionClear:
            // Someone else copied: theirs is the clipboard now, and ours is let go (its pieces still in
            // flight finish).
            if (event.xselectionclear.selection == m_selection &&
                XGetSelectionOwner(m_display, m_selection) != m_window) {
                std::lock_guard lock(m_mutex);
                if (!m_takeSelection)
                    m_held.reset();
            }
            break;
        case PropertyNotify:
            if (event.xproperty.state == PropertyDelete)
                sendNextPiece(event.xproperty.window, event.xproperty.atom);
            break;
        default:
            break;
        }
    }

    // Asks the clipboard manager, if there is one, to keep the contents we hold (SAVE_TARGETS, with no list:
    // every format), and serves its requests until it says it has them, or stops asking for kPieceLimit.
    void handOverToClipboardManager()
    {
        {
            std::lock_guard lock(m_mutex);
            if (!m_held)
                return;
        }
        const Atom manager = atom("CLIPBOARD_MANAGER");
        if (m_selection != atom("CLIPBOARD") || XGetSelectionOwner(m_display, m_selection) != m_window ||
            XGetSelectionOwner(m_display, manager) == kXNone)
            return;
        const Atom saveTargets = atom("SAVE_TARGETS");
        XDeleteProperty(m_display, m_window, m_saveProperty);
        XConvertSelection(m_display, manager, saveTargets, m_saveProperty, m_window, m_ownedSince);
        XFlush(m_display);
        Clock::time_point giveUpAt = Clock::now() + kPieceLimit;
        while (Clock::now() < giveUpAt) {
            while (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                if (event.type == SelectionNotify && event.xselection.requestor == m_window &&
                    event.xselection.selection == manager) {
                    if (event.xselection.property == kXNone)
                        qCWarning(lcClipboardServer) << "the clipboard manager refused to keep the clipboard";
                    return;
                }
                if (event.type == SelectionRequest || event.type == PropertyNotify)
                    giveUpAt = Clock::now() + kPieceLimit;
                handle(event);
            }
            XFlush(m_display);
            dropStalledTransfers();
            if (XEventsQueued(m_display, QueuedAlready) > 0)
                continue;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUpAt - Clock::now());
            pollfd connection{ConnectionNumber(m_display), POLLIN, 0};
            ::poll(&connection, 1,
                   static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
        }
        qCWarning(lcClipboardServer) << "the clipboard manager did not take the clipboard in time";
    }

    // The targets each format is offered as, and the format and type a target is answered from.
    std::vector<Atom> targetsFor(const ClipboardFormat& format)
    {
        if (format.mimeType == kPlainText)
            return {m_plainText, m_utf8, XA_STRING, m_text};
        return {atom(format.mimeType)};
    }

    void answer(const XSelectionRequestEvent& request)
    {
        XSelectionEvent notify{};
        notify.type = SelectionNotify;
        notify.display = request.display;
        notify.requestor = request.requestor;
        notify.selection = request.selection;
        notify.target = request.target;
        notify.time = request.time;
        // Clients of the old rules name no property: the target is the property then.
        const Atom property = request.property ? request.property : request.target;
        notify.property = kXNone;
        const std::optional<ClipboardSnapshot> held = contents();
        // A request stamped before we took the selection is answered too: clients stamp theirs with the last
        // event they saw, and the contents are the user's either way.
        if (held && request.selection == m_selection) {
            const bool answered =
                request.target == m_multiple
                    ? request.property != kXNone && convertEach(*held, request.requestor, request.property)
                    : convert(*held, request.requestor, property, request.target);
            if (answered)
                notify.property = property;
        }
        XSendEvent(m_display, request.requestor, 0, 0, reinterpret_cast<XEvent*>(&notify));
        XFlush(m_display);
    }

    // Puts `target` (TARGETS, TIMESTAMP or one of the formats) into `property` of `requestor`; false when we
    // have no such thing.
    bool convert(const ClipboardSnapshot& held, Window requestor, Atom property, Atom target)
    {
        // The client gave up any transfer to this window and property it had under way (Qt's requestors
        // do after 5 s): its pieces would be taken for this answer's.
        const auto stale =
            std::find_if(m_transfers.begin(), m_transfers.end(), [&](const Transfer& transfer) {
                return transfer.requestor == requestor && transfer.property == property;
            });
        if (stale != m_transfers.end())
            endTransfer(stale);
        if (target == m_targets) {
            std::vector<Atom> targets{m_targets, m_timestamp, m_multiple};
            for (const ClipboardFormat& format : held.formats) {
                for (Atom offered : targetsFor(format))
                    targets.push_back(offered);
            }
            std::vector<long> items(targets.begin(), targets.end());
            XChangeProperty(m_display, requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(items.data()),
                            static_cast<int>(items.size()));
            return true;
        }
        if (target == m_timestamp) {
            const long time = static_cast<long>(m_ownedSince);
            XChangeProperty(m_display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&time), 1);
            return true;
        }
        return sendFormat(held, requestor, property, target);
    }

    // MULTIPLE (clipboard managers save every format with it): `list` on the requestor holds pairs of a
    // target and a property, each converted on its own; those we cannot are written back with no property.
    bool convertEach(const ClipboardSnapshot& held, Window requestor, Atom list)
    {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, bytesAfter = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(m_display, requestor, list, 0, kMaxMultipleLongs, False, AnyPropertyType,
                               &type, &format, &items, &bytesAfter, &data) != Success)
            return false;
        std::vector<unsigned long> pairs;
        if (data && format == 32) {
            const auto* longs = reinterpret_cast<const unsigned long*>(data);
            pairs.assign(longs, longs + items);
        }
        if (data)
            XFree(data);
        if (pairs.empty() || pairs.size() % 2 != 0 || bytesAfter > 0)
            return false;
        bool refused = false;
        for (std::size_t i = 0; i < pairs.size(); i += 2) {
            const Atom target = pairs[i];
            const Atom property = pairs[i + 1];
            if (property == kXNone || target == m_multiple || !convert(held, requestor, property, target)) {
                pairs[i + 1] = kXNone;
                refused = true;
            }
        }
        if (refused) {
            std::vector<long> written(pairs.begin(), pairs.end());
            XChangeProperty(m_display, requestor, list, type, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(written.data()),
                            static_cast<int>(written.size()));
        }
        return true;
    }

    bool sendFormat(const ClipboardSnapshot& held, Window requestor, Atom property, Atom target)
    {
        for (const ClipboardFormat& format : held.formats) {
            const std::vector<Atom> targets = targetsFor(format);
            if (std::find(targets.begin(), targets.end(), target) == targets.end())
                continue;
            Atom type = target;
            QByteArray bytes = format.data;
            if (target == XA_STRING || target == m_text) {
                // Latin-1 by the rules of STRING, converted here rather than on the main thread.
                bytes = QString::fromUtf8(bytes).toLatin1();
                type = XA_STRING;
            }
            if (bytes.size() <= m_pieceBytes) {
                XChangeProperty(m_display, requestor, property, type, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(bytes.constData()),
                                static_cast<int>(bytes.size()));
                return true;
            }
            // In pieces: the client deletes the property for each next one.
            XSelectInput(m_display, requestor, PropertyChangeMask);
            const long size = static_cast<long>(bytes.size());
            XChangeProperty(m_display, requestor, property, m_incr, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&size), 1);
            m_transfers.push_back(
                {requestor, property, type, std::move(bytes), 0, false, Clock::now() + kPieceLimit});
            // Qt's requestors skip property events stamped before the moment they took the INCR header, and
            // take one stamped in that same millisecond for the first piece, reading a property that is not
            // there yet: the header's own event is made to fall in an earlier millisecond than any answer.
            XSync(m_display, 0);
            std::this_thread::sleep_for(kHeaderSettle);
            return true;
        }
        return false;
    }

    void sendNextPiece(Window requestor, Atom property)
    {
        const auto it = std::find_if(m_transfers.begin(), m_transfers.end(), [&](const Transfer& transfer) {
            return transfer.requestor == requestor && transfer.property == property;
        });
        if (it == m_transfers.end())
            return;
        if (it->finished) {
            endTransfer(it);
            return;
        }
        const qsizetype piece = std::min(m_pieceBytes, it->bytes.size() - it->sent);
        XChangeProperty(m_display, requestor, property, it->type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(it->bytes.constData() + it->sent),
                        static_cast<int>(piece));
        it->sent += piece;
        it->finished = piece == 0;
        it->deadline = Clock::now() + kPieceLimit;
        if (it->finished)
            endTransfer(it);
    }

    void endTransfer(std::vector<Transfer>::iterator it)
    {
        const Window requestor = it->requestor;
        m_transfers.erase(it);
        const bool more = std::any_of(m_transfers.begin(), m_transfers.end(), [&](const Transfer& transfer) {
            return transfer.requestor == requestor;
        });
        if (!more)
            XSelectInput(m_display, requestor, NoEventMask);
    }

    // A client that went away (or stopped taking pieces) is not waited for.
    void dropStalledTransfers()
    {
        const Clock::time_point now = Clock::now();
        for (auto it = m_transfers.begin(); it != m_transfers.end();) {
            if (it->deadline > now) {
                ++it;
                continue;
            }
            qCWarning(lcClipboardServer) << "a client stopped taking the clipboard in pieces" << it->sent;
            endTransfer(it);
            it = m_transfers.begin();
        }
        (void)m_connection->syncAndTakeError(); // a vanished client's window is no fault of ours
    }

    int pollTimeoutMs() const
    {
        if (m_transfers.empty())
            return -1;
        Clock::time_point next = m_transfers.front().deadline;
        for (const Transfer& transfer : m_transfers)
            next = std::min(next, transfer.deadline);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }

    std::unique_ptr<X11PrivateDisplay> m_connection;
    ::Display* m_display = nullptr;
    Window m_window = 0;
    int m_wake = -1;
    Atom m_selection = 0;
    Atom m_targets = 0;
    Atom m_timestamp = 0;
    Atom m_incr = 0;
    Atom m_utf8 = 0;
    Atom m_text = 0;
    Atom m_plainText = 0;
    Atom m_stampProperty = 0;
    Atom m_saveProperty = 0;
    Atom m_multiple = 0;
    qsizetype m_pieceBytes = kPieceBytes;
    Time m_ownedSince = CurrentTime;   // loop thread only
    std::vector<Transfer> m_transfers; // loop thread only

    mutable std::mutex m_mutex;
    std::optional<ClipboardSnapshot> m_held; // guarded by m_mutex
    bool m_takeSelection = false;            // guarded by m_mutex
    bool m_stopping = false;                 // guarded by m_mutex
    bool m_handOver = false;                 // guarded by m_mutex
};

X11ClipboardServer::X11ClipboardServer(Selection selection, const QByteArray& displayName)
    : m_queue(std::make_unique<SerialQueue>(
          AppIdentity::queueLabel(selection == Selection::primary ? QStringLiteral("primary.server")
                                                                  : QStringLiteral("clipboard.server"))))
{
    // Xlib's connection setup is not safe beside other threads' Xlib calls: the builder waits for it.
    const char* name = selection == Selection::primary ? "PRIMARY" : "CLIPBOARD";
    m_queue->sync([&] { m_loop = std::make_shared<Loop>(displayName, name); });
    if (m_loop->isAvailable())
        m_queue->async([loop = m_loop] { loop->run(); });
}

X11ClipboardServer::~X11ClipboardServer()
{
    // What we hold is the user's: like any application that quits, we hand it to a clipboard manager, and
    // wait for that (bounded) before the connection closes.
    m_loop->stop(true);
    // The connection closes on its own thread.
    m_queue->async([loop = std::move(m_loop)]() mutable { loop.reset(); });
    m_queue->stop();
}

bool X11ClipboardServer::isAvailable() const
{
    return m_loop->isAvailable();
}

unsigned long X11ClipboardServer::windowId() const
{
    return m_loop->window();
}

void X11ClipboardServer::serve(ClipboardSnapshot contents)
{
    if (m_loop->isAvailable())
        m_loop->serve(std::move(contents));
}

void X11ClipboardServer::release()
{
    m_loop->release();
}

std::optional<ClipboardSnapshot> X11ClipboardServer::contents() const
{
    return m_loop->contents();
}
