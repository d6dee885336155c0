#include "fakes/FakeGlobalKeySource.h"

Status FakeGlobalKeySource::start(Handler handler)
{
    std::lock_guard lock(m_mutex);
    if (m_startFailure)
        return Status::failure(*m_startFailure);
    m_handler = std::move(handler);
    return Status::success();
}

void FakeGlobalKeySource::stop()
{
    std::lock_guard lock(m_mutex);
    m_handler = nullptr;
}

bool FakeGlobalKeySource::isRunning() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<bool>(m_handler);
}

void FakeGlobalKeySource::setStartFailure(std::optional<QString> reason)
{
    std::lock_guard lock(m_mutex);
    m_startFailure = std::move(reason);
}

bool FakeGlobalKeySource::deliver(const KeyEvent& event)
{
    Handler handler;
    {
        std::lock_guard lock(m_mutex);
        handler = m_handler;
    }
    if (!handler)
        return false;
    handler(event);
    return true;
}
