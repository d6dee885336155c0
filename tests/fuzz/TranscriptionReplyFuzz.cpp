// The reply of an OpenAI-compatible transcription service: the first two bytes choose the HTTP status, the
// rest is the body.
#include "fuzz/FuzzTarget.h"

#include "audio/OpenAITranscriptionClient.h"
#include "util/Text.h"

QB_FUZZ_TARGET(transcription_reply)
{
    if (input.size() < 2)
        return;
    const int status = 100 + ((static_cast<quint8>(input[0]) << 8) | static_cast<quint8>(input[1])) % 500;
    const QByteArray body = input.sliced(2);
    const Result<QString> reply = OpenAITranscriptionClient::readReply(status, body);
    const bool success = status >= 200 && status <= 299;
    FUZZ_CHECK(reply.ok() == success);
    if (reply) {
        FUZZ_CHECK(reply.value() == Text::trimmed(reply.value()));
        // Any 2xx status reads the same body the same way.
        FUZZ_CHECK(OpenAITranscriptionClient::readReply(200, body).value() == reply.value());
    } else {
        FUZZ_CHECK(reply.error().code == status);
        FUZZ_CHECK(reply.error().domain == OpenAITranscriptionClient::errorDomain());
        FUZZ_CHECK(reply.error().description.startsWith(QStringLiteral("HTTP %1：").arg(status)));
    }
}
