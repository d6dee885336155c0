#include "util/DataFolder.h"

#include <QDir>
#include <QFile>
#include <mutex>
#include <sys/stat.h>

namespace {
std::mutex overrideMutex;
QString overrideFolder;

QString defaultFolder()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/Quorbell");
}
} // namespace

namespace DataFolder {

QString location()
{
    QString folder;
    {
        std::lock_guard lock(overrideMutex);
        folder = overrideFolder;
    }
    return folder.isEmpty() ? defaultFolder() : folder;
}

QString path()
{
    const QString folder = location();
    if (!QDir().mkpath(folder))
        return {};
    // Private to the user: rights of the group and others are taken away, and none is added, so a folder the
    // user made read-only stays that way.
    const QByteArray name = QFile::encodeName(folder);
    struct stat st {};
    if (::stat(name.constData(), &st) == 0 && (st.st_mode & 077) != 0)
        ::chmod(name.constData(), st.st_mode & 07700);
    return folder;
}

QString filePath(const QString& name)
{
    const QString folder = path();
    return folder.isEmpty() ? QString() : QDir(folder).filePath(name);
}

void setOverride(const QString& folder)
{
    std::lock_guard lock(overrideMutex);
    overrideFolder = folder;
}

} // namespace DataFolder
