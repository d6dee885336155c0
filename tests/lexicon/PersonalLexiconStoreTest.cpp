#include "lexicon/PersonalLexiconStore.h"

#include "lexicon/LexiconFile.h"
#include "lexicon/PhoneticIndexer.h"

#include "support/DamagedList.h"
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
#include <QTest>
#include <set>
#include <tuple>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

class LexiconStoreTest : public ::testing::Test {
protected:
    QString path() const { return m_dir.filePath(QStringLiteral("lexicon.json")); }
    // The one copy of the file kept aside; empty when there is none.
    QString backupPath() const
    {
        settleSaves();
        const QStringList copies = FileIO::keptCopies(path());
        EXPECT_LE(copies.size(), 1);
        return copies.value(0);
    }

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
    // The unreadable elements would vanish with the first save: the file is kept aside at once.
    EXPECT_EQ(read(backupPath()), json);

    store->upsert(u("Gamma"), {}, LexiconCategory::memo, 5);
    EXPECT_EQ(read(backupPath()), json);
    EXPECT_EQ(termsOnDisk(path()), (QStringList{u("Gamma"), u("Alpha"), u("Beta")}));
}

TEST_F(LexiconStoreTest, UnusableContentIsKeptAsideAndNotOverwrittenAtLoad)
{
    const QByteArray samples[] = {"[]", R"([{"term":"Be)", R"({"term":"Alpha"})", "  \n",
                                  "[1, \"two\", null]"};
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

TEST_F(LexiconStoreTest, FolderOrPipeInPlaceOfTheFileIsMovedAsideWhole)
{
    ASSERT_TRUE(QDir().mkdir(path()));
    write(QDir(path()).filePath(QStringLiteral("keep.txt")), "mine");
    auto store = open();
    EXPECT_EQ(terms(*store), kSeedTerms);
    const QString movedFolder = backupPath();
    EXPECT_EQ(read(QDir(movedFolder).filePath(QStringLiteral("keep.txt"))), QByteArray("mine"));

    store->upsert(u("Gamma"), {}, LexiconCategory::memo, 5);
    EXPECT_EQ(termsOnDisk(path()), kGammaAndSeeds) << "the folder is out of the way";
    store.reset();

    // A named pipe would hold a reader in open() for ever; it is not even opened.
    FileIO::removeTree(movedFolder);
    ASSERT_TRUE(QFile::remove(path()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
    auto piped = open();
    EXPECT_EQ(terms(*piped), kSeedTerms);
    EXPECT_FALSE(backupPath().isEmpty());
    EXPECT_TRUE(piped->save().ok);
    EXPECT_EQ(termsOnDisk(path()), kSeedTerms);
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
        ASSERT_TRUE(f.resize(LexiconFile::kMaxFileBytes + 4096)); // sparse: cheap to make
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

TEST_F(LexiconStoreTest, DamagedFilesKeepTheirCompleteEntriesAndAreReportedWithTheirCopy)
{
    struct Case {
        QByteArray content;
        QStringList terms;
        const char* reported;
    };
    const Case cases[] = {
        // Cut in the middle of the array.
        {R"([{"term":"Alpha"},{"term":"Beta"},{"term":"Gam)",
         {u("Alpha"), u("Beta")},
         "已保留可读的 2 个词条"},
        // One invalid UTF-8 byte in one entry.
        {"[{\"term\":\"Alpha\"},{\"term\":\"B\xff\"},{\"term\":\"Gamma\"}]",
         {u("Alpha"), u("Gamma")},
         "无法读取"},
        // Blank terms, one id twice on the same term, a value of the wrong type.
        {R"([{"term":"  "},{"term":"Alpha","id":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0","aliases":["a1"]},
            {"term":"ALPHA","id":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0","weight":9,"aliases":["a2"]},{"term":"Beta","weight":"heavy"}])",
         {u("Alpha"), u("Beta")},
         "合并"},
        // One id on two different terms: both stay.
        {R"([{"term":"Alpha","id":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"},
            {"term":"Alfa","id":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"}])",
         {u("Alpha"), u("Alfa")},
         "已换用新编号"},
        // The only term is longer than the store takes: the report says so.
        {"[{\"term\":\"" + QString(LexiconFile::kMaximumTermLength + 1, u'长').toUtf8() + "\"}]",
         {u("DeepSeek"), u("Quorbell")},
         "超过 64 字"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.toStdString());
        removeFromDisk(backupPath());
        write(path(), c.content);
        QStringList reports;
        auto store = std::make_unique<PersonalLexiconStore>(path(), &m_scheduler.clock());
        QObject::connect(store.get(), &PersonalLexiconStore::fileKeptAside,
                         [&](const QString& what, const QString& copy, const QString& error) {
                             reports.append(what + u'|' + copy + u'|' + error);
                         });
        EXPECT_EQ(terms(*store), c.terms);
        store->waitForSaves();
        QCoreApplication::sendPostedEvents();
        ASSERT_EQ(reports.size(), 1);
        EXPECT_TRUE(reports[0].startsWith(u("lexicon.json"))) << reports[0].toStdString();
        EXPECT_TRUE(reports[0].contains(u(c.reported))) << reports[0].toStdString();
        EXPECT_TRUE(reports[0].contains(u'|' + backupPath() + u'|')) << "the report names the copy";
        EXPECT_EQ(read(backupPath()), c.content);
    }
    // The two entries of one id and two terms have ids of their own.
    write(path(), cases[3].content);
    auto twoTerms = open();
    ASSERT_EQ(twoTerms->entries().size(), 2);
    EXPECT_EQ(twoTerms->entries()[0].id, QUuid(u("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0")));
    EXPECT_NE(twoTerms->entries()[1].id, twoTerms->entries()[0].id);
    twoTerms.reset();
    // The merged entry keeps both alias lists and the larger weight.
    write(path(), cases[2].content);
    auto store = open();
    EXPECT_EQ(store->entries()[0].aliases, (QStringList{u("a1"), u("a2")}));
    EXPECT_EQ(store->entries()[0].weight, 9);
}

TEST_F(LexiconStoreTest, DamageCloseTogetherCostsOnlyTheDamagedTermsAndIsCountedTrue)
{
    using DamagedList::Damage;
    struct Row {
        int terms;
        std::set<int> damaged;
        Damage damage;
    };
    const Row rows[] = {
        {2000, {1, 2, 4}, Damage::noClosingBrace},
        {2000, {1, 2, 4, 5}, Damage::noClosingBrace},
        {2000, {0, 1, 2, 4, 5}, Damage::noClosingBrace},
        {2000, {1, 2, 3, 5, 6}, Damage::extraOpeningBrace},
        {20000, {5000, 5001, 5003, 5004, 5006}, Damage::noClosingBrace},
    };
    for (const Row& row : rows) {
        QList<LexiconEntry> entries;
        for (int i = 0; i < row.terms; ++i)
            entries.append(LexiconEntry(QUuid::createUuid(), QStringLiteral("词条%1").arg(i), {u("别名")},
                                        QStringLiteral("citiao%1").arg(i), LexiconCategory::memo, 5, i,
                                        Timestamp{757382400.0 + i}));
        const QByteArray file = DamagedList::damaged(LexiconFile::encode(entries), row.damaged, row.damage);
        SCOPED_TRACE(file.left(300).toStdString());
        removeFromDisk(backupPath());
        write(path(), file);
        QStringList reports;
        auto store = std::make_unique<PersonalLexiconStore>(path(), &m_scheduler.clock());
        QObject::connect(store.get(), &PersonalLexiconStore::fileKeptAside,
                         [&](const QString& what, const QString&, const QString&) { reports.append(what); });
        QList<LexiconEntry> kept;
        for (int i = 0; i < row.terms; ++i) {
            if (row.damage == Damage::extraOpeningBrace || !row.damaged.count(i))
                kept.append(entries[i]);
        }
        EXPECT_EQ(store->entries().size(), kept.size());
        EXPECT_TRUE(store->entries() == kept) << "every complete term, as it was";
        store->waitForSaves();
        QCoreApplication::sendPostedEvents();
        ASSERT_EQ(reports.size(), 1);
        EXPECT_TRUE(reports[0].contains(QStringLiteral("有 %1 处内容无法读取，已保留可读的 %2 个词条")
                                            .arg(row.damaged.size())
                                            .arg(kept.size())))
            << reports[0].toStdString();
        EXPECT_EQ(read(backupPath()), file);

        // The first change writes every term read, with it.
        ASSERT_TRUE(store->upsert(u("新词条"), {}, LexiconCategory::memo, 5));
        store->waitForSaves();
        EXPECT_EQ(termsOnDisk(path()).size(), kept.size() + 1);
        EXPECT_EQ(read(backupPath()), file) << "the copy stays as it was";
    }
}

TEST_F(LexiconStoreTest, LongTermsNeverGetInAndKeysAreFilledOffTheMainThread)
{
    // A 100,000-character term once took seconds to key, growing with the square of its length.
    const QString huge = QString(100000, u'中');
    write(path(), "[{\"term\":\"" + huge.toUtf8() +
                      "\"},{\"term\":\"张伟\"},{\"term\":\"Beta\",\"phoneticKey\":\"own\"}]");
    auto store = open();
    EXPECT_EQ(terms(*store), (QStringList{u("张伟"), u("Beta")}));
    EXPECT_TRUE(store->entries()[0].phoneticKey.isEmpty()) << "keys are not made on the main thread";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !store->entries()[0].phoneticKey.isEmpty(); }, 30000));
    EXPECT_EQ(store->entries()[0].phoneticKey, u("zhangwei"));
    EXPECT_EQ(store->entries()[1].phoneticKey, u("own")) << "a stored key is kept";
    EXPECT_EQ(read(backupPath()).size(), QFileInfo(path()).size());

    QStringList refusals;
    QObject::connect(store.get(), &PersonalLexiconStore::additionRefused,
                     [&](const QString& reason) { refusals.append(reason); });
    const QString tooLong = QString(LexiconFile::kMaximumTermLength + 1, u'x');
    EXPECT_FALSE(store->upsert(tooLong, {}, LexiconCategory::memo, 5));
    EXPECT_TRUE(store->upsert(QString(LexiconFile::kMaximumTermLength, u'y'), {}, LexiconCategory::memo, 5));
    store->updateEntry(store->entries()[0].id, tooLong, {}, LexiconCategory::memo, 5);
    EXPECT_EQ(store->entries()[0].term, QString(LexiconFile::kMaximumTermLength, u'y'));
    ASSERT_EQ(refusals.size(), 2);
    EXPECT_TRUE(refusals[0].contains(QString::number(LexiconFile::kMaximumTermLength)));

    // A long text is keyed in pieces, to the same key as whole (how long it takes is the benchmark's to say).
    const QString mixed = QString(u("中文 Quorbell 拼音")).repeated(2000);
    EXPECT_EQ(PhoneticIndexer::normalize(mixed), QString(u("zhongwenquorbellpinyin")).repeated(2000));
}

TEST_F(LexiconStoreTest, EditsMadeWhileTheKeyPassRunsAreNeverReplacedByItsList)
{
    // Entries without keys: the background pass keys a copy of the list, and its result arrives through the
    // event loop, after the edits below.
    write(path(), R"([{"term":"张伟"},{"term":"李娜"},{"term":"王芳"}])");
    auto store = open();
    ASSERT_TRUE(store->entries()[1].phoneticKey.isEmpty());
    ASSERT_TRUE(store->updateEntry(store->entries()[0].id, u("张伟伟"), {}, LexiconCategory::person, 7));
    ASSERT_TRUE(store->upsert(u("赵敏"), {}, LexiconCategory::person, 5));
    store->remove(store->entries()[3].id); // 王芳
    EXPECT_TRUE(QTest::qWaitFor([&] { return !store->entries()[2].phoneticKey.isEmpty(); }, 30000));
    EXPECT_EQ(terms(*store), (QStringList{u("赵敏"), u("张伟伟"), u("李娜")}));
    EXPECT_EQ(store->entries()[2].phoneticKey, u("lina")) << "the pass's keys still reach the entries left";
    store->waitForSaves();
    EXPECT_EQ(termsOnDisk(path()), (QStringList{u("赵敏"), u("张伟伟"), u("李娜")}));
}

TEST_F(LexiconStoreTest, NothingIsAddedThatWouldMakeAFileTheStoreCannotRead)
{
    auto store = open();
    const QString alias(100000, u'a');
    const LexiconEntry sample(QUuid::createUuid(), u("Term000"), {alias}, u("term000"),
                              LexiconCategory::project, 5, 0, m_scheduler.currentDate());
    const qint64 count = (LexiconFile::kMaxFileBytes - 60000) / LexiconFile::encodedSizeBound(sample);
    QList<LexiconEntry> entries;
    for (qint64 i = 0; i < count; ++i)
        entries.append(LexiconEntry(QUuid::createUuid(), u("Term%1").arg(i), {alias}, u("term%1").arg(i),
                                    LexiconCategory::project, 5, 0, m_scheduler.currentDate()));
    store->setEntries(entries);
    QStringList refusals;
    QObject::connect(store.get(), &PersonalLexiconStore::additionRefused,
                     [&](const QString& reason) { refusals.append(reason); });

    EXPECT_FALSE(store->upsert(u("Overflow"), {QString(120000, u'b')}, LexiconCategory::memo, 5));
    ASSERT_EQ(refusals.size(), 1);
    EXPECT_TRUE(refusals[0].contains(u("上限"))) << refusals[0].toStdString();
    EXPECT_EQ(store->bulkUpsert({{u("Overflow"), {QString(120000, u'b')}, LexiconCategory::memo}}), 0);
    EXPECT_EQ(refusals.size(), 2);
    EXPECT_TRUE(store->upsert(u("Small"), {}, LexiconCategory::memo, 5)) << "what fits still gets in";

    ASSERT_TRUE(store->save().ok);
    EXPECT_LE(QFileInfo(path()).size(), LexiconFile::kMaxFileBytes);
    EXPECT_EQ(open()->entries().size(), count + 1) << "what the store wrote, it reads whole";
    EXPECT_TRUE(backupPath().isEmpty());
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

// Whether a term is already stored follows every rename, merge and removal, and each single change says
// which entries it replaced.
TEST_F(LexiconStoreTest, ATermIsKnownAsStoredThroughRenamesMergesAndRemovals)
{
    auto store = open();
    const auto termsNow = [&] {
        QStringList terms;
        for (const LexiconEntry& e : store->entries())
            terms.append(e.term);
        return terms;
    };
    const auto idOf = [&](const QString& term) {
        for (const LexiconEntry& e : store->entries())
            if (e.term == term)
                return e.id;
        return QUuid();
    };
    using Change = std::tuple<qsizetype, qsizetype, qsizetype>;
    const auto lastChange = [&] {
        const auto& change = store->lastChange();
        return change ? Change{change->first, change->removed, change->inserted} : Change{-1, -1, -1};
    };

    ASSERT_TRUE(store->upsert(u("Alpha"), {}, LexiconCategory::memo, 5));
    EXPECT_EQ(lastChange(), (Change{0, 0, 1}));
    ASSERT_TRUE(store->updateEntry(idOf(u("Alpha")), u("Beta"), {}, LexiconCategory::memo, 5));
    EXPECT_EQ(lastChange(), (Change{0, 1, 1}));
    ASSERT_TRUE(store->upsert(u("ALPHA"), {}, LexiconCategory::memo, 5));
    EXPECT_EQ(termsNow(), (QStringList{u("ALPHA"), u("Beta")} + kSeedTerms)) << "the old name is free again";
    ASSERT_TRUE(store->upsert(u("beta"), {u("b")}, LexiconCategory::memo, 9));
    EXPECT_EQ(termsNow(), (QStringList{u("ALPHA"), u("Beta")} + kSeedTerms)) << "the new name is taken";
    EXPECT_EQ(lastChange(), (Change{1, 1, 1}));
    EXPECT_EQ(store->entries()[1].weight, 9);

    // A rename to a stored term, in another case, merges the two; one only in case stays a rename.
    ASSERT_TRUE(store->updateEntry(idOf(u("ALPHA")), u("bEtA"), {}, LexiconCategory::memo, 5));
    EXPECT_EQ(termsNow(), (QStringList{u("Beta")} + kSeedTerms));
    EXPECT_FALSE(store->lastChange()) << "a merge changes two places";
    ASSERT_TRUE(store->updateEntry(idOf(u("Beta")), u("BETA"), {}, LexiconCategory::memo, 5));
    EXPECT_EQ(termsNow(), (QStringList{u("BETA")} + kSeedTerms));
    ASSERT_TRUE(store->upsert(u("alpha"), {}, LexiconCategory::memo, 5));
    EXPECT_EQ(termsNow(), (QStringList{u("alpha"), u("BETA")} + kSeedTerms)) << "the merged name is free";

    store->remove(idOf(u("BETA")));
    EXPECT_EQ(lastChange(), (Change{1, 1, 0}));
    ASSERT_TRUE(store->upsert(u("Beta"), {}, LexiconCategory::memo, 5));
    EXPECT_EQ(termsNow(), (QStringList{u("Beta"), u("alpha")} + kSeedTerms)) << "a removed name is free";
    store->removeBatch({idOf(u("Beta")), idOf(u("alpha"))});
    EXPECT_FALSE(store->lastChange());
    ASSERT_TRUE(store->upsert(u("beta"), {}, LexiconCategory::memo, 5));
    EXPECT_EQ(termsNow(), (QStringList{u("beta")} + kSeedTerms));

    // Entries given with one id all go with it.
    const LexiconEntry twin = store->entries()[0];
    store->setEntries({twin, store->entries()[1], twin});
    store->remove(twin.id);
    EXPECT_EQ(store->entries().size(), 1);
    EXPECT_FALSE(store->lastChange());
}

TEST_F(LexiconStoreTest, AnAdditionMovesNoStoredEntry)
{
    // A large list read from a file, as the key pass hands it back, and as given whole: an addition goes in
    // front of the entries where they lie, without moving the list to a new block (a frame's time for
    // 100,000 terms).
    QJsonArray bare;
    for (int i = 0; i < 3000; ++i)
        bare.append(QJsonObject{{QStringLiteral("term"), QStringLiteral("词条%1").arg(i)}});
    write(path(), QJsonDocument(bare).toJson(QJsonDocument::Compact));
    int added = 0;
    const auto addMovesNothing = [&](PersonalLexiconStore& store) {
        store.waitForSaves(); // a save still under way shares the list, and a change would copy it
        const LexiconEntry* first = store.entries().constData();
        EXPECT_TRUE(store.upsert(QStringLiteral("新词%1").arg(added++), {}, LexiconCategory::memo, 5));
        return store.entries().constData() + 1 == first;
    };
    auto loaded = open();
    EXPECT_TRUE(loaded->entries().isDetached()) << "the key pass keys a copy of its own";
    EXPECT_TRUE(addMovesNothing(*loaded)) << "after the load";
    EXPECT_TRUE(addMovesNothing(*loaded)) << "the next one";
    QList<LexiconEntry> given = loaded->entries();
    given.squeeze();
    loaded->setEntries(std::move(given));
    EXPECT_TRUE(addMovesNothing(*loaded)) << "after a list given whole";
    EXPECT_EQ(loaded->entries().size(), 3003);
    loaded.reset();

    write(path(), QJsonDocument(bare).toJson(QJsonDocument::Compact));
    auto keyed = open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !keyed->entries().back().phoneticKey.isEmpty(); }, 30000));
    EXPECT_TRUE(addMovesNothing(*keyed)) << "after the key pass replaced the list";
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
