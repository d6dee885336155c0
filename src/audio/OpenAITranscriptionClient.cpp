#include "audio/OpenAITranscriptionClient.h"
#include "net/NetworkText.h"
#include "util/Endpoint.h"

#include "audio/SeedASRProtocol.h"
#include "util/Deferred.h"
#include "util/Text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSet>
#include <QUuid>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <numbers>

using namespace std::chrono_literals;

namespace {

constexpr int kPromptHintMaxChars = 380;
constexpr int kMinHotwordChars = 2;
constexpr int kMaxHotwordChars = 32;
constexpr int kErrorMessageMaxChars = 160;
// The session's resource limit: no exchange runs longer, whatever the caller asks.
constexpr Duration kResourceLimit = 15s;
constexpr Duration kWarmUpTimeout = seconds(2.5);
// A transcript is small; a body past this is not an answer worth reading.
constexpr qsizetype kMaxResponseBytes = 4 * 1024 * 1024;

constexpr int kProbeSampleRate = 16000;
constexpr int kProbeSampleCount = 5600; // 0.35 s
constexpr double kProbeToneHz = 440.0;
constexpr double kProbeAmplitude = 18.0;
constexpr double kProbeTimeoutSeconds = 8.5;

constexpr QStringView kInvalidEndpoint = u"无效的语音接口地址：";
constexpr QStringView kMissingKey = u"未配置 OpenAI / Groq 语音 API Key";
constexpr QStringView kNotHttp = u"未收到有效 HTTP 响应";
constexpr QStringView kKeyHasControlCharacters = u"语音 API Key 含有控制字符，请重新粘贴";
constexpr QStringView kResponseTooLarge = u"语音接口响应过大";
constexpr QStringView kTimedOut = u"请求超时";
constexpr QStringView kNoTranscript = u"语音接口没有返回转写文本";
constexpr QStringView kWebPage = u"语音接口返回了网页而不是转写结果";

// Only a request without a key may follow a redirect to another host.
void applyRedirectPolicy(QNetworkRequest& request, bool carriesKey)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         carriesKey ? QNetworkRequest::SameOriginRedirectPolicy
                                    : QNetworkRequest::NoLessSafeRedirectPolicy);
}

void appendField(QByteArray& body, const QByteArray& boundary, const char* name, const QString& value)
{
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"" + QByteArray(name) + "\"\r\n";
    body += "\r\n";
    body += value.toUtf8() + "\r\n";
}

} // namespace

OpenAITranscriptionClient::OpenAITranscriptionClient(Scheduler& scheduler, QObject* parent)
    : QObject(parent), m_scheduler(scheduler)
{
}

QString OpenAITranscriptionClient::normalizeTranscriptionEndpoint(const QString& baseURL)
{
    QString endpoint = Text::trimmed(baseURL);
    if (endpoint.isEmpty())
        endpoint = defaultBaseURL();
    while (endpoint.endsWith(QLatin1Char('/')))
        endpoint.chop(1);
    const QString lower = endpoint.toLower();
    if (lower.endsWith(QLatin1String("/audio/transcriptions")))
        return endpoint;
    if (lower.endsWith(QLatin1String("/v1")) || lower.endsWith(QLatin1String("/openai/v1")) ||
        lower.contains(QLatin1String("/v1/")))
        return endpoint + QLatin1String("/audio/transcriptions");
    return endpoint + QLatin1String("/v1/audio/transcriptions");
}

QByteArray OpenAITranscriptionClient::encodePCM16ToWAV(std::span<const qint16> samples, quint32 sampleRate)
{
    constexpr quint64 kMaxSamples = 0x7FFFFFFF;
    if (samples.size() > kMaxSamples || sampleRate > 0x7FFFFFFF)
        return {};
    const quint32 dataSize = static_cast<quint32>(samples.size() * 2);
    QByteArray wav;
    wav.reserve(44 + static_cast<qsizetype>(dataSize));
    const auto put32 = [&wav](quint32 value) {
        char bytes[4];
        qToLittleEndian(value, bytes);
        wav.append(bytes, 4);
    };
    const auto put16 = [&wav](quint16 value) {
        char bytes[2];
        qToLittleEndian(value, bytes);
        wav.append(bytes, 2);
    };
    wav.append("RIFF", 4);
    put32(36 + dataSize);
    wav.append("WAVEfmt ", 8);
    put32(16);
    put16(1); // PCM
    put16(1); // one channel
    put32(sampleRate);
    put32(sampleRate * 2);
    put16(2);
    put16(16);
    wav.append("data", 4);
    put32(dataSize);
    if (samples.empty())
        return wav;
    const qsizetype start = wav.size();
    wav.resize(start + static_cast<qsizetype>(dataSize));
    qToLittleEndian<qint16>(samples.data(), static_cast<qsizetype>(samples.size()), wav.data() + start);
    return wav;
}

QString OpenAITranscriptionClient::buildPromptHint(const QStringList& hotwords, int maxChars)
{
    QSet<QString> taken;
    QStringList terms;
    int length = 0;
    for (const QString& hotword : hotwords) {
        const QString term = Text::trimmed(hotword);
        const int count = Text::graphemeCount(term);
        const QString lower = term.toLower();
        if (count < kMinHotwordChars || count > kMaxHotwordChars || taken.contains(lower))
            continue;
        const int next = length + count + (terms.isEmpty() ? 0 : 2);
        if (next > maxChars)
            break; // later, shorter terms are not tried
        taken.insert(lower);
        terms.append(term);
        length = next;
    }
    return terms.join(QLatin1String(", "));
}

std::optional<QString> OpenAITranscriptionClient::isoLanguageCode(const QString& localeIdentifier)
{
    const QString trimmed = Text::trimmed(localeIdentifier);
    if (trimmed.isEmpty() || trimmed.toLower() == QLatin1String("auto"))
        return std::nullopt;
    QString code = trimmed;
    if (trimmed.contains(QLatin1Char('-')))
        code = trimmed.section(QLatin1Char('-'), 0, 0);
    else if (trimmed.contains(QLatin1Char('_')))
        code = trimmed.section(QLatin1Char('_'), 0, 0);
    return code.toLower();
}

std::optional<QString> OpenAITranscriptionClient::extractErrorMessage(const QByteArray& body)
{
    // A JSON error's message, an error page's title, else the start of the text: one line for the banner.
    const std::optional<QString> text = NetworkText::utf8Body(body);
    if (!text)
        return std::nullopt;
    QString line = NetworkText::oneLine(*text, kErrorMessageMaxChars);
    if (line.isEmpty())
        return std::nullopt;
    return line;
}

QCoro::Task<Result<OpenAITranscriptionClient::Transcription>>
OpenAITranscriptionClient::transcribe(QByteArray wavData, QString baseURL, QString model, QString apiKey,
                                      QStringList hotwords, std::optional<QString> languageLocale,
                                      double timeoutSeconds)
{
    const QString endpoint = normalizeTranscriptionEndpoint(baseURL);
    const QUrl url(endpoint, QUrl::StrictMode);
    if (!Endpoint::isHttpUrl(url))
        co_return AppError{errorDomain(), -10, kInvalidEndpoint.toString() + endpoint};
    const QString key = Text::trimmed(apiKey);
    if (key.isEmpty() && !Endpoint::isKeylessLocal(baseURL))
        co_return AppError{errorDomain(), -11, kMissingKey.toString()};
    if (!Endpoint::isHeaderSafe(key))
        co_return AppError{errorDomain(), -13, kKeyHasControlCharacters.toString()};
    QString modelName = Text::trimmed(model);
    if (modelName.isEmpty())
        modelName = defaultModel();

    const QByteArray boundary =
        "Boundary-Quorbell-" + QUuid::createUuid().toString(QUuid::Id128).toUpper().toLatin1();
    QByteArray body;
    body.reserve(wavData.size() + 2048);
    appendField(body, boundary, "model", modelName);
    appendField(body, boundary, "response_format", QStringLiteral("json"));
    appendField(body, boundary, "temperature", QStringLiteral("0"));
    if (languageLocale) {
        if (const std::optional<QString> language = isoLanguageCode(*languageLocale))
            appendField(body, boundary, "language", *language);
    }
    const QString prompt = buildPromptHint(hotwords, kPromptHintMaxChars);
    if (!prompt.isEmpty())
        appendField(body, boundary, "prompt", prompt);
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"file\"; filename=\"speech.wav\"\r\n";
    body += "Content-Type: audio/wav\r\n\r\n";
    body += wavData;
    body += "\r\n--" + boundary + "--\r\n";

    QNetworkRequest request(url);
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary);
    if (!key.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + key.toUtf8());
    applyRedirectPolicy(request, !key.isEmpty());

    QPointer<OpenAITranscriptionClient> self(this);
    enum class Ending { finished, timedOut, tooLarge, gone };
    auto ending = Deferred<Ending>::create();
    const MonotonicTime started = m_scheduler.now();
    QPointer<QNetworkReply> reply = m_network.post(request, body);
    auto received = std::make_shared<QByteArray>();
    connect(reply, &QNetworkReply::readyRead, reply, [reply, received, ending] {
        *received += reply->read(kMaxResponseBytes + 1 - received->size());
        if (received->size() > kMaxResponseBytes && ending->resolve(Ending::tooLarge))
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, reply, [ending] { ending->resolve(Ending::finished); });
    connect(reply, &QObject::destroyed, [ending] { ending->resolve(Ending::gone); });
    const double resourceSeconds = std::chrono::duration<double>(kResourceLimit).count();
    const Duration limit = seconds(
        std::isfinite(timeoutSeconds) ? std::clamp(timeoutSeconds, 0.0, resourceSeconds) : resourceSeconds);
    ScheduledWork deadline(&m_scheduler, m_scheduler.schedule(limit, [reply, ending] {
        if (ending->resolve(Ending::timedOut) && reply)
            reply->abort();
    }));

    const Ending how = co_await *ending;
    deadline.cancel();
    if (!self || !reply || how == Ending::gone)
        co_return AppError{QStringLiteral("QNetworkReply"), QNetworkReply::OperationCanceledError,
                           NetworkText::failure(QNetworkReply::OperationCanceledError, QString())};
    const MonotonicTime ended = m_scheduler.now();
    reply->disconnect();
    reply->deleteLater();
    if (how == Ending::timedOut)
        co_return AppError{QStringLiteral("QNetworkReply"), QNetworkReply::TimeoutError,
                           kTimedOut.toString()};
    if (how == Ending::tooLarge)
        co_return AppError{errorDomain(), -14, kResponseTooLarge.toString()};

    *received += reply->read(kMaxResponseBytes - received->size());
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusAttribute.isValid()) {
        if (reply->error() != QNetworkReply::NoError)
            co_return AppError{QStringLiteral("QNetworkReply"), reply->error(),
                               NetworkText::failure(reply->error(), reply->errorString())};
        co_return AppError{errorDomain(), -12, kNotHttp.toString()};
    }
    // A body cut off mid-way is a failure, not a transcript of the part that arrived.
    const int status = statusAttribute.toInt();
    if (status >= 200 && status <= 299 && reply->error() != QNetworkReply::NoError)
        co_return AppError{QStringLiteral("QNetworkReply"), reply->error(),
                           NetworkText::failure(reply->error(), reply->errorString())};
    Result<QString> text = readReply(status, *received);
    if (!text)
        co_return text.error();
    const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(ended - started);
    co_return Transcription{std::move(text).value(), latency.count()};
}

Result<QString> OpenAITranscriptionClient::readReply(int status, const QByteArray& body)
{
    if (status < 200 || status > 299) {
        const QString statusText = QStringLiteral("HTTP ") + QString::number(status);
        const QString message = extractErrorMessage(body).value_or(statusText);
        return AppError{errorDomain(), status, statusText + QStringLiteral("：") + message};
    }
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (document.isObject()) {
        const QJsonValue textValue = document.object().value(QLatin1String("text"));
        if (textValue.isString())
            return Text::trimmed(textValue.toString());
    }
    // Relays and captive portals answer errors with 200: a JSON body without a string "text", a web page or
    // bytes that are no UTF-8 text are no transcript and must never be typed into the user's document. Plain
    // text stays a transcript, for servers that ignore "response_format".
    const auto notATranscript = [&body](QStringView what) {
        QString description = what.toString();
        const QString cameBack = NetworkText::summary(body, kErrorMessageMaxChars);
        if (!cameBack.isEmpty())
            description += QStringLiteral("（") + cameBack + QStringLiteral("）");
        return AppError{errorDomain(), kNotATranscriptCode, description};
    };
    if (!document.isNull())
        return notATranscript(kNoTranscript);
    if (NetworkText::isHtml(body))
        return notATranscript(kWebPage);
    if (const std::optional<QString> plain = NetworkText::utf8Body(body))
        return Text::trimmed(*plain);
    // A proxy's binary error or a wrong route: nothing to read, and nothing that may pass as silence.
    return AppError{errorDomain(), kNotATranscriptCode,
                    QStringLiteral("语音接口返回了 %1 字节无法识别的数据，不是转写文本").arg(body.size())};
}

void OpenAITranscriptionClient::prewarmConnection(const QString& baseURL, const QString& apiKey)
{
    QMetaObject::invokeMethod(this, [this, baseURL, apiKey] {
        const QString base = Text::trimmed(baseURL);
        const QUrl url(base, QUrl::StrictMode);
        if (base.isEmpty() || !Endpoint::isHttpUrl(url))
            return;
        const QString key = Text::trimmed(apiKey);
        QNetworkRequest request(url);
        if (!key.isEmpty() && Endpoint::isHeaderSafe(key))
            request.setRawHeader("Authorization", "Bearer " + key.toUtf8());
        applyRedirectPolicy(request, !key.isEmpty());
        QPointer<QNetworkReply> reply = m_network.head(request);
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
        m_scheduler.schedule(kWarmUpTimeout, [reply] {
            if (reply)
                reply->abort();
        });
    });
}

QCoro::Task<Result<qint64>> OpenAITranscriptionClient::probeLatency(QString baseURL, QString model,
                                                                    QString apiKey, Scheduler& scheduler)
{
    std::vector<qint16> samples(kProbeSampleCount);
    for (int i = 0; i < kProbeSampleCount; ++i)
        samples[static_cast<size_t>(i)] = static_cast<qint16>(std::trunc(
            kProbeAmplitude * std::sin(2.0 * std::numbers::pi * kProbeToneHz * i / kProbeSampleRate)));
    const QByteArray wav = encodePCM16ToWAV(samples, kProbeSampleRate);
    // A client of its own: the probe never shares the engine's connections.
    auto client = std::make_unique<OpenAITranscriptionClient>(scheduler);
    const QStringList noHotwords;
    Result<Transcription> result = co_await client->transcribe(wav, baseURL, model, apiKey, noHotwords,
                                                               QStringLiteral("zh-CN"), kProbeTimeoutSeconds);
    if (!result)
        co_return result.error();
    co_return result.value().latencyMs;
}
