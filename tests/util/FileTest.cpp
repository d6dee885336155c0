#include "support/TempDataFolder.h"
#include "util/DataFolder.h"
#include "util/FileIO.h"
#include "util/FileWriteQueue.h"
#include "util/Json.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

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

TEST(FileIO, PreservesACorruptFileBesideTheOriginal)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.json"));
    EXPECT_EQ(FileIO::corruptBackupPath(path), dir.filePath(QStringLiteral("history.corrupt.bak.json")));
    EXPECT_TRUE(FileIO::preserveCorruptCopy(path)) << "nothing to keep when the file is missing";
    ASSERT_TRUE(FileIO::writeAtomically(path, "[{\"broken\""));
    ASSERT_TRUE(FileIO::preserveCorruptCopy(path));
    EXPECT_EQ(FileIO::readAll(FileIO::corruptBackupPath(path)).value_or(QByteArray()), QByteArray("[{\"broken\""));
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
