// The reply of an OpenAI-compatible transcription service: the first two bytes choose the HTTP status, the
// rest is the body.
#include "fuzz/FuzzTarget.h"

#include "audio/OpenAITranscriptionClient.h"
#include "net/NetworkText.h"
#include "util/Text.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

// Said independently of the parser: a body that opens (after a byte-order mark and white space) with "<!" or
// with one of the elements a portal's or proxy's page begins with is a page, a fragment too.
bool opensLikeAPage(const QByteArray& body)
{
    QByteArray text = body.startsWith("\xEF\xBB\xBF") ? body.sliced(3) : body;
    text = text.trimmed().toLower();
    if (text.startsWith("<!"))
        return true;
    for (const char* name : {"html", "head", "body", "title", "h1", "div", "form", "p", "meta", "script"}) {
        const QByteArray open = QByteArray("<") + name;
        if (text == open)
            return true;
        if (text.startsWith(open)) {
            const char next = text.at(open.size());
            if (next == '>' || next == '/' || next == ' ' || next == '\t' || next == '\n' || next == '\r')
                return true;
        }
    }
    return false;
}

} // namespace

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
            FUZZ_CHECK(!opensLikeAPage(body));
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
