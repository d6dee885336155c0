#include "lexicon/PersonalLexiconStore.h"
#include "lexicon/TermImporter.h"

#include "support/QtPrinters.h"
#include "support/VirtualScheduler.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void setModified(const QString& path, const QDateTime& when)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite)) << path.toStdString();
    ASSERT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime));
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

const char* const kChromium = "CREATE TABLE urls(id INTEGER PRIMARY KEY, url LONGVARCHAR, title LONGVARCHAR, "
                              "visit_count INTEGER DEFAULT 0 NOT NULL, last_visit_time INTEGER NOT NULL);";
const char* const kFirefox = "CREATE TABLE moz_places(id INTEGER PRIMARY KEY, url LONGVARCHAR, title TEXT, "
                             "visit_count INTEGER DEFAULT 0, last_visit_date INTEGER);";

struct Visit {
    const char* title; // nullptr stores NULL
    int visits;
};

// A small SQLite database written the way a browser's history is.
class HistoryDatabase {
public:
    explicit HistoryDatabase(const QString& path, const char* schema = nullptr)
    {
        QDir().mkpath(QFileInfo(path).path());
        EXPECT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &m_db), SQLITE_OK);
        if (schema)
            exec(schema);
    }
    ~HistoryDatabase() { sqlite3_close(m_db); }

    void exec(const char* sql)
    {
        char* error = nullptr;
        EXPECT_EQ(sqlite3_exec(m_db, sql, nullptr, nullptr, &error), SQLITE_OK)
            << (error ? error : "") << sql;
        sqlite3_free(error);
    }

    void add(const char* table, const QList<Visit>& visits)
    {
        const QByteArray sql =
            QByteArray("INSERT INTO ") + table +
            (QByteArray(table) == "urls" ? "(url, title, visit_count, last_visit_time) VALUES('u', ?, ?, ?)"
                                         : "(url, title, visit_count, last_visit_date) VALUES('u', ?, ?, ?)");
        for (const Visit& visit : visits) {
            sqlite3_stmt* statement = nullptr;
            ASSERT_EQ(sqlite3_prepare_v2(m_db, sql.constData(), -1, &statement, nullptr), SQLITE_OK);
            if (visit.title)
                sqlite3_bind_text(statement, 1, visit.title, -1, SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(statement, 1);
            sqlite3_bind_int(statement, 2, visit.visits);
            sqlite3_bind_int64(statement, 3, ++m_time);
            EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
            sqlite3_finalize(statement);
        }
    }

private:
    sqlite3* m_db = nullptr;
    qint64 m_time = 0;
};

class TermImportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir(dir.path()).mkpath(QStringLiteral("home"));
        QDir(dir.path()).mkpath(QStringLiteral("tmp"));
        store->setEntries({});
        ASSERT_TRUE(store->save());
    }

    QString home(const char* relative = "") const
    {
        return QDir(dir.filePath(u("home"))).filePath(u(relative));
    }
    QString temp() const { return dir.filePath(u("tmp")); }
    QString notes(const char* relative = "") const
    {
        return QDir(dir.filePath(u("notes"))).filePath(u(relative));
    }
    QString chromePath() const { return home(".config/google-chrome/Default/History"); }

    bool tempIsEmpty() const
    {
        return QDir(temp())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
            .isEmpty();
    }

    // Runs an import to its end: the mining happens on the import queue, the merge back here.
    TermImportResult finish(QCoro::Task<TermImportResult> task)
    {
        std::optional<TermImportResult> result;
        auto waiter = [](QCoro::Task<TermImportResult> awaited,
                         std::optional<TermImportResult>& out) -> QCoro::Task<> { out = co_await awaited; };
        QCoro::Task<> waiting = waiter(std::move(task), result);
        const QDeadlineTimer deadline(30000);
        while (!result && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        EXPECT_TRUE(result.has_value()) << "the import did not finish";
        return result.value_or(TermImportResult{-1, Status::failure(u("timed out"))});
    }

    TermImportResult importHistory(int maxEntries = 60)
    {
        return finish(store->importFromLocalBrowserHistory(maxEntries, {home(), temp()}));
    }
    TermImportResult importNotes(int maxEntries = 120)
    {
        return finish(store->importFromMarkdownFolder(notes(), maxEntries));
    }

    QStringList terms() const
    {
        QStringList result;
        for (const LexiconEntry& entry : store->entries())
            result.append(entry.term);
        return result;
    }

    void chromeHistory(const QList<Visit>& visits)
    {
        HistoryDatabase(chromePath(), kChromium).add("urls", visits);
    }

    // A failed import reads nothing into the lexicon and leaves its file and the temporary folder as they
    // were.
    void expectFailedCleanly(const TermImportResult& result, const char* reason,
                             const QByteArray& lexiconBefore)
    {
        EXPECT_FALSE(result.status.ok);
        EXPECT_TRUE(result.status.error.contains(u(reason))) << result.status.error.toStdString();
        EXPECT_EQ(result.added, 0);
        EXPECT_TRUE(store->entries().isEmpty());
        EXPECT_EQ(readFile(store->storagePath()), lexiconBefore);
        EXPECT_TRUE(tempIsEmpty());
    }

    QTemporaryDir dir;
    VirtualScheduler scheduler;
    std::unique_ptr<PersonalLexiconStore> store = std::make_unique<PersonalLexiconStore>(
        dir.filePath(QStringLiteral("lexicon.json")), &scheduler.clock());
};

} // namespace

TEST(TermImporter, TitlePiecesAndNotePatterns)
{
    EXPECT_EQ(TermImporter::extractCleanEntities(u("Quorbell 发布说明 - GitHub")),
              (QStringList{u("Quorbell"), u("发布说明"), u("GitHub")}));
    // Every separator splits; pieces of one character or more than 18 are dropped; repeats are kept.
    EXPECT_EQ(TermImporter::extractCleanEntities(
                  u("星河：星河|a·【首页】（官网）[文档]/x•这是一个长度超过十八个字符的页面标题文字")),
              (QStringList{u("星河"), u("星河"), u("首页"), u("官网"), u("文档")}));

    // Bold phrases, then code spans, then capitalised words. A bold phrase of 17 characters does not match;
    // a code span of 19 characters matches but is longer than a term may be.
    const QString note = u("**星河计划** 与 ** 星河计划 **。**一二三四五六七八九十一二三四五六七**\n"
                           "`abcdefghijklmnopqr` `abcdefghijklmnopqrs` `x`\n"
                           "Deploy the Quorbell app, 使用DeepSeek and DeepSeek.");
    EXPECT_EQ(TermImporter::extractEntitiesFromNote(note),
              (QStringList{u("星河计划"), u("星河计划"), u("abcdefghijklmnopqr"), u("Deploy"), u("Quorbell"),
                           u("DeepSeek")}));

    // At most 120 matches per pattern and note.
    QString many;
    for (int i = 0; i < 130; ++i)
        many += QStringLiteral("Term%1 ").arg(i, 3, 10, QLatin1Char('0'));
    EXPECT_EQ(TermImporter::extractEntitiesFromNote(many).size(), 120);
}

TEST_F(TermImportTest, HistoriesOfEveryBrowserAndProfileAreFound)
{
    EXPECT_TRUE(TermImporter::historyDatabaseCandidates(home()).isEmpty());
    for (const char* path :
         {".config/google-chrome/Default/History", ".config/google-chrome/Profile 2/History",
          ".config/BraveSoftware/Brave-Browser/Default/History", ".config/vivaldi/Profile 1/History",
          ".config/microsoft-edge/Default/History",
          ".var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser/Default/History",
          "snap/chromium/common/chromium/Default/History"})
        writeFile(home(path), "x");
    // Not a profile's history: left out.
    writeFile(home(".config/google-chrome/System Profile/History"), "x");
    // Firefox lists its profiles: the install's default first, then the one marked as default, then the rest;
    // only those with a places database count.
    writeFile(home(".mozilla/firefox/profiles.ini"),
              "[Profile1]\nName=work\nIsRelative=1\nPath=ab.work\nDefault=1\n\n"
              "[Profile0]\nName=default-release\nIsRelative=1\nPath=xy.default-release\n\n"
              "[Profile2]\nName=old\nIsRelative=0\nPath=/nonexistent/old\n\n"
              "[Install4F96D1932A9F858E]\nDefault=xy.default-release\nLocked=1\n");
    writeFile(home(".mozilla/firefox/ab.work/places.sqlite"), "x");
    writeFile(home(".mozilla/firefox/xy.default-release/places.sqlite"), "x");
    // As a snap and as a Flatpak.
    for (const char* root :
         {"snap/firefox/common/.mozilla/firefox", ".var/app/org.mozilla.firefox/.mozilla/firefox"}) {
        writeFile(QDir(home(root)).filePath(u("profiles.ini")), "[Profile0]\nPath=p\nDefault=1\n");
        writeFile(QDir(home(root)).filePath(u("p/places.sqlite")), "x");
    }

    QStringList expected;
    for (const char* path :
         {".config/google-chrome/Default/History", ".config/google-chrome/Profile 2/History",
          ".config/BraveSoftware/Brave-Browser/Default/History", ".config/vivaldi/Profile 1/History",
          ".config/microsoft-edge/Default/History",
          ".var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser/Default/History",
          "snap/chromium/common/chromium/Default/History",
          ".mozilla/firefox/xy.default-release/places.sqlite", ".mozilla/firefox/ab.work/places.sqlite",
          "snap/firefox/common/.mozilla/firefox/p/places.sqlite",
          ".var/app/org.mozilla.firefox/.mozilla/firefox/p/places.sqlite"})
        expected.append(QDir::cleanPath(home(path)));
    EXPECT_EQ(TermImporter::historyDatabaseCandidates(home()), expected);
}

TEST_F(TermImportTest, TheHistoryWrittenMostRecentlyIsTheOneRead)
{
    HistoryDatabase(chromePath(), kChromium).add("urls", {{"铬专属 铬专属", 5}});
    writeFile(home(".mozilla/firefox/profiles.ini"), "[Profile0]\nPath=p\nDefault=1\n");
    const QString places = home(".mozilla/firefox/p/places.sqlite");
    HistoryDatabase(places, kFirefox).add("moz_places", {{"火狐专属 火狐专属", 5}});
    const QDateTime now = QDateTime::currentDateTime();
    setModified(chromePath(), now.addDays(-3));
    setModified(places, now.addDays(-2));
    const QStringList candidates = TermImporter::historyDatabaseCandidates(home());
    EXPECT_EQ(TermImporter::mostRecentHistory(candidates), places);

    // A browser that keeps its database open writes its -wal first: that counts as a write of the history.
    writeFile(chromePath() + u("-wal"), QByteArray());
    setModified(chromePath() + u("-wal"), now.addDays(-1));
    EXPECT_EQ(TermImporter::mostRecentHistory(candidates), chromePath());
    QFile::remove(chromePath() + u("-wal"));

    const TermImportResult result = importHistory();
    ASSERT_TRUE(result.status.ok) << result.status.error.toStdString();
    EXPECT_EQ(terms(), QStringList{u("火狐专属")}) << "only the history in use is read";
    EXPECT_TRUE(tempIsEmpty());
}

TEST_F(TermImportTest, BrowserImportKeepsTitlePiecesSeenTwice)
{
    const std::string longTitle = "超长标题 " + std::string(5000, 'x') + " 超长标题";
    chromeHistory({{"Quorbell 发布说明 - GitHub", 9},
                   {"Quorbell 使用指南 | GitHub", 8},
                   {"星河计划 - google", 7},
                   {"星河计划：google", 6},
                   {"Google 搜索", 5},
                   {"Google【首页】", 5},
                   {"只出现一次的标题", 5},
                   {"Quorbell", 4},
                   {"回声 - 回声", 3},
                   {"低频词 - 低频词", 1},
                   {nullptr, 9},
                   {longTitle.c_str(), 9}});
    const QByteArray original = readFile(chromePath());

    const TermImportResult result = importHistory();
    ASSERT_TRUE(result.status.ok) << result.status.error.toStdString();
    EXPECT_EQ(result.added, 4);
    // Most frequent first; "Google" is noise, "google" is not (the noise list is exact).
    EXPECT_EQ(terms(), (QStringList{u("Quorbell"), u("星河计划"), u("google"), u("回声")}));
    for (const LexiconEntry& entry : store->entries()) {
        EXPECT_EQ(entry.category, LexiconCategory::browser);
        EXPECT_EQ(entry.weight, 2);
        EXPECT_TRUE(entry.aliases.isEmpty());
    }
    EXPECT_EQ(readFile(chromePath()), original);
    EXPECT_TRUE(tempIsEmpty());

    // Importing again adds nothing and strengthens every term found again.
    const TermImportResult again = importHistory();
    EXPECT_EQ(again.added, 0);
    for (const LexiconEntry& entry : store->entries())
        EXPECT_EQ(entry.weight, 3) << entry.term.toStdString();

    // maxEntries bounds what is handed over.
    store->setEntries({});
    EXPECT_EQ(importHistory(1).added, 1);
    EXPECT_EQ(terms(), QStringList{u("Quorbell")});
}

TEST_F(TermImportTest, FirefoxHistoryIsReadWithVisitsStillInItsWriteAheadLog)
{
    writeFile(home(".mozilla/firefox/profiles.ini"),
              "[Install1]\nDefault=Profiles/q.default\n\n[Profile0]\nPath=Profiles/q.default\nDefault=1\n");
    const QString places = home(".mozilla/firefox/Profiles/q.default/places.sqlite");
    // The browser keeps its connection open; with checkpoints off the visits live only in the -wal file.
    HistoryDatabase browser(places, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
    browser.exec(kFirefox);
    browser.add("moz_places", {{"Semrush 报告 - 周报", 4}, {"Semrush · 周报", 3}, {"偶然访问 偶然访问", 1}});
    browser.exec("BEGIN; INSERT INTO moz_places(url, title, visit_count) VALUES('u', '未提交 未提交', 9);");
    ASSERT_GT(QFileInfo(places + u("-wal")).size(), 0);
    const QByteArray originalWal = readFile(places + u("-wal"));

    const TermImportResult result = importHistory();
    ASSERT_TRUE(result.status.ok) << result.status.error.toStdString();
    EXPECT_EQ(terms(), (QStringList{u("Semrush"), u("周报")}));
    EXPECT_EQ(readFile(places + u("-wal")), originalWal);
    EXPECT_TRUE(tempIsEmpty());
    browser.exec("COMMIT;");
}

TEST_F(TermImportTest, HistoryLockedByTheBrowserIsReadFromTheCopyAndLeftLocked)
{
    HistoryDatabase browser(chromePath(), kChromium);
    browser.add("urls", {{"锁定测试 - 第一页", 3}, {"锁定测试 - 第二页", 3}});
    // The browser is in the middle of a write and holds the exclusive lock.
    browser.exec("BEGIN EXCLUSIVE; INSERT INTO urls(url, title, visit_count, last_visit_time) "
                 "VALUES('u', '写入中 写入中', 5, 0);");
    const QByteArray original = readFile(chromePath());

    const TermImportResult result = importHistory();
    ASSERT_TRUE(result.status.ok) << result.status.error.toStdString();
    EXPECT_EQ(terms(), QStringList{u("锁定测试")});
    EXPECT_EQ(readFile(chromePath()), original);
    EXPECT_TRUE(tempIsEmpty());
    // Our read took no lock on the original: the browser still commits.
    browser.exec("COMMIT;");
}

TEST_F(TermImportTest, UnusableHistoryFailsClearlyAndLeavesNothingBehind)
{
    const QByteArray lexiconBefore = readFile(store->storagePath());

    // No browser at all.
    expectFailedCleanly(importHistory(), "未找到本机浏览器的浏览历史", lexiconBefore);

    // A damaged file: not a database.
    writeFile(chromePath(), QByteArray("this is not a database at all. ").repeated(200));
    const QByteArray damaged = readFile(chromePath());
    expectFailedCleanly(importHistory(), "无法读取浏览历史（file is not a database）", lexiconBefore);
    EXPECT_EQ(readFile(chromePath()), damaged);

    // A database of another shape.
    QFile::remove(chromePath());
    HistoryDatabase(chromePath(), "CREATE TABLE visits(id INTEGER);");
    expectFailedCleanly(importHistory(), "no such table: urls", lexiconBefore);

    // A database built to keep the query running is stopped.
    QFile::remove(chromePath());
    HistoryDatabase(chromePath(),
                    "CREATE VIEW urls AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                    "FROM c) SELECT 'x' AS title, 5 AS visit_count, 0 AS last_visit_time FROM c "
                    "WHERE x < 0;");
    expectFailedCleanly(importHistory(), "interrupted", lexiconBefore);

    // Far too large to copy (a sparse file, so the test stays cheap).
    QFile::remove(chromePath());
    {
        QFile huge(chromePath());
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize(600LL * 1024 * 1024));
    }
    expectFailedCleanly(importHistory(), "超过 512 MB", lexiconBefore);
    QFile::remove(chromePath());

    // No usable temporary folder: nothing is read, the original stays.
    chromeHistory({{"词条 词条", 3}});
    const QByteArray original = readFile(chromePath());
    const TermImportResult noTemp =
        finish(store->importFromLocalBrowserHistory(60, {home(), dir.filePath(u("missing"))}));
    expectFailedCleanly(noTemp, "无法使用临时文件夹（", lexiconBefore);
    EXPECT_EQ(readFile(chromePath()), original);
}

TEST_F(TermImportTest, ImportOutlivingItsStoreEndsWithoutTouchingIt)
{
    chromeHistory({{"词条 词条", 3}});
    QCoro::Task<TermImportResult> task = store->importFromLocalBrowserHistory(60, {home(), temp()});
    store.reset();
    const TermImportResult result = finish(std::move(task));
    EXPECT_FALSE(result.status.ok);
    EXPECT_EQ(result.added, 0);
    EXPECT_TRUE(tempIsEmpty());
}

TEST_F(TermImportTest, NoteFolderReadsAtMost400NotesOfTheNoteKinds)
{
    expectFailedCleanly(importNotes(), "无法读取文件夹「", readFile(store->storagePath()));

    // Sorted before the notes: other kinds, hidden files and hidden folders are neither read nor counted.
    for (int i = 0; i < 10; ++i)
        writeFile(notes(QStringLiteral("a%1.log").arg(i).toUtf8().constData()), "**日志词条** **日志词条**");
    writeFile(notes(".a.md"), "**隐藏词条** **隐藏词条**");
    writeFile(notes(".a/b.md"), "**隐藏目录** **隐藏目录**");
    for (int i = 0; i < 450; ++i) {
        const QString name = QStringLiteral("n%1.md").arg(i, 3, 10, QLatin1Char('0'));
        const QByteArray term = QStringLiteral("词条%1").arg(i, 3, 10, QLatin1Char('0')).toUtf8();
        writeFile(notes(name.toUtf8().constData()), "**" + term + "** 和 **" + term + "**");
    }
    const TermImportResult result = importNotes(1000);
    ASSERT_TRUE(result.status.ok) << result.status.error.toStdString();
    EXPECT_EQ(result.added, 400);
    const QStringList found = terms();
    EXPECT_TRUE(found.contains(u("词条000")) && found.contains(u("词条399")));
    EXPECT_FALSE(found.contains(u("词条400")));
}

TEST_F(TermImportTest, NoteFolderCountsAcrossNotesAndSkipsWhatItCannotRead)
{
    writeFile(notes("plan.md"), "**星河计划** 需要跟进，**星河计划** 下周上线。`solo` 只有一次。");
    writeFile(notes("sub/A.TXT"), "部署 `quorbell-cli`。");
    writeFile(notes("sub/deep/b.csv"), "name,`quorbell-cli`\n");
    writeFile(notes("other.markdown"), "**不读取** **不读取**");
    // Over 16 MB: skipped (sparse, so cheap to make).
    writeFile(notes("huge.md"), "**超大文件** **超大文件**");
    ASSERT_TRUE(QFile::resize(notes("huge.md"), 17LL * 1024 * 1024));
    // Not UTF-8 text: skipped.
    writeFile(notes("latin1.md"),
              "\xff\xfe**\xe5\x9d\x8f\xe7\xbc\x96\xe7\xa0\x81** **\xe5\x9d\x8f\xe7\xbc\x96\xe7\xa0\x81**");
    // A named pipe would block a reader forever; a link to the folder itself would walk in circles.
    ASSERT_EQ(::mkfifo(QFile::encodeName(notes("pipe.md")).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(notes(), notes("sub/loop")));

    const TermImportResult result = importNotes();
    ASSERT_TRUE(result.status.ok) << result.status.error.toStdString();
    EXPECT_EQ(terms(), (QStringList{u("星河计划"), u("quorbell-cli")}));
    for (const LexiconEntry& entry : store->entries()) {
        EXPECT_EQ(entry.category, LexiconCategory::memo);
        EXPECT_EQ(entry.weight, 2);
    }

    EXPECT_EQ(importNotes().added, 0);
    for (const LexiconEntry& entry : store->entries())
        EXPECT_EQ(entry.weight, 3);
}

TEST_F(TermImportTest, NoteFolderLeavesOutCommonWordsAndCapitalsThatOnlyOpenSentences)
{
    // Release notes as a package ships them: every line and sentence opens with a capital.
    writeFile(notes("NEWS.md"), "# Release Notes\n\nThe parser is faster. This fixes two crashes.\n"
                                "- Fixes a leak in Quorbell when idle.\n- Also: Quorbell starts faster.\n"
                                "When idle, the daemon sleeps. The end. This too.\n"
                                "## Release 2\n1. Fixes more.\n> Fixes quoted.\n");
    writeFile(notes("usage.txt"), "Run it with `2024` and `v1.2` twice: `2024` `v1.2`.\n"
                                  "We use **今天** and **今天** here, and **The** **The** as bold.\n"
                                  "Talk to Alice. Alice knows.\n");
    const TermImportResult result = importNotes();
    ASSERT_TRUE(result.status.ok) << result.status.error.toStdString();
    // Quorbell is capitalised inside sentences; Alice is seen inside one once, which is enough. Numbers,
    // versions, everyday words and function words stay out whatever marks them.
    EXPECT_EQ(terms(), (QStringList{u("Quorbell"), u("Alice")}));
}
