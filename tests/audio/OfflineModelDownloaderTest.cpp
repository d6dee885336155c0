#include "audio/OfflineModelDownloader.h"

#include "audio/SenseVoiceModel.h"
#include "support/QtPrinters.h"
#include "support/ScriptedHttpServer.h"
#include "support/TempDataFolder.h"
#include "support/VirtualScheduler.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtCore/qtestsupport_core.h>
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <vector>

using namespace std::chrono_literals;
using Reply = ScriptedHttpServer::Reply;

namespace {

const QByteArray kModelFolder = SenseVoiceFiles::fullPrecisionFolder().toUtf8();

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray fixtureBytes(const char* name)
{
    return readFile(QStringLiteral(QB_FIXTURES_DIR "/sensevoice/") + QLatin1String(name));
}

struct Entry {
    enum class Kind { file, folder, symlink, hardlink };
    QByteArray path;
    QByteArray data; // the link target for links
    Kind kind = Kind::file;
};

// A .tar.bz2 built the way a release archive is, with whatever entries a test needs.
QByteArray tarBz2(const std::vector<Entry>& entries)
{
    std::vector<char> buffer(8 << 20);
    size_t used = 0;
    archive* writer = archive_write_new();
    archive_write_add_filter_bzip2(writer);
    archive_write_set_format_pax_restricted(writer);
    archive_write_open_memory(writer, buffer.data(), buffer.size(), &used);
    for (const Entry& item : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.path.constData());
        using Kind = Entry::Kind;
        archive_entry_set_filetype(entry, item.kind == Kind::folder    ? AE_IFDIR
                                          : item.kind == Kind::symlink ? AE_IFLNK
                                                                       : AE_IFREG);
        archive_entry_set_perm(entry, item.kind == Kind::file ? 0644 : 0755);
        if (item.kind == Kind::file)
            archive_entry_set_size(entry, item.data.size());
        if (item.kind == Kind::symlink)
            archive_entry_set_symlink(entry, item.data.constData());
        if (item.kind == Kind::hardlink)
            archive_entry_set_hardlink(entry, item.data.constData());
        archive_write_header(writer, entry);
        if (item.kind == Entry::Kind::file)
            archive_write_data(writer, item.data.constData(), item.data.size());
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    return QByteArray(buffer.data(), static_cast<qsizetype>(used));
}

std::vector<Entry> modelEntries()
{
    return {
        {kModelFolder + '/', {}, Entry::Kind::folder},
        {kModelFolder + "/model.onnx", fixtureBytes("model.onnx")},
        {kModelFolder + "/tokens.txt", fixtureBytes("tokens.txt")},
        {kModelFolder + "/test_wavs/", {}, Entry::Kind::folder},
        {kModelFolder + "/test_wavs/zh.wav", QByteArray(3000, 'w')},
    };
}

Reply archiveReply(const QByteArray& body, int pieces = 1)
{
    Reply reply;
    reply.headers = {{"Content-Type", "application/octet-stream"}};
    const qsizetype size = (body.size() + pieces - 1) / pieces;
    for (qsizetype at = 0; at < body.size(); at += size)
        reply.pieces.append({body.mid(at, size), {}});
    return reply;
}

Reply status(int code)
{
    return Reply::json(code, "not here");
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(data);
}

class OfflineModelDownloaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen());
        models = data.filePath(QStringLiteral("Models"));
        installed = models + QLatin1Char('/') + SenseVoiceFiles::fullPrecisionFolder();
    }

    std::unique_ptr<OfflineModelDownloader> makeDownloader(qint64 maxArchiveBytes = 4LL << 30)
    {
        OfflineModelDownloader::Options o;
        o.sources = {QUrl(server.baseUrl().toString() + QStringLiteral("/release/model.tar.bz2")),
                     QUrl(server.baseUrl().toString() + QStringLiteral("/mirror/model.tar.bz2"))};
        o.modelsFolder = models;
        o.maxArchiveBytes = maxArchiveBytes;
        o.availableBytes = [this](const QString&) { return freeBytes; };
        auto downloader = std::make_unique<OfflineModelDownloader>(scheduler, o);
        downloader->onProgress = [this](double fraction, const QString& message) {
            reports.emplace_back(fraction, message);
        };
        downloader->onCompletion = [this](bool success, const QString& message) {
            completions.emplace_back(success, message);
        };
        return downloader;
    }

    bool waitForCompletion(size_t count = 1)
    {
        return QTest::qWaitFor([&] { return completions.size() >= count; }, 30000);
    }

    // A model installed before the download, to show it survives a failed one.
    void installOldModel()
    {
        ASSERT_TRUE(QDir().mkpath(installed));
        writeFile(installed + QStringLiteral("/model.onnx"), "old model");
        writeFile(installed + QStringLiteral("/tokens.txt"), "old tokens");
    }

    QByteArray installedFile(const char* name) const
    {
        return readFile(installed + u'/' + QLatin1String(name));
    }

    // Nothing but the installed model may remain in the Models folder: no part file, no staging folder.
    QStringList leftovers() const
    {
        QStringList names = QDir(models).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        names.removeAll(SenseVoiceFiles::fullPrecisionFolder());
        return names;
    }

    void expectNoLeftovers()
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return leftovers().isEmpty(); }, 30000))
            << leftovers().join(u' ').toStdString();
    }

    void expectFailure(size_t index, const QString& start)
    {
        ASSERT_GT(completions.size(), index);
        EXPECT_FALSE(completions[index].first);
        EXPECT_TRUE(completions[index].second.startsWith(start)) << completions[index].second.toStdString();
    }

    TempDataFolder data;
    VirtualScheduler scheduler;
    ScriptedHttpServer server{scheduler};
    QString models;
    QString installed;
    std::optional<qint64> freeBytes = 100LL << 30;
    std::vector<std::pair<double, QString>> reports;
    std::vector<std::pair<bool, QString>> completions;
};

const QString kCancelled = QStringLiteral("已取消离线模型下载");
const QString kUnpackFailed = QStringLiteral("❌ 解压失败：");

TEST_F(OfflineModelDownloaderTest, InstallsTheModelFolderAndReplacesTheOldOne)
{
    installOldModel();
    writeFile(installed + QStringLiteral("/stale.bin"), {});
    server.enqueue(archiveReply(tarBz2(modelEntries()), 4));
    auto downloader = makeDownloader();
    downloader->startDownload();
    downloader->startDownload(); // already running: ignored
    EXPECT_TRUE(downloader->isActive());

    ASSERT_TRUE(waitForCompletion());
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_TRUE(completions[0].first) << completions[0].second.toStdString();
    EXPECT_EQ(server.requests().size(), 1);
    EXPECT_FALSE(downloader->isActive());
    ASSERT_GE(reports.size(), 4u);
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_GE(reports[i].first, reports[i - 1].first) << "progress never goes back";
    EXPECT_DOUBLE_EQ(reports.back().first, 1.0);

    // The new folder replaced the old one whole: new files, nothing of the old left.
    EXPECT_EQ(installedFile("model.onnx"), fixtureBytes("model.onnx"));
    EXPECT_EQ(installedFile("tokens.txt"), fixtureBytes("tokens.txt"));
    EXPECT_FALSE(QFile::exists(installed + QStringLiteral("/stale.bin")));
    expectNoLeftovers();

    // And the recognizer takes it.
    SenseVoiceModel model;
    EXPECT_EQ(model.loadIfAvailable().outcome, SenseVoiceModel::LoadOutcome::loaded);
    EXPECT_TRUE(model.isFullPrecision());
}

TEST_F(OfflineModelDownloaderTest, FallsBackToTheMirrorAndReportsOnlyTheSecondFailure)
{
    // The mirror sends no size: progress is shown against the expected size, within its range.
    server.enqueue(status(404));
    Reply chunked = archiveReply(tarBz2(modelEntries()), 3);
    chunked.framing = Reply::Framing::chunked;
    server.enqueue(chunked);
    auto downloader = makeDownloader();
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion());
    ASSERT_EQ(completions.size(), 1u) << "the first source's failure is not reported";
    EXPECT_TRUE(completions[0].first) << completions[0].second.toStdString();
    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests()[1].path, "/mirror/model.tar.bz2");
    for (size_t i = 1; i + 2 < reports.size(); ++i) {
        EXPECT_GE(reports[i].first, 0.01);
        EXPECT_LE(reports[i].first, 0.95);
    }

    server.enqueue(status(404));
    server.enqueue(status(404));
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion(2));
    EXPECT_EQ(completions[1], std::make_pair(false, QStringLiteral("❌ 离线模型下载失败：HTTP 404")));

    // A dropped connection counts as a failure of that source too.
    // (The network layer may resend a request once on a reused connection, so the sources answer by path.)
    server.setHandler([](const ScriptedHttpServer::Request& request) {
        if (request.path.startsWith("/mirror/"))
            return status(500);
        Reply dropped;
        dropped.dropWithoutReply = true;
        return dropped;
    });
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion(3));
    EXPECT_EQ(completions[2], std::make_pair(false, QStringLiteral("❌ 离线模型下载失败：HTTP 500")));

    // The last source dropping the connection is told in our words, Qt's after them in brackets.
    server.setHandler([](const ScriptedHttpServer::Request&) {
        Reply dropped;
        dropped.dropWithoutReply = true;
        return dropped;
    });
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion(4));
    EXPECT_EQ(completions[3],
              std::make_pair(false, QStringLiteral("❌ 离线模型下载失败：服务器中途断开了连接（"
                                                   "Connection closed）")));
    expectNoLeftovers();
}

TEST_F(OfflineModelDownloaderTest, BrokenOrHostileArchivesInstallNothingAndHarmNothing)
{
    installOldModel();
    QTemporaryDir outside;
    const QByteArray outsideFile = outside.filePath(QStringLiteral("planted")).toUtf8();
    const QByteArray full = tarBz2(modelEntries());
    auto withModel = [](std::vector<Entry> extra) {
        std::vector<Entry> entries = modelEntries();
        entries.insert(entries.begin() + 1, extra.begin(), extra.end());
        return tarBz2(entries);
    };
    const QString unsafePath = kUnpackFailed + QStringLiteral("压缩包含有不安全的路径");
    const QString link = kUnpackFailed + QStringLiteral("压缩包含有链接或特殊文件");
    const struct {
        const char* name;
        QByteArray archive;
        QString expected; // the start of the report
    } cases[] = {
        // Our words first; libarchive's follow in brackets.
        {"truncated", full.left(full.size() / 2), kUnpackFailed + QStringLiteral("无法读取下载的压缩包（")},
        {"absolute path", withModel({{outsideFile, "planted"}}), unsafePath},
        {"dot-dot", withModel({{kModelFolder + "/../../planted", "planted"}}), unsafePath},
        {"symlink out",
         withModel({{kModelFolder + "/out", outside.path().toUtf8(), Entry::Kind::symlink},
                    {kModelFolder + "/out/planted", "planted"}}),
         link},
        {"hard link", withModel({{kModelFolder + "/passwd", "/etc/passwd", Entry::Kind::hardlink}}), link},
        {"no tokens", tarBz2({{kModelFolder + "/model.onnx", fixtureBytes("model.onnx")}}),
         QStringLiteral("❌ 解压离线模型未成功")},
        {"not an archive", QByteArray(4096, 'x'), kUnpackFailed + QStringLiteral("无法读取下载的压缩包（")},
    };
    auto downloader = makeDownloader();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        completions.clear();
        server.enqueue(archiveReply(c.archive));
        downloader->startDownload();
        ASSERT_TRUE(waitForCompletion());
        ASSERT_EQ(completions.size(), 1u);
        expectFailure(0, c.expected);
        EXPECT_EQ(installedFile("model.onnx"), "old model");
        EXPECT_EQ(installedFile("tokens.txt"), "old tokens");
        EXPECT_TRUE(QDir(outside.path()).isEmpty());
        EXPECT_FALSE(QFile::exists(data.filePath(QStringLiteral("planted"))));
        EXPECT_FALSE(QFile::exists(models + QStringLiteral("/planted")));
        expectNoLeftovers();
    }
}

// A cancel, while downloading or while unpacking, is reported once and installs nothing; the cancelled
// transfer or unpack stays silent afterwards. A cancel with nothing running is answered as well.
TEST_F(OfflineModelDownloaderTest, CancelReportsOnceAndKeepsTheModel)
{
    installOldModel();
    auto downloader = makeDownloader();
    downloader->cancelDownload(); // before any download
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(completions, (std::vector<std::pair<bool, QString>>{{false, kCancelled}}));
    completions.clear();

    Reply stalled = archiveReply(tarBz2(modelEntries()), 2);
    stalled.pieces.removeLast();
    stalled.stallAfterPieces = true;
    stalled.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("999999")));
    stalled.framing = Reply::Framing::closeDelimited;
    server.enqueue(stalled);
    downloader->startDownload();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !reports.empty() && reports.back().second.startsWith(QStringLiteral("正在下载")); },
        10000));
    ASSERT_TRUE(QFile::exists(models + QStringLiteral("/sensevoice-fp32-download.tar.bz2.part")));
    downloader->cancelDownload();
    downloader->cancelDownload(); // nothing left to cancel: answered all the same
    EXPECT_FALSE(downloader->isActive());
    ASSERT_TRUE(waitForCompletion(2));
    EXPECT_EQ(completions, (std::vector<std::pair<bool, QString>>{{false, kCancelled}, {false, kCancelled}}));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();

    std::vector<Entry> cancelled = modelEntries();
    cancelled[1].data = "model of the cancelled download";
    server.enqueue(archiveReply(tarBz2(cancelled)));
    const QByteArray good = tarBz2(modelEntries());
    server.enqueue(archiveReply(good.left(good.size() / 2)));
    bool cancelOnUnpack = true;
    downloader->onProgress = [&](double fraction, const QString&) {
        if (fraction == 0.97 && cancelOnUnpack) {
            cancelOnUnpack = false;
            EXPECT_TRUE(downloader->isActive());
            downloader->cancelDownload();
        }
    };
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion(3));
    EXPECT_EQ(completions[2], std::make_pair(false, kCancelled));
    EXPECT_FALSE(downloader->isActive());

    // Unpacking is serial and its results arrive in order: once a third download has been unpacked (here it
    // fails), the cancelled unpack's outcome has been handled as well.
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion(4));
    EXPECT_EQ(completions.size(), 4u);
    expectFailure(3, kUnpackFailed);
    EXPECT_EQ(installedFile("model.onnx"), "old model");
    expectNoLeftovers();

    // And a new download runs normally.
    server.enqueue(archiveReply(good));
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion(5));
    EXPECT_TRUE(completions[4].first) << completions[4].second.toStdString();
}

TEST_F(OfflineModelDownloaderTest, ChecksSpaceSizeAndSilence)
{
    // Not enough room for the archive and its unpacked copy: nothing is fetched.
    freeBytes = 1000LL << 20;
    auto downloader = makeDownloader();
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion());
    expectFailure(0, QStringLiteral("❌ 磁盘空间不足"));
    EXPECT_TRUE(server.requests().isEmpty());

    // A server that stops sending is given up after 30 s of silence, then the mirror is tried.
    freeBytes = 100LL << 30;
    Reply silent;
    silent.stallAfterPieces = true;
    silent.framing = Reply::Framing::chunked;
    server.enqueue(silent);
    server.enqueue(status(503));
    downloader->startDownload();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests().size() == 1; }, 30000));
    scheduler.advance(29s);
    EXPECT_EQ(completions.size(), 1u);
    scheduler.advance(2s);
    ASSERT_TRUE(waitForCompletion(2));
    EXPECT_EQ(server.requests().size(), 2);
    EXPECT_EQ(completions[1], std::make_pair(false, QStringLiteral("❌ 离线模型下载失败：HTTP 503")));

    // An archive past the size limit is refused, whether it declares its size or not.
    auto small = makeDownloader(1000);
    server.enqueue(archiveReply(tarBz2(modelEntries())));
    Reply unsized = archiveReply(tarBz2(modelEntries()), 4);
    unsized.framing = Reply::Framing::chunked;
    server.enqueue(unsized);
    small->startDownload();
    ASSERT_TRUE(waitForCompletion(3));
    expectFailure(2, QStringLiteral("❌ 离线模型下载失败：压缩包大小异常"));
    expectNoLeftovers();
}

// A download cut off mid-way (by either source, with or without a declared size) installs nothing and leaves
// the installed model as it was; a source that never answers is given up after its silence limit.
TEST_F(OfflineModelDownloaderTest, ACutOffOrSilentDownloadKeepsTheInstalledModel)
{
    installOldModel();
    const QByteArray archive = tarBz2(modelEntries());
    Reply cut = archiveReply(archive.left(archive.size() / 2), 2);
    cut.cutShort = true;
    Reply cutChunked = cut;
    cutChunked.framing = Reply::Framing::chunked;
    server.enqueue(cut);
    server.enqueue(cutChunked);
    auto downloader = makeDownloader();
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion());
    EXPECT_FALSE(completions[0].first) << completions[0].second.toStdString();
    EXPECT_EQ(installedFile("model.onnx"), QByteArray("old model"));
    EXPECT_EQ(installedFile("tokens.txt"), QByteArray("old tokens"));
    expectNoLeftovers();

    Reply silent;
    silent.neverAnswer = true;
    server.enqueue(silent);
    server.enqueue(silent);
    downloader->startDownload();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests().size() == 3; }, 30000));
    scheduler.advance(31s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests().size() == 4; }, 30000));
    scheduler.advance(31s);
    ASSERT_TRUE(waitForCompletion(2));
    EXPECT_FALSE(completions[1].first);
    EXPECT_EQ(installedFile("model.onnx"), QByteArray("old model"));
    expectNoLeftovers();
}

} // namespace
