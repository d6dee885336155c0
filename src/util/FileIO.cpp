#include "util/FileIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <filesystem>

namespace FileIO {

namespace {

// QSaveFile::commit() renames over the original even when flushing its buffer failed (a full disk), which
// would put a short or empty file in place of a whole one; the buffer is flushed and checked first.
bool flushed(QSaveFile& file)
{
    return file.flush() && file.error() == QFileDevice::NoError;
}

} // namespace

Status writeAtomically(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Status::failure(file.errorString());
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(data) != data.size() || !flushed(file)) {
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
    // Read in pieces: a single read of the limit allocates a buffer of the limit, whatever the file's size.
    constexpr qint64 kPieceBytes = 64 * 1024;
    QByteArray data;
    data.reserve(std::min(file.size(), maxBytes) + 1);
    while (data.size() <= maxBytes) {
        const QByteArray piece = file.read(std::min(kPieceBytes, maxBytes + 1 - data.size()));
        if (piece.isEmpty())
            break;
        data += piece;
    }
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
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return Status::success();
    // Streamed through a temporary, so a file too large to load is still kept whole.
    constexpr qint64 kChunkBytes = 1 << 20;
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return Status::failure(in.errorString());
    QSaveFile out(corruptBackupPath(path));
    if (!out.open(QIODevice::WriteOnly))
        return Status::failure(out.errorString());
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    for (;;) {
        const QByteArray chunk = in.read(kChunkBytes);
        if (in.error() != QFileDevice::NoError) {
            out.cancelWriting();
            return Status::failure(in.errorString());
        }
        if (chunk.isEmpty())
            break;
        if (out.write(chunk) != chunk.size()) {
            const QString error = out.errorString();
            out.cancelWriting();
            return Status::failure(error);
        }
    }
    if (!flushed(out)) {
        const QString error = out.errorString();
        out.cancelWriting();
        return Status::failure(error);
    }
    if (!out.commit())
        return Status::failure(out.errorString());
    return Status::success();
}

bool removeTree(const QString& path)
{
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(QFile::encodeName(path).toStdString()), error);
    return !error;
}

} // namespace FileIO
