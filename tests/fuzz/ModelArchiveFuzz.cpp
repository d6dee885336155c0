// The downloaded model archive, unpacked as the downloader does it. Whatever its entries claim, nothing
// lands outside the staging folder, nothing but plain files and folders is made, and a failed unpack leaves
// the models folder as it was.
#include "fuzz/FuzzTarget.h"

#include "audio/OfflineModelDownloader.h"
#include "util/FileIO.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <fcntl.h>
#include <unistd.h>

namespace {

QStringList everythingUnder(const QString& folder)
{
    QStringList paths;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(it.next());
    return paths;
}

} // namespace

QB_FUZZ_TARGET(model_archive)
{
    const QString scratch = fuzzScratchFolder() + QStringLiteral("/archive");
    QDir(scratch).removeRecursively();
    const QString models = scratch + QStringLiteral("/Models");
    FUZZ_CHECK(QDir().mkpath(models));
    const QString archivePath = scratch + QStringLiteral("/download.tar.bz2");
    FUZZ_CHECK(FileIO::writeAtomically(archivePath, input));

    const int fd = ::open(QFile::encodeName(archivePath).constData(), O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    const std::atomic<bool> cancelled = false;
    const OfflineModelDownloader::UnpackResult result =
        OfflineModelDownloader::unpack(fd, models, 1 << 20, cancelled);
    ::close(fd);

    // The scratch folder holds the archive and the models folder, and the models folder at most the
    // staging folder of a successful unpack.
    for (const QString& path : everythingUnder(scratch)) {
        const QFileInfo info(path);
        FUZZ_CHECK(!info.isSymLink());
        FUZZ_CHECK(info.isFile() || info.isDir());
        if (path == archivePath || path == models)
            continue;
        FUZZ_CHECK(result.ok);
        FUZZ_CHECK(path.startsWith(result.stagingFolder + QLatin1Char('/')) || path == result.stagingFolder);
    }
    if (result.ok)
        FUZZ_CHECK(result.stagingFolder.startsWith(models + QLatin1Char('/')));
    else
        FUZZ_CHECK(!result.message.isEmpty());
}
