#include "util/DataFolder.h"

#include <QDir>
#include <QFile>
#include <mutex>

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
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
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
