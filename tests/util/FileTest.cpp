#include "support/TempDataFolder.h"
#include "util/DataFolder.h"
#include "util/FileIO.h"
#include "util/Json.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
