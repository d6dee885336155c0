#include "system/PastePolicy.h"

#include "model/ActiveScreenContext.h"

#include <array>

namespace {

enum class TerminalPaste { ctrlShiftV, shiftInsertPrimary };

struct KnownTerminal {
    QStringView name; // lower case; see `exact`
    // Matched against the whole lower-cased bundle identifier rather than as a fragment of it and the
    // application's name: for names too short to look for inside others.
    bool exact;
    TerminalPaste paste;
};

// First match wins, so the names that hold another's ("lxterminal" holds "xterm") come first.
constexpr std::array<KnownTerminal, 28> kKnownTerminals = {{
    // GNOME, KDE, Xfce, MATE, LXDE/LXQt and the stand-alone terminals bind Ctrl+Shift+V to paste the
    // clipboard.
    {u"gnome-terminal", false, TerminalPaste::ctrlShiftV},
    {u"org.gnome.terminal", false, TerminalPaste::ctrlShiftV},
    {u"org.gnome.console", false, TerminalPaste::ctrlShiftV},
    {u"kgx", false, TerminalPaste::ctrlShiftV},
    {u"ptyxis", false, TerminalPaste::ctrlShiftV},
    {u"konsole", false, TerminalPaste::ctrlShiftV},
    {u"yakuake", false, TerminalPaste::ctrlShiftV},
    {u"xfce4-terminal", false, TerminalPaste::ctrlShiftV},
    {u"mate-terminal", false, TerminalPaste::ctrlShiftV},
    {u"lxterminal", false, TerminalPaste::ctrlShiftV},
    {u"qterminal", false, TerminalPaste::ctrlShiftV},
    {u"tilix", false, TerminalPaste::ctrlShiftV},
    {u"terminator", false, TerminalPaste::ctrlShiftV},
    {u"guake", false, TerminalPaste::ctrlShiftV},
    {u"tilda", false, TerminalPaste::ctrlShiftV},
    {u"sakura", false, TerminalPaste::ctrlShiftV},
    {u"terminology", false, TerminalPaste::ctrlShiftV},
    {u"cool-retro-term", false, TerminalPaste::ctrlShiftV},
    {u"kitty", false, TerminalPaste::ctrlShiftV},
    {u"alacritty", false, TerminalPaste::ctrlShiftV},
    {u"wezterm", false, TerminalPaste::ctrlShiftV},
    {u"ghostty", false, TerminalPaste::ctrlShiftV},
    // The xterm family: Shift+Insert pastes PRIMARY (xterm, uxterm, rxvt, urxvt, st).
    {u"xterm", false, TerminalPaste::shiftInsertPrimary},
    {u"rxvt", false, TerminalPaste::shiftInsertPrimary},
    {u"aterm", false, TerminalPaste::shiftInsertPrimary},
    {u"eterm", false, TerminalPaste::shiftInsertPrimary},
    {u"st", true, TerminalPaste::shiftInsertPrimary},
    {u"st-256color", true, TerminalPaste::shiftInsertPrimary},
}};

std::optional<TerminalPaste> knownTerminalPaste(const FrontmostApplication& app)
{
    const QString id = app.bundleIdentifier.toLower();
    const QString searched = id + QLatin1Char(' ') + app.name.toLower();
    for (const KnownTerminal& terminal : kKnownTerminals) {
        if (terminal.exact ? id == terminal.name : searched.contains(terminal.name))
            return terminal.paste;
    }
    return std::nullopt;
}

} // namespace

namespace PastePolicy {

PasteMethod methodFor(const std::optional<FrontmostApplication>& app, bool primarySelectionAvailable)
{
    if (!app)
        return {kPasteChord, false};
    if (const std::optional<TerminalPaste> known = knownTerminalPaste(*app)) {
        if (*known == TerminalPaste::shiftInsertPrimary && primarySelectionAvailable)
            return {kPrimaryPasteChord, true};
        return {kTerminalPasteChord, false};
    }
    return {isTerminal(*app) ? kTerminalPasteChord : kPasteChord, false};
}

bool isTerminal(const FrontmostApplication& app)
{
    if (knownTerminalPaste(app))
        return true;
    ActiveScreenContext context;
    context.appName = app.name;
    context.bundleID = app.bundleIdentifier;
    return context.isStrictShellTerminal();
}

} // namespace PastePolicy
