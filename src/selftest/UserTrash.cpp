#include "selftest/UserTrash.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace {

constexpr QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
// Names tried before giving up when the trash already holds files of the same name.
constexpr int kMaxNameAttempts = 1000;

// Makes the folder and each missing parent, owner-only.
bool makeFolder(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return true;
    if (info.exists() || info.isSymLink())
        return false;
    const QString parent = info.absolutePath();
    return parent != path && makeFolder(parent) && QDir().mkdir(path, kOwnerOnly);
}

// "name.json", then "name.2.json", "name.3.json" …
QString candidateName(const QFileInfo& file, int attempt)
{
    if (attempt == 1)
        return file.fileName();
    const QString suffix = file.suffix();
    if (suffix.isEmpty())
        return file.fileName() + QLatin1Char('.') + QString::number(attempt);
    return file.completeBaseName() + QLatin1Char('.') + QString::number(attempt) + QLatin1Char('.') + suffix;
}

} // namespace

namespace UserTrash {

QString homeTrashPath()
{
    // A relative XDG_DATA_HOME is invalid and ignored, as the base-directory rules say.
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || QDir::isRelativePath(dataHome)) {
        const QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty() || QDir::isRelativePath(home))
            return {};
        dataHome = home + QStringLiteral("/.local/share");
    }
    return QDir::cleanPath(dataHome + QStringLiteral("/Trash"));
}

Status moveToTrash(const QString& path)
{
    const QFileInfo file(path);
    if (!file.exists())
        return Status::failure(QStringLiteral("%1 does not exist").arg(path));
    const QString trash = homeTrashPath();
    if (trash.isEmpty())
        return Status::failure(QStringLiteral("no home folder to keep a trash in"));
    const QString files = trash + QStringLiteral("/files");
    const QString info = trash + QStringLiteral("/info");
    if (!makeFolder(files) || !makeFolder(info))
        return Status::failure(QStringLiteral("the trash %1 cannot be made").arg(trash));

    const QByteArray trashInfo =
        "[Trash Info]\nPath=" + QUrl::toPercentEncoding(file.absoluteFilePath(), "/") + "\nDeletionDate=" +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toUtf8() + '\n';
    for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
        const QString name = candidateName(file, attempt);
        const QString target = files + QLatin1Char('/') + name;
        if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
            continue;
        // The info file is made first and exclusively: it claims the name against other trashing programs.
        QFile infoFile(info + QLatin1Char('/') + name + QStringLiteral(".trashinfo"));
        if (!infoFile.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (infoFile.exists())
                continue;
            return Status::failure(QStringLiteral("%1: %2").arg(infoFile.fileName(), infoFile.errorString()));
        }
        const bool written = infoFile.write(trashInfo) == trashInfo.size() && infoFile.flush();
        infoFile.close();
        // QFile::rename copies and removes when the trash is on another file system.
        if (written && QFile::rename(path, target))
            return Status::success();
        const QString reason = written ? QStringLiteral("%1 cannot be moved to %2").arg(path, target)
                                       : QStringLiteral("%1 cannot be written").arg(infoFile.fileName());
        infoFile.remove();
        return Status::failure(reason);
    }
    return Status::failure(
        QStringLiteral("the trash %1 holds too many files named %2").arg(trash, file.fileName()));
}

} // namespace UserTrash
