// The app killed (SIGKILL) in the middle of saving: each data file on disk is afterwards exactly one whole
// version that was saved, never a mix of two and never cut short.
#include "SaveLoopData.h"
#include "lexicon/PersonalLexiconStore.h"
#include "util/FileIO.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

namespace {

// The version a whole file holds, or nothing when it is no version at all.
std::optional<int> configVersion(const QByteArray& bytes)
{
    const std::optional<LLMConfig> config = LLMConfig::fromJson(QJsonDocument::fromJson(bytes).object());
    if (!config || !config->modelName.startsWith(u"model-"))
        return std::nullopt;
    const int version = config->modelName.mid(6).toInt();
    return *config == SaveLoopData::config(version) ? std::optional(version) : std::nullopt;
}

std::optional<int> historyVersion(const QByteArray& bytes)
{
    const HistoryDecodeResult decoded = decodeHistory(bytes);
    if (decoded.needsBackup() || decoded.records.isEmpty())
        return std::nullopt;
    const int version = decoded.records.first().rawTranscript.toInt();
    return decoded.records == SaveLoopData::history(version) ? std::optional(version) : std::nullopt;
}

std::optional<int> lexiconVersion(const QString& path)
{
    const QList<LexiconEntry> entries = PersonalLexiconStore(path).entries();
    if (entries.isEmpty() || !entries.first().term.startsWith(u"term-"))
        return std::nullopt;
    const int version = entries.first().term.section(u'-', 1, 1).toInt();
    return entries == SaveLoopData::terms(version) ? std::optional(version) : std::nullopt;
}

} // namespace

TEST(KillDuringSave, EveryFileIsOneWholeVersionAfterAKill)
{
    constexpr int kRounds = 12;
    constexpr int kWaitMs = 20000; // bounded real waits on a real child process
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        QProcess child;
        child.start(QStringLiteral(QB_SAVE_LOOP_BINARY), {folder.path()});
        ASSERT_TRUE(child.waitForStarted(kWaitMs));

        // Kill it once it has started round 2 + round % 3, at a moment that shifts from round to round.
        const int killInRound = 2 + round % 3;
        int announced = 0;
        while (announced < killInRound) {
            if (!child.canReadLine()) {
                ASSERT_TRUE(child.waitForReadyRead(kWaitMs)) << child.readAllStandardError().constData();
            }
            while (child.canReadLine())
                announced = child.readLine().trimmed().toInt();
        }
        QThread::usleep(static_cast<unsigned long>(round) * 2500);
        ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
        ASSERT_TRUE(child.waitForFinished(kWaitMs));
        ASSERT_EQ(child.exitStatus(), QProcess::CrashExit);

        // Round 1 finished before round 2 was announced, so every file holds a version.
        const std::optional<int> config = configVersion(
            FileIO::readAll(folder.filePath(QStringLiteral("config.json"))).value_or(QByteArray()));
        const std::optional<int> history = historyVersion(
            FileIO::readAll(folder.filePath(QStringLiteral("history.json"))).value_or(QByteArray()));
        const std::optional<int> lexicon = lexiconVersion(folder.filePath(QStringLiteral("lexicon.json")));
        ASSERT_TRUE(config) << "config.json is not one whole version";
        ASSERT_TRUE(history) << "history.json is not one whole version";
        ASSERT_TRUE(lexicon) << "lexicon.json is not one whole version";
        EXPECT_GE(*config, announced - 1);
        EXPECT_GE(*history, announced - 1);
        EXPECT_GE(*lexicon, announced - 1);
        EXPECT_TRUE(FileIO::keptCopies(folder.filePath(QStringLiteral("lexicon.json"))).isEmpty())
            << "no half-written file was ever read back as damaged";
    }
}
