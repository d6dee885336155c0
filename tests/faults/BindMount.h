#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <sys/mount.h>

// A FUSE bind mount (bindfs) over a test's folder: a real filesystem that refuses the no-replace rename
// with EINVAL, as NFS, eCryptfs and sshfs homes do. Without bindfs or FUSE (no /dev/fuse, no right to
// mount) mounted() is false and skipReason() says why.
class BindMount {
public:
    explicit BindMount(const QString& folder) : m_folder(folder)
    {
        const QString bindfs = QStandardPaths::findExecutable(QStringLiteral("bindfs"));
        if (bindfs.isEmpty()) {
            m_reason = QStringLiteral("bindfs is not installed (scripts/setup installs it)");
            return;
        }
        if (!QFile::exists(QStringLiteral("/dev/fuse"))) {
            m_reason = QStringLiteral("no /dev/fuse: FUSE filesystems cannot be mounted here");
            return;
        }
        QProcess mount;
        mount.start(bindfs, {m_backing.path(), folder});
        mount.waitForFinished(30'000);
        if (mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0) {
            m_reason = QStringLiteral("bindfs could not mount over the test's folder (%1)")
                           .arg(QString::fromLocal8Bit(mount.readAllStandardError()).trimmed());
            return;
        }
        m_mounted = true;
    }
    ~BindMount()
    {
        // A user's own FUSE mount comes off through fusermount; root's directly.
        if (m_mounted && ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH) != 0)
            QProcess::execute(QStringLiteral("fusermount3"),
                              {QStringLiteral("-u"), QStringLiteral("-z"), m_folder});
    }
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;

    bool mounted() const { return m_mounted; }
    const QString& skipReason() const { return m_reason; }

private:
    QString m_folder;
    QTemporaryDir m_backing;
    bool m_mounted = false;
    QString m_reason;
};
