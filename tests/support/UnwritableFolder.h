#pragma once

#include <QFile>
#include <QString>
#include <cstdlib>
#include <unistd.h>

// Makes a folder read-only while it lives, so a save into it fails as it would on a read-only disk. Root
// ignores file modes; for root the process also takes another user's rights until the end of the scope, on
// every thread (glibc's seteuid sets them all), as the app saves on a thread of its own.
class UnwritableFolder {
public:
    explicit UnwritableFolder(QString path) : m_path(std::move(path))
    {
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                          QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        if (geteuid() == 0)
            m_droppedRoot = seteuid(kNobody) == 0;
    }
    ~UnwritableFolder()
    {
        if (m_droppedRoot && seteuid(0) != 0)
            std::abort(); // the rest of the run would test nothing it means to
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;

    // False when the folder could not be made read-only (root without the right to change its user): a test
    // then has nothing to check.
    bool holds() const { return geteuid() != 0 || m_droppedRoot; }

private:
    static constexpr uid_t kNobody = 65534;
    QString m_path;
    bool m_droppedRoot = false;
};
