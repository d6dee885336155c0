#pragma once

#include "llm/HttpExchange.h"
#include "model/ActiveScreenContext.h"
#include "model/LLMConfig.h"
#include "model/Models.h"
#include "model/Records.h"
#include "util/AppError.h"
#include "util/Scheduler.h"

#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <vector>

class QNetworkRequest;

// Turns the raw transcript of one utterance into the text that is inserted: instant lexicon correction, local
// formatting, and the language-model pass streamed piece by piece, with a local fallback for every failure.
// Lives on the main thread; its coroutines run there too. The implementation is split by concern:
// PolishEngine.cpp (polish and its routes), PolishEngineFormatting.cpp (local rules), PolishEngineWire.cpp
// (HTTP and server-sent events) and PolishEngineTools.cpp (warm-up, benchmark, term distillation).
class PolishEngine final : public QObject {
    Q_OBJECT
public:
    // Runs on the main thread for every cleaned piece of a streamed answer, in order; the next piece is read
    // only after it returns. isFirst is true for the first piece only, which is also the whole text so far.
    using StreamChunkHandler = std::function<void(const QString& chunk, bool isFirst)>;

    struct [[nodiscard]] PolishResult {
        QString text;
        qint64 latencyMs = 0;
        bool usedFastPath = true; // the text was made locally (including the fallback after a failed call)
        // Set only when a selection rewrite failed: the caller keeps the selection, inserts nothing (text is
        // empty) and shows this error instead of pasting the spoken instruction.
        std::optional<AppError> rewriteFailure;
        // Set when the model pass of a dictation failed (an error status, a time-out, an answer without
        // text) and the local text stands in: why, for the user.
        std::optional<AppError> polishFailure;
    };

    struct StreamedAnswer {
        QString fullText;
        qint64 ttftMs = 0;
        QString whatCameBack; // when fullText is empty: what the service sent instead
    };

    struct BenchmarkResult {
        qint64 ttftMs = 0;
        qint64 totalMs = 0;
        QString sampleOutput;
    };

    struct DistilledTerm {
        QString term;
        QStringList aliases;
        LexiconCategory category = LexiconCategory::memo;
        bool operator==(const DistilledTerm&) const = default;
    };

    // Limits of one exchange: `idle` without any data arriving, `total` for the whole transfer.
    struct Limits {
        Duration idle;
        Duration total;
    };

    explicit PolishEngine(Scheduler& scheduler, QObject* parent = nullptr);
    ~PolishEngine() override;

    // --- polishing ---------------------------------------------------------------------------------------
    // Never fails: every failure of the model pass falls back to the locally corrected text and says why in
    // polishFailure (a failed selection rewrite is reported through rewriteFailure instead).
    QCoro::Task<PolishResult> polish(QString rawTranscript, DictationMode mode,
                                     ActiveScreenContext screenContext, QList<LexiconEntry> recalledTerms,
                                     QStringList recentOutputs, LLMConfig config, QString apiKey,
                                     bool isHighAccuracyLocalASR, bool isPunctuatedCloudASR,
                                     StreamChunkHandler onStreamChunk = {});

    // A short clean phrase that may skip the model.
    static bool canBypassCloudPolish(const QString& locallyFixed, const QList<LexiconEntry>& recalledTerms,
                                     FormattingStyle formattingStyle, bool isHighAccuracyLocalASR,
                                     bool isPunctuatedCloudASR);

    // --- local correction and formatting (pure, any thread) ------------------------------------------------
    static QString applyInstantLocalDictionary(const QString& text, const QList<LexiconEntry>& entries,
                                               const ActiveScreenContext& context, const LLMConfig& config,
                                               bool stripPeriod);
    static QString applyPostFormattingRules(const QString& text, const ActiveScreenContext& context,
                                            const LLMConfig& config);
    // What a dictation becomes when the model cannot polish it: the transcript corrected by the recalled
    // terms and formatted locally.
    static QString localFallbackText(const QString& rawTranscript, const QList<LexiconEntry>& recalledTerms,
                                     const ActiveScreenContext& context, const LLMConfig& config);
    // One streamed piece cleaned of echoed input tags and spaced against the text received so far.
    static QString cleanAndSpaceStreamToken(const QString& token, const QString& accumulated,
                                            bool enablePanguSpacing);

    // --- warm-up, benchmark, distillation
    // ------------------------------------------------------------------- Opens a connection ahead of time;
    // returns at once, the answer and any error are ignored.
    void prewarmConnection(const QString& baseURL, const QString& apiKey);
    QCoro::Task<Result<BenchmarkResult>> benchmarkLatency(LLMConfig config, QString apiKey);
    QCoro::Task<Result<QList<DistilledTerm>>> distillTermsFromRawCorpus(QString corpusText, LLMConfig config,
                                                                        QString apiKey);
    // The lines of a distillation answer as (term, aliases, category) items.
    static QList<DistilledTerm> parseDistilledTerms(const QString& answer);

    // --- endpoints and payloads (pure, any thread)
    // ---------------------------------------------------------- A server on the user's own machine, which
    // needs no API key.
    static bool isKeylessLocalEndpoint(const QString& baseURL);
    static bool isAnthropicEndpoint(const QString& baseURL);
    static QString normalizeChatCompletionsEndpoint(const QString& baseURL);
    static QString normalizeAnthropicMessagesEndpoint(const QString& baseURL);
    // Mainland-China providers and local servers are reached without the system proxy.
    static bool shouldUseDirectConnection(const QString& baseURL);
    static QJsonObject buildOpenAICompatiblePayload(const QString& endpoint, const QString& model,
                                                    const QString& systemPrompt, const QString& userContent,
                                                    int maxTokens, bool stream);
    static QJsonObject buildAnthropicPayload(const QString& model, const QString& systemPrompt,
                                             const QString& userContent, int maxTokens, bool stream);

    // --- wire calls
    // ------------------------------------------------------------------------------------------ Streamed
    // chat call; routes to the Anthropic Messages call for that provider or endpoint.
    QCoro::Task<Result<StreamedAnswer>> callChatCompletionsSSE(QString baseURL, QString model, QString apiKey,
                                                               QString systemPrompt, QString userContent,
                                                               int maxTokens, LLMConfig config,
                                                               StreamChunkHandler onStreamChunk);
    QCoro::Task<Result<StreamedAnswer>> callAnthropicMessagesSSE(QString baseURL, QString model,
                                                                 QString apiKey, QString systemPrompt,
                                                                 QString userContent, int maxTokens,
                                                                 LLMConfig config,
                                                                 StreamChunkHandler onStreamChunk);
    // Whole-answer chat call; routes to Anthropic by provider or endpoint. `transferLimit` bounds the whole
    // exchange.
    QCoro::Task<Result<QString>> callChatCompletions(QString baseURL, QString model, QString apiKey,
                                                     QString systemPrompt, QString userContent, int maxTokens,
                                                     LLMProviderOption provider, Duration transferLimit);
    QCoro::Task<Result<QString>> callAnthropicMessagesOnce(QString baseURL, QString model, QString apiKey,
                                                           QString systemPrompt, QString userContent,
                                                           int maxTokens, Duration transferLimit);

    // The limits of the design: 10 s for a whole transfer, 60 s without data for a chat request, 3 s for the
    // warm-up, and 90 s for a distillation, whose answer is long and not streamed.
    static constexpr Duration kTransferLimit = std::chrono::seconds(10);
    static constexpr Duration kChatIdleLimit = std::chrono::seconds(60);
    static constexpr Duration kWarmupIdleLimit = std::chrono::seconds(3);
    static constexpr Duration kDistillTransferLimit = std::chrono::seconds(90);

private:
    enum class StreamProtocol { chatCompletions, anthropicMessages };

    // The head of a POSTed answer: the exchange when its status is a success, otherwise the status (-1 when
    // none came) or what failed (the transport's own error, or the engine went away).
    struct [[nodiscard]] AnswerHead {
        std::unique_ptr<HttpExchange> exchange;
        int status = -1;
        std::optional<AppError> failure;
    };
    // Sends `payload` and waits for the answer's head; after a 400, when `retryOn400` and the payload can be
    // relaxed, sends it once more (the first answer's body is never read).
    QCoro::Task<AnswerHead> awaitAnswerHead(QNetworkRequest request, QJsonObject payload,
                                            HttpExchange::Options options, bool useDirect, bool retryOn400);

    QNetworkAccessManager& sessionFor(const QString& baseURL);
    // The key's headers, as the protocol names them; none for an empty key.
    static void addKeyHeaders(QNetworkRequest& request, const QString& apiKey, bool anthropic);
    // The POST of a chat call, or why it cannot be sent (an address that is not http(s), a key no header
    // can carry).
    static Result<QNetworkRequest> chatRequest(const QString& endpoint, const QString& apiKey, bool anthropic,
                                               bool stream);
    QCoro::Task<Result<StreamedAnswer>> streamAnswer(StreamProtocol protocol, QNetworkRequest request,
                                                     QJsonObject payload, QString model, bool carriesKey,
                                                     bool useDirect, MonotonicTime start,
                                                     bool enablePanguSpacing,
                                                     StreamChunkHandler onStreamChunk);
    // A whole answer, which must be a JSON object.
    QCoro::Task<Result<QJsonObject>> fetchWholeJson(QNetworkRequest request, QJsonObject payload,
                                                    bool carriesKey, bool useDirect, bool retryOn400,
                                                    Duration transferLimit);
    qint64 elapsedMs(MonotonicTime since) const;
    // Reads what a warm-up received and lets it go once it has ended.
    void drainWarmup(HttpExchange* exchange);

    Scheduler& m_scheduler;
    QNetworkAccessManager m_session;       // the system's proxy settings
    QNetworkAccessManager m_directSession; // never through a proxy
    // Warm-ups still running; declared after the sessions so they are aborted before the managers go.
    std::vector<std::unique_ptr<HttpExchange>> m_warmups;
};
