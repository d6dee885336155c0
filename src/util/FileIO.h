#pragma once

#include "util/Status.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace FileIO {

// Writes the whole file to a temporary beside it and renames it over the original, so a reader sees the old
// file or the new one, never half of one. The file gets mode 0600.
Status writeAtomically(const QString& path, const QByteArray& data);

// Reads a whole file of at most maxBytes; nothing when it is missing, unreadable or larger.
std::optional<QByteArray> readAll(const QString& path, qint64 maxBytes = 64 * 1024 * 1024);

// "<dir>/<name>.corrupt.bak.json" for "<dir>/<name>.json".
QString corruptBackupPath(const QString& path);

// Keeps an unreadable data file before it is overwritten: copies it to corruptBackupPath(path). A missing
// original needs no copy and succeeds. The caller must not overwrite the original unless this succeeded.
Status preserveCorruptCopy(const QString& path);

// Removes a folder and everything in it, whatever bytes the names inside hold: QDir works on decoded names
// and leaves an entry whose name is not valid in the locale's encoding behind. False when anything is left.
bool removeTree(const QString& path);

} // namespace FileIO
