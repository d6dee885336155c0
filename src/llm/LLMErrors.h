#pragma once

#include "util/AppError.h"

#include <QNetworkReply>
#include <QString>

// The error values of the language-model layer.
namespace LLMErrors {

// Errors of the model calls themselves: the code is an HTTP status, -1 when the answer is not HTTP, or 401
// for a missing or unusable key.
inline const QString kDomain = QStringLiteral("Quorbell.LLM");
// Request and response faults below the model protocol; the codes follow the usual URL-loading numbering.
inline const QString kURLDomain = QStringLiteral("Quorbell.URL");
// Transport errors as Qt reports them; the code is the QNetworkReply::NetworkError value.
inline const QString kNetworkDomain = QStringLiteral("Quorbell.Network");
// A reply body that is not JSON; the code is the QJsonParseError value.
inline const QString kJSONDomain = QStringLiteral("Quorbell.JSON");

enum URLCode {
    cancelled = -999,
    badURL = -1000,
    timedOut = -1001,
    badServerResponse = -1011,
    cannotParseResponse = -1017,
    dataLengthExceedsMaximum = -1103,
};

AppError urlError(URLCode code, const QString& detail = {});
AppError network(QNetworkReply::NetworkError code, const QString& qtDescription);
AppError jsonError(int code, const QString& parserDescription);

// A streamed call answered with a status outside 2xx (or not HTTP: status -1).
AppError chatCompletionsStatus(int status, const QString& model);
AppError anthropicStatus(int status, const QString& model);

// Missing keys, as the benchmark and the distillation report them.
AppError benchmarkMissingKey();
AppError distillMissingKey();
// A key with a line break or another control character never goes into a header.
AppError unusableKey();
// A streamed answer with status 2xx that carried no text; `whatCameBack` says what it held instead.
AppError noModelOutput(const QString& whatCameBack);
// A selection rewrite that produced nothing usable.
AppError emptyRewrite();

} // namespace LLMErrors
