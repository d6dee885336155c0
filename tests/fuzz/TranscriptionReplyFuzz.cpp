// The reply of an OpenAI-compatible transcription service: the first two bytes choose the HTTP status, the
// rest is the body.
#include "fuzz/FuzzTarget.h"

#include "audio/OpenAITranscriptionClient.h"
#include "net/NetworkText.h"
#include "util/Text.h"

#include <QJsonDocument>
#include <QJsonObject>

QB_FUZZ_TARGET(transcription_reply)
{
    if (input.size() < 2)
        return;
    const int status = 100 + ((static_cast<quint8>(input[0]) << 8) | static_cast<quint8>(input[1])) % 500;
    const QByteArray body = input.sliced(2);
    const Result<QString> reply = OpenAITranscriptionClient::readReply(status, body);
    const bool success = status >= 200 && status <= 299;
    if (!success)
        FUZZ_CHECK(!reply);
    // Any 2xx status reads the same body the same way.
    if (success) {
        const Result<QString> asOk = OpenAITranscriptionClient::readReply(200, body);
        FUZZ_CHECK(asOk.ok() == reply.ok());
        FUZZ_CHECK(!reply || asOk.value() == reply.value());
    }
    if (reply) {
        FUZZ_CHECK(reply.value() == Text::trimmed(reply.value()));
        // JSON is taken only for its string "text", never typed whole.
        const QJsonDocument document = QJsonDocument::fromJson(body);
        FUZZ_CHECK(document.isNull() || document.object().value(QLatin1String("text")).isString());
        // Anything else is read only as UTF-8 text that is not a page; bytes that are no text never pass
        // as an empty transcript.
        if (document.isNull()) {
            FUZZ_CHECK(NetworkText::utf8Body(body).has_value());
            FUZZ_CHECK(!NetworkText::isHtml(body));
        }
        return;
    }
    FUZZ_CHECK(reply.error().domain == OpenAITranscriptionClient::errorDomain());
    if (success) {
        // A 2xx that holds no transcript (JSON without a string "text", a web page, bytes that are no text)
        // fails on its own code.
        FUZZ_CHECK(reply.error().code == OpenAITranscriptionClient::kNotATranscriptCode);
        FUZZ_CHECK(!reply.error().description.isEmpty());
    } else {
        FUZZ_CHECK(reply.error().code == status);
        FUZZ_CHECK(reply.error().description.startsWith(QStringLiteral("HTTP %1：").arg(status)));
    }
}
