#include "util/FileIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace FileIO {

Status writeAtomically(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Status::failure(file.errorString());
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(data) != data.size()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return Status::failure(error);
    }
    if (!file.commit())
        return Status::failure(file.errorString());
    return Status::success();
}

std::optional<QByteArray> readAll(const QString& path, qint64 maxBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    if (file.size() > maxBytes)
        return std::nullopt;
    QByteArray data = file.read(maxBytes + 1);
    if (data.size() > maxBytes || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return data;
}

QString corruptBackupPath(const QString& path)
{
    const QFileInfo info(path);
    return info.dir().filePath(info.completeBaseName() + QStringLiteral(".corrupt.bak.json"));
}

Status preserveCorruptCopy(const QString& path)
{
    if (!QFileInfo::exists(path))
        return Status::success();
    QFile original(path);
    if (!original.open(QIODevice::ReadOnly))
        return Status::failure(original.errorString());
    const QByteArray bytes = original.readAll();
    if (original.error() != QFileDevice::NoError)
        return Status::failure(original.errorString());
    return writeAtomically(corruptBackupPath(path), bytes);
}

} // namespace FileIO
