// Warm-up, latency benchmark and term distillation.
#include "llm/HttpExchange.h"
#include "llm/LLMErrors.h"
#include "llm/PolishEngine.h"
#include "llm/PolishPrompts.h"
#include "util/Endpoint.h"
#include "util/Text.h"

#include <QNetworkRequest>
#include <QPointer>
#include <QUrl>
#include <algorithm>

namespace {

constexpr Duration kBenchmarkWarmupPause = std::chrono::milliseconds(180);
constexpr int kBenchmarkMaxTokens = 120;
constexpr int kDistillMaxCorpusChars = 12000;
constexpr int kDistillMaxTokens = 1200;
constexpr int kMinDistilledTermChars = 2;
// The answer of a warm-up is thrown away; reading it is only to let the connection go back to the pool.
constexpr qsizetype kWarmupMaxBodyBytes = 256 * 1024;

bool isNewlineCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0a && u <= 0x0d) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

QString trimmedOfSpacesAndTabs(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && (text[begin] == u' ' || text[begin] == u'\t'))
        ++begin;
    while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t'))
        --end;
    return text.sliced(begin, end - begin).toString();
}

} // namespace

void PolishEngine::prewarmConnection(const QString& baseURL, const QString& apiKey)
{
    const QString base = Endpoint::trimmedOfSlashes(Text::trimmed(baseURL));
    const QUrl url(base + QStringLiteral("/models"), QUrl::StrictMode);
    if (!Endpoint::isHttpUrl(url))
        return;

    QNetworkRequest request(url);
    // A key that cannot go into a header is left out: the warm-up only opens the connection.
    const bool keyUsable = !apiKey.isEmpty() && Endpoint::isHeaderSafe(apiKey);
    if (keyUsable)
        addKeyHeaders(request, apiKey, isAnthropicEndpoint(base));
    HttpExchange::Options options;
    options.idleLimit = kWarmupIdleLimit;
    options.transferLimit = kTransferLimit;
    options.carriesSecret = keyUsable;
    options.maxBodyBytes = kWarmupMaxBodyBytes;
    auto exchange =
        std::make_unique<HttpExchange>(sessionFor(base), m_scheduler, request, std::move(options));
    // Queued: the drain may free the exchange, which must not happen inside the reply's own signals.
    HttpExchange* raw = exchange.get();
    connect(
        raw, &HttpExchange::progressed, this, [this, raw] { drainWarmup(raw); }, Qt::QueuedConnection);
    m_warmups.push_back(std::move(exchange));
}

void PolishEngine::drainWarmup(HttpExchange* exchange)
{
    // A call queued before the exchange was let go finds it gone.
    const auto it =
        std::find_if(m_warmups.begin(), m_warmups.end(),
                     [exchange](const std::unique_ptr<HttpExchange>& w) { return w.get() == exchange; });
    if (it == m_warmups.end())
        return;
    exchange->readAvailable();
    if (exchange->isFinished() || exchange->failure())
        m_warmups.erase(it);
}

QCoro::Task<Result<PolishEngine::BenchmarkResult>> PolishEngine::benchmarkLatency(LLMConfig config,
                                                                                  QString apiKey)
{
    const QString key = Text::trimmed(apiKey);
    if (key.isEmpty() && !isKeylessLocalEndpoint(config.baseURL))
        co_return LLMErrors::benchmarkMissingKey();

    QPointer<PolishEngine> self(this);
    prewarmConnection(config.baseURL, key);
    co_await sleepFor(m_scheduler, kBenchmarkWarmupPause);
    if (!self)
        co_return LLMErrors::urlError(LLMErrors::cancelled);

    const MonotonicTime start = m_scheduler.now();
    const Result<StreamedAnswer> answer = co_await callChatCompletionsSSE(
        config.baseURL, config.modelName, key, PolishPrompts::structuredPolishPrompt(),
        PolishPrompts::benchmarkSampleContent(), kBenchmarkMaxTokens, config, {});
    if (!self)
        co_return LLMErrors::urlError(LLMErrors::cancelled);
    if (!answer)
        co_return answer.error();
    // A check passes only on words the model wrote: a 200 carrying an error, a page or an empty stream
    // would otherwise verify and activate an endpoint that cannot polish anything.
    if (answer.value().fullText.isEmpty())
        co_return LLMErrors::noModelOutput(answer.value().whatCameBack);
    const qint64 totalMs = elapsedMs(start);
    const qint64 ttftMs = answer.value().ttftMs < 1 ? totalMs : answer.value().ttftMs;
    co_return BenchmarkResult{ttftMs, totalMs, answer.value().fullText};
}

QCoro::Task<Result<QList<PolishEngine::DistilledTerm>>>
PolishEngine::distillTermsFromRawCorpus(QString corpusText, LLMConfig config, QString apiKey)
{
    // A local server gets no exemption here: distillation is only offered with a key.
    if (apiKey.isEmpty())
        co_return LLMErrors::distillMissingKey();
    const QString corpus = Text::graphemePrefix(corpusText, kDistillMaxCorpusChars);
    const Result<QString> answer = co_await callChatCompletions(
        config.baseURL, config.modelName, apiKey, PolishPrompts::termDistillPrompt(), corpus,
        kDistillMaxTokens, config.selectedProvider, kDistillTransferLimit);
    if (!answer)
        co_return answer.error();
    co_return parseDistilledTerms(answer.value());
}

QList<PolishEngine::DistilledTerm> PolishEngine::parseDistilledTerms(const QString& answer)
{
    QList<DistilledTerm> terms;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i <= answer.size(); ++i) {
        if (i < answer.size() && !isNewlineCharacter(answer[i]))
            continue;
        const QStringView line = QStringView(answer).sliced(lineStart, i - lineStart);
        lineStart = i + 1;

        const QList<QStringView> pieces = line.split(u'|');
        const QString term = trimmedOfSpacesAndTabs(pieces.value(0));
        if (Text::graphemeCount(term) < kMinDistilledTermChars)
            continue;
        DistilledTerm item;
        item.term = term;
        if (pieces.size() > 1) {
            for (QStringView alias : pieces[1].split(u',', Qt::SkipEmptyParts)) {
                const QString trimmed = trimmedOfSpacesAndTabs(alias);
                if (!trimmed.isEmpty())
                    item.aliases.append(trimmed);
            }
        }
        if (pieces.size() > 2) {
            const QString category = pieces[2].toString().toLower();
            if (category.contains(u"person"))
                item.category = LexiconCategory::person;
            else if (category.contains(u"finance"))
                item.category = LexiconCategory::finance;
            else if (category.contains(u"project"))
                item.category = LexiconCategory::project;
            else
                item.category = LexiconCategory::memo;
        }
        terms.append(std::move(item));
    }
    return terms;
}
