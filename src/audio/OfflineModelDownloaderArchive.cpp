// Unpacking and installing the downloaded model archive.

#include "audio/OfflineModelDownloader.h"

#include "audio/SenseVoiceModel.h"
#include "util/FileIO.h"

#include <QDir>
#include <QFileInfo>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

// The release archive holds a handful of files; anything far beyond that is not the model.
constexpr int kMaxEntries = 10000;
constexpr int kMaxPathBytes = 1024;
constexpr size_t kReadBlockBytes = 64 * 1024;

const QString kUnpackFailedPrefix = QStringLiteral("❌ 解压失败：");
const QString kCannotReadArchive = QStringLiteral("无法读取下载的压缩包");
const QString kDamagedArchive = QStringLiteral("压缩包已损坏");
const QString kCannotWriteModel = QStringLiteral("无法写入模型文件");
const QString kCannotInstall = QStringLiteral("无法把模型放入模型目录");
// The archive unpacked, but without the model's files in their folder. The exit status of the archive tool
// that used to unpack it was 0 in this case, and the message keeps that wording.
const QString kModelMissingMessage = QStringLiteral("❌ 解压离线模型未成功（退出码 0）");

struct ArchiveReader {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct ArchiveWriter {
    void operator()(archive* a) const { archive_write_free(a); }
};

// What failed in our words, with the library's reason after it in brackets.
QString withReason(const QString& what, const QString& reason)
{
    return reason.isEmpty() ? what : what + QStringLiteral("（") + reason + QStringLiteral("）");
}

QString archiveError(archive* a, const QString& what)
{
    const char* text = archive_error_string(a);
    return withReason(what, text ? QString::fromUtf8(text) : QString());
}

QString systemError(const QString& what)
{
    return withReason(what, QString::fromLocal8Bit(std::strerror(errno)));
}

// The entry's name inside the staging folder, or empty when the entry may not be unpacked: absolute paths,
// ".." anywhere, and anything but plain files and folders (links could point the next entry outside).
QByteArray safeRelativePath(archive_entry* entry, QString& refusal)
{
    const char* raw = archive_entry_pathname(entry);
    const QByteArray name = raw ? QByteArray(raw) : QByteArray();
    const mode_t type = archive_entry_filetype(entry);
    if (archive_entry_hardlink(entry) || (type != AE_IFREG && type != AE_IFDIR)) {
        refusal = QStringLiteral("压缩包含有链接或特殊文件：%1").arg(QString::fromUtf8(name));
        return {};
    }
    if (name.isEmpty() || name.size() > kMaxPathBytes || name.startsWith('/') || name.contains('\0')) {
        refusal = QStringLiteral("压缩包含有不安全的路径：%1").arg(QString::fromUtf8(name));
        return {};
    }
    QByteArrayList kept;
    for (const QByteArray& part : name.split('/')) {
        if (part == "..") {
            refusal = QStringLiteral("压缩包含有不安全的路径：%1").arg(QString::fromUtf8(name));
            return {};
        }
        if (!part.isEmpty() && part != ".")
            kept.append(part);
    }
    return kept.join('/'); // empty for "./": nothing to create
}

} // namespace

OfflineModelDownloader::UnpackResult OfflineModelDownloader::unpack(int archiveFd,
                                                                    const QString& modelsFolder,
                                                                    qint64 maxUnpackedBytes,
                                                                    const std::atomic<bool>& cancelled)
{
    UnpackResult result;
    if (cancelled) {
        result.cancelled = true;
        return result;
    }
    // A private folder beside the installed model, on the same file system, so installing is one rename.
    QByteArray stagingTemplate = QDir(modelsFolder).filePath(QStringLiteral(".staging-XXXXXX")).toLocal8Bit();
    if (!mkdtemp(stagingTemplate.data())) {
        result.message = kUnpackFailedPrefix + systemError(QStringLiteral("无法创建解压目录"));
        return result;
    }
    result.stagingFolder = QString::fromLocal8Bit(stagingTemplate);
    // Entries are refused if their path runs through a symbolic link, so the staging path must have none.
    const QString canonical = QFileInfo(result.stagingFolder).canonicalFilePath();
    if (!canonical.isEmpty())
        result.stagingFolder = canonical;
    const QByteArray stagingRoot = result.stagingFolder.toLocal8Bit() + '/';

    auto fail = [&result](const QString& reason) {
        FileIO::removeTree(result.stagingFolder);
        result.stagingFolder.clear();
        result.message = kUnpackFailedPrefix + reason;
        return result;
    };
    auto stopCancelled = [&fail] {
        UnpackResult stopped = fail({});
        stopped.cancelled = true;
        return stopped;
    };

    std::unique_ptr<archive, ArchiveReader> reader(archive_read_new());
    std::unique_ptr<archive, ArchiveWriter> writer(archive_write_disk_new());
    if (!reader || !writer)
        return fail(QStringLiteral("内存不足"));
    archive_read_support_filter_bzip2(reader.get());
    archive_read_support_format_tar(reader.get());
    // Each entry's name is checked (safeRelativePath) and then placed under the staging folder, which makes
    // it absolute, so the no-absolute-paths rule is applied to the original names; libarchive still refuses
    // ".." and any path through a symbolic link. No ownership, permissions or times are taken from the
    // archive.
    archive_write_disk_set_options(writer.get(),
                                   ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    // The descriptor was the download's, left at its end.
    if (::lseek(archiveFd, 0, SEEK_SET) != 0)
        return fail(systemError(kCannotReadArchive));
    if (archive_read_open_fd(reader.get(), archiveFd, kReadBlockBytes) != ARCHIVE_OK)
        return fail(archiveError(reader.get(), kCannotReadArchive));

    qint64 written = 0;
    int entries = 0;
    for (;;) {
        if (cancelled)
            return stopCancelled();
        archive_entry* entry = nullptr;
        const int header = archive_read_next_header(reader.get(), &entry);
        if (header == ARCHIVE_EOF)
            break;
        if (header < ARCHIVE_WARN)
            return fail(archiveError(reader.get(), kDamagedArchive));
        if (++entries > kMaxEntries)
            return fail(QStringLiteral("压缩包文件过多"));
        QString refusal;
        const QByteArray relative = safeRelativePath(entry, refusal);
        if (!refusal.isEmpty())
            return fail(refusal);
        if (relative.isEmpty())
            continue;
        archive_entry_set_pathname(entry, (stagingRoot + relative).constData());
        if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN)
            return fail(archiveError(writer.get(), kCannotWriteModel));
        for (;;) {
            if (cancelled)
                return stopCancelled();
            const void* block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int read = archive_read_data_block(reader.get(), &block, &size, &offset);
            if (read == ARCHIVE_EOF)
                break;
            if (read < ARCHIVE_WARN)
                return fail(archiveError(reader.get(), kDamagedArchive));
            written += static_cast<qint64>(size);
            if (written > maxUnpackedBytes)
                return fail(QStringLiteral("解压后的文件过大"));
            if (archive_write_data_block(writer.get(), block, size, offset) < ARCHIVE_WARN)
                return fail(archiveError(writer.get(), kCannotWriteModel));
        }
        if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN)
            return fail(archiveError(writer.get(), kCannotWriteModel));
    }
    if (archive_write_close(writer.get()) < ARCHIVE_WARN)
        return fail(archiveError(writer.get(), kCannotWriteModel));

    const QDir model(QDir(result.stagingFolder).filePath(SenseVoiceFiles::fullPrecisionFolder()));
    if (!QFileInfo(model.filePath(SenseVoiceFiles::fullPrecisionModel())).isFile() ||
        !QFileInfo(model.filePath(SenseVoiceFiles::tokens())).isFile()) {
        FileIO::removeTree(result.stagingFolder);
        result.stagingFolder.clear();
        result.message = kModelMissingMessage;
        return result;
    }
    result.ok = true;
    return result;
}

// Puts the unpacked model folder in place. An installed model is swapped out in the same step, so the folder
// is never missing or half there; the old one ends up in the staging folder, which the caller removes.
QString OfflineModelDownloader::installModelFolder(const QString& stagingFolder)
{
    const QString folder = SenseVoiceFiles::fullPrecisionFolder();
    const QByteArray unpacked = QDir(stagingFolder).filePath(folder).toLocal8Bit();
    const QByteArray installed = QDir(modelsFolder()).filePath(folder).toLocal8Bit();
    if (std::rename(unpacked.constData(), installed.constData()) == 0)
        return {};
    if (errno != EEXIST && errno != ENOTEMPTY)
        return systemError(kCannotInstall);
    if (renameat2(AT_FDCWD, unpacked.constData(), AT_FDCWD, installed.constData(), RENAME_EXCHANGE) == 0)
        return {};
    // File systems without the exchange: move the old folder aside first, and back if the new one won't go.
    const QByteArray previous = QDir(stagingFolder).filePath(QStringLiteral("previous")).toLocal8Bit();
    if (std::rename(installed.constData(), previous.constData()) != 0)
        return systemError(kCannotInstall);
    if (std::rename(unpacked.constData(), installed.constData()) != 0) {
        const QString reason = systemError(kCannotInstall);
        std::rename(previous.constData(), installed.constData());
        return reason;
    }
    return {};
}
