// Large clipboards: what we serve in pieces for the user (and hand to a clipboard manager at the end), and
// dictations over the large clipboards of the owners users have (xclip and xsel, as scripts fill the
// clipboard, and GTK).
#include "ClipboardDictation.h"
#include "ClipboardSnapshotPrinter.h"
#include "PrivateXServer.h"
#include "TargetProcess.h"
#include "platform/linux/X11ClipboardReader.h"
#include "platform/linux/X11ClipboardServer.h"
#include "platform/linux/XTestInputSynth.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <cstdio>
#include <gtest/gtest.h>
#include <poll.h>

#include "platform/linux/XlibIncludes.h"

namespace {
constexpr int kWaitMs = 30000;

QByteArray md5(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

// A requestor of its own that takes a format in pieces (INCR) one piece at a time, so the test decides
// what happens between two pieces. It blocks the main thread while it waits: the pieces must come from
// elsewhere.
class PieceReader {
public:
    PieceReader() : m_display(XOpenDisplay(nullptr))
    {
        m_window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 1, 1, 0, 0, 0);
        XSelectInput(m_display, m_window, PropertyChangeMask);
        m_property = XInternAtom(m_display, "QB_TEST_PIECES", 0);
    }
    ~PieceReader() { XCloseDisplay(m_display); }

    // Asks for `target`, afresh; true when the owner answers with a transfer in pieces.
    bool begin(const char* target)
    {
        m_bytes.clear();
        XConvertSelection(m_display, XInternAtom(m_display, "CLIPBOARD", 0),
                          XInternAtom(m_display, target, 0), m_property, m_window, CurrentTime);
        const std::optional<XEvent> event =
            nextEvent([](const XEvent& candidate) { return candidate.type == SelectionNotify; });
        if (!event || event->xselection.property != m_property)
            return false;
        return read() && m_type == XInternAtom(m_display, "INCR", 0);
    }
    // Takes the next piece; false when none came or it was the closing empty one.
    bool next()
    {
        if (!nextEvent([this](const XEvent& event) {
                return event.type == PropertyNotify && event.xproperty.atom == m_property &&
                       event.xproperty.state == PropertyNewValue;
            }))
            return false;
        const qsizetype before = m_bytes.size();
        return read() && m_bytes.size() > before;
    }
    const QByteArray& bytes() const { return m_bytes; }

private:
    // Waits on this thread alone, without turning the main loop: an owner that needs it never answers.
    template <typename Match> std::optional<XEvent> nextEvent(Match matches)
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < kWaitMs) {
            while (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                if (matches(event))
                    return event;
            }
            pollfd connection{ConnectionNumber(m_display), POLLIN, 0};
            ::poll(&connection, 1, 100);
        }
        return std::nullopt;
    }

    // Reads the property whole and deletes it, which asks the owner for the next piece.
    bool read()
    {
        unsigned long count = 0, left = 0;
        int format = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(m_display, m_window, m_property, 0, 0x7fffffff, 1, AnyPropertyType, &m_type,
                               &format, &count, &left, &data) != Success)
            return false;
        if (m_type != XInternAtom(m_display, "INCR", 0) && format == 8)
            m_bytes.append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(count));
        XFree(data);
        XFlush(m_display);
        return true;
    }

    Display* m_display;
    Window m_window = 0;
    Atom m_property = 0;
    Atom m_type = 0;
    QByteArray m_bytes;
};
} // namespace

// Large contents put back for the user are served in pieces by a thread of ours, never the main thread: a Qt
// application and a plain Xlib client get every byte of every format, again and again; a copy made while a
// client is between two pieces ends our ownership at once, and that client still gets the whole of what it
// asked for.
TEST(QtClipboard, LargeRestoredContentsAreServedWholeUntilSomeoneCopies)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    QtClipboard clipboard;
    XTestInputSynth synth;

    QByteArray text = QStringLiteral("第一行 of a large clipboard ✓\n").toUtf8().repeated(700 * 1024);
    QByteArray other(20 * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < other.size(); ++i)
        other[i] = static_cast<char>(i * 13 % 253);
    const ClipboardSnapshot large(
        {{QStringLiteral("text/plain"), text}, {QStringLiteral("application/x-quorbell-test"), other}});
    clipboard.setText(QStringLiteral("粘贴的文字"));
    ClipboardOwnerWatch watch;
    const unsigned long pasted = watch.owner();
    clipboard.restore(large);
    EXPECT_TRUE(clipboard.ownsContents());
    EXPECT_EQ(clipboard.text(), QString::fromUtf8(text));
    ASSERT_TRUE(QTest::qWaitFor([&] { return watch.owner() != pasted; }, kWaitMs));

    // The target stamps its request with the last X event it saw: a key first, as a user's paste has.
    ASSERT_TRUE(synth.typeText(QStringLiteral(" ")));
    EXPECT_EQ(target.waitForText(QStringLiteral(" ")), QStringLiteral(" "));
    const QByteArrayList whole{QByteArray::number(text.size()), md5(text), QByteArray::number(other.size()),
                               md5(other)};
    for (int read = 0; read < 4; ++read)
        EXPECT_EQ(target.request("CLIPBOARDSIZE", "CLIPBOARDSIZE"), whole) << "read " << read;
    X11ClipboardReader reader;
    ASSERT_TRUE(reader.isAvailable());
    EXPECT_EQ(reader.read(), large);
    EXPECT_TRUE(clipboard.ownsContents());

    PieceReader pieces;
    ASSERT_TRUE(pieces.begin("UTF8_STRING"));
    ASSERT_TRUE(pieces.next());
    ASSERT_LT(pieces.bytes().size(), text.size());
    ASSERT_TRUE(target.request("COPY " + QByteArray("theirs").toBase64(), "COPIED"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !clipboard.ownsContents(); }, kWaitMs));
    // Qt learns of the new owner from an event of its own, which a busy machine may deliver a little later.
    EXPECT_TRUE(QTest::qWaitFor([&] { return clipboard.text() == QStringLiteral("theirs"); }, kWaitMs))
        << "the new owner's text never read: " << clipboard.text().left(40).toStdString();
    while (pieces.next()) {
    }
    EXPECT_EQ(md5(pieces.bytes()), md5(text));
    EXPECT_EQ(target.request("CLIPBOARDSIZE", "CLIPBOARDSIZE").value_or(QByteArrayList{}).value(0), "6");
}

// A client that gave up a transfer and asks again through the same window and property gets the new answer
// from its start, not the pieces of the one it gave up.
TEST(QtClipboard, ARequestAgainFromTheSameWindowGetsItsOwnAnswerWhole)
{
    QtClipboard clipboard;
    const QByteArray text = QStringLiteral("第一行 of a large clipboard ✓\n").toUtf8().repeated(400 * 1024);
    ClipboardOwnerWatch watch;
    const unsigned long before = watch.owner();
    clipboard.restore(ClipboardSnapshot({{QStringLiteral("text/plain"), text}}));
    ASSERT_TRUE(clipboard.ownsContents());
    ASSERT_TRUE(QTest::qWaitFor([&] { return watch.owner() != before; }, kWaitMs));

    PieceReader pieces;
    ASSERT_TRUE(pieces.begin("UTF8_STRING"));
    ASSERT_TRUE(pieces.next());
    ASSERT_LT(pieces.bytes().size(), text.size());
    ASSERT_TRUE(pieces.begin("UTF8_STRING"));
    while (pieces.next()) {
    }
    EXPECT_EQ(pieces.bytes().size(), text.size());
    EXPECT_EQ(md5(pieces.bytes()), md5(text));
}

// Another application takes the clipboard a moment before our serving thread hears of it: a read then asks
// the new owner, and does not take what we held for the clipboard's contents.
TEST(QtClipboard, AReadRightAfterSomeoneElseCopiesAsksTheNewOwner)
{
    QtClipboard clipboard;
    ClipboardOwnerWatch watch;
    const unsigned long before = watch.owner();
    clipboard.restore(ClipboardSnapshot({{QStringLiteral("text/plain"), QByteArray(3 * 1024 * 1024, 'x')}}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return watch.owner() != before; }, kWaitMs));

    SilentOwner theirs;
    ASSERT_TRUE(theirs.isUp());
    std::optional<ClipboardSnapshot> read;
    clipboard.readSnapshot([&](ClipboardSnapshot snapshot) { read = std::move(snapshot); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return read.has_value(); }, kWaitMs));
    EXPECT_TRUE(read->isEmpty()) << "what we held was taken for the new owner's contents";
    EXPECT_EQ(read->unreadReason, QStringLiteral("剪贴板所属的程序没有响应"));
}

namespace {

constexpr qsizetype kMegabyte = 1024 * 1024;

// Numbered lines of mixed text, about `bytes` long, so that a piece out of place or missing shows.
QByteArray usersText(qsizetype bytes)
{
    QByteArray text;
    text.reserve(bytes + 64);
    char line[64];
    for (int number = 0; text.size() < bytes; ++number)
        text.append(line, std::snprintf(line, sizeof line, "%08d 用户自己的剪贴板 of a script ✓\n", number));
    return text;
}

// A command-line tool that holds a text on the clipboard, as scripts and users fill it: xclip or xsel, run
// in the foreground, reading the text from a file.
class CommandLineOwner {
public:
    CommandLineOwner(const QString& tool, const QByteArray& text)
    {
        if (!m_file.open() || m_file.write(text) != text.size() || !m_file.flush())
            return;
        if (tool == QLatin1String("xclip")) {
            m_process.start(QStringLiteral(QB_XCLIP),
                            {QStringLiteral("-quiet"), QStringLiteral("-selection"),
                             QStringLiteral("clipboard"), QStringLiteral("-i"), m_file.fileName()});
        } else {
            m_process.setStandardInputFile(m_file.fileName());
            m_process.start(
                QStringLiteral(QB_XSEL),
                {QStringLiteral("--nodetach"), QStringLiteral("--clipboard"), QStringLiteral("--input")});
        }
        m_process.waitForStarted(kWaitMs);
    }
    ~CommandLineOwner()
    {
        m_process.kill();
        m_process.waitForFinished(kWaitMs);
    }
    CommandLineOwner(const CommandLineOwner&) = delete;
    CommandLineOwner& operator=(const CommandLineOwner&) = delete;

    bool isRunning() const { return m_process.state() == QProcess::Running; }
    // What it said on stderr: an X error that ended it, say.
    QByteArray errors() { return m_process.readAllStandardError(); }

private:
    QTemporaryFile m_file;
    QProcess m_process;
};

} // namespace

// A dictation over a large clipboard of another application's leaves it there as it was: nothing is said to
// be lost, and the owner's bytes come back, as the same tool reads them.
class LargeClipboardDictation : public ClipboardDictationTest {
protected:
    // The clipboard's text as `tool` (xclip or xsel) prints it.
    QByteArray readWith(const QString& tool)
    {
        QTemporaryFile printed;
        if (!printed.open())
            return {};
        QProcess reader;
        reader.setStandardOutputFile(printed.fileName());
        if (tool == QLatin1String("xclip"))
            reader.start(QStringLiteral(QB_XCLIP),
                         {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
        else
            reader.start(QStringLiteral(QB_XSEL),
                         {QStringLiteral("--clipboard"), QStringLiteral("--output")});
        // Our own thread serves it; the main loop goes on meanwhile, as the app's would.
        EXPECT_TRUE(h.settle([&] { return reader.state() == QProcess::NotRunning; }))
            << tool.toStdString() << " never finished reading";
        return printed.readAll();
    }

    void dictateOverCommandLineOwner(const QString& tool)
    {
        for (const qsizetype size : {2 * kMegabyte, 20 * kMegabyte, 50 * kMegabyte}) {
            SCOPED_TRACE(tool.toStdString() + " holding " + std::to_string(size / kMegabyte) + " MB");
            const QByteArray theirs = usersText(size);
            const quint64 before = clipboard.changeCount();
            CommandLineOwner owner(tool, theirs);
            ASSERT_TRUE(waitForChange(before)) << "the owner never took the clipboard";

            const qsizetype dictated = state().history().size();
            EXPECT_FALSE(beginAndTakeHotwords().contains(QString::fromUtf8(theirs.left(20))));
            EXPECT_TRUE(owner.isRunning())
                << "the start's look at the clipboard ended its owner: " << owner.errors().toStdString();
            finishWith(QStringLiteral("今天开会"));
            EXPECT_EQ(state().history().size(), dictated + 1);
            EXPECT_EQ(state().statusBanner(), QString());
            ASSERT_TRUE(clipboard.ownsContents()) << "the user's clipboard was not put back";
            ASSERT_TRUE(waitUntilTheServerHasTheClipboard());
            const QByteArray back = readWith(tool);
            EXPECT_EQ(back.size(), theirs.size());
            EXPECT_TRUE(back == theirs) << "the bytes that came back differ";
        }
    }
};

TEST_F(LargeClipboardDictation, XclipsLargeClipboardComesBackWhole)
{
    dictateOverCommandLineOwner(QStringLiteral("xclip"));
}

TEST_F(LargeClipboardDictation, XselsLargeClipboardComesBackWhole)
{
    dictateOverCommandLineOwner(QStringLiteral("xsel"));
}

// GTK offers its text in two encodings, which do not both fit: the text comes back, and nothing is said to
// be lost.
TEST_F(LargeClipboardDictation, AGtkOwnersLargeClipboardComesBackWithoutAWordOfLoss)
{
    TargetProcess gtk({QStringLiteral("2")}, QProcessEnvironment::systemEnvironment(),
                      QStringLiteral(QB_GTK_TARGET));
    ASSERT_TRUE(gtk.start());
    constexpr qsizetype kSize = 50 * kMegabyte;
    const quint64 before = clipboard.changeCount();
    ASSERT_TRUE(gtk.request("COPYTEXT " + QByteArray::number(kSize), "COPIED"));
    ASSERT_TRUE(waitForChange(before));
    std::optional<QByteArrayList> copied = gtk.request("CLIPBOARDSIZE", "CLIPBOARDSIZE");
    ASSERT_TRUE(copied.has_value());
    ASSERT_EQ(copied->value(0), QByteArray::number(kSize));

    beginAndTakeHotwords();
    finishWith(QStringLiteral("今天开会"));
    EXPECT_EQ(state().statusBanner(), QString());
    ASSERT_TRUE(clipboard.ownsContents()) << "the user's clipboard was not put back";
    ASSERT_TRUE(waitUntilTheServerHasTheClipboard());
    EXPECT_EQ(gtk.request("CLIPBOARDSIZE", "CLIPBOARDSIZE"), copied) << "GTK reads back what it copied";
}

namespace {

// A clipboard manager of a desktop's (xfsettingsd's), on an X server and a session bus of the test's own: it
// changes the display's settings, which no other test should meet. It keeps what an application held as it
// quits.
class ClipboardManagerDesk {
public:
    ClipboardManagerDesk()
    {
        if (m_server.display().isEmpty() || !m_home.isValid())
            return;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(m_server.display()));
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_home.filePath(QStringLiteral("cache")));
        // No accessibility bus: its launcher would outlive the test.
        environment.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
        environment.insert(QStringLiteral("GTK_A11Y"), QStringLiteral("none"));
        m_bus.setProcessEnvironment(environment);
        m_bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                    QStringLiteral("--print-address")});
        if (!m_bus.waitForReadyRead(kWaitMs))
            return;
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QString::fromUtf8(m_bus.readLine().trimmed()));
        m_manager.setProcessEnvironment(environment);
        m_manager.setStandardOutputFile(QProcess::nullDevice());
        m_manager.setStandardErrorFile(QProcess::nullDevice());
        m_manager.start(QStringLiteral(QB_XFSETTINGSD), {QStringLiteral("--disable-wm-check")});
        m_display = XOpenDisplay(m_server.display().constData());
        if (!m_display || !m_manager.waitForStarted(kWaitMs))
            return;
        const Atom manager = XInternAtom(m_display, "CLIPBOARD_MANAGER", 0);
        QElapsedTimer waited;
        waited.start();
        while (XGetSelectionOwner(m_display, manager) == 0 && waited.elapsed() < kWaitMs &&
               m_manager.state() == QProcess::Running)
            QTest::qWait(20);
        m_up = XGetSelectionOwner(m_display, manager) != 0;
    }
    ~ClipboardManagerDesk()
    {
        for (QProcess* process : {&m_manager, &m_bus}) {
            process->terminate();
            if (!process->waitForFinished(kWaitMs))
                process->kill();
        }
        if (m_display)
            XCloseDisplay(m_display);
    }
    ClipboardManagerDesk(const ClipboardManagerDesk&) = delete;
    ClipboardManagerDesk& operator=(const ClipboardManagerDesk&) = delete;

    bool isUp() const { return m_up; }
    const QByteArray& display() const { return m_server.display(); }
    bool clipboardHasOwner()
    {
        return XGetSelectionOwner(m_display, XInternAtom(m_display, "CLIPBOARD", 0)) != 0;
    }

private:
    PrivateXServer m_server;
    QTemporaryDir m_home;
    QProcess m_bus;
    QProcess m_manager;
    Display* m_display = nullptr;
    bool m_up = false;
};

QByteArray formatOf(const ClipboardSnapshot& snapshot, const QString& mimeType)
{
    for (const ClipboardFormat& format : snapshot.formats) {
        if (format.mimeType == mimeType)
            return format.data;
    }
    return {};
}

} // namespace

// Contents we serve for the user go to the desktop's clipboard manager when the application quits, every
// format of them, as Qt's own clipboard hands over what it holds.
TEST(X11ClipboardServer, WhatItHoldsAtTheEndGoesToTheClipboardManager)
{
    ClipboardManagerDesk desk;
    ASSERT_TRUE(desk.isUp()) << "the clipboard manager did not start";
    const QByteArray text = usersText(3 * kMegabyte);
    QByteArray other(2 * kMegabyte, '\0');
    for (qsizetype i = 0; i < other.size(); ++i)
        other[i] = static_cast<char>(i * 13 % 253);
    {
        X11ClipboardServer server(X11ClipboardServer::Selection::clipboard, desk.display());
        ASSERT_TRUE(server.isAvailable());
        server.serve(ClipboardSnapshot(
            {{QStringLiteral("text/plain"), text}, {QStringLiteral("application/x-quorbell-test"), other}}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return desk.clipboardHasOwner(); }, kWaitMs));
    } // the application quits

    X11ClipboardReader reader(X11ClipboardReader::Selection::clipboard, desk.display());
    ASSERT_TRUE(reader.isAvailable());
    const ClipboardSnapshot kept = reader.read();
    EXPECT_EQ(kept.unreadReason, QString());
    EXPECT_TRUE(formatOf(kept, QStringLiteral("text/plain")) == text) << "the text was not kept whole";
    EXPECT_TRUE(formatOf(kept, QStringLiteral("application/x-quorbell-test")) == other)
        << "the private format was not kept whole";
}
