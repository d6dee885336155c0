#include "util/FileIO.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace FileIO {

namespace {

constexpr qint64 kChunkBytes = 1 << 20;

QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

// "磁盘空间已满（No space left on device）": what went wrong in the user's words, the system's in brackets.
QString describeErrno(int error)
{
    QString what;
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        what = QStringLiteral("磁盘空间已满");
        break;
    case EACCES:
    case EPERM:
        what = QStringLiteral("没有读写权限");
        break;
    case EROFS:
        what = QStringLiteral("所在的磁盘是只读的");
        break;
    case EISDIR:
        what = QStringLiteral("该位置是一个文件夹");
        break;
    case ENOENT:
    case ENOTDIR:
        what = QStringLiteral("所在的文件夹不存在");
        break;
    case EIO:
        what = QStringLiteral("磁盘读写出错");
        break;
    default:
        what = QStringLiteral("系统拒绝了操作");
        break;
    }
    return what + QStringLiteral("（%1）").arg(QString::fromLocal8Bit(std::strerror(error)));
}

QString describeNode(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("该位置是一个文件夹，不是文件");
    if (S_ISFIFO(mode))
        return QStringLiteral("该位置是一个命名管道，不是普通文件，未读取");
    return QStringLiteral("该位置不是普通文件（设备或套接字），未读取");
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

// Non-blocking, so even a pipe put in place after a check cannot hold the caller in open().
int openForReading(const QString& path)
{
    return ::open(encoded(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

bool writeAllTo(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(std::min<qint64>(size, kChunkBytes)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

// A private temporary beside `path`, named after it and hidden.
std::pair<int, QByteArray> createTemporaryBeside(const QString& path)
{
    const QFileInfo info(path);
    QByteArray pattern =
        encoded(info.dir().filePath(QLatin1Char('.') + info.fileName() + QStringLiteral(".XXXXXX")));
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC); // mode 0600
    return {fd, pattern};
}

// Flushes the folder holding `path`, so a rename in it outlives a power cut, and a copy made aside is on disk
// before the original is written over. 0 or the errno; a filesystem that cannot flush a folder (some FUSE
// ones) has nothing more to give and counts as done.
int syncFolderOf(const QByteArray& path)
{
    const QByteArray folder = encoded(QFileInfo(QFile::decodeName(path)).absolutePath());
    Fd dir(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return errno;
    if (::fsync(dir.get()) != 0 && errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    return 0;
}

// Puts `from` at `to` unless `to` is taken (then EEXIST); 0 or the errno. Where the filesystem refuses the
// no-replace flag (NFS, eCryptfs, FUSE mounts answer EINVAL), a file of our own is hard-linked to the new
// name, which fails on a taken name just the same, and anything else is renamed once the name is seen free.
int placeWithoutReplacing(const QByteArray& from, const QByteArray& to, bool ourTemporary)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    if (ourTemporary) {
        if (::link(from.constData(), to.constData()) == 0) {
            ::unlink(from.constData());
            return 0;
        }
        // Without hard links (some FUSE and network filesystems) the check below is all there is.
        if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS && errno != EMLINK)
            return errno;
    }
    struct stat taken {};
    if (::lstat(to.constData(), &taken) == 0)
        return EEXIST;
    if (errno != ENOENT)
        return errno;
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

// "20261210-033000Z" with an optional "-<n>" for the n-th copy in one second; an older version named its
// copies by the local time, without the "Z". Those are older than every UTC one.
struct CopyOrder {
    bool utc = false;
    QString stamp;
    int sequence = 1;
    bool operator<(const CopyOrder& other) const
    {
        return std::tie(utc, stamp, sequence) < std::tie(other.utc, other.stamp, other.sequence);
    }
};

CopyOrder copyOrder(const QString& fileName, const QString& prefix)
{
    static const QString suffix = QStringLiteral(".bak.json");
    const QString name = fileName.mid(prefix.size()).chopped(suffix.size());
    const qsizetype dash = name.indexOf(u'-', 9);
    QString stamp = name.left(dash < 0 ? name.size() : dash);
    const bool utc = stamp.endsWith(u'Z');
    if (utc)
        stamp.chop(1);
    return {utc, stamp, dash < 0 ? 1 : name.mid(dash + 1).toInt()};
}

// The copy at `justMade` always stays, wherever its name sorts (ten copies named by a clock set ahead).
void pruneOldCopies(const QString& path, const QString& justMade)
{
    QStringList copies = keptCopies(path);
    copies.removeAll(justMade);
    for (qsizetype i = 0; i < copies.size() - (kKeptCopies - 1); ++i)
        removeTree(copies[i]);
}

} // namespace

ReadResult readFile(const QString& path, qint64 maxBytes)
{
    ReadResult result;
    struct stat st {};
    if (::stat(encoded(path).constData(), &st) != 0) {
        const int error = errno;
        struct stat link {};
        if (error == ENOENT && ::lstat(encoded(path).constData(), &link) != 0)
            return result; // missing
        if (error == ENOENT)
            return {ReadResult::Kind::unreadable, {}, QStringLiteral("该位置是一个链接，指向的文件不存在")};
        return {ReadResult::Kind::unreadable, {}, describeErrno(error)};
    }
    if (!S_ISREG(st.st_mode))
        return {ReadResult::Kind::unreadable, {}, describeNode(st.st_mode)};
    Fd fd(openForReading(path));
    if (fd.get() < 0)
        return {ReadResult::Kind::unreadable, {}, describeErrno(errno)};
    // What was opened is checked again: the path may have changed since the first look.
    if (::fstat(fd.get(), &st) != 0)
        return {ReadResult::Kind::unreadable, {}, describeErrno(errno)};
    if (!S_ISREG(st.st_mode))
        return {ReadResult::Kind::unreadable, {}, describeNode(st.st_mode)};
    const QString tooLarge =
        QStringLiteral("文件大于 %1 MB 的上限").arg(static_cast<double>(maxBytes) / (1024 * 1024), 0, 'g', 3);
    if (st.st_size > maxBytes)
        return {ReadResult::Kind::unreadable, {}, tooLarge};
    // Read in pieces: one read of the limit would allocate a buffer of the limit, whatever the file's size.
    QByteArray data;
    data.reserve(std::min<qint64>(st.st_size, maxBytes) + 1);
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {ReadResult::Kind::unreadable, {}, describeErrno(errno)};
        if (n == 0)
            break;
        data.append(buffer, n);
        if (data.size() > maxBytes)
            return {ReadResult::Kind::unreadable, {}, tooLarge};
    }
    result.kind = ReadResult::Kind::read;
    result.bytes = std::move(data);
    return result;
}

std::optional<QByteArray> readAll(const QString& path, qint64 maxBytes)
{
    ReadResult read = readFile(path, maxBytes);
    if (read.kind != ReadResult::Kind::read)
        return std::nullopt;
    return std::move(read.bytes);
}

Status writeAtomically(const QString& path, const QByteArray& data)
{
    auto [fd, temporary] = createTemporaryBeside(path);
    if (fd < 0)
        return Status::failure(describeErrno(errno));
    Fd file(fd);
    // A flush that fails (a full disk) must not be followed by the rename, which would put a short file in
    // place of a whole one.
    if (!writeAllTo(file.get(), data.constData(), data.size()) || ::fsync(file.get()) != 0 ||
        ::close(file.release()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return Status::failure(describeErrno(error));
    }
    // rename() replaces a link at the path itself; it never writes into the link's target.
    if (::rename(temporary.constData(), encoded(path).constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return Status::failure(describeErrno(error));
    }
    // Until the folder is flushed, a power cut can bring back the old file after a save reported done.
    if (const int error = syncFolderOf(encoded(path)); error != 0)
        return Status::failure(describeErrno(error));
    return Status::success();
}

QString keptCopyPath(const QString& path, const QString& stamp)
{
    const QFileInfo info(path);
    return info.dir().filePath(info.completeBaseName() + QStringLiteral(".corrupt.") + stamp +
                               QStringLiteral(".bak.json"));
}

QStringList keptCopies(const QString& path)
{
    const QFileInfo info(path);
    const QString prefix = info.completeBaseName() + QStringLiteral(".corrupt.");
    QFileInfoList copies = info.dir().entryInfoList({prefix + QStringLiteral("*.bak.json")},
                                                    QDir::AllEntries | QDir::Hidden | QDir::System);
    copies.removeIf([&](const QFileInfo& copy) {
        return copy.fileName() == prefix + QStringLiteral("bak.json"); // an older version's single copy stays
    });
    // By the time in the name, then by the number added to a later copy made within the same second.
    std::stable_sort(copies.begin(), copies.end(), [&](const QFileInfo& a, const QFileInfo& b) {
        return copyOrder(a.fileName(), prefix) < copyOrder(b.fileName(), prefix);
    });
    QStringList paths;
    for (const QFileInfo& copy : copies)
        paths.append(copy.filePath());
    return paths;
}

static QString nextCopyPath(const QString& path, const QString& stamp, int sequence)
{
    return keptCopyPath(path, sequence == 1 ? stamp : stamp + QStringLiteral("-%1").arg(sequence));
}

Result<QString> keepAside(const QString& path)
{
    auto failure = [](const QString& reason) { return AppError{QStringLiteral("FileIO"), 0, reason}; };
    const QByteArray original = encoded(path);
    struct stat st {};
    if (::lstat(original.constData(), &st) != 0)
        return errno == ENOENT ? Result<QString>(QString()) : failure(describeErrno(errno));

    // The content of a regular file, or of the regular file a link points to, is copied; anything else is
    // moved aside as it is, never opened (a link's target is looked at first, as readFile does).
    struct stat target = st;
    if (S_ISLNK(st.st_mode) && ::stat(original.constData(), &target) != 0)
        target.st_mode = 0;
    Fd in(S_ISREG(target.st_mode) ? openForReading(path) : -1);
    struct stat opened {};
    const bool copyContent = in.get() >= 0 && ::fstat(in.get(), &opened) == 0 && S_ISREG(opened.st_mode);
    QByteArray temporary;
    if (copyContent) {
        auto [fd, name] = createTemporaryBeside(path);
        if (fd < 0)
            return failure(describeErrno(errno));
        Fd out(fd);
        temporary = name;
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0)
                break;
            if (n < 0 || !writeAllTo(out.get(), buffer, n)) {
                const int error = errno;
                ::unlink(temporary.constData());
                return failure(describeErrno(error));
            }
        }
        if (::fsync(out.get()) != 0 || ::close(out.release()) != 0) {
            const int error = errno;
            ::unlink(temporary.constData());
            return failure(describeErrno(error));
        }
    }

    // UTC, so a later copy sorts later whatever the time zone or summer time does; a later copy within the
    // same second numbers on from the last one there, never into a name an earlier one freed.
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss")) + QLatin1Char('Z');
    int sequence = 1;
    const QString sameSecond = QFileInfo(keptCopyPath(path, stamp)).fileName().chopped(9); // ".bak.json"
    const QString prefix = QFileInfo(path).completeBaseName() + QStringLiteral(".corrupt.");
    for (const QString& copy : keptCopies(path)) {
        const QString name = QFileInfo(copy).fileName();
        if (name.startsWith(sameSecond))
            sequence = std::max(sequence, copyOrder(name, prefix).sequence + 1);
    }
    const QByteArray from = copyContent ? temporary : original;
    int error = EEXIST;
    for (int attempt = 0; attempt < 1000 && error == EEXIST; ++attempt, ++sequence) {
        const QString copy = nextCopyPath(path, stamp, sequence);
        error = placeWithoutReplacing(from, encoded(copy), copyContent);
        if (error == 0) {
            // The copy must be on disk before anything is written over the original.
            if (const int unsynced = syncFolderOf(original); unsynced != 0)
                return failure(describeErrno(unsynced));
            pruneOldCopies(path, copy);
            return copy;
        }
    }
    if (copyContent)
        ::unlink(temporary.constData());
    return failure(describeErrno(error));
}

bool removeTree(const QString& path)
{
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(encoded(path).toStdString()), error);
    return !error;
}

} // namespace FileIO
