#include "fakes/FakeAccessibility.h"
#include "fakes/FakeAudioCapture.h"
#include "fakes/FakeAudioOutput.h"
#include "fakes/FakeClipboard.h"
#include "fakes/FileSecretStore.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {
const QString kService = QStringLiteral("org.quorbell.Quorbell");
const QString kAccount = QStringLiteral("deepseek_api_key");
} // namespace

TEST(FileSecretStoreTest, StoresReplacesAndRemovesAcrossInstances)
{
    QTemporaryDir dir;
    FileSecretStore writer(dir.path());
    FileSecretStore reader(dir.path()); // a later run of the app on the same keyring

    EXPECT_TRUE(reader.read(kService, kAccount).status.ok);
    EXPECT_FALSE(reader.read(kService, kAccount).secret) << "an empty store holds nothing";

    ASSERT_TRUE(writer.store(kService, kAccount, QStringLiteral("sk-old")));
    ASSERT_TRUE(writer.store(kService, kAccount, QStringLiteral("sk-new")));
    ASSERT_TRUE(writer.store(kService, QStringLiteral("ark_api_key"), QStringLiteral("ark")));
    EXPECT_EQ(reader.read(kService, kAccount).secret, QStringLiteral("sk-new"));
    EXPECT_EQ(reader.read(kService, QStringLiteral("ark_api_key")).secret, QStringLiteral("ark"));
    EXPECT_FALSE(reader.read(QStringLiteral("other.service"), kAccount).secret) << "keyed by service too";

    ASSERT_TRUE(writer.remove(kService, kAccount));
    EXPECT_FALSE(reader.read(kService, kAccount).secret);
    EXPECT_EQ(reader.read(kService, QStringLiteral("ark_api_key")).secret, QStringLiteral("ark"));
    EXPECT_TRUE(writer.remove(kService, kAccount)) << "removing a missing item succeeds";

    EXPECT_EQ(QFile::permissions(writer.filePath()) & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
              QFileDevice::Permissions());
}

TEST(FileSecretStoreTest, UnreadableFileIsAnErrorAndIsNotOverwritten)
{
    QTemporaryDir dir;
    FileSecretStore store(dir.path());
    {
        QFile file(store.filePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("{not json");
    }

    const SecretLookup lookup = store.read(kService, kAccount);
    EXPECT_FALSE(lookup.status.ok) << "a broken store is not the same as a missing key";
    EXPECT_FALSE(lookup.secret);
    EXPECT_FALSE(store.store(kService, kAccount, QStringLiteral("sk")));

    QFile file(store.filePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("{not json"));
}

TEST(FakeClipboardTest, RestoresEveryFormatAndTracksOwnership)
{
    FakeClipboard clipboard;
    const ClipboardSnapshot copied{{
        {QStringLiteral("image/png"), QByteArray("\x89PNG\r\n", 6)},
        {QStringLiteral("text/html"), QByteArray("<b>hi</b>")},
        {QStringLiteral("text/plain"), QByteArray("hi")},
    }};
    clipboard.simulateCopy(copied);
    EXPECT_FALSE(clipboard.ownsContents());

    const ClipboardSnapshot saved = clipboard.snapshot();
    const quint64 before = clipboard.changeCount();
    clipboard.setText(QStringLiteral("粘贴"));
    EXPECT_EQ(clipboard.text(), QStringLiteral("粘贴"));
    EXPECT_TRUE(clipboard.ownsContents());
    EXPECT_FALSE(clipboard.contentsWereRequested());
    clipboard.simulateRequest();
    EXPECT_TRUE(clipboard.contentsWereRequested());

    clipboard.restore(saved);
    EXPECT_EQ(clipboard.snapshot(), copied);
    EXPECT_EQ(clipboard.text(), QStringLiteral("hi"));
    EXPECT_EQ(clipboard.changeCount(), before + 2);
    EXPECT_FALSE(clipboard.contentsWereRequested()) << "a request belongs to the contents it was made for";

    clipboard.simulateCopy({{{QStringLiteral("text/plain"), QByteArray("later copy")}}});
    EXPECT_FALSE(clipboard.ownsContents());
}

TEST(FakeAudioOutputTest, SavedVolumeRestoresEveryChannel)
{
    FakeAudioOutput output;
    const QString sink = QStringLiteral("sink-1");
    output.setDevice(sink, {std::nullopt, true, {0.6f, 0.3f}, true});
    output.setDefaultDevice(sink);

    EXPECT_FALSE(output.isMuted(sink)) << "no mute control";
    EXPECT_FALSE(output.setMuted(sink, true));
    EXPECT_FLOAT_EQ(*output.volume(sink), 0.6f);

    const std::optional<SavedVolume> saved = output.saveVolume(sink);
    ASSERT_TRUE(saved);
    ASSERT_TRUE(output.setVolume(sink, -1.0f));
    EXPECT_FLOAT_EQ(*output.volume(sink), 0.0f) << "clamped";
    ASSERT_TRUE(output.restoreVolume(sink, *saved));
    EXPECT_EQ(output.device(sink)->channelVolumes, (QList<float>{0.6f, 0.3f})) << "the balance survives";
    EXPECT_FALSE(output.restoreVolume(sink, SavedVolume{QByteArray("junk")}));
}

TEST(FakeAudioCaptureTest, FeedsPiecesOfTheBufferSizeUntilStopped)
{
    FakeAudioCapture capture;
    capture.setSource(44100);
    std::vector<std::size_t> sizes;
    ASSERT_TRUE(capture.start([&](std::span<const float> samples) { sizes.push_back(samples.size()); }));
    EXPECT_EQ(capture.sampleRate(), 44100);
    EXPECT_FALSE(capture.start([](std::span<const float>) {})) << "one stream at a time";

    EXPECT_EQ(capture.feed(std::vector<float>(1300, 0.1f)), 3);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{512, 512, 276}));

    capture.stop();
    capture.stop();
    ASSERT_TRUE(capture.start([&](std::span<const float>) { capture.stop(); }));
    EXPECT_EQ(capture.feed(std::vector<float>(2048, 0.0f)), 1) << "nothing after stop()";

    capture.setSource(std::nullopt);
    EXPECT_FALSE(capture.start([](std::span<const float>) {}));
}

TEST(FakeAccessibilityTest, AnswersOnlyForTheTargetAndNeverRevealsPasswords)
{
    FakeAccessibility accessibility;
    FocusedElement password;
    password.isPassword = true;
    accessibility.setTarget(
        {42, password, QStringLiteral("secret"), QStringLiteral("secret"), QRect(1, 2, 3, 20)});

    EXPECT_TRUE(accessibility.focusedElement(42));
    EXPECT_FALSE(accessibility.selectedText(42));
    EXPECT_FALSE(accessibility.focusedValue(42));
    EXPECT_TRUE(accessibility.caretRect(42));
    EXPECT_FALSE(accessibility.focusedElement(7)) << "another process";

    accessibility.setTrusted(false);
    accessibility.setGrantsTrustOnRequest(false);
    EXPECT_FALSE(accessibility.caretRect(42));
    EXPECT_FALSE(accessibility.requestTrust());
    accessibility.setGrantsTrustOnRequest(true);
    EXPECT_TRUE(accessibility.requestTrust());
    EXPECT_EQ(accessibility.trustRequestCount(), 2);
}
