#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include "platform/linux/XlibIncludes.h"

// Windows of the test display as a window manager and the user would handle them: found by class, given the
// keyboard focus, typed into.
namespace DesktopWindows {

// The viewable top-level window of the given WM_CLASS class, or 0.
inline unsigned long findWindowOfClass(::Display* display, const char* windowClass)
{
    ::Window root = 0, parent = 0;
    ::Window* children = nullptr;
    unsigned int count = 0;
    unsigned long found = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
        return 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable)
            continue;
        XClassHint hint{};
        if (XGetClassHint(display, children[i], &hint)) {
            if (hint.res_class && qstrcmp(hint.res_class, windowClass) == 0)
                found = children[i];
            XFree(hint.res_name);
            XFree(hint.res_class);
        }
    }
    if (children)
        XFree(children);
    return found;
}

// Plays the window manager's part: gives the window the keyboard focus and publishes it as active.
inline void activate(::Display* display, unsigned long window)
{
    XRaiseWindow(display, window);
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    const long value = static_cast<long>(window);
    XChangeProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_ACTIVE_WINDOW", False),
                    XA_WINDOW, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
    XSync(display, False);
}

// Whether the keyboard focus is in `window` or a window inside it.
inline bool hasFocus(::Display* display, unsigned long window)
{
    ::Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    while (focus != 0 && focus != PointerRoot && focus != window) {
        ::Window root = 0, parent = 0;
        ::Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, focus, &root, &parent, &children, &count))
            return false;
        if (children)
            XFree(children);
        focus = parent == root ? 0 : parent;
    }
    return focus == window;
}

// Types one key through XTest: keys reach the focused window in the order they were posted, so a key typed
// after others arrives after everything they produced.
inline void typeKey(::Display* display, KeySym keysym)
{
    const unsigned code = XKeysymToKeycode(display, keysym);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
}

// A real terminal running the tty reader (TtyReader.cpp): what the reader got is what the terminal passed to
// the program in it.
class TerminalWithReader {
public:
    struct Kind {
        const char* program;   // found by CMake
        QStringList arguments; // before the reader's command
        bool commandAsOneWord; // the terminal takes the command as one string
        const char* windowClass;
    };

    // `readerArguments` go to the reader after its file (--bracketed-paste: as a shell does).
    bool start(const Kind& kind, QStringList readerArguments = {})
    {
        if (!m_home.isValid())
            return false;
        m_received = m_home.filePath(QStringLiteral("received"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        environment.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
        m_process.setProcessEnvironment(environment);
        QStringList arguments = kind.arguments;
        const QStringList command = QStringList{QStringLiteral(QB_TTY_READER), m_received} + readerArguments;
        if (kind.commandAsOneWord)
            arguments.last() += command.join(u' ');
        else
            arguments += command;
        m_process.start(QString::fromUtf8(kind.program), arguments);
        return m_process.waitForStarted(kWaitMs) &&
               QTest::qWaitFor([&] { return QFile::exists(m_received + QStringLiteral(".ready")); }, kWaitMs);
    }
    ~TerminalWithReader()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(3000);
    }

    QByteArray bytes() const
    {
        QFile file(m_received);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return file.readAll();
    }

    static constexpr int kWaitMs = 30000;

private:
    QTemporaryDir m_home;
    QString m_received;
    QProcess m_process;
};

} // namespace DesktopWindows
