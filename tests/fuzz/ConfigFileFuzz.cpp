// config.json as the app reads it at start: parsed, decoded leniently, and the record that results must come
// back unchanged, with every value usable, from the file the next save writes.
#include "fuzz/FuzzTarget.h"

#include "model/LLMConfig.h"

#include <QJsonDocument>
#include <QJsonObject>

QB_FUZZ_TARGET(config_file)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(input, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return;
    const std::optional<LLMConfig> decoded =
        LLMConfig::fromJson(document.object(), QStringLiteral("ep-20250101000000-fuzz"));
    FUZZ_CHECK(decoded.has_value());
    const QByteArray saved = QJsonDocument(decoded->toJson()).toJson(QJsonDocument::Compact);
    QStringList unusable;
    const std::optional<LLMConfig> reloaded =
        LLMConfig::fromJson(QJsonDocument::fromJson(saved).object(), {}, &unusable);
    FUZZ_CHECK(reloaded.has_value());
    FUZZ_CHECK(unusable.isEmpty());
    FUZZ_CHECK(*reloaded == *decoded);
}
