// Every save of a data file (settings, history, lexicon) against a full disk and against a read-only data
// folder: the save reports the failure, the previous file stays whole, nothing half-written is left in the
// folder, and once the fault is gone the next save writes what was kept in memory.
#include "SmallFileSystem.h"
#include "core/AppStateHarness.h"
#include "lexicon/PersonalLexiconStore.h"

#include <QDir>
#include <QMap>
#include <QTemporaryDir>

namespace {

enum class Fault { fullDisk, readOnly };

const QString kConfig = QStringLiteral("config.json");
const QString kHistory = QStringLiteral("history.json");
const QString kLexicon = QStringLiteral("lexicon.json");

DictationRecord record(const QString& text)
{
    return DictationRecord(QUuid::createUuid(), Timestamp{786240000}, text, text, 1.5, 120,
                           QStringLiteral("Kate"), DictationMode::dictate, {});
}

QByteArray contents(const AppStateHarness& h, const QString& name)
{
    return FileIO::readAll(h.data.filePath(name)).value_or(QByteArray("<missing>"));
}

QStringList folderEntries(const AppStateHarness& h)
{
    QStringList names = QDir(h.data.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    names.removeAll(QStringLiteral(".filler"));
    return names;
}

} // namespace

TEST(DataFileFaults, SavesOnAFullDiskOrAReadOnlyFolderFailAndKeepThePreviousFiles)
{
    for (const Fault fault : {Fault::fullDisk, Fault::readOnly}) {
        SCOPED_TRACE(fault == Fault::fullDisk ? "full disk" : "read-only folder");
        AppStateHarness h;
        SmallFileSystem fs(h.data.path(), 1 << 20);
        if (!fs.mounted())
            GTEST_SKIP() << fs.skipReason().toStdString();
        ASSERT_TRUE(FileIO::writeAtomically(h.data.filePath(kHistory),
                                            encodeHistory({record(QStringLiteral("第一条"))})));
        AppState& state = h.start();
        PersonalLexiconStore& lexicon = state.lexiconStore();
        ASSERT_TRUE(state.saveConfig());
        ASSERT_TRUE(lexicon.save());
        const QByteArray config = contents(h, kConfig);
        const QByteArray history = contents(h, kHistory);
        const QByteArray terms = contents(h, kLexicon);
        const QStringList entriesBefore = folderEntries(h);

        if (fault == Fault::fullDisk)
            ASSERT_TRUE(fs.fill());
        else
            ASSERT_TRUE(fs.setReadOnly(true));

        h.changeConfig([](LLMConfig& c) { c.modelName = QStringLiteral("changed-model"); });
        const Status configSaved = state.saveConfig();
        EXPECT_FALSE(configSaved);
        EXPECT_FALSE(configSaved.error.isEmpty());
        state.setHistory(QList<DictationRecord>{record(QStringLiteral("第二条"))} + state.history());
        const Status historySaved = state.saveHistory();
        EXPECT_FALSE(historySaved);
        EXPECT_FALSE(historySaved.error.isEmpty());
        lexicon.upsert(QStringLiteral("Quorbellix"), {QStringLiteral("阔贝利克斯")}, LexiconCategory::project,
                       5);
        const Status lexiconSaved = lexicon.save();
        EXPECT_FALSE(lexiconSaved);
        EXPECT_FALSE(lexiconSaved.error.isEmpty());

        EXPECT_EQ(contents(h, kConfig), config);
        EXPECT_EQ(contents(h, kHistory), history);
        EXPECT_EQ(contents(h, kLexicon), terms);
        EXPECT_EQ(folderEntries(h), entriesBefore) << "no temporary file is left behind";
        EXPECT_EQ(state.history().size(), 2) << "the data stays in memory";

        if (fault == Fault::fullDisk)
            fs.release();
        else
            ASSERT_TRUE(fs.setReadOnly(false));
        EXPECT_TRUE(state.saveConfig());
        EXPECT_TRUE(state.saveHistory());
        EXPECT_TRUE(lexicon.save());
        EXPECT_EQ(h.savedConfig()[QStringLiteral("modelName")].toString(), QStringLiteral("changed-model"));
        EXPECT_EQ(decodeHistory(contents(h, kHistory)).records, state.history());
        EXPECT_TRUE(contents(h, kLexicon).contains("Quorbellix"));
    }
}

TEST(DataFileFaults, AFileKeptAsideIsNeverHalfWrittenOnAFullDisk)
{
    // Unreadable files found at start must be copied aside before the first save; on a full disk the copy
    // fails, so the save is refused and the original stays as it was, without a partial copy beside it.
    AppStateHarness h;
    SmallFileSystem fs(h.data.path(), 1 << 20);
    if (!fs.mounted())
        GTEST_SKIP() << fs.skipReason().toStdString();
    const QByteArray brokenHistory = QByteArray("[{\"id\": ") + QByteArray(64 * 1024, ' ');
    const QByteArray brokenLexicon = QByteArray("[{\"term\": \"半") + QByteArray(64 * 1024, ' ');
    ASSERT_TRUE(FileIO::writeAtomically(h.data.filePath(kHistory), brokenHistory));
    ASSERT_TRUE(FileIO::writeAtomically(h.data.filePath(kLexicon), brokenLexicon));
    h.writeLocalConfig();
    ASSERT_TRUE(fs.fill());
    AppState& state = h.build();
    h.settleStartup();

    state.setHistory({record(QStringLiteral("新的一条"))});
    EXPECT_FALSE(state.saveHistory());
    EXPECT_FALSE(state.lexiconStore().save());
    EXPECT_EQ(contents(h, kHistory), brokenHistory);
    EXPECT_EQ(contents(h, kLexicon), brokenLexicon);
    EXPECT_TRUE(FileIO::keptCopies(h.data.filePath(kHistory)).isEmpty());
    EXPECT_TRUE(FileIO::keptCopies(h.data.filePath(kLexicon)).isEmpty());

    fs.release();
    EXPECT_TRUE(state.saveHistory());
    EXPECT_TRUE(state.lexiconStore().save());
    EXPECT_EQ(FileIO::readAll(FileIO::keptCopies(h.data.filePath(kHistory)).value(0)), brokenHistory);
    EXPECT_EQ(FileIO::readAll(FileIO::keptCopies(h.data.filePath(kLexicon)).value(0)), brokenLexicon);
    EXPECT_EQ(decodeHistory(contents(h, kHistory)).records, state.history());
}

TEST(DataFileFaults, WritesNeverGoThroughALinkOutOfTheDataFolder)
{
    // Each data file a link to a file that is not the app's (as /etc/passwd was, under a root launch).
    QTemporaryDir outside;
    AppStateHarness h;
    QMap<QString, QString> targets;
    for (const QString& name : {kConfig, kHistory, kLexicon}) {
        const QString target = outside.filePath(name + QStringLiteral(".foreign"));
        ASSERT_TRUE(FileIO::writeAtomically(target, "root:x:0:0:root:/root:/bin/bash\n"));
        ASSERT_TRUE(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                      QFileDevice::ReadGroup | QFileDevice::ReadOther));
        ASSERT_TRUE(QFile::link(target, h.data.filePath(name)));
        targets.insert(name, target);
    }
    AppState& state = h.build();
    h.settleStartup();
    state.setHistory({record(QStringLiteral("第一条"))});
    EXPECT_TRUE(state.saveHistory());
    EXPECT_TRUE(state.saveConfig());
    EXPECT_TRUE(state.lexiconStore().save());
    h.settleSaves();

    for (auto it = targets.cbegin(); it != targets.cend(); ++it) {
        SCOPED_TRACE(it.key().toStdString());
        EXPECT_EQ(FileIO::readAll(it.value()), QByteArray("root:x:0:0:root:/root:/bin/bash\n"));
        EXPECT_EQ(QFileInfo(it.value()).permissions() & 0x7077,
                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                      QFileDevice::ReadOther);
        EXPECT_FALSE(QFileInfo(h.data.filePath(it.key())).isSymLink());
        // What the link showed was not the app's data: its content is kept aside, not lost.
        const QStringList copies = FileIO::keptCopies(h.data.filePath(it.key()));
        ASSERT_EQ(copies.size(), 1);
        EXPECT_EQ(FileIO::readAll(copies[0]), QByteArray("root:x:0:0:root:/root:/bin/bash\n"));
    }
    EXPECT_EQ(decodeHistory(contents(h, kHistory)).records, state.history());
}

TEST(DataFileFaults, NothingIsWrittenThatTheReaderWouldRefuse)
{
    AppStateHarness h;
    AppState& state = h.start();
    ASSERT_TRUE(state.saveConfig());
    const QByteArray config = contents(h, kConfig);

    // A model name of 2 MB makes a settings file over the reader's limit.
    h.changeConfig([](LLMConfig& c) { c.modelName = QString(2 << 20, u'm'); });
    const Status saved = state.saveConfig();
    EXPECT_FALSE(saved);
    EXPECT_TRUE(saved.error.contains(QStringLiteral("上限"))) << saved.error.toStdString();
    EXPECT_TRUE(state.statusBanner().contains(kConfig)) << "the queued save said so too";
    EXPECT_EQ(contents(h, kConfig), config) << "the previous file stays";
}
