#pragma once

#include "model/SpeechEngine.h"
#include "util/Scheduler.h"

#include <QList>
#include <atomic>
#include <deque>

// A scripted speech engine: it records what the application state asked of it, answers permission requests
// as told, and hands out scripted transcripts. Tests drive partial results and errors through the callbacks.
class FakeSpeechEngine final : public SpeechEngine {
public:
    struct Start {
        QString locale;
        QStringList contextualStrings;
        QStringList dialogContext;
    };

    void applySettings(const Settings& settings) override { appliedSettings.append(settings); }
    bool isMicrophoneAuthorized() const override { return microphoneAuthorized; }
    bool isSpeechAuthorized() const override { return speechAuthorized; }
    void requestPermissions(std::function<void(bool, bool)> completion) override
    {
        ++permissionRequests;
        pendingPermissionAnswer = std::move(completion);
    }
    bool hasLocalModel() const override { return localModelOnDisk; }
    void warmUp(const QString& locale) override { warmUps.append(locale); }
    void prewarmCloudSocketIfReady() override { ++cloudPrewarms; }
    void prewarmHotMicAsync() override { ++hotMicPrewarms; }
    void reloadSenseVoiceModelAsync() override { ++modelReloads; }
    QCoro::Task<Result<qint64>> probeSeedASRHandshake(QString apiKey, QString resourceID) override
    {
        seedProbeKeys.append(apiKey);
        if (!seedProbe)
            co_return AppError{QStringLiteral("Quorbell.SeedASR"), -1, QStringLiteral("no probe scripted")};
        co_return co_await seedProbe(std::move(apiKey), std::move(resourceID));
    }
    void startStreamingAsync(const QString& locale, const QStringList& contextualStrings,
                             const QStringList& dialogContext) override
    {
        starts.append({locale, contextualStrings, dialogContext});
    }
    QCoro::Task<SpeechTranscript> finishStreaming() override
    {
        ++finishes;
        if (duringFinish)
            duringFinish();
        if (finishScheduler && finishLatency > Duration::zero())
            co_await sleepFor(*finishScheduler, finishLatency);
        SpeechTranscript next;
        if (!transcripts.empty()) {
            next = transcripts.front();
            transcripts.pop_front();
        }
        co_return next;
    }
    void cancel() override { ++cancels; }
    bool isUsingSenseVoice() const override { return usingSenseVoice; }
    bool isFullPrecisionFP32() const override { return fullPrecision; }
    bool activeSessionUsesCloudSeedASR() const override { return usesSeed; }
    bool activeSessionUsesOpenAIASR() const override { return usesOpenAI; }

    // Answers the last permission request.
    void answerPermissions(bool microphone, bool speech)
    {
        if (auto answer = std::exchange(pendingPermissionAnswer, nullptr))
            answer(microphone, speech);
    }

    // Read by the permission poll off the main thread.
    std::atomic<bool> microphoneAuthorized = true;
    std::atomic<bool> speechAuthorized = true;
    bool localModelOnDisk = false;
    bool usingSenseVoice = false;
    bool fullPrecision = false;
    bool usesSeed = false;
    bool usesOpenAI = false;
    std::deque<SpeechTranscript> transcripts;
    // Runs inside each finish, before the transcript is handed out (an upload failing, say).
    std::function<void()> duringFinish;
    // The transcript comes this long after the finish begins (a cloud service's final answer), on this
    // scheduler's time.
    Scheduler* finishScheduler = nullptr;
    Duration finishLatency{};
    // The handshake probe; tests point it at a local Seed-ASR service.
    std::function<QCoro::Task<Result<qint64>>(QString apiKey, QString resourceID)> seedProbe;
    QStringList seedProbeKeys;

    QList<Settings> appliedSettings;
    QStringList warmUps;
    QList<Start> starts;
    int permissionRequests = 0;
    int cloudPrewarms = 0;
    int hotMicPrewarms = 0;
    int modelReloads = 0;
    int finishes = 0;
    int cancels = 0;
    std::function<void(bool, bool)> pendingPermissionAnswer;
};
