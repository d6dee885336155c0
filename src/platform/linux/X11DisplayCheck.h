#pragma once

#include <QString>
#include <optional>

// Quorbell runs on an X11 display; without one Qt would abort on its own, with advice that does not help.
// Asked once at start, before anything else connects: what is missing, as one line for the terminal, or
// nothing when the display can be reached.
std::optional<QString> missingX11Display();
