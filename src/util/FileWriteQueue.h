#pragma once

#include "util/AppError.h"
#include "util/SerialQueue.h"
#include "util/Status.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <functional>
#include <limits>
#include <mutex>

// Saves data files on a thread of its own. A save ends with a flush to disk, which a busy disk stretches to
// tens of milliseconds, and the main thread must not wait for it. Saves of one file land in the order they
// were asked for; one still waiting when a newer save of the same file comes is dropped for the newer, which
// holds everything it had.
class FileWriteQueue final {
public:
    struct Save {
        QString path;
        // Makes the file's bytes, on the writer's thread: give it copies, not references to what the caller
        // goes on changing.
        std::function<QByteArray()> encode;
        // The largest file the file's reader takes: larger bytes are refused, never written.
        qint64 maxBytes = std::numeric_limits<qint64>::max();
    };
    using Done = std::function<void(const Status&)>;
    // The path of the copy made, empty when there was nothing to keep; or why no copy could be made.
    using Kept = std::function<void(const Result<QString>&)>;

    explicit FileWriteQueue(const QString& label);
    ~FileWriteQueue(); // finishes every save asked for
    FileWriteQueue(const FileWriteQueue&) = delete;
    FileWriteQueue& operator=(const FileWriteQueue&) = delete;

    // done runs on context's thread, from its event loop, after the save; not at all if context is gone by
    // then or the save was dropped for a newer one.
    void save(Save save, QObject* context, Done done);
    // Saves after every save asked for before, and waits for it: for shutdown, when no event loop is left to
    // report to.
    Status saveAndWait(Save save);
    // Copies the file aside (FileIO::keepAside) before anything is written over it. Until a copy exists
    // every save of the file tries again first, and fails without writing when it cannot. kept runs on
    // context's thread once the copy is made, or when the first try fails.
    void keepAside(const QString& path, QObject* context, Kept kept);
    // Returns once every save asked for so far has ended.
    void waitForSaves();

private:
    struct Waiting {
        Save save;
        QObject* context = nullptr;
        Done done;
    };
    struct Keeping {
        QObject* context = nullptr;
        Kept kept;
        bool reported = false;
    };
    void runWaiting(const QString& path);
    Status write(const Save& save);
    // Makes the copy asked for by keepAside(), if one is still owed.
    Status keepOwedCopy(const QString& path);

    std::mutex m_mutex;
    QHash<QString, Waiting> m_waiting;    // guarded by m_mutex
    QHash<QString, Keeping> m_owedCopies; // guarded by m_mutex
    // Last member: its thread ends, with the saves it still holds, before anything above goes.
    SerialQueue m_queue;
};
