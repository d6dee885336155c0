#pragma once

#include "FakeSpeechEngine.h"
#include "core/AppState.h"
#include "core/KeychainHelper.h"
#include "fakes/FakeAccessibility.h"
#include "fakes/FakeAudioOutput.h"
#include "fakes/FakeClipboard.h"
#include "fakes/FakeGlobalKeySource.h"
#include "fakes/FakeHotKeyRegistrar.h"
#include "fakes/FakeInputSynth.h"
#include "fakes/FakeLocalKeyCapture.h"
#include "fakes/FakePermissions.h"
#include "fakes/FakeSecretStore.h"
#include "fakes/FakeSoundPlayer.h"
#include "fakes/FakeTextField.h"
#include "fakes/FakeWorkspace.h"
#include "fakes/Guarded.h"
#include "lexicon/PersonalLexiconStore.h"
#include "model/AudioLevelBus.h"
#include "support/ScriptedHttpServer.h"
#include "support/TempDataFolder.h"
#include "support/VirtualScheduler.h"
#include "system/SyntheticKeyLedger.h"
#include "util/DictationTrace.h"
#include "util/FileIO.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>

// Passes every call to another Accessibility, except the selection read that each context capture makes: it
// can be held until released (the capture stays undecided meanwhile) and answered from a script, one answer
// per read, so the captures of successive sessions see different selections.
class CaptureGate final : public Accessibility {
public:
    explicit CaptureGate(Accessibility& inner) : m_inner(inner) {}

    bool isTrusted() override { return m_inner.isTrusted(); }
    bool requestTrust() override { return m_inner.requestTrust(); }
    QString untrustedReason() override { return m_inner.untrustedReason(); }
    std::optional<FocusedElement> focusedElement(qint64 processId) override
    {
        return m_inner.focusedElement(processId);
    }
    std::optional<QString> selectedText(qint64 processId) override
    {
        std::unique_lock lock(m_mutex);
        ++m_reads;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_holding; });
        if (!m_script.empty()) {
            std::optional<QString> answer = m_script.front();
            m_script.pop_front();
            return answer;
        }
        lock.unlock();
        return m_inner.selectedText(processId);
    }
    std::optional<QString> focusedValue(qint64 processId) override { return m_inner.focusedValue(processId); }
    std::optional<QRect> caretRect(qint64 processId) override { return m_inner.caretRect(processId); }

    // The next selection reads answer these, in order; later ones ask the inner service.
    void scriptSelections(std::deque<std::optional<QString>> answers)
    {
        std::lock_guard lock(m_mutex);
        m_script = std::move(answers);
    }
    void hold()
    {
        std::lock_guard lock(m_mutex);
        m_holding = true;
    }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_holding = false;
        m_changed.notify_all();
    }
    // Blocks until `count` selection reads have begun (false after thirty seconds of real time without).
    bool waitForReads(int count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_reads >= count; });
    }

private:
    Accessibility& m_inner;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_holding = false;
    int m_reads = 0;
    std::deque<std::optional<QString>> m_script;
};

// True on the Qt main thread, which must never wait on another process.
inline bool onMainThread()
{
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Passes every call to another Accessibility and counts the trust calls that ask the desktop, and those of
// them made on the main thread.
class TrustRecorder final : public Accessibility, private Guarded {
public:
    explicit TrustRecorder(Accessibility*& inner) : m_inner(inner) {}

    bool isTrusted() override { return m_inner->isTrusted(); }
    bool refreshTrust() override
    {
        count(m_refreshes);
        return m_inner->refreshTrust();
    }
    bool requestTrust() override
    {
        count(m_requests);
        return m_inner->requestTrust();
    }
    QString untrustedReason() override { return m_inner->untrustedReason(); }
    std::optional<FocusedElement> focusedElement(qint64 processId) override
    {
        return m_inner->focusedElement(processId);
    }
    std::optional<QString> selectedText(qint64 processId) override
    {
        return m_inner->selectedText(processId);
    }
    std::optional<QString> focusedValue(qint64 processId) override
    {
        return m_inner->focusedValue(processId);
    }
    std::optional<QRect> caretRect(qint64 processId) override { return m_inner->caretRect(processId); }

    int refreshCount() const { return guarded(m_refreshes); }
    int requestCount() const { return guarded(m_requests); }
    int mainThreadCallCount() const { return guarded(m_mainThreadCalls); }

private:
    void count(int& calls)
    {
        std::lock_guard lock(m_mutex);
        ++calls;
        if (onMainThread())
            ++m_mainThreadCalls;
    }

    Accessibility*& m_inner; // the harness's choice, made before build()
    int m_refreshes = 0;
    int m_requests = 0;
    int m_mainThreadCalls = 0;
};

// FakePermissions that also counts the microphone refreshes, and those made on the main thread.
class MicrophoneRecorder final : public Permissions, private Guarded {
public:
    AuthorizationStatus microphoneStatus() override { return inner.microphoneStatus(); }
    AuthorizationStatus refreshMicrophoneStatus() override
    {
        {
            std::lock_guard lock(m_mutex);
            ++m_refreshes;
            if (onMainThread())
                ++m_mainThreadCalls;
        }
        return inner.refreshMicrophoneStatus();
    }
    void requestMicrophoneAccess(std::function<void(bool granted)> completion) override
    {
        inner.requestMicrophoneAccess(std::move(completion));
    }
    AuthorizationStatus speechRecognitionStatus() override { return inner.speechRecognitionStatus(); }
    void requestSpeechRecognition(std::function<void(AuthorizationStatus)> completion) override
    {
        inner.requestSpeechRecognition(std::move(completion));
    }
    Status openAccessibilitySettings() override { return inner.openAccessibilitySettings(); }

    int refreshCount() const { return guarded(m_refreshes); }
    int mainThreadCallCount() const { return guarded(m_mainThreadCalls); }

    FakePermissions inner;

private:
    int m_refreshes = 0;
    int m_mainThreadCalls = 0;
};

// Follows a started task: `done` turns true when it ends, `ok` holds what a task of bool returned. The task
// holds the watch weakly, so one that outlives its test writes nowhere.
struct Watch {
    bool done = false;
    bool ok = false;
};

template <typename T> std::shared_ptr<Watch> watch(QCoro::Task<T>&& task)
{
    auto watched = std::make_shared<Watch>();
    task.then([weak = std::weak_ptr<Watch>(watched)](auto... value) {
        if (auto w = weak.lock()) {
            ((w->ok = value), ...);
            w->done = true;
        }
    });
    return watched;
}

// An AppState on fakes, a private data folder, a private defaults file, virtual time and a local HTTP server
// that stands in for every language-model host (so nothing in a test reaches the network).
class AppStateHarness {
public:
    // `store` stands in for the fake keyring, e.g. a real Secret Service.
    explicit AppStateHarness(SecretStore* store = nullptr)
        : defaults(settingsDir.filePath(QStringLiteral("defaults.ini")), QSettings::IniFormat),
          keychain(store ? *store : secrets)
    {
        qunsetenv("QUORBELL_API_KEY");
        server.setHandler([](const ScriptedHttpServer::Request&) {
            return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
        });
        server.listen();
        localBase = server.baseUrl().toString() + QStringLiteral("/v1");
        downloaderOptions.sources = {
            QUrl(server.baseUrl().toString() + QStringLiteral("/models/sensevoice.tar.bz2"))};
    }
    ~AppStateHarness() { state.reset(); }

    // A settings file that keeps every host on this machine.
    void writeLocalConfig(QJsonObject extra = {})
    {
        QJsonObject config{{QStringLiteral("selectedProvider"), QStringLiteral("deepseek")},
                           {QStringLiteral("baseURL"), localBase},
                           {QStringLiteral("customBaseURL"), localBase + QStringLiteral("/custom")},
                           {QStringLiteral("openAIASRBaseURL"), localBase}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            config.insert(it.key(), it.value());
        ASSERT_TRUE(FileIO::writeAtomically(data.filePath(QStringLiteral("config.json")),
                                            QJsonDocument(config).toJson()));
    }

    // Settings for dictation tests: polishing stays local (verbatim), so every result is the instantly
    // corrected text, and nothing is muted or learned unless a test asks.
    static QJsonObject verbatimDictation()
    {
        return {{QStringLiteral("formattingStyle"), QStringLiteral("verbatimLocal")},
                {QStringLiteral("enableAutoMuteDuringDictation"), false},
                {QStringLiteral("enableAutoLearn"), false}};
    }

    // Writes the local settings file, builds the state and runs its start-up block.
    AppState& start(QJsonObject extra = {})
    {
        writeLocalConfig(std::move(extra));
        build();
        settleStartup();
        return *state;
    }

    // The keys, trust and microphone are loaded off the main thread; the start-up block runs once they are.
    // An empty editable field of `app` has the focus, as a paste into another application needs.
    void focusEmptyFieldOf(const FrontmostApplication& app)
    {
        workspace.setFrontmost(app);
        FakeAccessibility::Target field;
        field.processId = app.processId;
        field.element = FocusedElement{ElementRole::Other, QStringLiteral("text"), true, false};
        field.value = QString();
        accessibility.setTarget(field);
    }

    void settleStartup()
    {
        scheduler.runDue();
        EXPECT_TRUE(settle([&] { return !state->isRefreshingStatus(); })) << "the start-up load never ended";
    }

    // One tick of the permission poll, and the round it started until its answers are published.
    void pollRound()
    {
        scheduler.advance(AppState::kPermissionPollInterval);
        EXPECT_TRUE(settle([&] { return !state->isRefreshingStatus(); })) << "the poll round never ended";
    }

    AppState& build()
    {
        std::unique_ptr<SpeechEngine> speech = std::move(speechEngineOverride);
        if (!speech && makeEngine)
            speech = makeEngine();
        if (!speech) {
            auto fake = std::make_unique<FakeSpeechEngine>();
            engine = fake.get();
            engine->microphoneAuthorized = microphoneAuthorized;
            speech = std::move(fake);
        }
        AppServices services;
        services.scheduler = &scheduler;
        chosenAccessibility = accessibilityOverride ? accessibilityOverride : &accessibility;
        services.accessibility = &trust;
        services.workspace = &workspace;
        services.permissions = &microphone;
        services.clipboard = clipboardOverride ? clipboardOverride : &clipboard;
        services.inputSynth = inputSynthOverride ? inputSynthOverride : &inputSynth;
        services.soundPlayer = &sounds;
        services.audioOutput = &audioOutput;
        services.keySource = &keySource;
        services.hotKeys = &hotKeys;
        services.localKeys = &localKeys;
        services.keyLedger = &ledger;
        services.defaults = &defaults;
        services.keychain = &keychain;
        services.levelBus = &levelBus;
        services.trace = trace;
        services.speechEngine = std::move(speech);
        services.downloaderOptions = downloaderOptions;
        state = std::make_unique<AppState>(std::move(services));
        QObject::connect(state.get(), &AppState::changed, [this] {
            if (state->isSessionActive() && !std::exchange(sessionWasActive, true))
                ++sessionsOpened;
            sessionWasActive = state->isSessionActive();
        });
        return *state;
    }

    void changeConfig(const std::function<void(LLMConfig&)>& change)
    {
        LLMConfig config = state->llmConfig();
        change(config);
        state->setLLMConfig(config);
        settleSaves();
    }

    // Begins a dictation and lets the begin read the front window and the clipboard: afterwards the session
    // runs, or was refused.
    void begin()
    {
        state->beginDictationSession();
        EXPECT_TRUE(settle([&] { return !state->isStartingSession(); })) << "the begin never got its answers";
    }
    // The first-run trigger, right Control, pressed and released as the user does, through the app's own key
    // monitor; the requests it sends are handed to the state.
    void pressTrigger()
    {
        EXPECT_TRUE(keySource.deliver({KeyEvent::Kind::FlagsChanged, KeyCode::RightControl,
                                       ModifierFlag::Control | ModifierFlag::DeviceRightControl}))
            << "the key monitor listens";
        scheduler.runDue();
    }
    void releaseTrigger()
    {
        EXPECT_TRUE(keySource.deliver({KeyEvent::Kind::FlagsChanged, KeyCode::RightControl, 0}));
        scheduler.runDue();
    }
    void tapTrigger()
    {
        pressTrigger();
        releaseTrigger();
    }

    // Runs due virtual-time work and the main loop until `done` (false after thirty seconds of real time:
    // the bound only ends a wait that would never succeed).
    bool settle(const std::function<bool()>& done)
    {
        return QTest::qWaitFor(
            [&] {
                scheduler.runDue();
                return done();
            },
            30000);
    }
    // The same, with virtual time moving on by `step` between looks, but never ahead of the real time
    // waited: a limit on an exchange over a real socket (which runs on virtual time) then runs out only after
    // as long a real wait, however slowly a busy machine answers.
    bool settleWhileTimePasses(const std::function<bool()>& done, Duration step)
    {
        QElapsedTimer real;
        real.start();
        Duration advanced{};
        return settle([&] {
            if (std::chrono::nanoseconds(real.nsecsElapsed()) - advanced >= step) {
                scheduler.advance(step);
                advanced += step;
            }
            return done();
        });
    }

    // Runs a task to its end on the main loop (keychain answers arrive through it); virtual time stands.
    template <typename T> T await(QCoro::Task<T>&& task) { return QCoro::waitFor(std::move(task)); }

    // The app saves its files on a writer thread: this waits for the saves and hands their results to the
    // main thread, as its event loop would.
    void settleSaves() const
    {
        if (!state)
            return; // a state that has ended finished its saves
        state->waitForSaves();
        state->lexiconStore().waitForSaves();
        QCoreApplication::sendPostedEvents();
    }

    // The settings file as written.
    QJsonObject savedConfig() const
    {
        settleSaves();
        const auto bytes = FileIO::readAll(data.filePath(QStringLiteral("config.json")));
        return QJsonDocument::fromJson(bytes.value_or(QByteArray())).object();
    }

    // Set before build(): a FakeTextField stands in for the Accessibility, keystroke and clipboard fakes, so
    // what is typed or pasted lands in one field that Accessibility reads back.
    void useTextField(FakeTextField& field)
    {
        accessibilityOverride = &field;
        inputSynthOverride = &field;
        clipboardOverride = &field;
    }

    bool microphoneAuthorized = true;
    // Set before build(): the state runs this engine (a real one) instead of the scripted one; `engine` then
    // stays null.
    std::unique_ptr<SpeechEngine> speechEngineOverride;
    // Set before build(): a real engine instead of the scripted one (`engine` then stays null).
    std::function<std::unique_ptr<SpeechEngine>()> makeEngine;
    Accessibility* accessibilityOverride = nullptr;
    InputSynth* inputSynthOverride = nullptr;
    Clipboard* clipboardOverride = nullptr;
    DictationTrace* trace = nullptr;
    TempDataFolder data;
    QTemporaryDir settingsDir;
    QSettings defaults;
    VirtualScheduler scheduler;
    FakeSecretStore secrets;
    KeychainHelper keychain;
    AudioLevelBus levelBus;
    FakeAccessibility accessibility;
    Accessibility* chosenAccessibility = &accessibility;
    TrustRecorder trust{chosenAccessibility};
    MicrophoneRecorder microphone;
    FakeWorkspace workspace;
    FakePermissions& permissions = microphone.inner;
    FakeClipboard clipboard;
    FakeInputSynth inputSynth;
    FakeSoundPlayer sounds;
    FakeAudioOutput audioOutput;
    FakeGlobalKeySource keySource;
    FakeHotKeyRegistrar hotKeys;
    FakeLocalKeyCapture localKeys;
    SyntheticKeyLedger ledger{scheduler.clock()};
    MainThreadScheduler networkScheduler;
    ScriptedHttpServer server{networkScheduler};
    QString localBase;
    // The model download asks the local server too (set before build()).
    OfflineModelDownloader::Options downloaderOptions;
    FakeSpeechEngine* engine = nullptr;
    // Dictation sessions the state has opened since build().
    int sessionsOpened = 0;
    bool sessionWasActive = false;
    std::unique_ptr<AppState> state;
};
