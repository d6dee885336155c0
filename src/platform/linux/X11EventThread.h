#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <thread>

typedef struct _XDisplay Display;
typedef union _XEvent XEvent;

// A thread of its own that reads the events of one private X connection as they come, in order, until it is
// stopped or the server goes away. Nothing else may use the connection while it runs.
class X11EventThread {
public:
    using Handler = std::function<void(XEvent& event)>;

    X11EventThread() = default;
    ~X11EventThread(); // stop()
    X11EventThread(const X11EventThread&) = delete;
    X11EventThread& operator=(const X11EventThread&) = delete;

    // Reads `display` on a thread named `name`: `begin` first (when given), then `handle` for each event. An
    // error text when the thread cannot be set up.
    QString start(Display* display, const char* name, std::function<void()> begin, Handler handle);
    // Wakes the thread and waits for it; once this returns nothing is called again.
    void stop();
    // False once stopped or once the server went away.
    bool isRunning() const { return m_running.load(); }

private:
    void run(Display* display, const char* name, const std::function<void()>& begin, const Handler& handle);

    int m_wakeFd = -1;
    std::atomic<bool> m_running{false};
    std::thread m_thread;
};
