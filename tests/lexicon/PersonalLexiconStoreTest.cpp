#include "lexicon/PersonalLexiconStore.h"

#include "support/VirtualScheduler.h"
#include "util/FileIO.h"

#include "support/QtPrinters.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

class LexiconStoreTest : public ::testing::Test {
protected:
    QString path() const { return m_dir.filePath(QStringLiteral("lexicon.json")); }
    QString backupPath() const { return m_dir.filePath(QStringLiteral("lexicon.corrupt.bak.json")); }

    std::unique_ptr<PersonalLexiconStore> open()
    {
        auto store = std::make_unique<PersonalLexiconStore>(path(), &m_scheduler.clock());
        m_stores.append(store.get());
        return store;
    }

    void write(const QString& file, const QByteArray& bytes)
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size());
    }

    // The stores save off the main thread: the files are looked at once those saves have ended.
    void settleSaves() const
    {
        for (PersonalLexiconStore* store : m_stores)
            if (store)
                store->waitForSaves();
    }
    bool existsOnDisk(const QString& file) const
    {
        settleSaves();
        return QFile::exists(file);
    }
    bool removeFromDisk(const QString& file) const
    {
        settleSaves();
        return QFile::remove(file);
    }
    QByteArray read(const QString& file) const
    {
        settleSaves();
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static QStringList terms(const PersonalLexiconStore& store)
    {
        QStringList result;
        for (const LexiconEntry& entry : store.entries())
            result.append(entry.term);
        return result;
    }

    QStringList termsOnDisk(const QString& file) const
    {
        QStringList result;
        const QJsonArray array = QJsonDocument::fromJson(read(file)).array();
        for (const QJsonValue& value : array)
            result.append(value.toObject().value(QStringLiteral("term")).toString());
        return result;
    }

    const QStringList kSeedTerms{QStringLiteral("DeepSeek"), QStringLiteral("Quorbell")};
    const QStringList kGammaAndSeeds = QStringList{QStringLiteral("Gamma")} + kSeedTerms;
    QTemporaryDir m_dir;
    VirtualScheduler m_scheduler;
    QList<QPointer<PersonalLexiconStore>> m_stores;
};

} // namespace

// --- the file
// -----------------------------------------------------------------------------------------------

TEST_F(LexiconStoreTest, MissingOrEmptyFileGivesTheSeedsAndWritesThemAtOnce)
{
    for (bool empty : {false, true}) {
        SCOPED_TRACE(empty ? "empty file" : "no file");
        if (empty)
            write(path(), {});
        auto store = open();
        ASSERT_EQ(terms(*store), kSeedTerms);
        EXPECT_EQ(store->entries()[0].createdAt, m_scheduler.currentDate());
        EXPECT_EQ(termsOnDisk(path()), kSeedTerms);
        EXPECT_FALSE(read(path()).contains('\n')) << "written compactly";
        EXPECT_EQ(QFileInfo(path()).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0);
        EXPECT_EQ(open()->entries(), store->entries()) << "what was written reads back the same";
        EXPECT_FALSE(existsOnDisk(backupPath()));
    }
}

TEST_F(LexiconStoreTest, LoadsGoodElementsInFileOrderWithDefaults)
{
    const QByteArray json = R"([42, {"term":"Alpha","weight":7,"id":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"},
                                {"term":""}, {"term":"Beta","weight":"heavy","category":"nonsense"}])";
    write(path(), json);
    auto store = open();
    ASSERT_EQ(terms(*store), (QStringList{u("Alpha"), u("Beta")}));
    EXPECT_EQ(store->entries()[0].weight, 7);
    EXPECT_EQ(store->entries()[0].id, QUuid(u("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0")));
    EXPECT_EQ(store->entries()[1].weight, 5);
    EXPECT_EQ(store->entries()[1].category, LexiconCategory::project);
    EXPECT_EQ(store->entries()[1].createdAt, m_scheduler.currentDate());
    EXPECT_EQ(read(path()), json) << "loading writes nothing";
    EXPECT_FALSE(existsOnDisk(backupPath()));

    // The two unreadable elements would vanish with the first save: the file is kept aside first.
    store->upsert(u("Gamma"), {}, LexiconCategory::memo, 5);
    EXPECT_EQ(read(backupPath()), json);
    EXPECT_EQ(termsOnDisk(path()), (QStringList{u("Gamma"), u("Alpha"), u("Beta")}));
}

TEST_F(LexiconStoreTest, UnusableContentIsKeptAsideAndNotOverwrittenAtLoad)
{
    const QByteArray samples[] = {"[]", R"([{"term":"Alpha","weight":7},{"term":"Be)", R"({"term":"Alpha"})",
                                  "  \n", "[1, \"two\", null]"};
    for (const QByteArray& content : samples) {
        SCOPED_TRACE(content.toStdString());
        removeFromDisk(backupPath());
        write(path(), content);
        auto store = open();
        EXPECT_EQ(terms(*store), kSeedTerms);
        EXPECT_EQ(read(path()), content) << "the seeds stay in memory";
        EXPECT_EQ(read(backupPath()), content);

        // Once the copy exists, the next save may replace the file.
        store->upsert(u("Gamma"), {}, LexiconCategory::memo, 5);
        EXPECT_EQ(termsOnDisk(path()), kGammaAndSeeds);
        EXPECT_EQ(read(backupPath()), content);
    }
}

TEST_F(LexiconStoreTest, FileIsNeverOverwrittenWhileItsBackupCannotBeWritten)
{
    const QByteArray truncated = R"([{"term":"Alpha","weight":7},{"te)";
    write(path(), truncated);
    ASSERT_TRUE(QDir().mkdir(backupPath())); // something in the way of the backup
    auto store = open();
    EXPECT_EQ(terms(*store), kSeedTerms);

    store->upsert(u("Gamma"), {}, LexiconCategory::memo, 5);
    EXPECT_EQ(terms(*store), kGammaAndSeeds) << "edits still work in memory";
    EXPECT_EQ(read(path()), truncated);
    EXPECT_FALSE(store->save().ok);
    EXPECT_EQ(read(path()), truncated);

    // With the obstacle gone the file is first copied, then replaced.
    ASSERT_TRUE(QDir().rmdir(backupPath()));
    EXPECT_TRUE(store->save().ok);
    EXPECT_EQ(read(backupPath()), truncated);
    EXPECT_EQ(termsOnDisk(path()), kGammaAndSeeds);
}

TEST_F(LexiconStoreTest, FolderInPlaceOfTheFileIsLeftAlone)
{
    ASSERT_TRUE(QDir().mkdir(path()));
    write(QDir(path()).filePath(QStringLiteral("keep.txt")), "mine");
    auto store = open();
    EXPECT_EQ(terms(*store), kSeedTerms);

    store->upsert(u("Gamma"), {}, LexiconCategory::memo, 5);
    store->remove(store->entries().front().id);
    EXPECT_FALSE(store->save().ok);
    EXPECT_TRUE(QFileInfo(path()).isDir());
    EXPECT_EQ(read(QDir(path()).filePath(QStringLiteral("keep.txt"))), QByteArray("mine"));
    EXPECT_EQ(terms(*store), kSeedTerms);
}

// Reading fails although the file is there: it is too large to be a lexicon. The file is streamed whole into
// the backup before anything may replace it.
TEST_F(LexiconStoreTest, FileThatCannotBeReadIsCopiedWholeBeforeItIsReplaced)
{
    const QByteArray head = R"([{"term":"Alpha"})";
    {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(head);
        ASSERT_TRUE(f.resize(16 * 1024 * 1024 + 4096)); // sparse: cheap to make
        ASSERT_TRUE(f.seek(f.size() - 3));
        f.write("]\n\n");
    }
    const qint64 size = QFileInfo(path()).size();
    auto store = open();
    EXPECT_EQ(terms(*store), kSeedTerms);
    EXPECT_EQ(QFileInfo(path()).size(), size) << "the seeds stay in memory";
    ASSERT_EQ(QFileInfo(backupPath()).size(), size);
    EXPECT_EQ(read(backupPath()), read(path()));

    store->upsert(u("Gamma"), {}, LexiconCategory::memo, 5);
    EXPECT_EQ(termsOnDisk(path()), kGammaAndSeeds);
    EXPECT_EQ(QFileInfo(backupPath()).size(), size);
}

// --- editing
// -------------------------------------------------------------------------------------------------

TEST_F(LexiconStoreTest, UpsertMergesIgnoringCaseAndBlanks)
{
    auto store = open();
    int changes = 0;
    QObject::connect(store.get(), &PersonalLexiconStore::entriesChanged, [&] { ++changes; });

    store->upsert(u("  deepseek \n"), {u("深度求索"), u(""), u("迪普西克"), u(" padded ")},
                  LexiconCategory::memo, 8);
    ASSERT_EQ(store->entries().size(), 2);
    const LexiconEntry& merged = store->entries()[0];
    EXPECT_EQ(merged.term, u("DeepSeek")) << "the stored spelling stays";
    EXPECT_EQ(merged.category, LexiconCategory::project);
    EXPECT_EQ(merged.weight, 8);
    EXPECT_EQ(merged.aliases, (QStringList{u("迪普西克"), u("deep seek"), u("深度求索"), u(" padded ")}))
        << "existing aliases first, new ones after, each once";
    EXPECT_EQ(changes, 1);

    store->upsert(u("DEEPSEEK"), {}, LexiconCategory::memo, 3);
    EXPECT_EQ(store->entries()[0].weight, 8) << "the larger weight stays";

    const QList<LexiconEntry> before = store->entries();
    store->upsert(u(" 张 "), {u("章")}, LexiconCategory::person, 9);
    EXPECT_EQ(store->entries(), before) << "a one-character term is ignored";

    store->upsert(u(" 张伟 "), {u(" 赞尾 "), u(" ")}, LexiconCategory::person, 9);
    const LexiconEntry& added = store->entries().front();
    EXPECT_EQ(added.term, u("张伟"));
    EXPECT_EQ(added.aliases, QStringList{u("赞尾")});
    EXPECT_EQ(termsOnDisk(path()), (QStringList{u("张伟")} + kSeedTerms));
}

TEST_F(LexiconStoreTest, BulkUpsertAppendsMergesAndSortsByWeight)
{
    auto store = open();
    store->upsert(u("Heavy"), {}, LexiconCategory::memo, 9);
    store->upsert(u("Light"), {}, LexiconCategory::memo, 1);
    // Heavy 9, Light 1, DeepSeek 5, Quorbell 5
    const QString tooLong(37, u'x');
    const QString longest(36, u'y');
    const int added = store->bulkUpsert({
        {u("NewOne"), {u("new one")}, LexiconCategory::browser},
        {u(" quorbell "), {u("阔贝"), u("quor bell")}, LexiconCategory::browser},
        {u("QUORBELL"), {u("")}, LexiconCategory::browser},
        {tooLong, {}, LexiconCategory::browser},
        {longest, {}, LexiconCategory::browser},
        {u("x"), {}, LexiconCategory::browser},
        {u("newone"), {}, LexiconCategory::browser},
    });
    EXPECT_EQ(added, 2);
    EXPECT_EQ(terms(*store),
              (QStringList{u("Heavy"), u("Quorbell"), u("DeepSeek"), u("NewOne"), longest, u("Light")}))
        << "stable by weight: Quorbell 7, DeepSeek 5, then the new ones at 2 (NewOne 3) in their order";
    const LexiconEntry& quorbell = store->entries()[1];
    EXPECT_EQ(quorbell.weight, 7);
    EXPECT_EQ(quorbell.category, LexiconCategory::project);
    EXPECT_EQ(quorbell.aliases, (QStringList{u("quor bell"), u("阔贝尔"), u("阔贝"), u("")}));
    EXPECT_EQ(store->entries()[3].category, LexiconCategory::browser);
    EXPECT_EQ(termsOnDisk(path()), terms(*store));

    // Saved once, also when nothing changed.
    ASSERT_TRUE(removeFromDisk(path()));
    EXPECT_EQ(store->bulkUpsert({}), 0);
    EXPECT_TRUE(existsOnDisk(path()));
}

TEST_F(LexiconStoreTest, RenamingKeepsTheOldTermAsAnAlias)
{
    auto store = open();
    const QUuid id = store->entries()[1].id; // Quorbell: "quor bell", "阔贝尔"
    store->updateEntry(id, u(" Quorbell Pro "),
                       {u("阔贝尔"), u(" "), u("quorbell pro"), u("阔贝尔"), u("Beta")},
                       LexiconCategory::memo, 3);
    const LexiconEntry& renamed = store->entries()[1];
    EXPECT_EQ(renamed.id, id);
    EXPECT_EQ(renamed.term, u("Quorbell Pro"));
    EXPECT_EQ(renamed.aliases, (QStringList{u("Beta"), u("Quorbell"), u("阔贝尔")}))
        << "old term added, the new term and blanks dropped, de-duplicated and sorted";
    EXPECT_EQ(renamed.weight, 3) << "the new weight, not the larger one";
    EXPECT_EQ(renamed.category, LexiconCategory::memo);
    EXPECT_EQ(renamed.phoneticKey, u("quorbellpro"));

    // Only a real rename adds the old term.
    store->updateEntry(id, u("quorbell PRO"), {}, LexiconCategory::memo, 3);
    EXPECT_EQ(store->entries()[1].aliases, QStringList())
        << store->entries()[1].aliases.join(u'|').toStdString();

    const QList<LexiconEntry> before = store->entries();
    store->updateEntry(id, u("  "), {u("a")}, LexiconCategory::memo, 3);
    store->updateEntry(QUuid::createUuid(), u("Other"), {}, LexiconCategory::memo, 3);
    EXPECT_EQ(store->entries(), before);
}

TEST_F(LexiconStoreTest, RenamingOntoAnotherTermMergesIntoIt)
{
    auto store = open();
    store->upsert(u("深度求索"), {u("申度求索")}, LexiconCategory::finance, 2);
    const QUuid keptId = store->entries()[1].id; // DeepSeek, weight 5, hits 0
    store->recordTermHits({store->entries()[1]});
    const QUuid editedId = store->entries()[0].id;

    store->updateEntry(editedId, u("deepseek"), {u("Deep Seek"), u("迪普西克"), u("DEEPSEEK")},
                       LexiconCategory::person, 4);
    ASSERT_EQ(terms(*store), kSeedTerms);
    const LexiconEntry& merged = store->entries()[0];
    EXPECT_EQ(merged.id, keptId);
    EXPECT_EQ(merged.term, u("DeepSeek"));
    EXPECT_EQ(merged.hitCount, 1);
    EXPECT_EQ(merged.category, LexiconCategory::person);
    EXPECT_EQ(merged.weight, 5);
    EXPECT_EQ(merged.aliases, (QStringList{u("Deep Seek"), u("deep seek"), u("深度求索"), u("迪普西克")}));
    EXPECT_EQ(termsOnDisk(path()), kSeedTerms);
}

TEST_F(LexiconStoreTest, RemovalAndHitsWriteOnlyWhenTheyShould)
{
    auto store = open();
    const LexiconEntry first = store->entries()[0];

    ASSERT_TRUE(removeFromDisk(path()));
    store->removeBatch({});
    store->recordTermHits({});
    LexiconEntry stranger = first;
    stranger.id = QUuid::createUuid();
    store->recordTermHits({stranger});
    EXPECT_FALSE(existsOnDisk(path())) << "nothing changed, nothing written";

    store->recordTermHits({first, first});
    EXPECT_EQ(store->entries()[0].hitCount, 1) << "one hit per call, however often the entry is given";
    EXPECT_TRUE(existsOnDisk(path()));

    ASSERT_TRUE(removeFromDisk(path()));
    store->remove(QUuid::createUuid());
    EXPECT_TRUE(existsOnDisk(path())) << "remove always writes";

    store->removeBatch({first.id, QUuid::createUuid()});
    EXPECT_EQ(terms(*store), QStringList{u("Quorbell")});
    EXPECT_EQ(termsOnDisk(path()), QStringList{u("Quorbell")});
}
