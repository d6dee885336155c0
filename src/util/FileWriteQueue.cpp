#include "util/FileWriteQueue.h"

#include "util/FileIO.h"

#include <QMetaObject>

namespace {

// The context's owner destroys the queue, and with it its thread, before the context itself goes, and
// ~QObject discards what is still posted to it.
template <typename F> void post(QObject* context, F call)
{
    if (context)
        QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
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
    Status status = Status::failure(QStringLiteral("文件写入线程已停止"));
    m_queue.sync([&] { status = write(save); });
    return status;
}

void FileWriteQueue::keepAside(const QString& path, QObject* context, Kept kept)
{
    {
        std::lock_guard lock(m_mutex);
        m_owedCopies.insert(path, Keeping{context, std::move(kept), false});
    }
    m_queue.async([this, path] { (void)keepOwedCopy(path); });
}

void FileWriteQueue::waitForSaves()
{
    m_queue.sync([] {});
}

Status FileWriteQueue::keepOwedCopy(const QString& path)
{
    Keeping owed;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_owedCopies.constFind(path);
        if (found == m_owedCopies.constEnd())
            return Status::success();
        owed = *found;
    }
    const Result<QString> copy = FileIO::keepAside(path);
    {
        std::lock_guard lock(m_mutex);
        if (copy)
            m_owedCopies.remove(path);
        else
            m_owedCopies[path].reported = true;
    }
    // A failure is told once; the saves that follow report their own.
    if ((copy || !owed.reported) && owed.kept)
        post(owed.context, [kept = std::move(owed.kept), copy] { kept(copy); });
    if (copy)
        return Status::success();
    return Status::failure(QStringLiteral("原文件未能另存为副本，为免覆盖，没有写入：") +
                           copy.error().description);
}

Status FileWriteQueue::write(const Save& save)
{
    if (const Status kept = keepOwedCopy(save.path); !kept)
        return kept;
    const QByteArray bytes = save.encode ? save.encode() : QByteArray();
    // The app never writes a file that its own reader would refuse at the next start.
    if (bytes.size() > save.maxBytes)
        return Status::failure(QStringLiteral("内容超过 %1 MB 的上限，没有写入")
                                   .arg(static_cast<double>(save.maxBytes) / (1024 * 1024), 0, 'g', 3));
    return FileIO::writeAtomically(save.path, bytes);
}

void FileWriteQueue::runWaiting(const QString& path)
{
    Waiting waiting;
    {
        std::lock_guard lock(m_mutex);
        waiting = m_waiting.take(path);
    }
    const Status status = write(waiting.save);
    if (waiting.done)
        post(waiting.context, [done = std::move(waiting.done), status] { done(status); });
}
