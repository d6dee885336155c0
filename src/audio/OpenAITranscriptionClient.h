#pragma once

#include "util/AppError.h"
#include "util/Scheduler.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <span>

#include <qcoro/qcorotask.h>

// Uploads one finished recording as a WAV file to a service with the OpenAI transcription interface
// (multipart POST to ".../audio/transcriptions") and returns the text with the time the exchange took.
// Lives on the main thread; prewarmConnection may be called from any thread.
class OpenAITranscriptionClient final : public QObject {
public:
    struct Transcription {
        QString text;
        qint64 latencyMs = 0;
    };

    static QString errorDomain() { return QStringLiteral("Quorbell.OpenAIASR"); }
    static QString defaultBaseURL() { return QStringLiteral("https://api.openai.com/v1"); }
    static QString defaultModel() { return QStringLiteral("gpt-4o-mini-transcribe"); }

    explicit OpenAITranscriptionClient(Scheduler& scheduler, QObject* parent = nullptr);

    QCoro::Task<Result<Transcription>> transcribe(QByteArray wavData, QString baseURL, QString model,
                                                  QString apiKey, QStringList hotwords,
                                                  std::optional<QString> languageLocale,
                                                  double timeoutSeconds);
    // A HEAD request to the base URL itself, so the upload at the end of a dictation finds a warm
    // connection. The answer is ignored.
    void prewarmConnection(const QString& baseURL, const QString& apiKey);
    // The latency of one short transcription, through a client of its own.
    static QCoro::Task<Result<qint64>> probeLatency(QString baseURL, QString model, QString apiKey,
                                                    Scheduler& scheduler);

    static QString normalizeTranscriptionEndpoint(const QString& baseURL);
    // A 44-byte RIFF header and the samples. Empty when the sizes do not fit the format's 32-bit fields.
    static QByteArray encodePCM16ToWAV(std::span<const qint16> samples, quint32 sampleRate);
    static QString buildPromptHint(const QStringList& hotwords, int maxChars);
    static std::optional<QString> isoLanguageCode(const QString& localeIdentifier);
    // A 2xx answer that is JSON without a string "text", a web page, or bytes that are no text at all.
    static constexpr int kNotATranscriptCode = -15;

    // What a finished exchange answered: the trimmed transcript (the JSON "text", else a plain UTF-8 body
    // that is not a web page, whatever its Content-Type says), or the error: for a status outside 2xx with
    // the service's own message, for any other 2xx answer with what came back.
    static Result<QString> readReply(int status, const QByteArray& body);

private:
    static std::optional<QString> extractErrorMessage(const QByteArray& body);

    Scheduler& m_scheduler;
    QNetworkAccessManager m_network;
};
