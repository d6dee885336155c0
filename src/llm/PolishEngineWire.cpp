// The HTTP layer: endpoints, payloads per model family, streamed and whole calls, the retry after HTTP 400.
#include "llm/ChatStreamReader.h"
#include "llm/HttpExchange.h"
#include "llm/LLMErrors.h"
#include "llm/PolishEngine.h"
#include "util/Endpoint.h"
#include "util/Text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QPointer>
#include <QUrl>
#include <array>

namespace {

// Mainland-China providers (DeepSeek, Volcengine Ark, Volcengine, Alibaba Cloud, SiliconFlow, Zhipu,
// Moonshot, MiniMax twice) and local servers: a system proxy only slows these down or blocks them.
constexpr std::array<QStringView, 12> kDirectConnectionHostFragments = {
    u"deepseek.com", u"volces.com",   u"volcengine.com", u"aliyuncs.com", u"siliconflow.cn", u"bigmodel.cn",
    u"moonshot.cn",  u"minimax.chat", u"minimaxi.com",   u"localhost",    u"127.0.0.1",      u"0.0.0.0"};

constexpr QStringView kAnthropicHost = u"api.anthropic.com";
constexpr QStringView kGeminiHost = u"generativelanguage.googleapis.com";
constexpr QStringView kArkDomain = u"volces.com";
const QByteArray kAnthropicVersion = QByteArrayLiteral("2023-06-01");

QByteArray serialised(const QJsonObject& payload)
{
    return QJsonDocument(payload).toJson(QJsonDocument::Compact);
}

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

// The one retry after HTTP 400: some services reject the reasoning switches or a missing temperature.
bool relaxedForRetry(QJsonObject& payload)
{
    const QString thinking = QStringLiteral("thinking");
    const QString reasoningEffort = QStringLiteral("reasoning_effort");
    if (!payload.contains(thinking) && !payload.contains(reasoningEffort))
        return false;
    payload.remove(thinking);
    payload.remove(reasoningEffort);
    if (!payload.contains(QStringLiteral("max_completion_tokens")))
        payload.insert(QStringLiteral("temperature"), 0.1);
    return true;
}

} // namespace

// --- endpoints and payloads
// ---------------------------------------------------------------------------------

bool PolishEngine::isKeylessLocalEndpoint(const QString& baseURL)
{
    return Endpoint::isKeylessLocal(baseURL);
}

void PolishEngine::addKeyHeaders(QNetworkRequest& request, const QString& apiKey, bool anthropic)
{
    if (anthropic)
        request.setRawHeader("anthropic-version", kAnthropicVersion);
    if (apiKey.isEmpty())
        return;
    if (anthropic)
        request.setRawHeader("x-api-key", apiKey.toUtf8());
    else
        request.setRawHeader("Authorization", "Bearer " + apiKey.toUtf8());
}

Result<QNetworkRequest> PolishEngine::chatRequest(const QString& endpoint, const QString& apiKey,
                                                  bool anthropic, bool stream)
{
    const QUrl url(endpoint, QUrl::StrictMode);
    if (!Endpoint::isHttpUrl(url))
        return LLMErrors::urlError(LLMErrors::badURL);
    if (!Endpoint::isHeaderSafe(apiKey))
        return LLMErrors::unusableKey();
    QNetworkRequest request(url);
    request.setRawHeader("Content-Type", "application/json");
    if (stream)
        request.setRawHeader("Accept", "text/event-stream");
    addKeyHeaders(request, apiKey, anthropic);
    return request;
}

bool PolishEngine::isAnthropicEndpoint(const QString& baseURL)
{
    const QString lower = Text::trimmed(baseURL.toLower());
    return lower.contains(kAnthropicHost) || lower.endsWith(u"/messages");
}

QString PolishEngine::normalizeChatCompletionsEndpoint(const QString& baseURL)
{
    QString endpoint = Endpoint::trimmedOfSlashes(Text::trimmed(baseURL));
    if (endpoint.endsWith(u"/responses"))
        endpoint.chop(10);
    if (endpoint.endsWith(u"/chat/completions"))
        return endpoint;
    return endpoint + QStringLiteral("/chat/completions");
}

QString PolishEngine::normalizeAnthropicMessagesEndpoint(const QString& baseURL)
{
    const QString endpoint = Endpoint::trimmedOfSlashes(Text::trimmed(baseURL));
    if (endpoint.endsWith(u"/messages"))
        return endpoint;
    return endpoint + QStringLiteral("/messages");
}

bool PolishEngine::shouldUseDirectConnection(const QString& baseURL)
{
    const QString lower = baseURL.toLower();
    return std::any_of(kDirectConnectionHostFragments.begin(), kDirectConnectionHostFragments.end(),
                       [&](QStringView fragment) { return lower.contains(fragment); });
}

QJsonObject PolishEngine::buildOpenAICompatiblePayload(const QString& endpoint, const QString& model,
                                                       const QString& systemPrompt,
                                                       const QString& userContent, int maxTokens, bool stream)
{
    const QString m = model.toLower();
    const QString h = m + u' ' + endpoint.toLower();
    QJsonObject payload{{QStringLiteral("model"), model},
                        {QStringLiteral("stream"), stream},
                        {QStringLiteral("messages"),
                         QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("system")},
                                                {QStringLiteral("content"), systemPrompt}},
                                    QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                                {QStringLiteral("content"), userContent}}}}};

    const bool gpt5 = m.startsWith(u"gpt-5");
    if (gpt5 || m.startsWith(u"o1") || m.startsWith(u"o3") || m.startsWith(u"o4")) {
        payload.insert(QStringLiteral("max_completion_tokens"), maxTokens);
        if (gpt5)
            payload.insert(QStringLiteral("reasoning_effort"), QStringLiteral("minimal"));
        return payload;
    }
    payload.insert(QStringLiteral("max_tokens"), maxTokens);
    if (h.contains(u"deepseek") || h.contains(kArkDomain) || h.contains(u"doubao") || m.startsWith(u"ep-")) {
        payload.insert(QStringLiteral("thinking"),
                       QJsonObject{{QStringLiteral("type"), QStringLiteral("disabled")}});
        return payload;
    }
    if (h.contains(kGeminiHost) || m.startsWith(u"gemini-")) {
        if (m.contains(u"2.5-flash"))
            payload.insert(QStringLiteral("reasoning_effort"), QStringLiteral("none"));
        else if (m.startsWith(u"gemini-3") || m.startsWith(u"gemini-4"))
            payload.insert(QStringLiteral("reasoning_effort"), QStringLiteral("minimal"));
    }
    payload.insert(QStringLiteral("temperature"), 0.1);
    return payload;
}

QJsonObject PolishEngine::buildAnthropicPayload(const QString& model, const QString& systemPrompt,
                                                const QString& userContent, int maxTokens, bool stream)
{
    QJsonObject payload{
        {QStringLiteral("model"), model},
        {QStringLiteral("max_tokens"), std::max(maxTokens, 256)},
        {QStringLiteral("temperature"), 0.1},
        {QStringLiteral("system"), systemPrompt},
        {QStringLiteral("messages"), QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                                            {QStringLiteral("content"), userContent}}}}};
    if (stream)
        payload.insert(QStringLiteral("stream"), true);
    return payload;
}

QNetworkAccessManager& PolishEngine::sessionFor(const QString& baseURL)
{
    return shouldUseDirectConnection(baseURL) ? m_directSession : m_session;
}

// --- streamed calls
// -----------------------------------------------------------------------------------------

QCoro::Task<Result<PolishEngine::StreamedAnswer>>
PolishEngine::callChatCompletionsSSE(QString baseURL, QString model, QString apiKey, QString systemPrompt,
                                     QString userContent, int maxTokens, LLMConfig config,
                                     StreamChunkHandler onStreamChunk)
{
    if (config.selectedProvider == LLMProviderOption::anthropic || isAnthropicEndpoint(baseURL))
        co_return co_await callAnthropicMessagesSSE(baseURL, model, apiKey, systemPrompt, userContent,
                                                    maxTokens, config, std::move(onStreamChunk));
    const MonotonicTime start = m_scheduler.now();
    const QString endpoint = normalizeChatCompletionsEndpoint(baseURL);
    const Result<QNetworkRequest> request = chatRequest(endpoint, apiKey, false, true);
    if (!request)
        co_return request.error();
    QJsonObject payload =
        buildOpenAICompatiblePayload(endpoint, model, systemPrompt, userContent, maxTokens, true);
    co_return co_await streamAnswer(StreamProtocol::chatCompletions, request.value(), std::move(payload),
                                    model, !apiKey.isEmpty(), shouldUseDirectConnection(baseURL), start,
                                    config.enablePanguSpacing, std::move(onStreamChunk));
}

QCoro::Task<Result<PolishEngine::StreamedAnswer>>
PolishEngine::callAnthropicMessagesSSE(QString baseURL, QString model, QString apiKey, QString systemPrompt,
                                       QString userContent, int maxTokens, LLMConfig config,
                                       StreamChunkHandler onStreamChunk)
{
    const MonotonicTime start = m_scheduler.now();
    const Result<QNetworkRequest> request =
        chatRequest(normalizeAnthropicMessagesEndpoint(baseURL), apiKey, true, true);
    if (!request)
        co_return request.error();
    QJsonObject payload = buildAnthropicPayload(model, systemPrompt, userContent, maxTokens, true);
    co_return co_await streamAnswer(StreamProtocol::anthropicMessages, request.value(), std::move(payload),
                                    model, !apiKey.isEmpty(), shouldUseDirectConnection(baseURL), start,
                                    config.enablePanguSpacing, std::move(onStreamChunk));
}

QCoro::Task<PolishEngine::AnswerHead> PolishEngine::awaitAnswerHead(QNetworkRequest request,
                                                                    QJsonObject payload,
                                                                    HttpExchange::Options options,
                                                                    bool useDirect, bool retryOn400)
{
    QPointer<PolishEngine> self(this);
    options.verb = "POST";
    auto send = [&] {
        HttpExchange::Options sent = options;
        sent.body = serialised(payload);
        return std::make_unique<HttpExchange>(useDirect ? m_directSession : m_session, m_scheduler, request,
                                              std::move(sent));
    };

    AnswerHead head;
    std::unique_ptr<HttpExchange> exchange = send();
    bool retried = false;
    for (;;) {
        while (!exchange->hasHeaders()) {
            co_await exchange->changed();
            if (!self) {
                head.failure = LLMErrors::urlError(LLMErrors::cancelled);
                co_return head;
            }
        }
        const std::optional<int> status = exchange->httpStatus();
        if (!status) {
            head.failure = exchange->failure();
            co_return head;
        }
        if (*status == 400 && retryOn400 && !retried && relaxedForRetry(payload)) {
            retried = true;
            exchange = send();
            continue;
        }
        head.status = *status;
        if (isSuccess(*status))
            head.exchange = std::move(exchange);
        co_return head;
    }
}

QCoro::Task<Result<PolishEngine::StreamedAnswer>>
PolishEngine::streamAnswer(StreamProtocol protocol, QNetworkRequest request, QJsonObject payload,
                           QString model, bool carriesKey, bool useDirect, MonotonicTime start,
                           bool enablePanguSpacing, StreamChunkHandler onStreamChunk)
{
    QPointer<PolishEngine> self(this);
    const bool chatCompletions = protocol == StreamProtocol::chatCompletions;
    auto statusError = [&](int status) {
        return chatCompletions ? LLMErrors::chatCompletionsStatus(status, model)
                               : LLMErrors::anthropicStatus(status, model);
    };
    HttpExchange::Options options;
    options.idleLimit = kChatIdleLimit;
    options.transferLimit = kTransferLimit;
    options.carriesSecret = carriesKey;
    AnswerHead head =
        co_await awaitAnswerHead(request, std::move(payload), std::move(options), useDirect, chatCompletions);
    if (head.failure)
        co_return *head.failure;
    if (!head.exchange) // no HTTP answer at all reads as status -1
        co_return statusError(head.status);
    const std::unique_ptr<HttpExchange> exchange = std::move(head.exchange);

    ChatStreamReader reader(chatCompletions ? ChatStreamReader::Protocol::chatCompletions
                                            : ChatStreamReader::Protocol::anthropicMessages,
                            enablePanguSpacing);
    bool isFirst = true;
    qint64 ttftMs = 0;
    for (;;) {
        while (std::optional<QString> token = reader.next()) {
            const qint64 firstTokenMs = isFirst ? elapsedMs(start) : 0;
            if (onStreamChunk)
                onStreamChunk(*token, isFirst);
            if (!self)
                co_return LLMErrors::urlError(LLMErrors::cancelled);
            if (isFirst) {
                ttftMs = firstTokenMs;
                isFirst = false;
            }
        }
        if (reader.done())
            break;
        if (exchange->failure())
            co_return *exchange->failure();
        const QByteArray bytes = exchange->readAvailable();
        if (exchange->failure())
            co_return *exchange->failure();
        if (!bytes.isEmpty()) {
            if (!reader.append(bytes))
                co_return LLMErrors::urlError(LLMErrors::dataLengthExceedsMaximum);
            continue;
        }
        if (exchange->isFinished()) {
            reader.finishInput();
            continue;
        }
        co_await exchange->changed();
        if (!self)
            co_return LLMErrors::urlError(LLMErrors::cancelled);
    }
    StreamedAnswer answer{reader.fullText(), ttftMs, {}};
    if (answer.fullText.isEmpty())
        answer.whatCameBack = reader.whatCameBack();
    co_return answer;
}

// --- whole-answer calls
// -------------------------------------------------------------------------------------

QCoro::Task<Result<QJsonObject>> PolishEngine::fetchWholeJson(QNetworkRequest request, QJsonObject payload,
                                                              bool carriesKey, bool useDirect,
                                                              bool retryOn400, Duration transferLimit)
{
    QPointer<PolishEngine> self(this);
    HttpExchange::Options options;
    // A whole answer arrives only once it is complete, so silence may last as long as the transfer.
    options.idleLimit = std::max(kChatIdleLimit, transferLimit);
    options.transferLimit = transferLimit;
    options.carriesSecret = carriesKey;
    AnswerHead head =
        co_await awaitAnswerHead(request, std::move(payload), std::move(options), useDirect, retryOn400);
    if (head.failure)
        co_return *head.failure;
    if (!head.exchange)
        co_return head.status < 0
            ? LLMErrors::urlError(LLMErrors::badServerResponse)
            : LLMErrors::urlError(LLMErrors::badServerResponse, QStringLiteral("HTTP %1").arg(head.status));
    const std::unique_ptr<HttpExchange> exchange = std::move(head.exchange);

    QByteArray body;
    for (;;) {
        body += exchange->readAvailable();
        if (exchange->failure())
            co_return *exchange->failure();
        if (exchange->isFinished())
            break;
        co_await exchange->changed();
        if (!self)
            co_return LLMErrors::urlError(LLMErrors::cancelled);
    }

    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        co_return LLMErrors::jsonError(parseError.error, parseError.errorString());
    if (!document.isObject())
        co_return LLMErrors::urlError(LLMErrors::cannotParseResponse);
    co_return document.object();
}

QCoro::Task<Result<QString>> PolishEngine::callChatCompletions(QString baseURL, QString model, QString apiKey,
                                                               QString systemPrompt, QString userContent,
                                                               int maxTokens, LLMProviderOption provider,
                                                               Duration transferLimit)
{
    // The provider counts here as it does for streamed calls, so a relay chosen as Anthropic speaks Messages.
    if (provider == LLMProviderOption::anthropic || isAnthropicEndpoint(baseURL))
        co_return co_await callAnthropicMessagesOnce(baseURL, model, apiKey, systemPrompt, userContent,
                                                     maxTokens, transferLimit);
    const QString endpoint = normalizeChatCompletionsEndpoint(baseURL);
    const Result<QNetworkRequest> request = chatRequest(endpoint, apiKey, false, false);
    if (!request)
        co_return request.error();
    const Result<QJsonObject> answer = co_await fetchWholeJson(
        request.value(),
        buildOpenAICompatiblePayload(endpoint, model, systemPrompt, userContent, maxTokens, false),
        !apiKey.isEmpty(), shouldUseDirectConnection(baseURL), /*retryOn400=*/true, transferLimit);
    if (!answer)
        co_return answer.error();

    const QJsonValue choices = answer.value().value(QLatin1String("choices"));
    const QJsonValue first =
        choices.isArray() && !choices.toArray().isEmpty() ? choices.toArray().at(0) : QJsonValue();
    const QJsonValue message =
        first.isObject() ? first.toObject().value(QLatin1String("message")) : QJsonValue();
    const QJsonValue content =
        message.isObject() ? message.toObject().value(QLatin1String("content")) : QJsonValue();
    if (!content.isString())
        co_return LLMErrors::urlError(LLMErrors::cannotParseResponse);

    QString text = Text::trimmed(content.toString());
    if (text.startsWith(u"<raw_speech>") && text.endsWith(u"</raw_speech>")) {
        text.remove(QStringLiteral("<raw_speech>"));
        text.remove(QStringLiteral("</raw_speech>"));
        text = Text::trimmed(text);
    }
    co_return text;
}

QCoro::Task<Result<QString>> PolishEngine::callAnthropicMessagesOnce(QString baseURL, QString model,
                                                                     QString apiKey, QString systemPrompt,
                                                                     QString userContent, int maxTokens,
                                                                     Duration transferLimit)
{
    const Result<QNetworkRequest> request =
        chatRequest(normalizeAnthropicMessagesEndpoint(baseURL), apiKey, true, false);
    if (!request)
        co_return request.error();
    const Result<QJsonObject> answer = co_await fetchWholeJson(
        request.value(), buildAnthropicPayload(model, systemPrompt, userContent, maxTokens, false),
        !apiKey.isEmpty(), shouldUseDirectConnection(baseURL), /*retryOn400=*/false, transferLimit);
    if (!answer)
        co_return answer.error();

    const QJsonValue content = answer.value().value(QLatin1String("content"));
    if (!content.isArray())
        co_return LLMErrors::urlError(LLMErrors::cannotParseResponse);
    QString text;
    for (const QJsonValue& block : content.toArray()) {
        if (!block.isObject())
            co_return LLMErrors::urlError(LLMErrors::cannotParseResponse);
        const QJsonObject object = block.toObject();
        if (object.value(QLatin1String("type")).toString() == QLatin1String("text") &&
            object.value(QLatin1String("text")).isString())
            text += object.value(QLatin1String("text")).toString();
    }
    co_return Text::trimmed(text);
}
