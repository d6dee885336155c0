// The real binary started where there is no X11 display to be had: one line that says what is missing, and
// exit status 1, instead of Qt's abort.
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct ProgramExit {
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    int exitCode = -1;
    QString errors;
};

// Starts quorbell in a home of its own with only the given display variables set.
ProgramExit startWith(const QTemporaryDir& home, const QStringList& variables)
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("TMPDIR"), home.path());
    environment.insert(QStringLiteral("USER"), QStringLiteral("qb-no-display"));
    for (const QString& variable : variables)
        environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(home.path());
    process.start(QStringLiteral(QB_APP_BINARY), {});
    ProgramExit run;
    run.finished = process.waitForFinished(30000);
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitStatus = process.exitStatus();
    run.exitCode = process.exitCode();
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// A display number nothing listens on.
QString unusedDisplay()
{
    for (int number = 4700;; ++number) {
        if (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            return QStringLiteral(":%1").arg(number);
    }
}

} // namespace

TEST(NoDisplay, SaysWhatIsMissingAndExitsWithStatusOne)
{
    const QTemporaryDir home;
    const QString refused = unusedDisplay();
    const struct {
        QStringList variables;
        QString line;
    } cases[] = {
        {{},
         QStringLiteral("Quorbell 无法启动：没有 X11 显示（未设置 DISPLAY）。请在 X11 桌面会话中启动。\n")},
        {{QStringLiteral("XDG_SESSION_TYPE=wayland"), QStringLiteral("WAYLAND_DISPLAY=wayland-0")},
         QStringLiteral(
             "Quorbell 无法启动：没有 X11 显示（未设置 DISPLAY）。当前是 Wayland 会话，Quorbell 需要 X11 "
             "会话或 XWayland。\n")},
        {{QStringLiteral("DISPLAY=") + refused},
         QStringLiteral("Quorbell 无法启动：无法连接 X11 显示 ") + refused +
             QStringLiteral("。请在 X11 桌面会话中启动。\n")},
    };
    for (const auto& c : cases) {
        const ProgramExit run = startWith(home, c.variables);
        const std::string context = c.variables.join(u' ').toStdString();
        ASSERT_TRUE(run.finished) << context;
        EXPECT_EQ(run.exitStatus, QProcess::NormalExit) << context << ": no abort, no core dump";
        EXPECT_EQ(run.exitCode, 1) << context;
        EXPECT_EQ(run.errors.toStdString(), c.line.toStdString()) << context;
    }
    EXPECT_TRUE(QDir(home.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty())
        << "nothing was started, nothing was written";
}
