// Copies kept aside on filesystems that refuse the no-replace rename, the folder flushed after every rename,
// and a link to a pipe moved aside without the pipe ever being opened.
#include "BindMount.h"
#include "FolderSyncProbe.h"
#include "core/AppStateHarness.h"
#include "lexicon/PersonalLexiconStore.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cerrno>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

DictationRecord record(const QString& text)
{
    return DictationRecord(QUuid::createUuid(), Timestamp{786240000}, text, text, 1.5, 120,
                           QStringLiteral("Kate"), DictationMode::dictate, {});
}

QString canonical(const QString& folder)
{
    return QFileInfo(folder).canonicalFilePath();
}

} // namespace

TEST(DataFileFaults, CopiesAsideAreMadeWhereTheFilesystemRefusesTheNoReplaceRename)
{
    AppStateHarness h;
    BindMount fs(h.data.path());
    if (!fs.mounted())
        GTEST_SKIP() << fs.skipReason().toStdString();
    {
        const QByteArray probe = QFile::encodeName(h.data.filePath(QStringLiteral("probe")));
        ASSERT_TRUE(FileIO::writeAtomically(QFile::decodeName(probe), "p"));
        const QByteArray to = probe + ".moved";
        const int refused =
            ::renameat2(AT_FDCWD, probe.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        const int error = errno;
        ::unlink(probe.constData());
        ::unlink(to.constData());
        if (refused == 0)
            GTEST_SKIP() << "this bindfs takes the no-replace rename: the fallback is not reached";
        ASSERT_EQ(error, EINVAL);
    }
    // A cut history and a folder where the lexicon should be.
    const QByteArray whole =
        encodeHistory({record(QStringLiteral("第一条")), record(QStringLiteral("第二条"))});
    const QByteArray cut = whole.left(whole.size() - 7);
    const QString historyPath = h.data.filePath(QStringLiteral("history.json"));
    const QString lexiconPath = h.data.filePath(QStringLiteral("lexicon.json"));
    ASSERT_TRUE(FileIO::writeAtomically(historyPath, cut));
    ASSERT_TRUE(QDir().mkdir(lexiconPath));
    ASSERT_TRUE(FileIO::writeAtomically(lexiconPath + QStringLiteral("/inside"), "kept"));
    h.writeLocalConfig();
    AppState& state = h.build();
    h.settleStartup();
    h.settleSaves();
    EXPECT_FALSE(state.statusBanner().contains(QStringLiteral("❌"))) << state.statusBanner().toStdString();
    EXPECT_TRUE(state.statusBanner().contains(QStringLiteral("已另存为")))
        << state.statusBanner().toStdString();

    const QStringList historyCopies = FileIO::keptCopies(historyPath);
    ASSERT_EQ(historyCopies.size(), 1);
    EXPECT_EQ(FileIO::readAll(historyCopies[0]), cut);
    const QStringList lexiconCopies = FileIO::keptCopies(lexiconPath);
    ASSERT_EQ(lexiconCopies.size(), 1);
    EXPECT_EQ(FileIO::readAll(lexiconCopies[0] + QStringLiteral("/inside")), QByteArray("kept"))
        << "the folder was moved aside whole";

    // Saves go on: the copies exist, so the originals may be written over.
    ASSERT_EQ(state.history().size(), 1);
    state.setHistory(QList<DictationRecord>{record(QStringLiteral("第三条"))} + state.history());
    EXPECT_TRUE(state.saveHistory());
    EXPECT_TRUE(state.lexiconStore().save());
    EXPECT_EQ(decodeHistory(FileIO::readAll(historyPath).value_or(QByteArray())).records, state.history());
    EXPECT_FALSE(QFileInfo(lexiconPath).isDir());

    // More copies in one second: each gets a name of its own, none is written over, no temporary is left.
    for (const QByteArray& content : {QByteArray("second"), QByteArray("third")}) {
        ASSERT_TRUE(FileIO::writeAtomically(historyPath, content));
        const Result<QString> copy = FileIO::keepAside(historyPath);
        ASSERT_TRUE(copy.ok()) << copy.error().description.toStdString();
        EXPECT_EQ(FileIO::readAll(copy.value()), content);
    }
    const QStringList copies = FileIO::keptCopies(historyPath);
    ASSERT_EQ(copies.size(), 3);
    EXPECT_EQ(FileIO::readAll(copies[0]), cut);
    EXPECT_EQ(FileIO::readAll(copies[2]), QByteArray("third"));
    for (const QString& name :
         QDir(h.data.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        EXPECT_FALSE(name.startsWith(u'.')) << name.toStdString();
}

TEST(DataFileFaults, EverySaveAndCopyFlushesItsFolderAfterTheRename)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.json"));

    FolderSyncProbe::start();
    ASSERT_TRUE(FileIO::writeAtomically(path, "{}"));
    QList<FolderSyncProbe::Sync> syncs = FolderSyncProbe::stop();
    ASSERT_FALSE(syncs.isEmpty()) << "the folder was never flushed";
    EXPECT_EQ(syncs.last().folder, canonical(dir.path()));
    EXPECT_EQ(syncs.last().names, QStringList{QStringLiteral("config.json")})
        << "flushed after the rename, the temporary gone";

    FolderSyncProbe::start();
    const Result<QString> copy = FileIO::keepAside(path);
    syncs = FolderSyncProbe::stop();
    ASSERT_TRUE(copy.ok());
    ASSERT_FALSE(syncs.isEmpty()) << "the folder was never flushed after the copy";
    EXPECT_EQ(syncs.last().folder, canonical(dir.path()));
    EXPECT_TRUE(syncs.last().names.contains(QFileInfo(copy.value()).fileName()))
        << "the copy is on disk before the call returns";
}

TEST(DataFileFaults, ALinkToAPipeIsMovedAsideWithoutThePipeBeingOpened)
{
    QTemporaryDir outside;
    QTemporaryDir folder;
    const QString pipe = outside.filePath(QStringLiteral("pipe"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const QString link = folder.filePath(QStringLiteral("history.json"));
    ASSERT_TRUE(QFile::link(pipe, link));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, QFile::encodeName(pipe).constData(), IN_OPEN), 0);

    const Result<QString> copy = FileIO::keepAside(link);
    ASSERT_TRUE(copy.ok());
    EXPECT_TRUE(QFileInfo(copy.value()).isSymLink()) << "the link itself was moved aside";
    EXPECT_FALSE(QFileInfo::exists(link));
    char events[4096];
    EXPECT_EQ(::read(watch, events, sizeof events), -1) << "the pipe was opened";
    EXPECT_EQ(errno, EAGAIN);
    ::close(watch);
}
