#pragma once

#include "model/PipelinePhase.h"

#include <QString>

// What the insights page's texts say, from the figures AppState computes; the widgets only draw them.
namespace InsightsFormat {

// "累计口述成稿": the count itself below 10000 characters, thousands with one decimal from there on.
QString charactersValue(qint64 characters);
// "云端平均首包延迟": an em dash while no latency is known (below 1 ms, an empty history included).
QString latencyValue(qint64 averageLatencyMs);
// The heat map's subtitle with the active days and the size of the lexicon.
QString heatmapLine(qint64 activeDays, qint64 lexiconTerms);
// The hint above the try-out box, as rich text: every part escaped, the list sample set as inline code.
QString tryOutHintHtml(const QString& triggerDisplayName);
// The start/stop button's text for the phase.
QString tryOutButtonText(const PipelinePhase& phase);

} // namespace InsightsFormat
