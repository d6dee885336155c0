#pragma once

#include "util/SerialQueue.h"
#include "util/Status.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <functional>
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
    };
    using Done = std::function<void(const Status&)>;

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
    // Returns once every save asked for so far has ended.
    void waitForSaves();

private:
    struct Waiting {
        Save save;
        QObject* context = nullptr;
        Done done;
    };
    void runWaiting(const QString& path);

    std::mutex m_mutex;
    QHash<QString, Waiting> m_waiting; // guarded by m_mutex
    // Last member: its thread ends, with the saves it still holds, before anything above goes.
    SerialQueue m_queue;
};
