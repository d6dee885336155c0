#include "util/SerialQueue.h"

#include <future>
#include <pthread.h>

SerialQueue::SerialQueue(QString label) : m_label(std::move(label))
{
    m_thread = std::thread([this] { run(); });
    // Linux thread names hold 15 bytes: keep the distinctive tail of the label.
    const QByteArray name = m_label.toUtf8().right(15);
    pthread_setname_np(m_thread.native_handle(), name.constData());
}

SerialQueue::~SerialQueue()
{
    stop();
}

void SerialQueue::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable() && !isCurrent())
        m_thread.join();
}

void SerialQueue::async(std::function<void()> work)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_work.push_back(std::move(work));
    }
    m_wake.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work)
{
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_work.push_back([&] {
            work();
            done.set_value();
        });
    }
    m_wake.notify_one();
    done.get_future().wait();
}

void SerialQueue::run()
{
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_work.empty(); });
            if (m_work.empty())
                return; // stopping and drained
            work = std::move(m_work.front());
            m_work.pop_front();
        }
        work();
    }
}
