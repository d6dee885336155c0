#include "TargetProcess.h"
#include "platform/linux/QtClipboard.h"
#include "platform/linux/X11ClipboardReader.h"
#include "platform/linux/XTestInputSynth.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTest>
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

    // Asks for `target`; true when the owner answers with a transfer in pieces.
    bool begin(const char* target)
    {
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

// Format names, sizes and checksums, for readable failures.
void PrintTo(const ClipboardSnapshot& snapshot, std::ostream* os)
{
    for (const ClipboardFormat& format : snapshot.formats)
        *os << "\n  " << format.mimeType.toStdString() << " (" << format.data.size() << " bytes, "
            << qChecksum(format.data) << ")";
}

TEST(QtClipboard, PasteLandsAndTheEarlierClipboardComesBackUntilSomeoneCopies)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    QtClipboard clipboard;
    XTestInputSynth synth;

    // Another application copies text, an image and a private format.
    const quint64 before = clipboard.changeCount();
    const QString copied = QStringLiteral("原来的 clipboard");
    ASSERT_TRUE(target.request("COPY " + copied.toUtf8().toBase64(), "COPIED"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.changeCount() > before; }, kWaitMs));
    EXPECT_FALSE(clipboard.ownsContents());
    EXPECT_EQ(clipboard.text(), copied);
    const ClipboardSnapshot snapshot = clipboard.snapshot();
    for (const ClipboardFormat& format : snapshot.formats)
        EXPECT_TRUE(format.mimeType.contains(QLatin1Char('/')))
            << "protocol target kept: " << format.mimeType.toStdString();

    // We put the text to paste there; reading it ourselves is no request, the paste target's is.
    const QString pasted = QStringLiteral("粘贴的文字 ✓");
    clipboard.setText(pasted);
    EXPECT_TRUE(clipboard.ownsContents());
    EXPECT_FALSE(clipboard.contentsWereRequested());
    ASSERT_TRUE(synth.pressChord({KeyCode::V, ModifierFlag::Command}));
    EXPECT_EQ(target.waitForText(pasted), pasted);
    EXPECT_TRUE(clipboard.contentsWereRequested());

    clipboard.restore(snapshot);
    EXPECT_TRUE(clipboard.ownsContents());
    EXPECT_FALSE(clipboard.contentsWereRequested());
    // Qt refuses a selection request stamped before the selection changed hands, and the target stamps its
    // request with the time of the last X event it saw. Like a user's next paste, it gets a fresh key first.
    ASSERT_TRUE(synth.typeText(QStringLiteral(" ")));
    EXPECT_EQ(target.waitForText(pasted + QLatin1Char(' ')), pasted + QLatin1Char(' '));
    const std::optional<QByteArrayList> restored = target.request("CLIPBOARD", "CLIPBOARD");
    ASSERT_TRUE(restored.has_value());
    ASSERT_EQ(restored->size(), 3);
    EXPECT_EQ(QString::fromUtf8(QByteArray::fromBase64(restored->at(0))), copied);
    EXPECT_EQ(restored->at(1), "same-image");
    EXPECT_EQ(QByteArray::fromBase64(restored->at(2)), QByteArray("private \x01\x02 bytes"));
    EXPECT_TRUE(clipboard.contentsWereRequested());

    // A copy made meanwhile ends our ownership.
    const quint64 afterOurs = clipboard.changeCount();
    ASSERT_TRUE(target.request("COPY " + QByteArray("theirs").toBase64(), "COPIED"));
    // Qt drops our contents at the selection-clear event and counts the change at the owner notification
    // that follows it: both must have come.
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.changeCount() > afterOurs; }, kWaitMs));
    EXPECT_FALSE(clipboard.ownsContents());
    EXPECT_EQ(clipboard.text(), QStringLiteral("theirs"));

    // Restoring an empty snapshot clears the clipboard.
    clipboard.restore({});
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.snapshot().isEmpty(); }, kWaitMs));
    EXPECT_EQ(clipboard.text(), QString());
}

// What readSnapshot() reads of another application over its own connection, off the main thread, is what
// QClipboard reads on it: every format, named and converted alike, also one too large for a single X request.
TEST(QtClipboard, ASnapshotReadOffTheMainThreadEqualsTheOneQtTakes)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    QtClipboard clipboard;
    X11ClipboardReader reader;
    ASSERT_TRUE(reader.isAvailable());
    auto readOffTheMainThread = [&clipboard] {
        std::optional<ClipboardSnapshot> read;
        clipboard.readSnapshot([&read](ClipboardSnapshot snapshot) { read = std::move(snapshot); });
        EXPECT_TRUE(QTest::qWaitFor([&] { return read.has_value(); }, kWaitMs));
        return read.value_or(ClipboardSnapshot{});
    };

    const quint64 before = clipboard.changeCount();
    ASSERT_TRUE(target.request("COPY " + QStringLiteral("原来的 clipboard").toUtf8().toBase64(), "COPIED"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.changeCount() > before; }, kWaitMs));
    const ClipboardSnapshot qtSnapshot = clipboard.snapshot();
    ASSERT_GE(qtSnapshot.formats.size(), 3) << "text, image formats and the private format";
    ClipboardSnapshot read = readOffTheMainThread();
    // The owner writes its icon formats differently each time it is asked (Qt's icon writer leaves bytes
    // unset): those are compared by name and size.
    ASSERT_EQ(read.formats.size(), qtSnapshot.formats.size());
    for (qsizetype i = 0; i < read.formats.size(); ++i) {
        const QString& type = qtSnapshot.formats[i].mimeType;
        if ((type == QLatin1String("image/ico") || type == QLatin1String("image/cur")) &&
            read.formats[i].mimeType == type &&
            read.formats[i].data.size() == qtSnapshot.formats[i].data.size())
            read.formats[i].data = qtSnapshot.formats[i].data;
    }
    EXPECT_EQ(read, qtSnapshot);

    // Past the largest X request (16 MB with BIG-REQUESTS) the owner sends the format in pieces.
    constexpr qsizetype kLarge = 20 * 1024 * 1024;
    const quint64 beforeLarge = clipboard.changeCount();
    ASSERT_TRUE(target.request("COPYLARGE " + QByteArray::number(kLarge), "COPIED"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipboard.changeCount() > beforeLarge; }, kWaitMs));
    const ClipboardSnapshot large = reader.read();
    const auto privateFormat =
        std::find_if(large.formats.cbegin(), large.formats.cend(), [](const auto& format) {
            return format.mimeType == QLatin1String("application/x-quorbell-test");
        });
    ASSERT_NE(privateFormat, large.formats.cend());
    ASSERT_EQ(privateFormat->data.size(), kLarge);
    EXPECT_EQ(static_cast<quint8>(privateFormat->data.at(kLarge - 1)), (kLarge - 1) * 7 % 251);
    EXPECT_EQ(large, clipboard.snapshot());

    // Our own contents need nobody else: they are there at once.
    clipboard.setText(QStringLiteral("ours"));
    std::optional<ClipboardSnapshot> ours;
    clipboard.readSnapshot([&ours](ClipboardSnapshot snapshot) { ours = std::move(snapshot); });
    ASSERT_TRUE(ours.has_value());
    EXPECT_EQ(*ours, clipboard.snapshot());
}

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
    clipboard.restore(large);
    EXPECT_TRUE(clipboard.ownsContents());
    EXPECT_EQ(clipboard.text(), QString::fromUtf8(text));

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
