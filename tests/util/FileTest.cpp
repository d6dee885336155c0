#include "support/TempDataFolder.h"
#include "util/DataFolder.h"
#include "util/FileIO.h"
#include "util/FileWriteQueue.h"
#include "util/Json.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <vector>

TEST(FileIO, WritesWholeFilesPrivatelyAndReplacesAtomically)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.json"));
    ASSERT_TRUE(FileIO::writeAtomically(path, "first"));
    ASSERT_TRUE(FileIO::writeAtomically(path, "second, longer"));
    EXPECT_EQ(FileIO::readAll(path).value_or(QByteArray()), QByteArray("second, longer"));
    EXPECT_EQ(QFileInfo(path).permissions() & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("config.json")})
        << "no temporary file is left behind";

    EXPECT_FALSE(FileIO::readAll(dir.filePath(QStringLiteral("missing.json"))).has_value());
    EXPECT_FALSE(FileIO::readAll(path, 4).has_value()) << "a file over the cap is not read";
    EXPECT_FALSE(FileIO::writeAtomically(dir.filePath(QStringLiteral("no/such/folder/x.json")), "x"));
}

TEST(FileIO, KeepsEveryCopyAsideUnderANameOfItsOwn)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.json"));
    const Result<QString> nothing = FileIO::keepAside(path);
    ASSERT_TRUE(nothing.ok()) << "nothing to keep when the file is missing";
    EXPECT_TRUE(nothing.value().isEmpty());

    const QString legacy = dir.filePath(QStringLiteral("history.corrupt.bak.json"));
    ASSERT_TRUE(FileIO::writeAtomically(legacy, "an older version's copy"));
    ASSERT_TRUE(FileIO::writeAtomically(path, "[{\"first\""));
    const Result<QString> first = FileIO::keepAside(path);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(FileIO::writeAtomically(path, "[{\"second\""));
    const Result<QString> second = FileIO::keepAside(path);
    ASSERT_TRUE(second.ok());
    EXPECT_NE(first.value(), second.value()) << "a second accident in the same second gets a copy of its own";
    EXPECT_TRUE(QFileInfo(first.value()).fileName().startsWith(QStringLiteral("history.corrupt.")));
    EXPECT_TRUE(first.value().endsWith(QStringLiteral(".bak.json")));
    EXPECT_EQ(FileIO::readAll(first.value()), QByteArray("[{\"first\""));
    EXPECT_EQ(FileIO::readAll(second.value()), QByteArray("[{\"second\""));
    EXPECT_EQ(FileIO::readAll(path), QByteArray("[{\"second\"")) << "the original stays where it was";
    EXPECT_EQ(FileIO::keptCopies(path), (QStringList{first.value(), second.value()}));

    // Twelve more, most of them within one second: each sorts after the one before and survives its own
    // pruning, so a name freed by pruning is never taken again.
    QStringList made;
    for (int i = 0; i < FileIO::kKeptCopies + 2; ++i) {
        ASSERT_TRUE(FileIO::writeAtomically(path, QByteArray::number(i)));
        const Result<QString> copy = FileIO::keepAside(path);
        ASSERT_TRUE(copy.ok());
        ASSERT_EQ(FileIO::keptCopies(path).last(), copy.value()) << i;
        made.append(copy.value());
    }
    const QStringList kept = FileIO::keptCopies(path);
    EXPECT_EQ(kept, made.mid(2)) << "only the oldest copies beyond the limit go";
    EXPECT_EQ(FileIO::readAll(kept.last()), QByteArray::number(FileIO::kKeptCopies + 1));
    EXPECT_FALSE(kept.contains(first.value()));
    EXPECT_EQ(FileIO::readAll(legacy), QByteArray("an older version's copy"));
}

TEST(FileIO, TheCopyJustMadeSurvivesCopiesNamedInTheFutureOrByTheLocalTime)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lexicon.json"));
    // Ten copies from a clock that was set ahead, and two an older version named by the local time.
    QStringList future;
    for (int i = 1; i <= FileIO::kKeptCopies; ++i) {
        future.append(FileIO::keptCopyPath(path, QStringLiteral("20991231-235959Z-%1").arg(i)));
        ASSERT_TRUE(FileIO::writeAtomically(future.last(), "future"));
    }
    const QString local = FileIO::keptCopyPath(path, QStringLiteral("20991231-235959"));
    const QString localSecond = FileIO::keptCopyPath(path, QStringLiteral("20991231-235959-2"));
    ASSERT_TRUE(FileIO::writeAtomically(local, "local"));
    ASSERT_TRUE(FileIO::writeAtomically(localSecond, "local"));
    EXPECT_EQ(FileIO::keptCopies(path), (QStringList{local, localSecond} + future))
        << "copies named by the local time are older than every UTC one";

    ASSERT_TRUE(FileIO::writeAtomically(path, "[{\"term\": 1}]"));
    const auto utcDay = [] { return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-")); };
    const QString dayBefore = utcDay();
    const Result<QString> copy = FileIO::keepAside(path);
    const QString dayAfter = utcDay();
    ASSERT_TRUE(copy.ok());
    EXPECT_EQ(FileIO::readAll(copy.value()), QByteArray("[{\"term\": 1}]")) << "the copy just made is kept";
    const QString name = QFileInfo(copy.value()).fileName();
    EXPECT_TRUE(name.startsWith(QStringLiteral("lexicon.corrupt.") + dayBefore) ||
                name.startsWith(QStringLiteral("lexicon.corrupt.") + dayAfter))
        << name.toStdString();
    EXPECT_TRUE(name.endsWith(QStringLiteral("Z.bak.json"))) << "named by UTC";
    const QStringList kept = FileIO::keptCopies(path);
    EXPECT_EQ(kept.size(), FileIO::kKeptCopies);
    EXPECT_EQ(kept.value(0), copy.value()) << "it sorts oldest and still stays";
    EXPECT_EQ(kept.mid(1), future.mid(1)) << "the oldest of the others went instead";
}

TEST(FileIO, SpecialFilesAreNeverOpenedForReadingAndAreMovedAsideWhole)
{
    QTemporaryDir dir;
    const QString pipe = dir.filePath(QStringLiteral("lexicon.json"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    // Reading a pipe with no writer would block for ever: this returns at once.
    const FileIO::ReadResult read = FileIO::readFile(pipe, 1024);
    EXPECT_TRUE(read.unreadable());
    EXPECT_TRUE(read.reason.contains(QStringLiteral("管道"))) << read.reason.toStdString();
    const Result<QString> moved = FileIO::keepAside(pipe);
    ASSERT_TRUE(moved.ok());
    EXPECT_FALSE(QFileInfo::exists(pipe));
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(moved.value()).constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    const QString folder = dir.filePath(QStringLiteral("config.json"));
    ASSERT_TRUE(QDir().mkdir(folder));
    const FileIO::ReadResult readFolder = FileIO::readFile(folder, 1024);
    EXPECT_TRUE(readFolder.unreadable());
    EXPECT_TRUE(readFolder.reason.contains(QStringLiteral("文件夹"))) << readFolder.reason.toStdString();
    EXPECT_EQ(FileIO::readFile(dir.filePath(QStringLiteral("none.json")), 1024).kind,
              FileIO::ReadResult::Kind::missing);
    const QString large = dir.filePath(QStringLiteral("history.json"));
    ASSERT_TRUE(FileIO::writeAtomically(large, QByteArray(2048, ' ')));
    const FileIO::ReadResult tooLarge = FileIO::readFile(large, 1024);
    EXPECT_TRUE(tooLarge.unreadable());
    EXPECT_TRUE(tooLarge.reason.contains(QStringLiteral("上限"))) << tooLarge.reason.toStdString();
}

TEST(FileIO, WritesReplaceALinkAndNeverTouchItsTarget)
{
    QTemporaryDir outside;
    QTemporaryDir folder;
    const QString target = outside.filePath(QStringLiteral("passwd"));
    ASSERT_TRUE(FileIO::writeAtomically(target, "root:x:0:0"));
    ASSERT_TRUE(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ReadGroup | QFileDevice::ReadOther));
    const QString link = folder.filePath(QStringLiteral("history.json"));
    ASSERT_TRUE(QFile::link(target, link));

    const Result<QString> copy = FileIO::keepAside(link);
    ASSERT_TRUE(copy.ok());
    EXPECT_EQ(FileIO::readAll(copy.value()), QByteArray("root:x:0:0"))
        << "a copy of a link holds the content";
    EXPECT_FALSE(QFileInfo(copy.value()).isSymLink());

    ASSERT_TRUE(FileIO::writeAtomically(link, "[]"));
    EXPECT_EQ(FileIO::readAll(target), QByteArray("root:x:0:0"));
    EXPECT_EQ(QFileInfo(target).permissions() & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                            QFileDevice::ReadGroup | QFileDevice::ReadOther);
    EXPECT_FALSE(QFileInfo(link).isSymLink()) << "the link itself was replaced";
    EXPECT_EQ(FileIO::readAll(link), QByteArray("[]"));

    const Status intoFolder = FileIO::writeAtomically(folder.path(), "x");
    ASSERT_FALSE(intoFolder);
    EXPECT_TRUE(intoFolder.error.contains(QStringLiteral("文件夹"))) << intoFolder.error.toStdString();
}

TEST(DataFolder, CreatesAPrivateFolderAndHonoursTheOverride)
{
    TempDataFolder temp;
    const QString nested = temp.filePath(QStringLiteral("deeper/Quorbell"));
    DataFolder::setOverride(nested);
    EXPECT_EQ(DataFolder::path(), nested);
    EXPECT_TRUE(QFileInfo(nested).isDir());
    EXPECT_EQ(QFileInfo(nested).permissions() & 0x7077,
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(DataFolder::filePath(QStringLiteral("config.json")), nested + QStringLiteral("/config.json"));
}

TEST(DataFolder, OnlyTakesRightsFromGroupAndOthers)
{
    TempDataFolder temp;
    const QString folder = temp.filePath(QStringLiteral("Quorbell"));
    ASSERT_TRUE(QDir().mkdir(folder));
    DataFolder::setOverride(folder);
    const auto mode = [&] {
        struct stat st {};
        ::stat(QFile::encodeName(folder).constData(), &st);
        return st.st_mode & 07777;
    };
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    EXPECT_EQ(DataFolder::path(), folder);
    EXPECT_EQ(mode(), 0700u);
    ::chmod(QFile::encodeName(folder).constData(), 0555);
    EXPECT_EQ(DataFolder::path(), folder);
    EXPECT_EQ(mode(), 0500u) << "a folder the user made read-only gets no write right";
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    DataFolder::setOverride({});
}

TEST(DataFolder, DefaultsToXdgDataHome)
{
    QTemporaryDir home;
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    DataFolder::setOverride({});
    EXPECT_EQ(DataFolder::path(), home.path() + QStringLiteral("/Quorbell"));
    qputenv("XDG_DATA_HOME", saved);
}

TEST(Json, TypedReadsRejectOtherTypes)
{
    EXPECT_EQ(Json::integer(QJsonValue(5.0)), 5);
    EXPECT_FALSE(Json::integer(QJsonValue(5.5)).has_value());
    EXPECT_FALSE(Json::integer(QJsonValue(QStringLiteral("5"))).has_value());
    EXPECT_FALSE(Json::boolean(QJsonValue(1)).has_value());
    EXPECT_FALSE(Json::stringList(QJsonArray{QStringLiteral("a"), 1}).has_value());
    const QString upper = QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    const auto id = Json::uuid(upper.toLower());
    ASSERT_TRUE(id.has_value()) << "identifiers are read in either case";
    EXPECT_EQ(Json::uuidText(*id), upper) << "and written in upper case";
    EXPECT_FALSE(Json::uuid(QStringLiteral("{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}")).has_value());
    EXPECT_FALSE(Json::uuid(QStringLiteral("E621E1F8C36C495A93FC0C247A3E6E5F")).has_value());
}

namespace {

// Holds the writer's thread inside an encode until released.
struct WriterGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
    QByteArray pass(QByteArray bytes)
    {
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
        return bytes;
    }
    void waitUntilEntered()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return entered; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

} // namespace

// A save that waits behind a slow one gives way to a newer save of the same file; the file ends with the
// newest bytes and each save still made reports once, on the main thread.
TEST(FileWriteQueue, SavesLandInOrderAndAWaitingSaveGivesWayToANewerOne)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.json"));
    const QString other = dir.filePath(QStringLiteral("config.json"));
    QObject context;
    QStringList reported;
    auto report = [&](const QString& name) {
        return [&reported, name, mainThread = QThread::currentThread()](const Status& status) {
            EXPECT_EQ(QThread::currentThread(), mainThread);
            reported.append(name + (status ? QStringLiteral(" ok") : QStringLiteral(" failed")));
        };
    };
    WriterGate gate;
    {
        FileWriteQueue writes(QStringLiteral("test.files"));
        writes.save({path, [&] { return gate.pass("first"); }}, &context, report(QStringLiteral("first")));
        gate.waitUntilEntered();
        writes.save({path, [] { return QByteArray("second"); }}, &context, report(QStringLiteral("second")));
        writes.save({other, [] { return QByteArray("settings"); }}, &context,
                    report(QStringLiteral("other")));
        writes.save({path, [] { return QByteArray("third"); }}, &context, report(QStringLiteral("third")));
        writes.save({dir.filePath(QStringLiteral("no/such/folder.json")), {}}, &context,
                    report(QStringLiteral("nowhere")));
        EXPECT_TRUE(reported.isEmpty()) << "nothing reports before the event loop runs";
        gate.release();
        writes.waitForSaves();
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(reported, (QStringList{QStringLiteral("first ok"), QStringLiteral("third ok"),
                                         QStringLiteral("other ok"), QStringLiteral("nowhere failed")}));
        EXPECT_EQ(FileIO::readAll(path).value_or(QByteArray()), QByteArray("third"));
        EXPECT_EQ(FileIO::readAll(other).value_or(QByteArray()), QByteArray("settings"));

        // What is queued when the writer goes still lands.
        writes.save({path, [] { return QByteArray("at exit"); }}, &context, report(QStringLiteral("exit")));
    }
    EXPECT_EQ(FileIO::readAll(path).value_or(QByteArray()), QByteArray("at exit"));
    {
        FileWriteQueue writes(QStringLiteral("test.files"));
        auto gone = std::make_unique<QObject>();
        writes.save({path, [] { return QByteArray("late"); }}, gone.get(), report(QStringLiteral("late")));
        writes.waitForSaves();
        gone.reset();
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(reported.last(), QStringLiteral("exit ok"))
            << "a report to a context that is gone is dropped";
        EXPECT_TRUE(writes.saveAndWait({path, [] { return QByteArray("waited"); }}));
        EXPECT_EQ(FileIO::readAll(path).value_or(QByteArray()), QByteArray("waited"));
    }
}

TEST(FileWriteQueue, AFileIsKeptAsideBeforeItIsOverwrittenAndNothingTooLargeIsWritten)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lexicon.json"));
    ASSERT_TRUE(FileIO::writeAtomically(path, "[{\"term\":\"半"));
    FileWriteQueue writes(QStringLiteral("test.files"));
    QObject context;
    QStringList kept;
    writes.keepAside(path, &context, [&](const Result<QString>& copy) {
        ASSERT_TRUE(copy.ok());
        kept.append(copy.value());
    });
    EXPECT_TRUE(writes.saveAndWait({path, [] { return QByteArray("[]"); }}));
    QCoreApplication::sendPostedEvents();
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(FileIO::readAll(kept.first()), QByteArray("[{\"term\":\"半"));
    EXPECT_EQ(FileIO::readAll(path), QByteArray("[]"));

    const Status tooLarge = writes.saveAndWait({path, [] { return QByteArray(100, 'x'); }, 99});
    EXPECT_FALSE(tooLarge);
    EXPECT_TRUE(tooLarge.error.contains(QStringLiteral("上限"))) << tooLarge.error.toStdString();
    EXPECT_EQ(FileIO::readAll(path), QByteArray("[]")) << "a file its reader would refuse is never written";
    EXPECT_EQ(FileIO::keptCopies(path).size(), 1) << "a copy is made once";
}

namespace {

// One element of a list file, as the writer puts it; its strings hold braces and brackets.
QByteArray listElement(int n)
{
    return R"({"aliases":["a{","b]","[{\"c\":1}]"],"n":)" + QByteArray::number(n) + R"(,"term":"x},{y"})";
}

// Damage done to one element, given its bytes and whether a comma follows it.
struct Damage {
    const char* name;
    std::function<QByteArray(const QByteArray&)> apply;
    bool elementSurvives = false; // the damage lies beside the element's bytes
    bool exactCount = true;       // each damaged element counts one loss, also next to another
    bool dropsComma = false;
};

const std::vector<Damage>& damages()
{
    static const std::vector<Damage> all = {
        {"no closing brace", [](const QByteArray& e) { return e.chopped(1); }},
        {"an extra opening brace", [](const QByteArray& e) { return "{" + e; }, true},
        {"no braces", [](const QByteArray& e) { return e.mid(1).chopped(1); }, false, false},
        {"an unclosed list",
         [](const QByteArray& e) { return QByteArray(e).replace("\"],\"n\"", "\",\"n\""); }},
        {"a stray quote", [](const QByteArray& e) { return QByteArray(e).replace("x},{y", "x},\"{y"); }},
        {"a missing quote", [](const QByteArray& e) { return QByteArray(e).replace(",\"n\":", ",n\":"); }},
        {"a bad byte", [](const QByteArray& e) { return QByteArray(e).replace("x},{y", "x},\xff{y"); }},
        {"no comma after it", [](const QByteArray& e) { return e; }, true, true, true},
    };
    return all;
}

// `count` elements, the ones in `damaged` damaged.
QByteArray damagedList(int count, const std::set<int>& damaged, const Damage& damage)
{
    QByteArray text = "[";
    for (int n = 0; n < count; ++n) {
        const bool hit = damaged.count(n) > 0;
        text += hit ? damage.apply(listElement(n)) : listElement(n);
        if (n + 1 < count && !(hit && damage.dropsComma))
            text += ',';
    }
    return text + "]";
}

QList<int> numbersOf(const Json::ArrayElements& read)
{
    QList<int> numbers;
    for (const QJsonValue& element : read.elements)
        numbers.append(element.toObject().value(QStringLiteral("n")).toInt(-1));
    return numbers;
}

} // namespace

TEST(Json, DamageCostsOnlyTheElementsItTouchesHoweverCloseTogether)
{
    // Next to each other, one apart, and at the first and last element.
    const std::set<int> damaged{0, 2, 3, 4, 6, 9, 10, 39};
    for (const Damage& damage : damages()) {
        SCOPED_TRACE(damage.name);
        const Json::ArrayElements read = Json::readArray(damagedList(40, damaged, damage));
        EXPECT_TRUE(read.isArray);
        QList<int> expected;
        for (int n = 0; n < 40; ++n) {
            if (damage.elementSurvives || !damaged.count(n))
                expected.append(n);
        }
        EXPECT_EQ(numbersOf(read), expected);
        // A missing comma after the last element is no damage.
        const qsizetype faults = qsizetype(damaged.size()) - (damage.dropsComma ? 1 : 0);
        if (damage.exactCount)
            EXPECT_EQ(read.lost, faults);
        else
            EXPECT_TRUE(read.lost >= 1 && read.lost <= faults) << read.lost;
    }
}

TEST(Json, RecoveryIsLinearInTheFileWhateverTheDamage)
{
    // Every element of 100,000 damaged, by one kind of damage each time and by all of them in turn: the
    // recovery passes over each byte a few times, never once per fault.
    constexpr int kCount = 100000;
    std::set<int> all;
    for (int n = 0; n < kCount; ++n)
        all.insert(all.end(), n);
    QList<QByteArray> files;
    for (const Damage& damage : damages())
        files.append(damagedList(kCount, all, damage));
    QByteArray mixed = "[";
    for (int n = 0; n < kCount; ++n) {
        const Damage& damage = damages()[size_t(n) % damages().size()];
        mixed += damage.apply(listElement(n)) + (damage.dropsComma ? "" : ",");
    }
    files.append(mixed + "]");
    for (const QByteArray& file : files) {
        SCOPED_TRACE(file.left(200).toStdString());
        const Json::ArrayElements read = Json::readArray(file);
        EXPECT_GT(read.lost, 0);
        EXPECT_LE(read.scanned, 4 * file.size());
    }
}

TEST(Json, ADamagedArrayKeepsEveryElementThatReadsOnItsOwn)
{
    const Json::ArrayElements whole = Json::readArray(R"([{"a":"x,]}"},[1,2],3])");
    EXPECT_TRUE(whole.isArray);
    EXPECT_EQ(whole.lost, 0);
    EXPECT_EQ(whole.elements.size(), 3);

    // Commas and brackets inside strings do not split; a damaged element costs only itself.
    const Json::ArrayElements damaged = Json::readArray(
        "\xEF\xBB\xBF [{\"a\":\"x,]\\\"}\"}, {\"b\":\"\xff\"}, {\"c\":[1,[2, \"]\"]]}, {\"e\":");
    EXPECT_TRUE(damaged.isArray);
    ASSERT_EQ(damaged.elements.size(), 2);
    EXPECT_EQ(damaged.elements[0].toObject().value(QStringLiteral("a")).toString(), QStringLiteral("x,]\"}"));
    EXPECT_EQ(damaged.elements[1].toObject().value(QStringLiteral("c")).toArray().size(), 2);
    EXPECT_EQ(damaged.lost, 2) << "the bad byte's element and the cut one";

    // A stray quote turns every later string inside out: the element it is in ends at its next key, and the
    // next element is read afresh, in a file that ends and in one cut short.
    for (const QByteArray& end : {QByteArray(R"(, {"e":"5"}])"), QByteArray(R"(, {"e":"5)")}) {
        const Json::ArrayElements stray = Json::readArray(
            R"([{"a":"1"}, {"b":"2"x"}, {"c":"3, 4"},{"d":"}, {"}, {"f":[["g"],8,true,null,-1.5e3]}, {}, {"h":"{\"i\":1}"})" +
            end);
        SCOPED_TRACE(end.toStdString());
        EXPECT_TRUE(stray.isArray);
        QStringList keys;
        for (const QJsonValue& element : stray.elements)
            keys.append(element.isObject() ? element.toObject().keys().join(u'+') : QStringLiteral("?"));
        EXPECT_EQ(keys.join(u' '),
                  end.endsWith(']') ? QStringLiteral("a c d f  h e") : QStringLiteral("a c d f  h"));
        EXPECT_EQ(stray.lost, end.endsWith(']') ? 1 : 2);
    }
    // Many faults, one after another, cost each only itself.
    QByteArray faults = "[";
    for (int i = 0; i < 2000; ++i)
        faults += R"({"n":")" + QByteArray::number(i) + (i % 2 ? R"("x"},)" : R"("},)");
    faults += R"({"n":"end"}])";
    const Json::ArrayElements many = Json::readArray(faults);
    EXPECT_EQ(many.elements.size(), 1001);
    EXPECT_EQ(many.lost, 1000);

    // A lost opening bracket costs no element.
    const Json::ArrayElements noBracket = Json::readArray(R"(x{"n":1},{"n":2}])");
    EXPECT_TRUE(noBracket.isArray);
    EXPECT_EQ(noBracket.elements.size(), 2);
    EXPECT_EQ(noBracket.lost, 1);

    EXPECT_FALSE(Json::readArray(R"({"not":"an array"})").isArray);
    EXPECT_FALSE(Json::readArray(R"(x{"not":"an array")").isArray);
    EXPECT_FALSE(Json::readArray("").isArray);
    const Json::ArrayElements cutBeforeAny = Json::readArray("[{\"a\":");
    EXPECT_TRUE(cutBeforeAny.isArray);
    EXPECT_TRUE(cutBeforeAny.elements.isEmpty());
    EXPECT_GT(cutBeforeAny.lost, 0);
}
