// A small Qt application the desktop tests type into, paste into and read through accessibility. It reports
// on stdout, one line each: "READY <X window id>" when its text field has the keyboard focus, "TEXT <base64>"
// whenever the text changes, and the answers to the commands it reads on stdin:
//   SET <base64>                 replace the text
//   SELECT <start> <length>      select characters (answers SELECTED)
//   CARET                        answers "CARET x y w h", the cursor rectangle in screen coordinates
//   COPY <base64> [primary]      put that text, a small image and a private format on the clipboard (or on
//                                the PRIMARY selection)
//   COPYLARGE <bytes>            put a text and a private format of that many bytes on the clipboard
//   COPYTEXT <bytes>             put only a plain text of that many bytes (lines of ASCII) on the clipboard
//   COPYSECRET <base64> [unreadable]
//                                put that text on the clipboard marked secret, as password managers do
//                                (the mark offered but refused to whoever asks for it)
//   CLIPBOARDSIZE                answers "CLIPBOARDSIZE <bytes> <md5> <private bytes> <private md5>", the
//                                size and checksum of the clipboard's plain text and of its private format
//   CLIPBOARD                    answers "CLIPBOARD <text base64> same-image|other-image <private base64>"
//   QUIT
// Arguments: lineedit | textedit | password, then optionally --title <title>, and --gtk-application-id <id>
// or --kde-desktop-file <id> to publish a desktop-file id on the window as GTK and KDE applications do, and
// --stall-at-first-key <ms> to keep the event loop busy that long at the first key press, as a client on a
// loaded machine falls behind the keys sent to it, and --ignore-pings to leave the window manager's pings
// (_NET_WM_PING, which the window lists) unanswered, as a hung client does.
#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QClipboard>
#include <QCryptographicHash>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QSocketNotifier>
#include <QTextEdit>
#include <QThread>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>
#include <cstdio>
#include <unistd.h>
#include <utility>

#include <X11/Xlib.h>
#undef KeyPress // an Xlib event type, in the way of QEvent::KeyPress
#include <xcb/xproto.h>

namespace {

const QString kPrivateFormat = QStringLiteral("application/x-quorbell-test");

void say(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Offers the password manager's mark among its formats but refuses to hand it out.
class UnreadableMarkData final : public QMimeData {
public:
    QStringList formats() const override
    {
        return QMimeData::formats() << QStringLiteral("x-kde-passwordManagerHint");
    }
    bool hasFormat(const QString& mimeType) const override
    {
        return QMimeData::formats().contains(mimeType); // Qt refuses a conversion to what it lacks
    }
};

QImage testImage()
{
    QImage image(6, 4, QImage::Format_RGB32);
    image.fill(QColor(200, 30, 40));
    image.setPixelColor(0, 0, QColor(10, 220, 30));
    return image;
}

// Sets a UTF-8 text property on the window, as toolkits that publish their desktop-file id do.
void setWindowText(QWidget& window, const char* property, const QString& value)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return;
    const QByteArray bytes = value.toUtf8();
    XChangeProperty(display, static_cast<Window>(window.winId()), XInternAtom(display, property, False),
                    XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(bytes.constData()),
                    static_cast<int>(bytes.size()));
    XCloseDisplay(display);
}

// Blocks the event loop once, at the first key press it sees; the keys after it wait in the X queue.
class FirstKeyStall : public QObject {
public:
    explicit FirstKeyStall(int milliseconds) : m_milliseconds(milliseconds) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress && m_milliseconds > 0)
            QThread::msleep(static_cast<unsigned long>(std::exchange(m_milliseconds, 0)));
        return QObject::eventFilter(watched, event);
    }

private:
    int m_milliseconds;
};

// Swallows the pings the window receives before Qt can answer them.
class PingSwallower : public QAbstractNativeEventFilter {
public:
    PingSwallower()
    {
        if (Display* display = XOpenDisplay(nullptr)) {
            m_ping = static_cast<std::uint32_t>(XInternAtom(display, "_NET_WM_PING", False));
            XCloseDisplay(display);
        }
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7F) != XCB_CLIENT_MESSAGE)
            return false;
        const auto* clientMessage = static_cast<const xcb_client_message_event_t*>(message);
        return clientMessage->format == 32 && clientMessage->data.data32[0] == m_ping;
    }

private:
    std::uint32_t m_ping = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qb-desktop-target"));
    const QStringList args = QApplication::arguments();
    const QString mode = args.value(1, QStringLiteral("lineedit"));
    QString title = QStringLiteral("Quorbell 测试目标");
    QList<std::pair<const char*, QString>> windowTexts;
    int stallMilliseconds = 0;
    bool ignorePings = false;
    for (qsizetype i = 2; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--title"))
            title = args.value(++i);
        else if (args[i] == QLatin1String("--gtk-application-id"))
            windowTexts.append({"_GTK_APPLICATION_ID", args.value(++i)});
        else if (args[i] == QLatin1String("--kde-desktop-file"))
            windowTexts.append({"_KDE_NET_WM_DESKTOP_FILE", args.value(++i)});
        else if (args[i] == QLatin1String("--stall-at-first-key"))
            stallMilliseconds = args.value(++i).toInt();
        else if (args[i] == QLatin1String("--ignore-pings"))
            ignorePings = true;
    }
    FirstKeyStall stall(stallMilliseconds);
    app.installEventFilter(&stall);
    PingSwallower pingSwallower;
    if (ignorePings)
        app.installNativeEventFilter(&pingSwallower);

    QWidget window;
    window.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&window);
    QLineEdit* lineEdit = nullptr;
    QTextEdit* textEdit = nullptr;
    QWidget* field = nullptr;
    if (mode == QLatin1String("textedit")) {
        textEdit = new QTextEdit;
        textEdit->setAcceptRichText(false);
        field = textEdit;
        QObject::connect(textEdit, &QTextEdit::textChanged,
                         [textEdit] { say("TEXT " + textEdit->toPlainText().toUtf8().toBase64()); });
    } else {
        lineEdit = new QLineEdit;
        if (mode == QLatin1String("password"))
            lineEdit->setEchoMode(QLineEdit::Password);
        field = lineEdit;
        QObject::connect(lineEdit, &QLineEdit::textChanged,
                         [](const QString& text) { say("TEXT " + text.toUtf8().toBase64()); });
    }
    field->setAccessibleName(QStringLiteral("field"));
    layout->addWidget(field);
    window.resize(420, 200);

    bool readyAnnounced = false;
    auto announceWhenFocused = [&] {
        if (!readyAnnounced && window.isActiveWindow() && field->hasFocus()) {
            readyAnnounced = true;
            say("READY " + QByteArray::number(window.winId()));
        }
    };
    QObject::connect(&app, &QApplication::focusChanged, announceWhenFocused);
    QObject::connect(&app, &QGuiApplication::focusWindowChanged, announceWhenFocused);

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            app.quit();
            return;
        }
        pending.append(buffer, count);
        qsizetype end = 0;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QList<QByteArray> words = pending.left(end).split(' ');
            pending.remove(0, end + 1);
            const QByteArray command = words.value(0);
            if (command == "QUIT") {
                app.quit();
            } else if (command == "SET") {
                const QString text = QString::fromUtf8(QByteArray::fromBase64(words.value(1)));
                if (lineEdit)
                    lineEdit->setText(text);
                else
                    textEdit->setPlainText(text);
            } else if (command == "SELECT") {
                const int start = words.value(1).toInt();
                const int length = words.value(2).toInt();
                if (lineEdit) {
                    lineEdit->setSelection(start, length);
                } else {
                    QTextCursor cursor = textEdit->textCursor();
                    cursor.setPosition(start);
                    cursor.setPosition(start + length, QTextCursor::KeepAnchor);
                    textEdit->setTextCursor(cursor);
                }
                say("SELECTED");
            } else if (command == "CARET") {
                const QRect local = field->inputMethodQuery(Qt::ImCursorRectangle).toRect();
                const QPoint topLeft = field->mapToGlobal(local.topLeft());
                say(QStringLiteral("CARET %1 %2 %3 %4")
                        .arg(topLeft.x())
                        .arg(topLeft.y())
                        .arg(local.width())
                        .arg(local.height())
                        .toUtf8());
            } else if (command == "COPY") {
                auto* data = new QMimeData;
                data->setText(QString::fromUtf8(QByteArray::fromBase64(words.value(1))));
                data->setImageData(testImage());
                data->setData(kPrivateFormat, QByteArray("private \x01\x02 bytes"));
                QGuiApplication::clipboard()->setMimeData(
                    data, words.value(2) == "primary" ? QClipboard::Selection : QClipboard::Clipboard);
                say("COPIED");
            } else if (command == "COPYLARGE") {
                QByteArray bytes(words.value(1).toLongLong(), '\0');
                for (qsizetype i = 0; i < bytes.size(); ++i)
                    bytes[i] = static_cast<char>(i * 7 % 251);
                auto* data = new QMimeData;
                data->setText(QStringLiteral("large"));
                data->setData(kPrivateFormat, bytes);
                QGuiApplication::clipboard()->setMimeData(data);
                say("COPIED");
            } else if (command == "COPYTEXT") {
                const QByteArray line("a line of text on a large clipboard\n");
                QByteArray bytes = line.repeated(words.value(1).toLongLong() / line.size() + 1);
                bytes.truncate(words.value(1).toLongLong());
                auto* data = new QMimeData;
                data->setData(QStringLiteral("text/plain"), bytes);
                QGuiApplication::clipboard()->setMimeData(data);
                say("COPIED");
            } else if (command == "COPYSECRET") {
                const bool unreadable = words.value(2) == "unreadable";
                QMimeData* data = unreadable ? new UnreadableMarkData : new QMimeData;
                data->setText(QString::fromUtf8(QByteArray::fromBase64(words.value(1))));
                if (!unreadable)
                    data->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArray("secret"));
                QGuiApplication::clipboard()->setMimeData(data);
                say("COPIED");
            } else if (command == "CLIPBOARDSIZE") {
                const QMimeData* data = QGuiApplication::clipboard()->mimeData();
                const QByteArray text = data ? data->data(QStringLiteral("text/plain")) : QByteArray();
                const QByteArray other = data ? data->data(kPrivateFormat) : QByteArray();
                say("CLIPBOARDSIZE " + QByteArray::number(text.size()) + ' ' +
                    QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex() + ' ' +
                    QByteArray::number(other.size()) + ' ' +
                    QCryptographicHash::hash(other, QCryptographicHash::Md5).toHex());
            } else if (command == "CLIPBOARD") {
                const QMimeData* data = QGuiApplication::clipboard()->mimeData();
                const QImage image = data ? qvariant_cast<QImage>(data->imageData()) : QImage();
                const bool sameImage =
                    !image.isNull() && image.convertToFormat(QImage::Format_RGB32) == testImage();
                say("CLIPBOARD " + (data ? data->text().toUtf8().toBase64() : QByteArray("-")) + ' ' +
                    (sameImage ? "same-image " : "other-image ") +
                    (data ? data->data(kPrivateFormat).toBase64() : QByteArray("-")));
            }
        }
    });

    window.show();
    for (const auto& [property, value] : windowTexts)
        setWindowText(window, property, value);
    window.activateWindow();
    field->setFocus();
    announceWhenFocused();
    return app.exec();
}
