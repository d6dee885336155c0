#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cerrno>
#include <cstring>
#include <sys/mount.h>

// A small tmpfs mounted over a test's folder, so a save can meet a full disk or a read-only folder for real.
// Mounting needs CAP_SYS_ADMIN (CI runs as root); without it mounted() is false and skipReason() says why.
class SmallFileSystem {
public:
    SmallFileSystem(const QString& folder, qint64 bytes) : m_folder(QFile::encodeName(folder))
    {
        const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0700";
        if (::mount("tmpfs", m_folder.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) == 0)
            m_mounted = true;
        else
            m_reason =
                QStringLiteral("cannot mount a small file system over the test's folder (%1); the full-"
                               "disk and read-only cases need CAP_SYS_ADMIN, as in CI")
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(m_folder.constData(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    const QString& skipReason() const { return m_reason; }

    // Takes every free byte with a filler file; true once a write has been refused for want of space.
    bool fill()
    {
        QFile filler(QFile::decodeName(m_folder) + QStringLiteral("/.filler"));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            return false;
        const QByteArray page(4096, 'f');
        while (filler.write(page) == page.size()) {
        }
        while (filler.write("f", 1) == 1) {
        }
        return filler.error() != QFileDevice::NoError;
    }
    void release() { QFile::remove(QFile::decodeName(m_folder) + QStringLiteral("/.filler")); }

    bool setReadOnly(bool readOnly)
    {
        const unsigned long flags =
            MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? static_cast<unsigned long>(MS_RDONLY) : 0UL);
        return ::mount(nullptr, m_folder.constData(), nullptr, flags, nullptr) == 0;
    }

private:
    QByteArray m_folder;
    bool m_mounted = false;
    QString m_reason;
};
