#include "selftest/SelfTestFixtures.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

namespace {

struct ProgramRun {
    int exitCode = -1;
    QStringList lines; // standard output
    QString errors;    // standard error
};

// The installed program as a user would start it, in a home of its own: no display, no session bus, no
// keyring, no key in the environment.
class CommandLine {
public:
    CommandLine()
    {
        for (const char* folder : {"home", "data", "config", "cache", "tmp"})
            QDir(m_root.path()).mkpath(QString::fromLatin1(folder));
    }

    QString modelsFolder() const { return m_root.filePath(QStringLiteral("data/Quorbell/Models")); }
    QString path(const QString& name) const { return m_root.filePath(name); }

    // `adjust` changes the environment before the start; the program runs in `workingDirectory` when given.
    ProgramRun run(const QStringList& arguments, const std::function<void(QProcessEnvironment&)>& adjust = {},
                   const QString& workingDirectory = {}) const
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
        environment.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), path(QStringLiteral("cache")));
        environment.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("tmp")));
        if (adjust)
            adjust(environment);
        QProcess process;
        process.setProcessEnvironment(environment);
        if (!workingDirectory.isEmpty())
            process.setWorkingDirectory(workingDirectory);
        process.start(QStringLiteral(QB_QUORBELL_BINARY), arguments);
        ProgramRun result;
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            result.errors = QStringLiteral("did not finish");
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.lines = QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        result.errors = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

private:
    QTemporaryDir m_root;
};

// Every file and folder under `folder`, relative to it.
QStringList everythingIn(const QString& folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(QDir(folder).relativeFilePath(it.next()));
    found.sort();
    return found;
}

std::string describe(const ProgramRun& run)
{
    return (QStringLiteral("exit %1\n").arg(run.exitCode) + run.lines.join(u'\n') + u'\n' + run.errors)
        .toStdString();
}

} // namespace

TEST(CommandLine, SelfTestPrintsEveryCheckAndPassesInAnEmptyHome)
{
    const CommandLine cli;
    const ProgramRun run = cli.run({QStringLiteral("--self-test")});
    EXPECT_EQ(run.exitCode, 0) << describe(run);
    ASSERT_EQ(run.lines.size(), 45) << describe(run);
    EXPECT_EQ(run.lines.first(), QStringLiteral("==> Running Quorbell Core Regression Suite..."));
    for (qsizetype i = 1; i <= 43; ++i)
        EXPECT_TRUE(run.lines[i].startsWith(QStringLiteral("  ✓ PASS: "))) << run.lines[i].toStdString();
    EXPECT_EQ(run.lines[1],
              QStringLiteral("  ✓ PASS: Fuzzy skeleton matches '清晨' (qingchen) <-> '亲臣' (qincen)"));
    EXPECT_EQ(
        run.lines[14],
        QStringLiteral("  ✓ PASS: Collapses unwanted blank empty lines (\\n\\n) to clean single newline"));
    EXPECT_EQ(run.lines[43],
              QStringLiteral("  ✓ PASS: Deduplicates and bounds OpenAI/Groq vocabulary prompt hints and "
                             "maps locale to ISO-639-1"));
    EXPECT_EQ(run.lines.last(), QStringLiteral("==> Summary: 43 passed, 0 failed."));
    EXPECT_TRUE(QDir(cli.path(QStringLiteral("tmp")))
                    .entryList({QStringLiteral("qb_selftest_*")}, QDir::Files)
                    .isEmpty());
}

TEST(CommandLine, SelfTestCountsTheInstalledModelAndFailsOnABrokenFixture)
{
    {
        const CommandLine cli;
        ASSERT_FALSE(SelfTestFixtures::installFixtureModel(cli.modelsFolder(), true).isEmpty());
        const ProgramRun run = cli.run({QStringLiteral("--self-test")});
        EXPECT_EQ(run.exitCode, 0) << describe(run);
        EXPECT_EQ(run.lines.value(run.lines.size() - 1), QStringLiteral("==> Summary: 44 passed, 0 failed."));
    }
    {
        // Only the reduced-precision model: the model check fails, and with it the run.
        const CommandLine cli;
        ASSERT_FALSE(SelfTestFixtures::installFixtureModel(cli.modelsFolder(), false).isEmpty());
        const ProgramRun run = cli.run({QStringLiteral("--self-test")});
        EXPECT_EQ(run.exitCode, 1) << describe(run);
        EXPECT_TRUE(run.lines.contains(
            QStringLiteral("  ✗ FAIL: Local lossless 886MB SenseVoice FP32 model detected and prioritized")));
        EXPECT_EQ(run.lines.value(run.lines.size() - 1), QStringLiteral("==> Summary: 43 passed, 1 failed."));
    }
}

TEST(CommandLine, BenchmarkReportsEachMissingPrerequisite)
{
    const QString heading =
        QStringLiteral("==> Running Dual-ASR Live Smoke Benchmark (Seed-ASR 2.0 + Local 886MB FP32)...");
    const CommandLine cli;
    ProgramRun run = cli.run({QStringLiteral("--bench-asr")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.lines, QStringList({heading, QStringLiteral("  ✗ Local SenseVoice model not found.")}))
        << describe(run);

    const QString folder = SelfTestFixtures::installFixtureModel(cli.modelsFolder(), true);
    ASSERT_FALSE(folder.isEmpty());
    const QString sample = folder + QStringLiteral("/test_wavs/zh.wav");
    run = cli.run({QStringLiteral("--bench-asr")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.lines.value(1), QStringLiteral("  ✗ Sample test_wavs/zh.wav not found at ") + sample)
        << describe(run);

    // With a sample and no session bus: the local part runs, the keyring is not waited for.
    ASSERT_TRUE(QDir(folder).mkdir(QStringLiteral("test_wavs")));
    ASSERT_TRUE(SelfTestFixtures::writeToneWav(sample, 16000, 0.5));
    run = cli.run({QStringLiteral("--bench-asr"), QStringLiteral("--ab-verify"), sample});
    EXPECT_EQ(run.exitCode, 0) << describe(run);
    ASSERT_EQ(run.lines.size(), 4) << describe(run);
    EXPECT_TRUE(
        run.lines[1].startsWith(QStringLiteral("  ✓ [Local Standby] SenseVoice (886MB FP32 Full): load=")));
    EXPECT_EQ(
        run.lines[2],
        QStringLiteral("  ! Keyring unavailable: no session bus (DBUS_SESSION_BUS_ADDRESS is not set)"));
    EXPECT_EQ(run.lines[3],
              QStringLiteral("  ! Volcengine Speech API Key not set in Keychain; skipping cloud benchmark."));

    // A model that cannot be loaded.
    QFile::remove(folder + QStringLiteral("/model.onnx"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(QB_FIXTURES_DIR "/sensevoice/model-truncated.onnx"),
                            folder + QStringLiteral("/model.onnx")));
    run = cli.run({QStringLiteral("--bench-asr")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.lines.value(1), QStringLiteral("  ✗ Failed to load SenseVoice model (FP32)"))
        << describe(run);
}

TEST(CommandLine, ABVerificationNeedsARecordingAndASpeechKey)
{
    const CommandLine cli;
    const QString missing = cli.path(QStringLiteral("missing.wav"));
    ProgramRun run = cli.run({QStringLiteral("--ab-verify"), missing});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.lines, QStringList{QStringLiteral("  ✗ Could not read ") + missing}) << describe(run);

    const QString wav = cli.path(QStringLiteral("tone.wav"));
    ASSERT_TRUE(SelfTestFixtures::writeToneWav(wav, 48000, 0.3));
    run = cli.run({QStringLiteral("--ab-verify"), wav});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(
        run.lines,
        QStringList(
            {QStringLiteral("  ! Keyring unavailable: no session bus (DBUS_SESSION_BUS_ADDRESS is not set)"),
             QStringLiteral("  ✗ Speech key empty")}))
        << describe(run);
}

TEST(CommandLine, SelfTestInAFreshAccountLeavesItsLexiconInTheTrashAndNothingInTheWorkingDirectory)
{
    const CommandLine cli;
    const QString scratch = cli.path(QStringLiteral("scratch"));
    const QString home = cli.path(QStringLiteral("home"));
    const QString tmp = cli.path(QStringLiteral("tmp"));
    ASSERT_TRUE(QDir().mkpath(scratch));
    const QString unmade = cli.path(QStringLiteral("not-made-yet/share"));
    const struct {
        const char* account;
        std::function<void(QProcessEnvironment&)> adjust;
        QString trash; // empty: none can be had, the lexicon is removed
    } cases[] = {
        {"no ~/.local/share yet", [](QProcessEnvironment& e) { e.remove(QStringLiteral("XDG_DATA_HOME")); },
         home + QStringLiteral("/.local/share/Trash")},
        {"XDG_DATA_HOME not made yet",
         [&](QProcessEnvironment& e) { e.insert(QStringLiteral("XDG_DATA_HOME"), unmade); },
         unmade + QStringLiteral("/Trash")},
        {"no home folder",
         [](QProcessEnvironment& e) {
             e.remove(QStringLiteral("XDG_DATA_HOME"));
             e.insert(QStringLiteral("HOME"), QStringLiteral("relative/home"));
         },
         QString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.account);
        const ProgramRun run = cli.run({QStringLiteral("--self-test")}, c.adjust, scratch);
        EXPECT_EQ(run.exitCode, 0) << describe(run);
        EXPECT_EQ(everythingIn(scratch).join(u' ').toStdString(), "")
            << "the working directory stays as it was";
        EXPECT_EQ(everythingIn(tmp).join(u' ').toStdString(), "") << "no throw-away lexicon is left behind";
        if (c.trash.isEmpty())
            continue;
        const QStringList trashed = QDir(c.trash + QStringLiteral("/files")).entryList(QDir::Files);
        ASSERT_EQ(trashed.size(), 1) << everythingIn(c.trash).join(u' ').toStdString();
        EXPECT_TRUE(trashed.first().startsWith(QStringLiteral("qb_selftest_")));
        QFile info(c.trash + QStringLiteral("/info/") + trashed.first() + QStringLiteral(".trashinfo"));
        ASSERT_TRUE(info.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(info.readAll()).split(u'\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 3) << lines.join(u'|').toStdString();
        EXPECT_EQ(lines[0], QStringLiteral("[Trash Info]"));
        EXPECT_EQ(lines[1], QStringLiteral("Path=") + tmp + u'/' + trashed.first());
        EXPECT_TRUE(lines[2].startsWith(QStringLiteral("DeletionDate=")) &&
                    QDateTime::fromString(lines[2].mid(13), Qt::ISODate).isValid())
            << lines[2].toStdString();
        EXPECT_EQ((QFileInfo(c.trash).permissions() & 0x0077).toInt(), 0) << "the trash is the user's alone";
    }
}
