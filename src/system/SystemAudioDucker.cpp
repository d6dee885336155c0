#include "system/SystemAudioDucker.h"

#include <QObject>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

SystemAudioDucker::SystemAudioDucker(AudioOutput& output) : m_output(output) {}

SystemAudioDucker::~SystemAudioDucker()
{
    restoreIfNeeded();
}

void SystemAudioDucker::muteIfNeeded()
{
    {
        std::lock_guard lock(m_lock);
        if (m_didAutoMute || m_muteInFlight)
            return;
        m_muteInFlight = true;
        m_restoreRequested = false;
    }

    const std::optional<Change> change = silence();

    bool undoNow = false;
    {
        std::lock_guard lock(m_lock);
        m_muteInFlight = false;
        if (change) {
            // A restore that came while we were muting finds nothing to undo; it is ours to do.
            undoNow = m_restoreRequested;
            if (!undoNow) {
                m_didAutoMute = true;
                m_change = *change;
            }
        }
        m_restoreRequested = false;
    }
    if (undoNow)
        undo(*change);
}

void SystemAudioDucker::restoreIfNeeded()
{
    Change change;
    {
        std::lock_guard lock(m_lock);
        if (m_muteInFlight) {
            m_restoreRequested = true;
            return;
        }
        if (!m_didAutoMute)
            return;
        // Cleared before the device is touched, so a second call does nothing.
        change = std::exchange(m_change, Change{});
        m_didAutoMute = false;
    }
    undo(change);
}

std::optional<SystemAudioDucker::Change> SystemAudioDucker::silence()
{
    const std::optional<QString> device = m_output.defaultOutputDevice();
    if (!device || device->isEmpty())
        return std::nullopt;

    const std::optional<bool> muted = m_output.isMuted(*device);
    if (muted && *muted)
        return std::nullopt; // the user's own mute: not ours to undo
    if (muted) {
        const Status silenced = m_output.setMuted(*device, true);
        if (silenced)
            return Change{*device, false, {}};
        qWarning("Sound output could not be muted, turning its volume down instead: %s",
                 qPrintable(silenced.error));
    }

    // No mute control, or one that cannot be set: turn the whole volume down instead.
    const std::optional<float> volume = m_output.volume(*device);
    if (!volume || *volume <= kSilentVolume)
        return std::nullopt;
    std::optional<SavedVolume> saved = m_output.saveVolume(*device);
    if (!saved)
        return std::nullopt;
    const Status lowered = m_output.setVolume(*device, 0.0f);
    if (!lowered) {
        qWarning("Sound output could not be silenced: %s", qPrintable(lowered.error));
        return std::nullopt;
    }
    return Change{*device, true, std::move(*saved)};
}

void SystemAudioDucker::undo(const Change& change)
{
    // Put back on the device that was changed, even if the default has moved since. A failed write cannot
    // be retried usefully (the device is gone or refuses), so it is logged for the user to find.
    const Status restored = change.usedVolumeFallback
                                ? m_output.restoreVolume(change.device, change.savedVolume)
                                : m_output.setMuted(change.device, false);
    if (!restored)
        qWarning("Sound output %s could not be restored: %s", qPrintable(change.device),
                 qPrintable(restored.error));
}

namespace {

int s_signalPipe[2] = {-1, -1};
std::atomic<bool> s_signalsInstalled{false};
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT};
struct sigaction s_previousActions[std::size(kTerminationSignals)];

extern "C" void onTerminationSignal(int signal)
{
    // Async-signal-safe: one byte into the pipe, errno kept for the interrupted code.
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

void putBackPreviousHandlers()
{
    for (std::size_t i = 0; i < std::size(kTerminationSignals); ++i)
        ::sigaction(kTerminationSignals[i], &s_previousActions[i], nullptr);
}

// Owns the read end of the pipe on the main thread; gone with its context.
class TerminationSignalWatcher final : public QObject {
public:
    TerminationSignalWatcher(QObject* parent, SystemAudioDucker& ducker, std::function<void()> quit)
        : QObject(parent), m_notifier(s_signalPipe[0], QSocketNotifier::Read, this), m_ducker(ducker),
          m_quit(std::move(quit))
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] { onSignalled(); });
    }

    ~TerminationSignalWatcher() override
    {
        putBackPreviousHandlers();
        ::close(s_signalPipe[0]);
        ::close(s_signalPipe[1]);
        s_signalPipe[0] = s_signalPipe[1] = -1;
        s_signalsInstalled = false;
    }

private:
    void onSignalled()
    {
        unsigned char drain[16];
        while (::read(s_signalPipe[0], drain, sizeof drain) > 0) {
        }
        if (m_handled)
            return;
        m_handled = true;
        putBackPreviousHandlers();
        m_ducker.restoreIfNeeded();
        if (m_quit)
            m_quit();
    }

    QSocketNotifier m_notifier;
    SystemAudioDucker& m_ducker;
    std::function<void()> m_quit;
    bool m_handled = false;
};

} // namespace

bool restoreOnTerminationSignals(QObject* context, SystemAudioDucker& ducker, std::function<void()> quit)
{
    if (!context || s_signalsInstalled.exchange(true))
        return false;
    if (::pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        s_signalsInstalled = false;
        return false;
    }
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kTerminationSignals); ++i) {
        if (::sigaction(kTerminationSignals[i], &action, &s_previousActions[i]) != 0) {
            for (std::size_t j = 0; j < i; ++j)
                ::sigaction(kTerminationSignals[j], &s_previousActions[j], nullptr);
            ::close(s_signalPipe[0]);
            ::close(s_signalPipe[1]);
            s_signalPipe[0] = s_signalPipe[1] = -1;
            s_signalsInstalled = false;
            return false;
        }
    }
    new TerminationSignalWatcher(context, ducker, std::move(quit));
    return true;
}
