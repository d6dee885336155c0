#include "FolderSyncProbe.h"

#include <QDir>
#include <QFile>
#include <dlfcn.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex g_mutex;
bool g_watching = false;
QList<FolderSyncProbe::Sync> g_syncs;

void noteSync(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    std::lock_guard lock(g_mutex);
    if (!g_watching)
        return;
    const QString folder = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd));
    g_syncs.append({folder, QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)});
}

} // namespace

// Takes the place of the C library's fsync in this test program, and hands every call on to it.
extern "C" int fsync(int fd)
{
    using Fsync = int (*)(int);
    static const auto real = reinterpret_cast<Fsync>(::dlsym(RTLD_NEXT, "fsync"));
    noteSync(fd);
    return real(fd);
}

namespace FolderSyncProbe {

void start()
{
    std::lock_guard lock(g_mutex);
    g_syncs.clear();
    g_watching = true;
}

QList<Sync> stop()
{
    std::lock_guard lock(g_mutex);
    g_watching = false;
    return std::exchange(g_syncs, {});
}

} // namespace FolderSyncProbe
