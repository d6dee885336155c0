// The app against a keyring of this test's own (the fixture's is shared with tests that expect it unlocked):
// the daemon is restarted while the app runs and comes back locked, as after a crash of the desktop's.
#include "core/AppStateHarness.h"
#include "platform/linux/LibsecretStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>

namespace {

constexpr int kWaitMs = 30000;

class PrivateKeyring {
public:
    PrivateKeyring()
    {
        m_up = QProcess::execute(QStringLiteral("sh"), {script("keyring-start.sh"), m_dir.path()}) == 0;
        qputenv("DBUS_SESSION_BUS_ADDRESS", QStringLiteral("unix:path=%1/bus").arg(m_dir.path()).toUtf8());
    }
    ~PrivateKeyring() { QProcess::execute(QStringLiteral("sh"), {script("keyring-stop.sh"), m_dir.path()}); }
    PrivateKeyring(const PrivateKeyring&) = delete;
    PrivateKeyring& operator=(const PrivateKeyring&) = delete;

    bool isUp() const { return m_up; }

    // Stops the daemon and starts it again without the password: the login keyring on disk stays locked.
    bool restartLocked()
    {
        const QString pidFile = m_dir.filePath(QStringLiteral("keyring.pid"));
        QFile file(pidFile);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const pid_t pid = file.readAll().trimmed().toInt();
        file.close();
        if (pid <= 0 || ::kill(pid, SIGTERM) != 0)
            return false;
        if (!QTest::qWaitFor([pid] { return ::kill(pid, 0) != 0; }, kWaitMs) || !ownsSecrets(false))
            return false;
        const QString dir = m_dir.path();
        const QString command =
            QStringLiteral("export XDG_RUNTIME_DIR='%1/runtime' XDG_DATA_HOME='%1/data' HOME='%1/home' "
                           "DBUS_SESSION_BUS_ADDRESS='unix:path=%1/bus'; "
                           "setsid gnome-keyring-daemon --foreground --components=secrets "
                           "> '%1/keyring-locked.log' 2>&1 < /dev/null & echo $! > '%1/keyring.pid'")
                .arg(dir);
        return QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), command}) == 0 &&
               ownsSecrets(true);
    }

private:
    static QString script(const char* name)
    {
        return QStringLiteral(QB_SERVICES_DIR "/") + QString::fromLatin1(name);
    }

    // Waits until the Secret Service name has an owner on the bus, or has none.
    static bool ownsSecrets(bool owned)
    {
        return QTest::qWaitFor(
            [owned] {
                QProcess ask;
                ask.start(QStringLiteral("dbus-send"),
                          {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                           QStringLiteral("--dest=org.freedesktop.DBus"),
                           QStringLiteral("/org/freedesktop/DBus"),
                           QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                           QStringLiteral("string:org.freedesktop.secrets")});
                ask.waitForFinished(5000);
                return ask.readAllStandardOutput().contains("boolean true") == owned;
            },
            kWaitMs);
    }

    QTemporaryDir m_dir;
    bool m_up = false;
};

const QString kLockedBanner = QStringLiteral("❌ 密钥读取失败：钥匙环已锁定，请先解锁登录钥匙环");

// A keyring that is locked while the app runs says so in the banner, and only once: the poll that keeps
// finding it locked does not put the banner back after the user has moved on.
TEST(LockedKeyring, ComingBackLockedWhileTheAppRunsReachesTheBannerOnce)
{
    PrivateKeyring keyring;
    ASSERT_TRUE(keyring.isUp());
    LibsecretStore store;
    AppStateHarness h(&store);
    ASSERT_TRUE(h.await(h.keychain.saveOpenAIASRAPIKey(QStringLiteral("sk-speech"))));
    AppState& state = h.start();
    h.pollRound();
    EXPECT_TRUE(state.statusBanner().isEmpty()) << state.statusBanner().toStdString();

    ASSERT_TRUE(keyring.restartLocked());
    h.pollRound();
    EXPECT_EQ(state.statusBanner(), kLockedBanner);
    EXPECT_EQ(h.keychain.loadOpenAIASROverrideKey(), QStringLiteral("sk-speech"))
        << "the key read before stays";

    state.setStatusBanner(QString());
    h.pollRound();
    h.pollRound();
    EXPECT_TRUE(state.statusBanner().isEmpty()) << "said again: " << state.statusBanner().toStdString();
}

} // namespace
