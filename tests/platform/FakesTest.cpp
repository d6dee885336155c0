#include "fakes/FakeAudioCapture.h"
#include "fakes/FileSecretStore.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(FileSecretStoreTest, StoresAcrossInstancesAndNeverOverwritesABrokenFile)
{
    const QString service = QStringLiteral("org.quorbell.Quorbell");
    const QString account = QStringLiteral("deepseek_api_key");
    QTemporaryDir dir;
    FileSecretStore writer(dir.path());
    FileSecretStore reader(dir.path()); // a later run of the app on the same keyring

    EXPECT_TRUE(reader.read(service, account).status.ok);
    EXPECT_FALSE(reader.read(service, account).secret) << "an empty store holds nothing";
    ASSERT_TRUE(writer.store(service, account, QStringLiteral("sk-old")));
    ASSERT_TRUE(writer.store(service, account, QStringLiteral("sk-new")));
    ASSERT_TRUE(writer.store(service, QStringLiteral("ark_api_key"), QStringLiteral("ark")));
    EXPECT_EQ(reader.read(service, account).secret, QStringLiteral("sk-new"));
    EXPECT_FALSE(reader.read(QStringLiteral("other.service"), account).secret) << "keyed by service too";
    ASSERT_TRUE(writer.remove(service, account));
    EXPECT_FALSE(reader.read(service, account).secret);
    EXPECT_EQ(reader.read(service, QStringLiteral("ark_api_key")).secret, QStringLiteral("ark"));
    EXPECT_TRUE(writer.remove(service, account)) << "removing a missing item succeeds";
    EXPECT_EQ(QFile::permissions(writer.filePath()) & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
              QFileDevice::Permissions());

    QFile file(writer.filePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{not json");
    file.close();
    const SecretLookup lookup = reader.read(service, account);
    EXPECT_FALSE(lookup.status.ok) << "a broken store is not the same as a missing key";
    EXPECT_FALSE(writer.store(service, account, QStringLiteral("sk")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("{not json"));
}

TEST(FakeAudioCaptureTest, FeedsPiecesOfTheBufferSizeUntilStopped)
{
    FakeAudioCapture capture;
    capture.setSource(44100);
    std::vector<std::size_t> sizes;
    ASSERT_TRUE(capture.start([&](std::span<const float> samples) { sizes.push_back(samples.size()); }));
    EXPECT_FALSE(capture.start([](std::span<const float>) {})) << "one stream at a time";
    EXPECT_EQ(capture.feed(std::vector<float>(1300, 0.1f)), 3);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{512, 512, 276}));

    capture.stop();
    ASSERT_TRUE(capture.start([&](std::span<const float>) { capture.stop(); }));
    EXPECT_EQ(capture.feed(std::vector<float>(2048, 0.0f)), 1) << "nothing after stop()";
    capture.setSource(std::nullopt);
    EXPECT_FALSE(capture.start([](std::span<const float>) {}));
}
