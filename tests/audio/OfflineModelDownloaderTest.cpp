#include "audio/OfflineModelDownloader.h"

#include "audio/SenseVoiceModel.h"
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

// Readable failure messages for the Chinese reports.
static void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

const QByteArray kModelFolder = SenseVoiceFiles::fullPrecisionFolder().toUtf8();

QByteArray fixtureBytes(const char* name)
{
    QFile file(QStringLiteral(QB_FIXTURES_DIR "/sensevoice/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
        switch (item.kind) {
        case Entry::Kind::file:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, 0644);
            archive_entry_set_size(entry, item.data.size());
            break;
        case Entry::Kind::folder:
            archive_entry_set_filetype(entry, AE_IFDIR);
            archive_entry_set_perm(entry, 0755);
            break;
        case Entry::Kind::symlink:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_perm(entry, 0777);
            archive_entry_set_symlink(entry, item.data.constData());
            break;
        case Entry::Kind::hardlink:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, 0644);
            archive_entry_set_hardlink(entry, item.data.constData());
            break;
        }
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

struct Report {
    double fraction;
    QString message;
};

class OfflineModelDownloaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen());
        models = data.filePath(QStringLiteral("Models"));
        installed = models + QLatin1Char('/') + SenseVoiceFiles::fullPrecisionFolder();
    }

    OfflineModelDownloader::Options options()
    {
        OfflineModelDownloader::Options o;
        o.sources = {QUrl(server.baseUrl().toString() + QStringLiteral("/release/model.tar.bz2")),
                     QUrl(server.baseUrl().toString() + QStringLiteral("/mirror/model.tar.bz2"))};
        o.modelsFolder = models;
        o.availableBytes = [this](const QString&) { return freeBytes; };
        return o;
    }

    std::unique_ptr<OfflineModelDownloader> makeDownloader()
    {
        auto downloader = std::make_unique<OfflineModelDownloader>(scheduler, options());
        downloader->onProgress = [this](double fraction, const QString& message) {
            reports.push_back({fraction, message});
        };
        downloader->onCompletion = [this](bool success, const QString& message) {
            completions.emplace_back(success, message);
        };
        return downloader;
    }

    bool waitForCompletion(size_t count = 1)
    {
        return QTest::qWaitFor([&] { return completions.size() >= count; }, 10000);
    }

    // A model installed before the download, to show it survives a failed one.
    void installOldModel()
    {
        ASSERT_TRUE(QDir().mkpath(installed));
        QFile model(installed + QStringLiteral("/model.onnx"));
        ASSERT_TRUE(model.open(QIODevice::WriteOnly));
        model.write("old model");
        model.close();
        QFile tokens(installed + QStringLiteral("/tokens.txt"));
        ASSERT_TRUE(tokens.open(QIODevice::WriteOnly));
        tokens.write("old tokens");
    }

    QByteArray installedFile(const char* name) const
    {
        QFile file(installed + QLatin1Char('/') + QLatin1String(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Nothing but the installed model may remain in the Models folder: no part file, no staging folder.
    QStringList leftovers() const
    {
        QStringList names = QDir(models).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        names.removeAll(SenseVoiceFiles::fullPrecisionFolder());
        return names;
    }

    bool waitForNoLeftovers()
    {
        return QTest::qWaitFor([&] { return leftovers().isEmpty(); }, 10000);
    }

    QStringList messages() const
    {
        QStringList out;
        for (const Report& report : reports)
            out.append(report.message);
        return out;
    }

    TempDataFolder data;
    VirtualScheduler scheduler;
    ScriptedHttpServer server{scheduler};
    QString models;
    QString installed;
    std::optional<qint64> freeBytes = 100LL << 30;
    std::vector<Report> reports;
    std::vector<std::pair<bool, QString>> completions;
};

TEST_F(OfflineModelDownloaderTest, InstallsTheModelFolderAndReplacesTheOldOne)
{
    installOldModel();
    QFile stray(installed + QStringLiteral("/stale.bin"));
    ASSERT_TRUE(stray.open(QIODevice::WriteOnly));
    stray.close();
    server.enqueue(archiveReply(tarBz2(modelEntries()), 4));
    auto downloader = makeDownloader();
    downloader->startDownload();
    downloader->startDownload(); // already running: ignored
    EXPECT_TRUE(downloader->isActive());

    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(completions,
              (std::vector<std::pair<bool, QString>>{
                  {true, QStringLiteral("✅ 本机 886MB SenseVoice FP32 离线满血底座已安装并激活")}}));
    EXPECT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].path, "/release/model.tar.bz2");
    EXPECT_FALSE(downloader->isActive());

    ASSERT_GE(reports.size(), 4u);
    EXPECT_EQ(reports.front().message, QStringLiteral("连接官方源…"));
    EXPECT_DOUBLE_EQ(reports.front().fraction, 0.01);
    EXPECT_EQ(reports[reports.size() - 2].message, QStringLiteral("下载完成，正在解压 886MB 无损模型权重…"));
    EXPECT_DOUBLE_EQ(reports[reports.size() - 2].fraction, 0.97);
    EXPECT_EQ(reports.back().message, QStringLiteral("离线满血底座安装完成"));
    EXPECT_DOUBLE_EQ(reports.back().fraction, 1.0);
    EXPECT_TRUE(messages().contains(QStringLiteral("正在下载离线满血包 0 / 0 MB (95%)")))
        << messages().join(u'|').toStdString();

    // The new folder replaced the old one whole: new files, nothing of the old left.
    EXPECT_EQ(installedFile("model.onnx"), fixtureBytes("model.onnx"));
    EXPECT_EQ(installedFile("tokens.txt"), fixtureBytes("tokens.txt"));
    EXPECT_FALSE(QFile::exists(installed + QStringLiteral("/stale.bin")));
    EXPECT_TRUE(waitForNoLeftovers()) << leftovers().join(u' ').toStdString();

    // And the recognizer takes it.
    const std::optional<SenseVoiceModelPaths> paths = senseVoiceModelPaths();
    ASSERT_TRUE(paths);
    EXPECT_TRUE(paths->isFullPrecision);
    SenseVoiceModel model;
    EXPECT_EQ(model.loadIfAvailable().outcome, SenseVoiceModel::LoadOutcome::loaded);
}

TEST_F(OfflineModelDownloaderTest, FallsBackToTheMirrorAndReportsTheSecondFailure)
{
    server.enqueue(status(404));
    server.enqueue(archiveReply(tarBz2(modelEntries())));
    auto downloader = makeDownloader();
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion());
    EXPECT_TRUE(completions[0].first) << completions[0].second.toStdString();
    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests()[1].path, "/mirror/model.tar.bz2");
    EXPECT_TRUE(messages().contains(QStringLiteral("已切换加速镜像下载…")));
    // The first source's failure is not reported.
    EXPECT_EQ(completions.size(), 1u);

    completions.clear();
    server.enqueue(status(404));
    server.enqueue(status(404));
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(completions[0], std::make_pair(false, QStringLiteral("❌ 离线模型下载失败：HTTP 404")));

    // A dropped connection counts as a failure of that source too.
    // (The network layer may resend a request once on a reused connection, so the sources answer by path.)
    completions.clear();
    server.setHandler([](const ScriptedHttpServer::Request& request) {
        if (request.path.startsWith("/mirror/"))
            return status(500);
        Reply dropped;
        dropped.dropWithoutReply = true;
        return dropped;
    });
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(completions[0], std::make_pair(false, QStringLiteral("❌ 离线模型下载失败：HTTP 500")));
    EXPECT_TRUE(waitForNoLeftovers()) << leftovers().join(u' ').toStdString();
}

TEST_F(OfflineModelDownloaderTest, UnknownSizeShowsProgressAgainstTheExpectedSize)
{
    Reply chunked = archiveReply(tarBz2(modelEntries()), 3);
    chunked.framing = Reply::Framing::chunked;
    server.enqueue(chunked);
    auto downloader = makeDownloader();
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion());
    EXPECT_TRUE(completions[0].first) << completions[0].second.toStdString();
    EXPECT_TRUE(messages().contains(QStringLiteral("正在下载离线满血包 0 / 844 MB (1%)")))
        << messages().join(u'|').toStdString();
    for (size_t i = 1; i + 2 < reports.size(); ++i) {
        EXPECT_GE(reports[i].fraction, 0.01);
        EXPECT_LE(reports[i].fraction, 0.95);
    }
}

TEST_F(OfflineModelDownloaderTest, BrokenOrHostileArchivesInstallNothingAndHarmNothing)
{
    installOldModel();
    QTemporaryDir outside;
    const QByteArray outsideFile = outside.filePath(QStringLiteral("planted")).toUtf8();
    const QByteArray full = tarBz2(modelEntries());

    struct Case {
        const char* name;
        QByteArray archive;
        QString expected; // the start of the report, then the reason
    };
    auto withModel = [](std::vector<Entry> extra) {
        std::vector<Entry> entries = modelEntries();
        entries.insert(entries.begin() + 1, extra.begin(), extra.end());
        return tarBz2(entries);
    };
    const QString unsafePath = QStringLiteral("❌ 解压失败：压缩包含有不安全的路径");
    const QString link = QStringLiteral("❌ 解压失败：压缩包含有链接或特殊文件");
    const QString unpackFailed = QStringLiteral("❌ 解压失败：");
    const std::vector<Case> cases = {
        {"truncated", full.left(full.size() / 2), unpackFailed},
        {"absolute path", withModel({{outsideFile, "planted"}}), unsafePath},
        {"dot-dot", withModel({{kModelFolder + "/../../planted", "planted"}}), unsafePath},
        {"symlink out",
         withModel({{kModelFolder + "/out", outside.path().toUtf8(), Entry::Kind::symlink},
                    {kModelFolder + "/out/planted", "planted"}}),
         link},
        {"hard link", withModel({{kModelFolder + "/passwd", "/etc/passwd", Entry::Kind::hardlink}}), link},
        {"no tokens", tarBz2({{kModelFolder + "/model.onnx", fixtureBytes("model.onnx")}}),
         QStringLiteral("❌ 解压离线模型未成功（退出码 0）")},
        {"not an archive", QByteArray(4096, 'x'), unpackFailed},
    };
    auto downloader = makeDownloader();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        completions.clear();
        server.enqueue(archiveReply(c.archive));
        downloader->startDownload();
        ASSERT_TRUE(waitForCompletion());
        ASSERT_EQ(completions.size(), 1u);
        EXPECT_FALSE(completions[0].first);
        EXPECT_TRUE(completions[0].second.startsWith(c.expected)) << completions[0].second.toStdString();
        EXPECT_EQ(installedFile("model.onnx"), "old model");
        EXPECT_EQ(installedFile("tokens.txt"), "old tokens");
        EXPECT_TRUE(QDir(outside.path()).isEmpty());
        EXPECT_FALSE(QFile::exists(data.filePath(QStringLiteral("planted"))));
        EXPECT_FALSE(QFile::exists(models + QStringLiteral("/planted")));
        EXPECT_TRUE(waitForNoLeftovers()) << leftovers().join(u' ').toStdString();
    }
}

TEST_F(OfflineModelDownloaderTest, CancelDuringDownloadReportsOnceAndKeepsTheModel)
{
    installOldModel();
    Reply stalled = archiveReply(tarBz2(modelEntries()), 2);
    stalled.pieces.removeLast();
    stalled.stallAfterPieces = true;
    stalled.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("999999")));
    stalled.framing = Reply::Framing::closeDelimited;
    server.enqueue(stalled);
    auto downloader = makeDownloader();
    downloader->startDownload();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return !reports.empty() &&
                   reports.back().message.startsWith(QStringLiteral("正在下载离线满血包"));
        },
        10000));
    ASSERT_TRUE(QFile::exists(models + QStringLiteral("/sensevoice-fp32-download.tar.bz2.part")));

    downloader->cancelDownload();
    downloader->cancelDownload(); // nothing left to cancel
    EXPECT_FALSE(downloader->isActive());
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(completions,
              (std::vector<std::pair<bool, QString>>{{false, QStringLiteral("已取消离线模型下载")}}));
    EXPECT_EQ(installedFile("model.onnx"), "old model");
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();

    // The cancelled transfer stays silent; a new download runs normally.
    server.enqueue(archiveReply(tarBz2(modelEntries())));
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion(2));
    EXPECT_EQ(completions.size(), 2u);
    EXPECT_TRUE(completions[1].first) << completions[1].second.toStdString();
}

// Cancelling while the archive unpacks reports the cancel once; the unpack's own outcome never follows and
// nothing of it is installed.
TEST_F(OfflineModelDownloaderTest, CancelDuringUnpackingReportsOnce)
{
    installOldModel();
    std::vector<Entry> cancelled = modelEntries();
    cancelled[1].data = "model of the cancelled download";
    server.enqueue(archiveReply(tarBz2(cancelled)));
    const QByteArray good = tarBz2(modelEntries());
    server.enqueue(archiveReply(good.left(good.size() / 2)));
    auto downloader = makeDownloader();
    bool cancelOnUnpack = true;
    downloader->onProgress = [&](double fraction, const QString& message) {
        reports.push_back({fraction, message});
        if (fraction == 0.97 && cancelOnUnpack) {
            cancelOnUnpack = false;
            EXPECT_TRUE(downloader->isActive());
            downloader->cancelDownload();
        }
    };
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(completions[0], std::make_pair(false, QStringLiteral("已取消离线模型下载")));
    EXPECT_FALSE(downloader->isActive());

    // Unpacking is serial and its results arrive in order: once a second download has been unpacked (here it
    // fails), the first unpack's outcome has been handled as well.
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion(2));
    EXPECT_EQ(completions.size(), 2u);
    EXPECT_TRUE(completions[1].second.startsWith(QStringLiteral("❌ 解压失败：")))
        << completions[1].second.toStdString();
    EXPECT_EQ(installedFile("model.onnx"), "old model");
    EXPECT_TRUE(waitForNoLeftovers()) << leftovers().join(u' ').toStdString();
}

TEST_F(OfflineModelDownloaderTest, ChecksLimitsBeforeAndWhileDownloading)
{
    // Not enough room for the archive and its unpacked copy: nothing is fetched.
    freeBytes = 1000LL << 20;
    auto downloader = makeDownloader();
    downloader->startDownload();
    ASSERT_TRUE(waitForCompletion());
    EXPECT_FALSE(completions[0].first);
    EXPECT_TRUE(completions[0].second.startsWith(QStringLiteral("❌ 磁盘空间不足")))
        << completions[0].second.toStdString();
    EXPECT_TRUE(server.requests().isEmpty());

    // A server that stops sending is given up after 30 s of silence, then the mirror is tried.
    freeBytes = 100LL << 30;
    completions.clear();
    Reply silent;
    silent.stallAfterPieces = true;
    silent.framing = Reply::Framing::chunked;
    server.enqueue(silent);
    server.enqueue(status(503));
    downloader->startDownload();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests().size() == 1; }, 10000));
    scheduler.advance(29s);
    EXPECT_TRUE(completions.empty());
    scheduler.advance(2s);
    ASSERT_TRUE(waitForCompletion());
    EXPECT_EQ(server.requests().size(), 2);
    EXPECT_EQ(completions[0], std::make_pair(false, QStringLiteral("❌ 离线模型下载失败：HTTP 503")));
}

TEST_F(OfflineModelDownloaderTest, OversizedArchiveIsRefused)
{
    OfflineModelDownloader::Options small = options();
    small.maxArchiveBytes = 1000;
    OfflineModelDownloader downloader(scheduler, small);
    downloader.onCompletion = [this](bool success, const QString& message) {
        completions.emplace_back(success, message);
    };
    server.enqueue(archiveReply(tarBz2(modelEntries())));
    Reply unsized = archiveReply(tarBz2(modelEntries()), 4);
    unsized.framing = Reply::Framing::chunked;
    server.enqueue(unsized);
    downloader.startDownload();
    ASSERT_TRUE(waitForCompletion());
    EXPECT_FALSE(completions[0].first);
    EXPECT_TRUE(completions[0].second.startsWith(QStringLiteral("❌ 离线模型下载失败：压缩包大小异常")))
        << completions[0].second.toStdString();
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();
}

} // namespace
