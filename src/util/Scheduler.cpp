#include "util/Scheduler.h"

#include <QThread>
#include <QTimer>

struct MainThreadScheduler::Entry {
    std::function<void()> work;
    bool repeating = false;
    QTimer* timer = nullptr; // created and destroyed on the main thread only
};

MainThreadScheduler::MainThreadScheduler(QObject* parent) : QObject(parent) {}

MainThreadScheduler::~MainThreadScheduler()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear(); // the timers are our children and go with us
}

TimerId MainThreadScheduler::schedule(Duration delay, std::function<void()> work)
{
    return add(delay, false, std::move(work));
}

TimerId MainThreadScheduler::scheduleRepeating(Duration interval, std::function<void()> work)
{
    return add(interval, true, std::move(work));
}

TimerId MainThreadScheduler::add(Duration delay, bool repeating, std::function<void()> work)
{
    TimerId id;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextId++;
        auto entry = std::make_shared<Entry>();
        entry->work = std::move(work);
        entry->repeating = repeating;
        m_entries.emplace(id, std::move(entry));
    }
    if (QThread::currentThread() == thread())
        startTimer(id, delay, repeating);
    else
        QMetaObject::invokeMethod(this, [this, id, delay, repeating] { startTimer(id, delay, repeating); },
                                  Qt::QueuedConnection);
    return id;
}

void MainThreadScheduler::startTimer(TimerId id, Duration delay, bool repeating)
{
    std::lock_guard lock(m_mutex);
    auto it = m_entries.find(id);
    if (it == m_entries.end())
        return; // cancelled before the timer existed
    auto* timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!repeating);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(delay);
    timer->setInterval(std::max<std::chrono::milliseconds::rep>(0, ms.count()));
    connect(timer, &QTimer::timeout, this, [this, id] { fire(id); });
    it->second->timer = timer;
    timer->start();
}

void MainThreadScheduler::fire(TimerId id)
{
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_entries.find(id);
        if (it == m_entries.end())
            return;
        entry = it->second;
        if (!entry->repeating) {
            m_entries.erase(it);
            entry->timer->deleteLater();
        }
    }
    entry->work();
}

void MainThreadScheduler::cancel(TimerId id)
{
    QTimer* timer = nullptr;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_entries.find(id);
        if (it == m_entries.end())
            return;
        timer = it->second->timer;
        m_entries.erase(it);
    }
    if (timer) // deleteLater is safe from any thread; the entry is gone, so a pending timeout does nothing
        timer->deleteLater();
}
