#pragma once

#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// A labelled serial queue: one worker thread runs the submitted work in order.
class SerialQueue {
public:
    explicit SerialQueue(QString label);
    ~SerialQueue(); // stop()
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const QString& label() const { return m_label; }

    // Work submitted after stop() is dropped.
    void async(std::function<void()> work);
    // Runs work on the queue and waits for it. Called on the queue itself it runs inline; after stop() it
    // does not run.
    void sync(const std::function<void()>& work);
    // Finishes the work already queued and joins the worker; from then on nothing runs here. Lets an owner
    // end the queue's work before the objects that work touches go away. Not from the queue itself.
    void stop();
    bool isCurrent() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    void run();

    QString m_label;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_stopping = false; // guarded by m_mutex
    std::thread m_thread;
};
