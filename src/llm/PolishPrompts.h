#pragma once

#include <QString>

// The fixed texts sent to the language model.
namespace PolishPrompts {

// Dictation with the structured style: the product's main prompt (rules and worked examples).
const QString& structuredPolishPrompt();
// Dictation with the light style.
const QString& lightPolishPrompt();
// Every selection rewrite.
const QString& selectionRewritePrompt();
// The fixed sample dictation of the latency benchmark.
const QString& benchmarkSampleContent();
// Term distillation from pasted text.
const QString& termDistillPrompt();

} // namespace PolishPrompts
