#include "app/LaunchSwitches.h"
#include "app/QuorbellApp.h"
#include "app/SingleInstance.h"
#include "audio/StreamingASREngine.h"
#include "core/AppState.h"
#include "core/KeychainHelper.h"
#include "model/AudioLevelBus.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/EwmhWindowActivator.h"
#include "platform/linux/EwmhWorkspace.h"
#include "platform/linux/LibsecretStore.h"
#include "platform/linux/LinuxPermissions.h"
#include "platform/linux/PulseAudioCapture.h"
#include "platform/linux/PulseAudioOutput.h"
#include "platform/linux/PulseSoundPlayer.h"
#include "platform/linux/QtClipboard.h"
#include "platform/linux/QtLocalKeyCapture.h"
#include "platform/linux/UnavailableSpeechRecognizer.h"
#include "platform/linux/X11CompositorWatch.h"
#include "platform/linux/X11DisplayCheck.h"
#include "platform/linux/X11GlobalKeySource.h"
#include "platform/linux/X11HotKeyRegistrar.h"
#include "platform/linux/XTestInputSynth.h"
#include "system/ContextInjector.h"
#include "system/SyntheticKeyLedger.h"
#include "system/SystemAudioDucker.h"
#include "ui/pill/FloatingPillController.h"
#include "util/AppIdentity.h"
#include "util/DictationTrace.h"

#include <QApplication>
#include <QSettings>
#include <cstdio>
#include <memory>
#include <optional>

int main(int argc, char* argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    // The test modes run without any user interface.
    const LaunchRequest request = parseLaunchSwitches(args);
    if (request.mode != LaunchRequest::Mode::application)
        return runTestMode(request);

    // Without its display Qt aborts with advice that does not help; say what is missing instead. A platform
    // chosen on purpose (offscreen, for one) needs no X server.
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (platform.isEmpty() || platform.startsWith(QLatin1String("xcb"))) {
        if (const std::optional<QString> missing = missingX11Display()) {
            std::fprintf(stderr, "%s\n", missing->toUtf8().constData());
            return 1;
        }
    }

    // The time the user asked for this launch, read before the application object takes the launcher's
    // startup id away: a second launch hands it to the running instance, whose window manager then refuses
    // the activation if the user has gone on to another application since.
    const quint32 launchTime = EwmhWindowActivator::launchTime(qgetenv("DESKTOP_STARTUP_ID"));

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorbell"));
    QApplication::setOrganizationName(QStringLiteral("Quorbell"));
    QApplication::setOrganizationDomain(QStringLiteral("quorbell.org"));
    SingleInstance instance(AppIdentity::bundleIdentifier() + QLatin1Char('-') +
                            qEnvironmentVariable("USER"));
    if (!instance.claim(launchTime))
        return 0; // the running Quorbell shows its window instead

    // The desktop's services. Everything below lives until the application quits; the state is destroyed
    // before the services it uses.
    MainThreadScheduler scheduler;
    LibsecretStore secrets;
    KeychainHelper keychain(secrets);
    AudioLevelBus levelBus; // written by the engine and the pipeline, read by the pill
    AtspiAccessibility accessibility;
    EwmhWorkspace workspace;
    EwmhWindowActivator windowActivator({}, launchTime);
    PulseAudioCapture capture;
    LinuxPermissions permissions(capture);
    QtClipboard clipboard;
    XTestInputSynth inputSynth;
    PulseSoundPlayer sounds;
    PulseAudioOutput audioOutput;
    X11GlobalKeySource keySource;
    X11HotKeyRegistrar hotKeys;
    X11CompositorWatch compositor; // outlives the pill, which stops it
    QtLocalKeyCapture localKeys;
    SyntheticKeyLedger keyLedger(scheduler.clock());
    UnavailableSpeechRecognizer systemRecognizer;
    QSettings defaults;
    // QUORBELL_TRACE=1 writes the timing of each dictation to stderr, for the measurements.
    std::unique_ptr<DictationTrace> trace;
    if (qEnvironmentVariable("QUORBELL_TRACE") == QLatin1String("1"))
        trace = std::make_unique<DictationTrace>(scheduler, [](const QByteArray& line) {
            std::fprintf(stderr, "%s\n", line.constData());
            std::fflush(stderr);
        });

    StreamingASREngine::Services engineServices;
    engineServices.scheduler = &scheduler;
    engineServices.capture = &capture;
    engineServices.systemRecognizer = &systemRecognizer;
    engineServices.permissions = &permissions;
    engineServices.levelBus = &levelBus;
    engineServices.keys = &keychain;

    AppServices services;
    services.scheduler = &scheduler;
    services.accessibility = &accessibility;
    services.workspace = &workspace;
    services.permissions = &permissions;
    services.clipboard = &clipboard;
    services.inputSynth = &inputSynth;
    services.soundPlayer = &sounds;
    services.audioOutput = &audioOutput;
    services.keySource = &keySource;
    services.hotKeys = &hotKeys;
    services.localKeys = &localKeys;
    services.keyLedger = &keyLedger;
    services.defaults = &defaults;
    services.keychain = &keychain;
    services.levelBus = &levelBus;
    services.trace = trace.get();
    services.speechEngine = std::make_unique<StreamingASREngine>(engineServices);
    AppState state(std::move(services));

    // Every phase assignment shows or hides the pill.
    FloatingPillController pill(scheduler, state.contextInjector().caretOriginProvider(), levelBus);
    pill.follow(state);
    pill.followCompositor(compositor);
    // Muted system audio comes back on SIGTERM and SIGINT as well as at a normal quit.
    QObject signalContext; // gone before the state and its muter
    restoreOnTerminationSignals(&signalContext, state.audioDucker(), [] { QCoreApplication::quit(); });

    QuorbellApp app(state, &windowActivator);
    QObject::connect(&instance, &SingleInstance::activationRequested, &app,
                     &QuorbellApp::presentMainWindowFor);
    app.start();
    return QApplication::exec();
}
