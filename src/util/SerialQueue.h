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
    ~SerialQueue(); // finishes the work already queued, then joins
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const QString& label() const { return m_label; }

    void async(std::function<void()> work);
    // Runs work on the queue and waits for it. Called on the queue itself it runs inline.
    void sync(const std::function<void()>& work);
    bool isCurrent() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    void run();

    QString m_label;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_stopping = false;
    std::thread m_thread;
};
