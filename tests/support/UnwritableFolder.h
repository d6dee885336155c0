#pragma once

#include <QFile>
#include <QString>
#include <sys/fsuid.h>
#include <unistd.h>

// Makes a folder read-only for the calling thread while it lives, so a save into it fails as it would on a
// read-only disk. Root ignores file modes; for root the thread also takes another user's file rights
// (setfsuid, kept per thread by Linux) until the end of the scope.
class UnwritableFolder {
public:
    explicit UnwritableFolder(QString path) : m_path(std::move(path))
    {
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                          QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        if (geteuid() == 0) {
            setfsuid(kNobody);
            // setfsuid reports the previous id whatever happened; asking again tells whether it took.
            m_droppedRoot = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == kNobody;
        }
    }
    ~UnwritableFolder()
    {
        if (m_droppedRoot)
            setfsuid(0);
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;

    // False when the folder could not be made read-only for this thread (root without the right to change
    // its file rights): a test then has nothing to check.
    bool holds() const { return geteuid() != 0 || m_droppedRoot; }

private:
    static constexpr uid_t kNobody = 65534;
    QString m_path;
    bool m_droppedRoot = false;
};
