#include "core/AppState.h"

#include "core/KeychainHelper.h"
#include "lexicon/PersonalLexiconStore.h"
#include "llm/PolishEngine.h"
#include "model/AudioLevelBus.h"
#include "platform/Clipboard.h"
#include "platform/SoundPlayer.h"
#include "platform/Workspace.h"
#include "system/ContextInjector.h"
#include "system/HotkeyMonitor.h"
#include "system/LiveInputSession.h"
#include "system/SystemAudioDucker.h"
#include "util/AppIdentity.h"
#include "util/Deferred.h"
#include "util/DictationTrace.h"
#include "util/Text.h"

#include <QPointer>

namespace {

constexpr Duration kTailPause = std::chrono::milliseconds(100);
constexpr double kIdleAfterCompleted = 0.35;
constexpr double kIdleAfterEngineError = 2.5;
constexpr double kIdleAfterAccessibilityError = 2.6;
constexpr double kIdleAfterSavedToClipboard = 2.6;
constexpr double kIdleAfterPermissionError = 2.8;
constexpr int kHotwordLimit = 64;
constexpr int kRecalledTermLimit = 26;
constexpr int kSandboxTailCharacters = 140;
constexpr int kDialogContextCharacters = 100;
constexpr int kMaxDialogContextTexts = 2;
constexpr int kRecentPolishedAtBegin = 2;
constexpr int kRecentOutputsForPolish = 3;
constexpr int kMatchedTermsKept = 5;
constexpr float kStartSoundVolume = 0.3f;
constexpr float kCloseSoundVolume = 0.26f;
constexpr float kCancelSoundVolume = 0.22f;
constexpr double kAutoLearnFirstCheck = 5.5;
constexpr double kAutoLearnSecondCheck = 6.8;
// What a begin waits at most for the clipboard's owner: the text only adds to the recogniser's hint.
constexpr Duration kClipboardHintWait = std::chrono::milliseconds(150);
// The most of the clipboard's text read for the hint: 42 characters, even of the longest in use (emoji
// sequences), with white space around them. A longer text cannot be a hint and is never read whole.
constexpr qsizetype kClipHintMaxBytes = 4096;

// The desktop's settings as a Linux user finds them: the sound settings' input device, the accessibility
// switch (AT-SPI); speech needs no permission here, only a recogniser.
constexpr QStringView kNoMicrophoneText = u"请在桌面的声音设置中启用麦克风输入设备";
constexpr QStringView kNoMicrophoneBanner =
    u"⚠️ 没有可用的麦克风：声音服务未运行或没有输入设备，请在桌面的声音设置中启用麦克风输入设备";
// Silence ends quietly; a voice that gave no words must not look like it.
constexpr QStringView kHeardVoiceNoTextBanner = u"⚠️ 听到了声音，但没有识别出文字，请再说一次";
constexpr QStringView kNoRecognizerText = u"未找到可用的语音识别引擎，请配置本地模型或云端语音密钥";
constexpr QStringView kNoAccessibilityText = u"请在桌面设置中开启辅助功能（AT-SPI）才能写入外部输入框";
const QString kCloudFailedPrefix = QStringLiteral("云端语音识别失败：");
const QString kNoOfflineModel = QStringLiteral(
    "。本机未安装离线模型，无法接管（可在引擎设置的「纯本机 SenseVoice FP32 离线满血模型」卡片下载）");
const QString kStreamedPartKept = QStringLiteral("；已送出云端已识别的部分，其余语音未能识别");
const QString kNothingRecognised = QStringLiteral("；本次听写没有得到任何文字");
const QString kOwnWindowTargetName = QStringLiteral("Quorbell 试音沙盒");
const QString kSavedToClipboardText = QStringLiteral("已暂存剪贴板 · Ctrl+V 粘贴");
// A start pressed while the previous dictation was finishing, stopped before that one had ended.
const QString kStartNeverBeganBanner = QStringLiteral(
    "⚠️ 上一段听写还在处理中，这次按键没有开始录音，请再说一次");

// The newest `count` polished texts, newest first.
QStringList newestPolished(const QList<DictationRecord>& history, int count)
{
    QStringList texts;
    for (qsizetype i = 0; i < history.size() && i < count; ++i)
        texts.append(history.at(i).polishedText);
    return texts;
}

bool isFileManager(const QString& bundleID)
{
    static const QStringList fileManagers = {
        QStringLiteral("com.apple.finder"),     QStringLiteral("org.gnome.Nautilus"), QStringLiteral("nautilus"),
        QStringLiteral("org.kde.dolphin"),      QStringLiteral("dolphin"),            QStringLiteral("thunar"),
        QStringLiteral("Thunar"),               QStringLiteral("nemo"),               QStringLiteral("caja"),
        QStringLiteral("pcmanfm"),
    };
    return fileManagers.contains(bundleID, Qt::CaseInsensitive);
}

// Starts the traced steps at the stop key and ends the traced dictation on every way out of the finish.
class TracedFinish {
public:
    explicit TracedFinish(DictationTrace* trace) : m_trace(trace)
    {
        if (m_trace)
            m_trace->stopKeyPressed();
    }
    ~TracedFinish()
    {
        if (m_trace)
            m_trace->dictationEnded();
    }
    TracedFinish(const TracedFinish&) = delete;
    TracedFinish& operator=(const TracedFinish&) = delete;

    void mark(DictationTrace::Step step)
    {
        if (m_trace)
            m_trace->mark(step);
    }

private:
    DictationTrace* m_trace;
};

} // namespace

// --- begin -----------------------------------------------------------------------------------------------------

void AppState::beginDictationSession()
{
    if (m_isFinalizingSession) {
        // Taken, not dropped: it starts once the dictation being finished has ended, and the trigger counts
        // it as on, so the user's next press is its stop.
        m_startAwaitsFinish = true;
        m_hotkeyMonitor->syncRecordingState(true);
        return;
    }
    if (m_isSessionActive || isStartingSession()) {
        m_hotkeyMonitor->syncRecordingState(true);
        return;
    }
    if (!m_hasDesktopStatus) {
        // Pressed right after launch: the start-up load begins the session once it has the answers.
        m_startAwaitsStatus = true;
        return;
    }
    if (!m_micAuthorized || !m_speechAuthorized || !m_accessibilityGranted)
        refreshPermissionStatus();
    if (!m_micAuthorized || !m_speechAuthorized) {
        QPointer<AppState> self(this);
        m_asrEngine->requestPermissions([self](bool microphone, bool speech) {
            if (!self)
                return;
            self->publish(self->m_micAuthorized, microphone);
            self->publish(self->m_speechAuthorized, speech);
            // The pill draws the error without words: the banner says why.
            if (!microphone) {
                self->setPhase(PipelinePhase::error(kNoMicrophoneText.toString()));
                self->setStatusBanner(kNoMicrophoneBanner.toString());
            } else if (!speech) {
                self->setPhase(PipelinePhase::error(kNoRecognizerText.toString()));
                self->setStatusBanner(kNoRecognizerText.toString());
            }
            if (!microphone || !speech)
                self->scheduleIdleReset(kIdleAfterPermissionError);
            // Granted or not, the user triggers again: nothing starts on its own.
        });
        return;
    }
    // The microphone opens on the engine's queue while the rest of the start is prepared; without
    // Accessibility the session may yet be refused, and then no microphone should open.
    if (m_accessibilityGranted)
        m_asrEngine->prewarmHotMicAsync();
    m_pendingStart = ++m_lastStart;
    startDictationSession(m_pendingStart); // runs on by itself; a stop or cancel meanwhile drops it
}

bool AppState::abandonStartAwaitingFinish()
{
    if (!std::exchange(m_startAwaitsFinish, false))
        return false;
    m_hotkeyMonitor->syncRecordingState(false);
    return true;
}

void AppState::endFinalizing()
{
    m_isFinalizingSession = false;
    if (!m_startAwaitsFinish)
        return;
    // On the next turn: the finish that ends here returns first.
    QPointer<AppState> self(this);
    m_scheduler.schedule(Duration::zero(), [self] {
        if (self && std::exchange(self->m_startAwaitsFinish, false))
            self->beginDictationSession();
    });
}

bool AppState::abandonPendingStart()
{
    if (!isStartingSession())
        return false;
    m_startAwaitsStatus = false;
    m_pendingStart = 0;
    m_hotkeyMonitor->syncRecordingState(false);
    return true;
}

QCoro::Task<> AppState::startDictationSession(quint64 start)
{
    QPointer<AppState> self(this);
    // Both answers wait on other applications (the X server, the clipboard's owner): asked side by side.
    // A slow clipboard owner delays the start by kClipboardHintWait at most; the hint then goes without it.
    // Contents a password manager marked secret come back as "".
    auto clipboardText = Deferred<QString>::create();
    m_services.clipboard->readShortText(kClipHintMaxBytes,
                                        [clipboardText](const QString& text) { clipboardText->resolve(text); });
    m_scheduler.schedule(kClipboardHintWait, [clipboardText] { clipboardText->resolve(QString()); });
    auto frontmostRead = m_contextInjector->frontmostApplicationAsync();
    const FrontmostApplication front = (co_await frontmostRead).value_or(FrontmostApplication{});
    if (!self || m_pendingStart != start)
        co_return;
    const QString clipboard = co_await *clipboardText;
    if (!self || m_pendingStart != start)
        co_return;
    m_pendingStart = 0;

    m_isTypingInsideOwnApp = front.bundleIdentifier == AppIdentity::bundleIdentifier();
    if (!m_isTypingInsideOwnApp && !m_accessibilityGranted) {
        m_hotkeyMonitor->syncRecordingState(false);
        // The desktop's own reason (a Wayland session, no XTest) says more than the general request.
        const QString reason = m_services.accessibility->untrustedReason();
        setPhase(PipelinePhase::error(reason.isEmpty() ? kNoAccessibilityText.toString()
                                                       : QStringLiteral("无法写入外部输入框：") + reason));
        scheduleIdleReset(kIdleAfterAccessibilityError);
        co_return;
    }

    m_isSessionActive = true;
    const quint64 generation = ++m_sessionGeneration;
    if (m_services.trace)
        m_services.trace->dictationStarted();
    m_hotkeyMonitor->syncRecordingState(true);
    if (m_isTypingInsideOwnApp)
        m_sandboxBaseBeforeSession = m_sandboxText;
    m_activeContext = ActiveScreenContext::empty();
    m_activeContext.appName = front.name;
    m_activeContext.bundleID = front.bundleIdentifier;
    m_activeContext.hasFocusedTextInput = !isFileManager(front.bundleIdentifier);
    m_activeMode = DictationMode::dictate;
    m_levelBus.reset();
    m_liveInputSession.reset();
    // Undecided until the background capture has looked for a selection: nothing is typed before that.
    if (m_llmConfig.enableLiveInlineTyping)
        m_liveInputSession = LiveInputSession::create(*m_contextInjector, std::nullopt);
    setPhase(PipelinePhase::listening(QString(), DictationMode::dictate));
    if (m_llmConfig.enableAutoMuteDuringDictation)
        m_audioDucker->muteIfNeeded();
    else
        m_services.soundPlayer->play(SystemSound::Tink, kStartSoundVolume);
    syncASREngineConfig();

    // Context hint, hotwords and dialog context.
    const QList<LexiconEntry>& entries = m_lexiconStore->entries();
    const QStringList recentPolished = newestPolished(m_history, kRecentPolishedAtBegin);
    const QString sandboxTail =
        m_isTypingInsideOwnApp ? Text::graphemeSuffix(m_sandboxText, kSandboxTailCharacters) : QString();
    QString clipHint = Text::trimmed(clipboard);
    const int clipLength = Text::graphemeCount(clipHint);
    if (clipLength < 2 || clipLength > 42 || clipHint.contains(u'\n'))
        clipHint.clear();
    QStringList hintParts{m_activeContext.appName, clipHint, sandboxTail};
    hintParts.append(recentPolished);
    const QString hint = hintParts.join(u' ');
    m_polishEngine->prewarmConnection(m_llmConfig.baseURL, m_keychain.loadAPIKey(m_llmConfig.selectedProvider));
    QStringList hotwords = PersonalLexiconStore::rankHotwords(entries, hint, kHotwordLimit);
    if (clipLength >= 2 && clipLength <= 14 && !clipHint.isEmpty() && !clipHint.contains(u' ') &&
        !hotwords.contains(clipHint, Qt::CaseInsensitive))
        hotwords.prepend(clipHint);
    QStringList dialogContext;
    if (!Text::isBlank(sandboxTail))
        dialogContext.append(Text::graphemeSuffix(Text::trimmed(sandboxTail), kDialogContextCharacters));
    for (const QString& text : recentPolished) {
        const QString trimmed = Text::trimmed(text);
        if (!trimmed.isEmpty())
            dialogContext.append(Text::graphemeSuffix(trimmed, kDialogContextCharacters));
    }
    dialogContext = dialogContext.mid(0, kMaxDialogContextTexts);

    m_asrEngine->startStreamingAsync(m_llmConfig.speechLocale, hotwords, dialogContext);
    startBackgroundContextCapture(generation);
}

void AppState::startBackgroundContextCapture(quint64 generation)
{
    QPointer<AppState> self(this);
    std::shared_ptr<LiveInputSession> live = m_liveInputSession;
    ContextInjector* injector = m_contextInjector.get();
    m_captureQueue.async([self, generation, live, injector] {
        const ActiveScreenContext context = injector->captureCurrentContext();
        // The live session of this dictation learns the context whatever happens to the session meanwhile.
        if (live)
            live->updateContext(context);
        QMetaObject::invokeMethod(
            qApp,
            [self, generation, context] {
                // A capture that belongs to an older session does nothing.
                if (!self || !self->m_isSessionActive || self->m_sessionGeneration != generation)
                    return;
                self->m_activeContext = context;
                if (!context.selectedText.isEmpty()) {
                    self->m_activeMode = DictationMode::rewriteSelection;
                    self->setPhase(PipelinePhase::listening(QString(), DictationMode::rewriteSelection));
                }
            },
            Qt::QueuedConnection);
    });
}

// --- partial results and errors ---------------------------------------------------------------------------------

void AppState::handlePartialResult(const QString& text, bool settled)
{
    if (!m_isSessionActive)
        return;
    const QString fixed = PolishEngine::applyInstantLocalDictionary(text, m_lexiconStore->entries(), m_activeContext,
                                                                   m_llmConfig, false);
    // Characters are grapheme clusters; every white-space cluster is one code unit, but for CR LF.
    int blank = 0;
    for (qsizetype i = 0; i < fixed.size(); ++i) {
        if (Text::isWhitespaceOrNewline(fixed[i].unicode()) &&
            !(fixed[i] == u'\n' && i > 0 && fixed[i - 1] == u'\r'))
            ++blank;
    }
    m_levelBus.pushRecognizedCount(Text::graphemeCount(fixed) - blank);
    if (!m_llmConfig.enableLiveInlineTyping || m_activeMode != DictationMode::dictate)
        return;
    if (m_isTypingInsideOwnApp)
        setSandboxText(m_sandboxBaseBeforeSession + fixed);
    else if (m_liveInputSession)
        m_liveInputSession->updateLiveText(fixed, settled, m_asrEngine->activeSessionUsesCloudSeedASR());
}

void AppState::handleEngineError(const QString& message)
{
    // While recording, the error ends a recording the user still thinks runs; during a finish it only ends
    // what the user's stop began.
    const bool endsRecording = m_isSessionActive && !m_isFinalizingSession;
    m_isSessionActive = false;
    if (m_services.trace && !m_isFinalizingSession) // a finish under way ends its own trace
        m_services.trace->dictationAbandoned();
    m_audioDucker->restoreIfNeeded();
    if (endsRecording) {
        m_asrEngine->cancel(); // nothing finishes this session: no audio of it goes anywhere from here
        m_hotkeyMonitor->recordingEndedByItself();
    } else if (!m_startAwaitsFinish) { // a start waiting for this finish keeps the trigger on
        m_hotkeyMonitor->syncRecordingState(false);
    }
    setPhase(PipelinePhase::error(message));
    // The pill draws the error without words: the banner says why.
    setStatusBanner(message);
    scheduleIdleReset(kIdleAfterEngineError);
}

void AppState::handleCloudRecognitionFailure(const QString& reason)
{
    const QString failure = kCloudFailedPrefix + reason;
    const QString banner = QStringLiteral("❌ ") + failure + kNoOfflineModel;
    setPhase(PipelinePhase::error(failure));
    setStatusBanner(banner);
    scheduleIdleReset(kIdleAfterEngineError);
    if (!m_isSessionActive)
        return;
    m_cloudFailure = CloudFailure{m_sessionGeneration, banner};
    // Recording on would only lose more speech: the dictation ends with what the cloud streamed.
    if (!m_isFinalizingSession)
        finishDictationSessionDetached(true);
}

void AppState::handleCaptureLost(const QString& reason)
{
    if (!m_isSessionActive || m_isFinalizingSession)
        return;
    // The recording cannot go on; what it holds so far is still worth the words.
    setStatusBanner(QStringLiteral("⚠️ ") + reason + QStringLiteral("，已转写停止前录下的内容"));
    finishDictationSessionDetached(true);
}

void AppState::scheduleIdleReset(double afterSeconds)
{
    QPointer<AppState> self(this);
    m_scheduler.schedule(seconds(afterSeconds), [self] {
        if (self && !self->m_phase.is<PipelinePhase::Listening>() && !self->m_phase.is<PipelinePhase::Polishing>())
            self->setPhase(PipelinePhase::idle());
    });
}

// --- cancel -----------------------------------------------------------------------------------------------------

void AppState::cancelDictationSession()
{
    if (abandonStartAwaitingFinish())
        return; // the dictation being finished was not the one cancelled
    if (abandonPendingStart())
        return; // nothing was shown or started yet
    if (!m_isSessionActive)
        return;
    m_isSessionActive = false;
    ++m_sessionGeneration; // whatever the cancelled session still has in flight is dropped
    if (m_services.trace)
        m_services.trace->dictationAbandoned();
    m_audioDucker->restoreIfNeeded();
    m_hotkeyMonitor->syncRecordingState(false);
    m_asrEngine->cancel();
    m_levelBus.reset();
    if (m_isTypingInsideOwnApp)
        setSandboxText(m_sandboxBaseBeforeSession);
    else if (m_liveInputSession)
        m_liveInputSession->cancel(); // stops its pacer, then erases what it typed in the target window
    m_liveInputSession.reset();
    setPhase(PipelinePhase::idle());
    m_services.soundPlayer->play(SystemSound::Funk, kCancelSoundVolume);
}

// --- finish -----------------------------------------------------------------------------------------------------

void AppState::finishDictationSessionDetached(bool endedByItself)
{
    // The task finishes on its own; nothing awaits it.
    [](QPointer<AppState> self, bool byItself) -> QCoro::Task<> {
        if (self)
            co_await self->finishSession(byItself);
    }(this, endedByItself);
}

QCoro::Task<> AppState::finishDictationSession()
{
    co_await finishSession(false);
}

QCoro::Task<> AppState::finishSession(bool endedByItself)
{
    // The stop of a start that waited for the previous dictation: that start never began, and the user, who
    // may have spoken meanwhile, must know nothing was recorded.
    if (abandonStartAwaitingFinish()) {
        setStatusBanner(kStartNeverBeganBanner);
        co_return;
    }
    // Stopped before the session began: it never does, and nothing was recorded to finish.
    if (abandonPendingStart())
        co_return;
    if (!m_isSessionActive || m_isFinalizingSession)
        co_return;
    QPointer<AppState> self(this);
    const quint64 generation = m_sessionGeneration;
    m_isFinalizingSession = true;
    TracedFinish trace(m_services.trace);
    if (endedByItself)
        m_hotkeyMonitor->recordingEndedByItself();
    else
        m_hotkeyMonitor->syncRecordingState(false);
    // The paste at the end then finds the user's clipboard read, however slowly its owner hands it over.
    if (!m_isTypingInsideOwnApp)
        m_contextInjector->prefetchClipboardSnapshot();

    // The tail pause catches the last words after a stop key; a recording the app ended takes nothing more.
    if (!endedByItself) {
        co_await sleepFor(m_scheduler, kTailPause);
        if (!self)
            co_return;
    }
    trace.mark(DictationTrace::Step::tailEnd);
    if (m_sessionGeneration != generation) {
        // Cancelled during the tail pause: the session is over, nothing is inserted or recorded.
        endFinalizing();
        co_return;
    }
    // An engine error during the pause has already ended recording and shown itself; the finish still asks
    // the engine, whose fail-over may yet deliver the words.
    m_isSessionActive = false;
    m_audioDucker->restoreIfNeeded();

    const bool usedCloud = m_asrEngine->activeSessionUsesCloudSeedASR() || m_asrEngine->activeSessionUsesOpenAIASR();
    if (m_asrEngine->activeSessionUsesOpenAIASR())
        setPhase(PipelinePhase::polishing(QStringLiteral("云端语音转写中…")));
    const SpeechTranscript transcript = co_await m_asrEngine->finishStreaming();
    if (!self)
        co_return;
    trace.mark(DictationTrace::Step::engineFinal);
    const QString raw = transcript.text;
    std::shared_ptr<LiveInputSession> live = m_liveInputSession;
    if (m_cloudFailure && m_cloudFailure->generation == generation)
        setStatusBanner(std::exchange(m_cloudFailure, std::nullopt)->banner +
                        (raw.isEmpty() ? kNothingRecognised : kStreamedPartKept));

    if (raw.isEmpty()) {
        if (m_isTypingInsideOwnApp)
            setSandboxText(m_sandboxBaseBeforeSession);
        else if (live)
            live->cancel(); // nothing was recognised: the live-typed draft is erased, as the box is restored
        m_liveInputSession.reset();
        if (!m_phase.is<PipelinePhase::Error>()) {
            setPhase(PipelinePhase::idle());
            if (transcript.heardVoice)
                setStatusBanner(kHeardVoiceNoTextBanner.toString());
        }
        m_audioDucker->restoreIfNeeded();
        endFinalizing();
        co_return;
    }

    const QList<LexiconEntry> entries = m_lexiconStore->entries();
    const QString fixed = PolishEngine::applyInstantLocalDictionary(raw, entries, m_activeContext, m_llmConfig, true);
    if (m_isTypingInsideOwnApp && m_llmConfig.enableLiveInlineTyping && m_activeMode == DictationMode::dictate)
        setSandboxText(m_sandboxBaseBeforeSession + fixed);
    const QList<LexiconEntry> terms =
        m_lexiconStore->recallRelevantTerms(raw, m_activeContext.windowTitle, kRecalledTermLimit);
    trace.mark(DictationTrace::Step::lexiconRecall);
    QStringList recentOutputs = newestPolished(m_history, kRecentOutputsForPolish);
    std::reverse(recentOutputs.begin(), recentOutputs.end()); // oldest first
    QString apiKey = Text::trimmed(m_apiKeyInput);
    if (apiKey.isEmpty())
        apiKey = m_keychain.loadAPIKey(m_llmConfig.selectedProvider);
    if (apiKey.isEmpty() && !PolishEngine::isKeylessLocalEndpoint(m_llmConfig.baseURL) &&
        m_llmConfig.formattingStyle != FormattingStyle::verbatimLocal)
        setStatusBanner(QStringLiteral("⚠️ 当前生效的「") + m_llmConfig.selectedProvider.shortName() +
                        QStringLiteral("」尚未填入 API Key，本次仅执行本地词库纠偏"));
    setPhase(PipelinePhase::polishing(fixed));
    // A dictation is never lost to a quit (a logout sends SIGTERM) while the model answers: what was
    // recognised is recorded as the fallback would paste it. A rewrite's transcript is an instruction, not
    // text.
    if (m_activeMode == DictationMode::dictate)
        m_unfinishedRecord =
            dictationRecord(raw, PolishEngine::localFallbackText(raw, terms, m_activeContext, m_llmConfig),
                            transcript.durationSeconds, 0, terms);

    bool sseLive = false;
    if (!m_isTypingInsideOwnApp && m_llmConfig.enableLiveInlineTyping && m_activeMode == DictationMode::dictate &&
        live) {
        sseLive = co_await live->prepareForSSEPolishStream();
        if (!self)
            co_return;
    }
    auto streamed = std::make_shared<bool>(false);
    const bool ownWindow = m_isTypingInsideOwnApp;
    const bool liveTypingOn = m_llmConfig.enableLiveInlineTyping;
    const QString sandboxBase = m_sandboxBaseBeforeSession;
    DictationTrace* tokenTrace = m_services.trace;
    auto onChunk = [self, streamed, ownWindow, liveTypingOn, sseLive, live, sandboxBase,
                    tokenTrace](const QString& chunk, bool replace) {
        if (!self)
            return;
        if (tokenTrace)
            tokenTrace->markModelToken();
        if (ownWindow && liveTypingOn) {
            self->setSandboxText(replace ? sandboxBase + chunk : self->m_sandboxText + chunk);
            *streamed = true;
        } else if (!ownWindow && sseLive) {
            if (live)
                live->consumeSSEChunk(chunk); // the session runs its edits one at a time, in call order
            *streamed = true;
        }
    };
    const LLMProviderOption provider = m_llmConfig.selectedProvider;
    const PolishEngine::PolishResult polished = co_await m_polishEngine->polish(
        raw, m_activeMode, m_activeContext, terms, recentOutputs, m_llmConfig, apiKey, m_asrEngine->isUsingSenseVoice(),
        usedCloud, onChunk);
    if (!self)
        co_return;

    if (m_unfinishedRecord && !polished.text.isEmpty()) {
        m_unfinishedRecord->polishedText = polished.text;
        m_unfinishedRecord->polishLatencyMs = polished.latencyMs;
    }
    if (polished.rewriteFailure) {
        // A failed rewrite keeps the selection: the spoken instruction is never pasted over it.
        m_liveInputSession.reset();
        setStatusBanner(QStringLiteral("❌ ") + polished.rewriteFailure->description);
        setPhase(PipelinePhase::error(polished.rewriteFailure->description));
        scheduleIdleReset(kIdleAfterEngineError);
        m_audioDucker->restoreIfNeeded();
        endFinalizing();
        co_return;
    }
    // The locally corrected text is delivered all the same, but a user whose key is mistyped must learn that
    // polishing is off.
    if (polished.polishFailure)
        setStatusBanner(QStringLiteral("⚠️ 「") + provider.shortName() + QStringLiteral("」排版失败（") +
                        polished.polishFailure->description + QStringLiteral("），本次仅执行本地词库纠偏"));
    co_await closePolishedDictation(polished.text, polished.latencyMs, raw, transcript.durationSeconds, terms,
                                    *streamed);
}

QCoro::Task<> AppState::closePolishedDictation(QString text, qint64 latencyMs, QString raw, double duration,
                                               QList<LexiconEntry> terms, bool streamed)
{
    QPointer<AppState> self(this);
    std::shared_ptr<LiveInputSession> live = std::exchange(m_liveInputSession, nullptr);
    if (text.isEmpty()) {
        m_unfinishedRecord.reset();
        setPhase(PipelinePhase::idle());
        m_audioDucker->restoreIfNeeded();
        endFinalizing();
        co_return;
    }

    bool inserted = false;
    if (m_isTypingInsideOwnApp) {
        setSandboxText(m_sandboxBaseBeforeSession + text);
        inserted = true;
    } else if (streamed) {
        inserted = true;
        if (live)
            inserted = co_await live->finishSSEPolishStream(text);
    } else if (m_llmConfig.enableLiveInlineTyping && m_activeMode == DictationMode::dictate && live) {
        inserted = co_await live->finalizeAfterKeyRelease(text);
    } else {
        // Also when live typing was switched on during this dictation: there is no live session to finish,
        // so the text is pasted like any other.
        bool hasInput = m_activeContext.hasFocusedTextInput;
        if (!hasInput) {
            hasInput = co_await m_contextInjector->isLikelyEditableFocusAsync();
            if (!self)
                co_return;
        }
        if (hasInput) {
            // A paste whose keys could not be posted leaves the text on the clipboard.
            const Status pasted = co_await m_contextInjector->pasteViaClipboardPreservingSnapshot(text);
            inserted = pasted.ok;
        } else {
            m_contextInjector->saveToSafetyClipboard(text);
        }
    }
    if (!self)
        co_return;
    if (live && live->hasLostTargetWindow())
        setStatusBanner(QStringLiteral("⚠️ 输入焦点离开了「") + m_activeContext.appName +
                        QStringLiteral("」，实时输入已停止") +
                        (inserted ? QStringLiteral("，全文已作为一次粘贴送入当前窗口")
                                  : QStringLiteral("，全文已暂存剪贴板")));

    QList<LexiconEntry> hits;
    for (const LexiconEntry& entry : terms) {
        if (!entry.term.isEmpty() && text.contains(entry.term, Qt::CaseInsensitive))
            hits.append(entry);
    }
    if (!hits.isEmpty())
        m_lexiconStore->recordTermHits(hits);

    if (m_activeMode == DictationMode::rewriteSelection && m_llmConfig.enableAutoLearn) {
        if (auto pair = m_lexiconStore->learnFromSelectionRewrite(m_activeContext.selectedText, text))
            setStatusBanner(QStringLiteral("✨ 语音纠偏已永久记入词库：「") + pair->wrong + QStringLiteral("」➔「") +
                            pair->corrected + QStringLiteral("」"));
    }

    m_unfinishedRecord.reset();
    prependToHistory(dictationRecord(raw, text, duration, latencyMs, terms));
    queueHistorySave();

    m_services.soundPlayer->play(SystemSound::Pop, kCloseSoundVolume);
    if (inserted) {
        setPhase(PipelinePhase::completed(text, latencyMs));
        scheduleIdleReset(kIdleAfterCompleted);
        if (m_llmConfig.enableAutoLearn)
            scheduleAutoLearnObservation(text, m_activeContext.bundleID, m_isTypingInsideOwnApp);
    } else {
        setPhase(PipelinePhase::savedToClipboard(kSavedToClipboardText));
        scheduleIdleReset(kIdleAfterSavedToClipboard);
    }
    m_audioDucker->restoreIfNeeded();
    endFinalizing();
}

DictationRecord AppState::dictationRecord(const QString& raw, const QString& text, double duration,
                                          qint64 latencyMs, const QList<LexiconEntry>& terms) const
{
    QStringList matched;
    for (qsizetype i = 0; i < terms.size() && i < kMatchedTermsKept; ++i)
        matched.append(terms.at(i).term);
    return DictationRecord(QUuid::createUuid(), m_scheduler.currentDate(), raw, text, duration, latencyMs,
                           m_isTypingInsideOwnApp ? kOwnWindowTargetName : m_activeContext.appName,
                           m_activeMode, matched);
}

void AppState::prependToHistory(DictationRecord record)
{
    QList<DictationRecord> history = m_history;
    history.prepend(std::move(record));
    if (history.size() > kHistoryCap)
        history.resize(kHistoryCap);
    setHistory(std::move(history));
}

void AppState::recordUnfinishedDictation()
{
    if (!m_unfinishedRecord)
        return;
    prependToHistory(*std::exchange(m_unfinishedRecord, std::nullopt));
    // The process ends right after this: the file is written now, not queued.
    reportDataFileSave(kHistoryFileName, saveHistory());
}

// --- learning --------------------------------------------------------------------------------------------------

void AppState::scheduleAutoLearnObservation(const QString& injectedText, const QString& expectedBundleID,
                                            bool wasInsideSandbox)
{
    [](QPointer<AppState> self, QString injected, QString expectedApp, bool sandbox, qsizetype historyCount,
       quint64 generation) -> QCoro::Task<> {
        for (double wait : {kAutoLearnFirstCheck, kAutoLearnSecondCheck}) {
            if (!self)
                co_return;
            co_await sleepFor(self->m_scheduler, seconds(wait));
            // Any newer dictation, started or recorded, ends the observation.
            if (!self || self->m_isSessionActive || self->m_history.size() != historyCount ||
                self->m_sessionGeneration != generation)
                co_return;
            std::optional<QString> current;
            if (sandbox) {
                current = self->m_sandboxText;
            } else {
                const auto front = co_await self->m_contextInjector->frontmostApplicationAsync();
                if (!self)
                    co_return;
                if (front.value_or(FrontmostApplication{}).bundleIdentifier == expectedApp)
                    current = co_await self->m_contextInjector->readCurrentFocusedValueAsync();
                if (!self)
                    co_return;
            }
            if (!current || current->isEmpty())
                continue;
            if (auto pair = self->m_lexiconStore->learnFromManualEditIfApplicable(injected, *current)) {
                self->setStatusBanner(QStringLiteral("✨ 自学习词典已自动记住纠偏：「") + pair->wrong +
                                      QStringLiteral("」➔「") + pair->corrected + QStringLiteral("」"));
                co_return;
            }
        }
    }(this, injectedText, expectedBundleID, wasInsideSandbox, m_history.size(), m_sessionGeneration);
}

QCoro::Task<> AppState::distillPastedCorpus(QString text)
{
    QPointer<AppState> self(this);
    const LLMConfig config = m_llmConfig;
    const QString key = m_keychain.loadAPIKey(config.selectedProvider);
    const auto result = co_await m_polishEngine->distillTermsFromRawCorpus(text, config, key);
    if (!self)
        co_return;
    if (!result) {
        setStatusBanner(QStringLiteral("蒸馏失败：") + result.error().description);
        co_return;
    }
    QList<PersonalLexiconStore::BulkItem> items;
    for (const PolishEngine::DistilledTerm& term : result.value())
        items.append({term.term, term.aliases, term.category});
    const int added = m_lexiconStore->bulkUpsert(items);
    setStatusBanner(QStringLiteral("智能蒸馏完成：新增 %1 个专属词条（总词库 %2 词）")
                        .arg(added)
                        .arg(m_lexiconStore->entries().size()));
}
