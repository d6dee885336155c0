#pragma once

#include "model/Models.h"

#include <optional>

// What the settings page keeps of its own: which engine card and which model card is open, at most one of
// each. Lost when the page is rebuilt.
struct SettingsPageState {
    std::optional<ASRProviderOption> expandedASR;
    std::optional<LLMProviderOption> expandedLLM;
};
