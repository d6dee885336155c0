#include "selftest/SelfTestSuite.h"

#include "audio/Resampler.h"
#include "audio/SenseVoiceModel.h"
#include "core/KeychainHelper.h"
#include "lexicon/PersonalLexiconStore.h"
#include "llm/PolishEngine.h"
#include "platform/SecretStore.h"
#include "selftest/BoundedKeyRead.h"
#include "selftest/RecordingReader.h"
#include "sherpa/sherpa_bridge.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <qcoro/qcorotask.h>

using namespace std::chrono_literals;

namespace {

using SelfTestSuite::PrintLine;
using SelfTestSuite::SpeechBenchContext;

const QString kDeepSeekBaseURL = QStringLiteral("https://api.deepseek.com/v1");
const QString kSeedASREnvironment = QStringLiteral("QUORBELL_SEEDASR_URL");
// A keyring that has not answered by then is not going to; the modes go on without its keys.
constexpr Duration kKeyringLimit = 5s;
constexpr int kRecognizerThreads = 6;

// Benchmark pacing: 100 ms slices every 95 ms, as live capture delivers them.
constexpr size_t kBenchSliceSamples = 1600;
constexpr Duration kBenchSlicePause = 95ms;
constexpr Duration kBenchStartPause = 120ms;
constexpr quint64 kBenchFinalTimeoutMs = 1200;
// A/B pacing: 60 ms slices every 58 ms.
constexpr size_t kABSliceSamples = 960;
constexpr Duration kABSlicePause = 58ms;
constexpr quint64 kABFinalTimeoutMs = 950;
constexpr Duration kWarmUpPause = 250ms;
constexpr Duration kPolishWarmUpPause = 150ms;
// Leading silence: the first sample louder than this is the onset; 30 ms are kept before it.
constexpr int kOnsetLevel = 650;
constexpr size_t kMinimumOnsetIndex = 801;
constexpr size_t kKeptBeforeOnset = 480;

qint64 millisecondsSince(const Scheduler& scheduler, MonotonicTime start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(scheduler.now() - start).count();
}

// "48000.0": the rate as a fractional number, as the diagnostic line shows it.
QString rateText(double rate)
{
    return rate == std::floor(rate) ? QString::number(rate, 'f', 1) : QString::number(rate, 'g', 17);
}

void reportToStandardError(const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
}

// A file that opened but gave no samples ends the mode without an output line; the reason goes to standard
// error so the failure is never silent.
std::optional<Recording> takeRecording(std::variant<Recording, RecordingError> read, const QString& path)
{
    if (auto* recording = std::get_if<Recording>(&read))
        return std::move(*recording);
    reportToStandardError(QStringLiteral("%1: %2").arg(path, std::get<RecordingError>(read).reason));
    return std::nullopt;
}

QString readKey(const SpeechBenchContext& context, std::function<QString(const KeychainHelper&)> read)
{
    if (!context.keyring)
        return {};
    const BoundedKeyRead result = readKeyWithin(context.keyring, std::move(read), kKeyringLimit);
    if (!result.problem.isEmpty())
        context.print(QStringLiteral("  ! Keyring unavailable: ") + result.problem);
    return result.key;
}

QString readSpeechKey(const SpeechBenchContext& context)
{
    return readKey(context, [](const KeychainHelper& keys) {
        return keys.readSlot(KeychainHelper::kVolcSpeechSlot).value_or(QString());
    });
}

// The modes need an event loop for their sockets; outside the app (or a test) there is none yet.
class EventLoopHost {
public:
    EventLoopHost()
    {
        if (!QCoreApplication::instance())
            m_application = std::make_unique<QCoreApplication>(m_argc, m_argv);
    }

private:
    int m_argc = 1;
    char m_name[9] = "quorbell";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QCoreApplication> m_application;
};

// --- dual-ASR benchmark
// --------------------------------------------------------------------------------------

QCoro::Task<int> benchmarkCloud(Scheduler& scheduler, const SpeechBenchContext& context, QString key,
                                const Recording& recording)
{
    const PrintLine& print = context.print;
    const QString resourceID = VolcSeedASRClient::defaultResourceID();
    const Result<qint64> handshake = co_await VolcSeedASRClient::probeHandshakeLatency(
        key, resourceID, scheduler, context.seedASR.webSocketUrl);
    if (!handshake) {
        print(QStringLiteral("  ✗ [Cloud Primary] Seed-ASR 2.0 error: ") + handshake.error().description);
        co_return 1;
    }

    const std::vector<int16_t> pcm =
        resampleFloatTo16kHzInt16(recording.samples, static_cast<int>(recording.sampleRate));
    print(QStringLiteral("  [diag] floatSamples=%1 sr=%2 -> pcm16=%3")
              .arg(recording.samples.size())
              .arg(rateText(recording.sampleRate))
              .arg(pcm.size()));

    VolcSeedASRClient client(scheduler, context.seedASR);
    int frames = 0;
    client.onStreamingTranscript = [&print, &frames](quint64, const QString& text, bool definite) {
        ++frames;
        print(QStringLiteral("  [stream #%1 def=%2] %3")
                  .arg(frames)
                  .arg(definite ? QStringLiteral("true") : QStringLiteral("false"), text));
    };
    client.onConnectionFallbackNeeded = [&print](quint64, const QString& reason) {
        print(QStringLiteral("  [failover] ") + reason);
    };
    client.startSession(1, key,
                        {QStringLiteral("DeepSeek"), QStringLiteral("SwiftUI"), QStringLiteral("Quorbell"),
                         QStringLiteral("SEO")},
                        {QStringLiteral("我们刚刚确认了门店开放时间与海外 SEO 计划")}, true, true,
                        resourceID);
    co_await sleepFor(scheduler, kBenchStartPause);
    for (size_t offset = 0; offset < pcm.size(); offset += kBenchSliceSamples) {
        const std::span<const int16_t> all(pcm);
        client.appendPCM16Samples(all.subspan(offset, std::min(kBenchSliceSamples, pcm.size() - offset)));
        co_await sleepFor(scheduler, kBenchSlicePause);
    }
    const MonotonicTime tailStart = scheduler.now();
    const std::optional<QString> final = co_await client.finishAndAwaitFinalTranscript(kBenchFinalTimeoutMs);
    const qint64 tailMs = millisecondsSince(scheduler, tailStart);
    client.onStreamingTranscript = nullptr;
    client.onConnectionFallbackNeeded = nullptr;
    if (!final || final->isEmpty()) {
        print(QStringLiteral("  ✗ [Cloud Primary] Seed-ASR 2.0 returned empty transcript"));
        co_return 1;
    }
    print(QStringLiteral(
              "  ✓ [Cloud Primary] Volcengine Seed-ASR 2.0 (%1): handshake_rtt=%2ms, tail_finalize=%3ms, "
              "streaming_frames=%4 -> 「%5」")
              .arg(resourceID, QString::number(handshake.value()), QString::number(tailMs),
                   QString::number(frames), *final));
    co_return 0;
}

// The local recognizer from create to destroy.
class Recognizer {
public:
    Recognizer(const SenseVoiceModelPaths& paths)
        : m_handle(qb_sensevoice_create(QFile::encodeName(paths.modelPath).constData(),
                                        QFile::encodeName(paths.tokensPath).constData(), kRecognizerThreads))
    {
    }
    ~Recognizer() { qb_sensevoice_destroy(m_handle); }
    Recognizer(const Recognizer&) = delete;
    Recognizer& operator=(const Recognizer&) = delete;

    bool isLoaded() const { return m_handle != nullptr; }
    QString transcribe(const std::vector<float>& samples, int sampleRate) const
    {
        char* text = qb_sensevoice_transcribe(m_handle, samples.data(), static_cast<int32_t>(samples.size()),
                                              sampleRate);
        QString result = text ? QString::fromUtf8(text) : QString();
        qb_sensevoice_free_string(text);
        return result;
    }

private:
    qb_sensevoice* m_handle;
};

// --- A/B verification
// ------------------------------------------------------------------------------------------

// Keeps 30 ms before the first loud sample, when the onset lies far enough in.
std::vector<int16_t> trimLeadingSilence(std::vector<int16_t> pcm)
{
    const auto onset = std::find_if(pcm.begin(), pcm.end(),
                                    [](int16_t s) { return std::abs(static_cast<int>(s)) > kOnsetLevel; });
    const auto index = static_cast<size_t>(onset - pcm.begin());
    if (onset != pcm.end() && index >= kMinimumOnsetIndex)
        pcm.erase(pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(index - kKeptBeforeOnset));
    return pcm;
}

struct ABCase {
    QString title;
    VolcSeedASRClient* client;
    QStringList hotwords;
    QStringList dialogContext;
};

// What the transcripts of the case in progress told so far; callbacks of an earlier case are not counted.
struct CaseCounters {
    quint64 tag = 0;
    MonotonicTime start;
    qint64 firstCharMs = 0; // 0: no text yet
    QString firstText;
    int updates = 0;
};

struct ABInputs {
    QString speechKey;
    QString deepSeekKey;
    std::vector<int16_t> pcm;
    const PersonalLexiconStore* lexicon = nullptr;
    QStringList topHotwords;
};

QCoro::Task<std::optional<QString>> runABCase(Scheduler& scheduler, const PrintLine& print,
                                              const ABInputs& inputs, const ABCase& abCase,
                                              CaseCounters& counters)
{
    CaseCounters next;
    next.tag = counters.tag + 1;
    next.start = scheduler.now();
    counters = std::move(next);
    abCase.client->onStreamingTranscript = [&scheduler, &counters](quint64 tag, const QString& text, bool) {
        if (tag != counters.tag)
            return;
        ++counters.updates;
        if (!text.isEmpty() && counters.firstCharMs == 0) {
            counters.firstCharMs = millisecondsSince(scheduler, counters.start);
            counters.firstText = text;
        }
    };
    abCase.client->startSession(counters.tag, inputs.speechKey, abCase.hotwords, abCase.dialogContext, false,
                                false, VolcSeedASRClient::defaultResourceID());
    const std::span<const int16_t> all(inputs.pcm);
    for (size_t offset = 0; offset < all.size(); offset += kABSliceSamples) {
        abCase.client->appendPCM16Samples(
            all.subspan(offset, std::min(kABSliceSamples, all.size() - offset)));
        co_await sleepFor(scheduler, kABSlicePause);
    }
    const MonotonicTime tailStart = scheduler.now();
    std::optional<QString> final = co_await abCase.client->finishAndAwaitFinalTranscript(kABFinalTimeoutMs);
    const qint64 tailMs = millisecondsSince(scheduler, tailStart);
    // One substitution pass: a transcript holding "%4" is text, not a place for the next number.
    print(QStringLiteral("  [%1] first_char=%2ms (「%3」) | updates=%4 | tail_fin=%5ms | final=「%6」")
              .arg(abCase.title, QString::number(counters.firstCharMs), counters.firstText,
                   QString::number(counters.updates), QString::number(tailMs),
                   final.value_or(QStringLiteral("(nil)"))));
    co_return final;
}

QCoro::Task<> verifyAB(Scheduler& scheduler, const SpeechBenchContext& context, const ABInputs& inputs)
{
    const PrintLine& print = context.print;
    VolcSeedASRClient bareClient(scheduler, context.seedASR);
    VolcSeedASRClient warmClient(scheduler, context.seedASR);
    warmClient.prewarmStandbySocket(inputs.speechKey, VolcSeedASRClient::defaultResourceID());
    co_await sleepFor(scheduler, kWarmUpPause);

    const QString dialogLine = QStringLiteral("正在讨论美国与日本的 SEO 增长以及 ") +
                               inputs.topHotwords.mid(0, 4).join(QStringLiteral("、")) +
                               QStringLiteral(" 项目进度");
    print(
        QStringLiteral("==> Running Empirical A/B Verification (Loaded Lexicon=%1 terms, TopHotwords=%2)...")
            .arg(inputs.lexicon->entries().size())
            .arg(inputs.topHotwords.size()));

    CaseCounters counters;
    const ABCase cases[] = {
        {QStringLiteral("1: Bare (No Hotwords)"), &bareClient, {}, {}},
        {QStringLiteral("2: WarmTLS + Hotwords ONLY"), &warmClient, inputs.topHotwords, {}},
        {QStringLiteral("3: WarmTLS + Hotwords + DialogCtx"), &warmClient, inputs.topHotwords, {dialogLine}},
    };
    std::optional<QString> finals[3];
    for (int i = 0; i < 3; ++i)
        finals[i] = co_await runABCase(scheduler, print, inputs, cases[i], counters);
    bareClient.onStreamingTranscript = nullptr;
    warmClient.onStreamingTranscript = nullptr;

    QString input = finals[1].value_or(QStringLiteral("(nil)"));
    if (input.isEmpty())
        input = finals[2].value_or(QStringLiteral("(nil)"));
    const ActiveScreenContext target = ActiveScreenContext::empty();
    const LLMConfig config = LLMConfig::defaults();
    const QString instant =
        PolishEngine::applyInstantLocalDictionary(input, inputs.lexicon->entries(), target, config, false);
    if (inputs.deepSeekKey.isEmpty())
        co_return;

    PolishEngine engine(scheduler);
    engine.prewarmConnection(kDeepSeekBaseURL, inputs.deepSeekKey);
    co_await sleepFor(scheduler, kPolishWarmUpPause);
    const QList<LexiconEntry> recalled = inputs.lexicon->recallRelevantTerms(input, {}, 26);
    const PolishEngine::PolishResult polished = co_await engine.polish(
        input, DictationMode::dictate, target, recalled, {}, config, inputs.deepSeekKey, true, false);
    print(QStringLiteral("  [E2E Pass1 Instant] 「%1」").arg(instant));
    print(
        QStringLiteral("  [E2E Pass2 DeepSeek TTFT=%1ms] 「%2」").arg(polished.latencyMs).arg(polished.text));
}

} // namespace

namespace SelfTestSuite {

VolcSeedASRClient::Endpoint seedASREndpointFromEnvironment()
{
    const QString override = qEnvironmentVariable(kSeedASREnvironment.toLatin1().constData());
    if (override.isEmpty())
        return VolcSeedASRClient::Endpoint::volcengine();
    const QUrl webSocket(override);
    QUrl root = webSocket.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment);
    root.setScheme(webSocket.scheme() == QStringLiteral("wss") ? QStringLiteral("https")
                                                               : QStringLiteral("http"));
    root.setPath(QStringLiteral("/"));
    return {webSocket, root};
}

int runDualASRSmokeBenchmark(const SpeechBenchContext& context)
{
    const PrintLine& print = context.print;
    print(QStringLiteral("==> Running Dual-ASR Live Smoke Benchmark (Seed-ASR 2.0 + Local 886MB FP32)..."));
    const std::optional<SenseVoiceModelPaths> model = senseVoiceModelPaths();
    if (!model) {
        print(QStringLiteral("  ✗ Local SenseVoice model not found."));
        return 1;
    }
    const QString samplePath = QFileInfo(model->modelPath).dir().filePath(QStringLiteral("test_wavs/zh.wav"));
    std::variant<Recording, RecordingError> read = readRecording(samplePath);
    if (const auto* error = std::get_if<RecordingError>(&read);
        error && error->kind == RecordingError::Kind::cannotOpen) {
        print(QStringLiteral("  ✗ Sample test_wavs/zh.wav not found at ") + samplePath);
        return 1;
    }
    const std::optional<Recording> recording = takeRecording(std::move(read), samplePath);
    if (!recording)
        return 1;
    const auto sampleRate = static_cast<int>(recording->sampleRate);

    EventLoopHost loopHost;
    MainThreadScheduler scheduler;
    const MonotonicTime loadStart = scheduler.now();
    const Recognizer recognizer(*model);
    const qint64 loadMs = millisecondsSince(scheduler, loadStart);
    if (!recognizer.isLoaded()) {
        print(QStringLiteral("  ✗ Failed to load SenseVoice model (%1)")
                  .arg(model->isFullPrecision ? QStringLiteral("FP32") : QStringLiteral("INT8")));
        return 1;
    }
    recognizer.transcribe(recording->samples, sampleRate); // warm-up, untimed
    const MonotonicTime inferStart = scheduler.now();
    const QString text = recognizer.transcribe(recording->samples, sampleRate);
    const qint64 inferMs = millisecondsSince(scheduler, inferStart);
    print(QStringLiteral("  ✓ [Local Standby] SenseVoice (%1): load=%2ms, infer=%3ms -> 「%4」")
              .arg(model->isFullPrecision ? QStringLiteral("886MB FP32 Full") : QStringLiteral("INT8"))
              .arg(loadMs)
              .arg(inferMs)
              .arg(text));

    const QString key = readSpeechKey(context);
    if (key.isEmpty()) {
        print(QStringLiteral("  ! Volcengine Speech API Key not set in Keychain; skipping cloud benchmark."));
        return 0;
    }
    return QCoro::waitFor(benchmarkCloud(scheduler, context, key, *recording));
}

int runEmpiricalABVerification(const QString& wavPath, const SpeechBenchContext& context)
{
    std::variant<Recording, RecordingError> read = readRecording(wavPath);
    if (const auto* error = std::get_if<RecordingError>(&read);
        error && error->kind == RecordingError::Kind::cannotOpen) {
        context.print(QStringLiteral("  ✗ Could not read ") + wavPath);
        return 1;
    }
    const std::optional<Recording> recording = takeRecording(std::move(read), wavPath);
    if (!recording)
        return 1;

    ABInputs inputs;
    inputs.pcm = trimLeadingSilence(
        resampleFloatTo16kHzInt16(recording->samples, static_cast<int>(recording->sampleRate)));
    inputs.speechKey = readSpeechKey(context);
    if (inputs.speechKey.isEmpty()) {
        context.print(QStringLiteral("  ✗ Speech key empty"));
        return 1;
    }
    inputs.deepSeekKey = readKey(context, [](const KeychainHelper& keys) {
        return keys.loadAPIKey(LLMProviderOption::infer(kDeepSeekBaseURL));
    });

    EventLoopHost loopHost;
    const PersonalLexiconStore lexicon;
    inputs.lexicon = &lexicon;
    inputs.topHotwords =
        PersonalLexiconStore::rankHotwords(lexicon.entries(), QStringLiteral("海外 SEO 投放增长"), 65);
    MainThreadScheduler scheduler;
    QCoro::waitFor(verifyAB(scheduler, context, inputs));
    return 0;
}

} // namespace SelfTestSuite
