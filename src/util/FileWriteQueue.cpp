#include "util/FileWriteQueue.h"

#include "util/FileIO.h"

#include <QMetaObject>

namespace {

Status write(const FileWriteQueue::Save& save)
{
    return FileIO::writeAtomically(save.path, save.encode ? save.encode() : QByteArray());
}

} // namespace

FileWriteQueue::FileWriteQueue(const QString& label) : m_queue(label) {}

FileWriteQueue::~FileWriteQueue()
{
    m_queue.stop();
}

void FileWriteQueue::save(Save save, QObject* context, Done done)
{
    const QString path = save.path;
    {
        std::lock_guard lock(m_mutex);
        const auto waiting = m_waiting.find(path);
        if (waiting != m_waiting.end()) {
            *waiting = Waiting{std::move(save), context, std::move(done)};
            return; // the job already queued for this file writes the newer bytes
        }
        m_waiting.insert(path, Waiting{std::move(save), context, std::move(done)});
    }
    m_queue.async([this, path] { runWaiting(path); });
}

Status FileWriteQueue::saveAndWait(Save save)
{
    Status status = Status::failure(QStringLiteral("the file writer has stopped"));
    m_queue.sync([&] { status = write(save); });
    return status;
}

void FileWriteQueue::waitForSaves()
{
    m_queue.sync([] {});
}

void FileWriteQueue::runWaiting(const QString& path)
{
    Waiting waiting;
    {
        std::lock_guard lock(m_mutex);
        waiting = m_waiting.take(path);
    }
    const Status status = write(waiting.save);
    if (!waiting.context || !waiting.done)
        return;
    // The context's owner destroys this queue, and with it this thread, before the context itself goes, and
    // ~QObject discards what is still posted to it.
    QMetaObject::invokeMethod(
        waiting.context, [done = std::move(waiting.done), status] { done(status); }, Qt::QueuedConnection);
}
