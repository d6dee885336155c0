#include "fakes/FakeWorkspace.h"

std::optional<FrontmostApplication> FakeWorkspace::frontmostApplication()
{
    std::lock_guard lock(m_mutex);
    return m_frontmost;
}

void FakeWorkspace::setActivationHandler(ActivationHandler handler)
{
    std::lock_guard lock(m_mutex);
    m_activationHandler = std::move(handler);
}

Status FakeWorkspace::openUrl(const QUrl& url)
{
    std::lock_guard lock(m_mutex);
    if (m_openUrlFailure)
        return Status::failure(*m_openUrlFailure);
    m_openedUrls.append(url);
    return Status::success();
}

ProcessResult FakeWorkspace::runProcess(const QString& program, const QStringList& arguments,
                                        std::chrono::milliseconds timeout)
{
    std::lock_guard lock(m_mutex);
    m_processRuns.append({program, arguments, timeout});
    return m_processResult;
}

void FakeWorkspace::setFrontmost(std::optional<FrontmostApplication> application)
{
    std::lock_guard lock(m_mutex);
    m_frontmost = std::move(application);
}

void FakeWorkspace::activate(const FrontmostApplication& application)
{
    ActivationHandler handler;
    {
        std::lock_guard lock(m_mutex);
        m_frontmost = application;
        handler = m_activationHandler;
    }
    if (handler)
        handler(application);
}

void FakeWorkspace::setOpenUrlFailure(std::optional<QString> reason)
{
    std::lock_guard lock(m_mutex);
    m_openUrlFailure = std::move(reason);
}

void FakeWorkspace::setProcessResult(ProcessResult result)
{
    std::lock_guard lock(m_mutex);
    m_processResult = std::move(result);
}

QList<QUrl> FakeWorkspace::openedUrls() const
{
    std::lock_guard lock(m_mutex);
    return m_openedUrls;
}

QList<FakeWorkspace::ProcessRun> FakeWorkspace::processRuns() const
{
    std::lock_guard lock(m_mutex);
    return m_processRuns;
}
