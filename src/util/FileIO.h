#pragma once

#include "util/AppError.h"
#include "util/Status.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// Reading and writing the app's data files. Every reason these functions give is a user-readable text in
// Chinese, with the system's own reason in brackets.
namespace FileIO {

// A data file as found on disk.
struct [[nodiscard]] ReadResult {
    enum class Kind { missing, read, unreadable };
    Kind kind = Kind::missing;
    QByteArray bytes;
    QString reason; // why an unreadable file could not be read

    bool unreadable() const { return kind == Kind::unreadable; }
};

// Reads a whole file of at most maxBytes. Only a regular file (or a link to one) is read: a named pipe, a
// device or a folder is unreadable without ever being opened in a way that could wait.
ReadResult readFile(const QString& path, qint64 maxBytes);
// The bytes of readFile(), or nothing when the file is missing or unreadable.
std::optional<QByteArray> readAll(const QString& path, qint64 maxBytes = 64 * 1024 * 1024);

// Writes the whole file to a temporary in the same folder and renames it over the original, so a reader
// sees the old file or the new one, never half of one; the folder is flushed after the rename. A link in
// place of the file is replaced, never written through. The file gets mode 0600.
Status writeAtomically(const QString& path, const QByteArray& data);

// The copy of a damaged "<dir>/<name>.json" made at `stamp` (yyyyMMdd-HHmmssZ in UTC, then "-2", "-3"... for
// later copies in the same second): "<dir>/<name>.corrupt.<stamp>.bak.json".
QString keptCopyPath(const QString& path, const QString& stamp);
// How many copies of one file are kept; the oldest beyond this go, never the one just made.
inline constexpr int kKeptCopies = 10;
// The copies of a file kept aside, oldest first.
QStringList keptCopies(const QString& path);

// Keeps a data file that was not taken in whole before anything is written over it: its content is copied
// to a new keptCopyPath() beside it (an earlier copy is never overwritten); a node that is not a regular file
// (a pipe, a folder) is moved there instead, unread. The value is the copy's path, empty when there was
// nothing to keep. The caller must not overwrite the original unless this succeeded.
Result<QString> keepAside(const QString& path);

// Removes a folder and everything in it, whatever bytes the names inside hold: QDir works on decoded names
// and leaves an entry whose name is not valid in the locale's encoding behind. False when anything is left.
bool removeTree(const QString& path);

} // namespace FileIO
