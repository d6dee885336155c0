#pragma once

// Dictations through the real speech engine under AppState, with a fake microphone on virtual time and the
// project's local services standing in for the cloud: the Seed-ASR test service and the harness's HTTP server
// (transcription and chat). No local model is installed unless a fixture asks for one.
#include "AppStateHarness.h"
#include "audio/SeedASRTestServer.h"
#include "audio/StreamingASREngine.h"
#include "audio/StreamingASREngineTestSupport.h"
#include "fakes/FakeAudioCapture.h"
#include "fakes/FakeSystemSpeechRecognizer.h"

#include <gtest/gtest.h>

class RealEngineDictation : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (withLocalModel)
            EngineTest::installModel();
        if (seedUrl.isEmpty()) {
            ASSERT_TRUE(seed.listen());
            seedUrl = seed.url();
        }
        web.setHandler([](const ScriptedHttpServer::Request&) { return ScriptedHttpServer::Reply{}; });
        ASSERT_TRUE(web.listen());
        h.permissions.setMicrophoneStatus(AuthorizationStatus::Authorized);
        StreamingASREngine::Services services;
        services.scheduler = &h.scheduler;
        services.capture = &capture;
        services.systemRecognizer = &recognizer;
        services.permissions = &h.permissions;
        services.levelBus = &h.levelBus;
        services.keys = &h.keychain;
        services.seedEndpoint = {seedUrl, web.baseUrl()};
        auto owned = std::make_unique<StreamingASREngine>(services);
        engine = owned.get();
        h.speechEngineOverride = std::move(owned);
        if (withSeedKey) {
            ASSERT_TRUE(h.await(h.keychain.saveVolcSpeechAPIKey(QStringLiteral("key-1"))));
        }

        h.workspace.setFrontmost(kEditor);
        FakeAccessibility::Target target;
        target.processId = kEditor.processId;
        target.element = FocusedElement{ElementRole::Other, QStringLiteral("text"), true, false};
        h.accessibility.setTarget(target);
        h.start(settings);
    }
    void TearDown() override { h.state.reset(); }

    AppState& state() { return *h.state; }

    void drain()
    {
        for (int round = 0; round < 3; ++round) {
            engine->waitForBackgroundWork();
            CloudTest::processEventsOnce();
        }
    }

    // Begins a dictation and waits for the engine to capture (for `path`, when given, to be the session's).
    void begin(const std::function<bool()>& path = {})
    {
        h.begin();
        ASSERT_TRUE(state().isSessionActive());
        ASSERT_TRUE(h.settle([&] {
            drain();
            return capture.isRunning() && (!path || path());
        })) << "the session never started";
    }

    // Feeds the microphone with the clock moving along; stops early once the session has ended.
    void speak(const std::vector<float>& samples)
    {
        constexpr size_t kChunk = AudioCapture::kFramesPerBuffer * 5;
        for (size_t offset = 0; offset < samples.size() && state().isSessionActive(); offset += kChunk) {
            const size_t length = std::min(kChunk, samples.size() - offset);
            capture.feed(std::vector<float>(samples.begin() + static_cast<std::ptrdiff_t>(offset),
                                            samples.begin() + static_cast<std::ptrdiff_t>(offset + length)));
            h.scheduler.advance(seconds(static_cast<double>(length) / EngineTest::kRate));
            drain();
        }
    }

    // Stops the dictation and lets the finish run over the tail pause; `wait` then passes on virtual time
    // (the 1.2 s a Seed session waits for a final the service never sends).
    void stop(Duration wait = {})
    {
        auto finished = watch(state().finishDictationSession());
        h.scheduler.advance(std::chrono::milliseconds(100));
        drain();
        if (wait > Duration::zero())
            h.scheduler.advance(wait);
        ASSERT_TRUE(h.settle([&] {
            drain();
            return finished->done;
        }));
        drain();
    }

    // Waits for a dictation that ended by itself (no stop key) to close; its finish runs on virtual time.
    bool endedByItself()
    {
        return h.settleWhileTimePasses(
            [&] {
                drain();
                return !state().isSessionActive() && !state().isFinalizingSession();
            },
            std::chrono::milliseconds(20));
    }

    bool typed(const QString& text) const { return h.clipboard.textsSet().contains(text); }

    static inline const FrontmostApplication kEditor{QStringLiteral("Kate"), QStringLiteral("org.kde.kate"),
                                                     4242, QStringLiteral("notes.md — Kate")};

    // Set before SetUp runs (in a derived fixture's SetUp).
    bool withLocalModel = false;
    bool withSeedKey = true;
    QUrl seedUrl; // empty: the local Seed-ASR test service
    QJsonObject settings = AppStateHarness::verbatimDictation();

    SeedASRTestServer seed;
    ScriptedHttpServer web{h.networkScheduler};
    FakeAudioCapture capture;
    FakeSystemSpeechRecognizer recognizer;
    AppStateHarness h;
    StreamingASREngine* engine = nullptr;
};
