#include "model/ActiveScreenContext.h"

#include <array>

namespace {

// Each table keeps the macOS names first, then the Linux desktop-file ids and WM_CLASS names of the same apps
// and of the terminals. Entries are lower case; containment is tested on lower-cased text.
constexpr std::array<QStringView, 28> kCodeOrTerminalFragments = {
    u"terminal", u"iterm", u"warp", u"ghostty", u"xcode", u"cursor", u"vscode", u"code", u"zed",
    u"antigravity",
    // Linux terminals whose names hold none of the fragments above.
    u"konsole", u"xterm", u"alacritty", u"kitty", u"tilix", u"terminator", u"rxvt", u"wezterm", u"guake",
    u"tilda", u"yakuake", u"ptyxis", u"org.gnome.console", u"kgx", u"st-256color", u"terminology", u"sakura",
    u"cool-retro-term"};

constexpr std::array<QStringView, 24> kStrictShellTerminalFragments = {
    u"apple.terminal", u"iterm", u"warp", u"ghostty", u"alacritty", u"kitty",
    // Linux: GNOME, KDE, Xfce, MATE, LXDE/LXQt and the stand-alone terminals.
    u"gnome-terminal", u"org.gnome.terminal", u"konsole", u"xterm", u"xfce4-terminal", u"mate-terminal",
    u"lxterminal", u"qterminal", u"tilix", u"terminator", u"rxvt", u"wezterm", u"guake", u"tilda", u"yakuake",
    u"ptyxis", u"org.gnome.console", u"kgx"};

constexpr std::array<QStringView, 12> kInstantMessagingFragments = {
    u"telegram", u"slack",    u"discord", u"lark",      u"feishu", u"messages",
    u"whatsapp", u"dingtalk", u"wechat",  u"xinwechat", u"微信",   u"qq"};

constexpr std::array<QStringView, 13> kEmailOrFormalDocFragments = {
    u"apple.mail", u"outlook", u"spark", u"mimestream", u"gmail", u"word", u"pages", u"docs.google",
    // Linux mail clients and word processors.
    u"thunderbird", u"org.gnome.evolution", u"org.kde.kmail", u"org.gnome.geary", u"libreoffice-writer"};

template <std::size_t N>
bool containsAny(const QString& haystack, const std::array<QStringView, N>& fragments)
{
    for (QStringView fragment : fragments) {
        if (haystack.contains(fragment))
            return true;
    }
    return false;
}

} // namespace

QString AppToneProfile::rawValue() const
{
    switch (value) {
    case instantMessaging:
        return QStringLiteral("即时聊天");
    case emailAndFormalDoc:
        return QStringLiteral("邮件与正式文档");
    case aiPromptAndNotes:
        return QStringLiteral("AI提问与笔记");
    case shellTerminal:
        return QStringLiteral("命令行终端");
    }
    return {};
}

std::optional<AppToneProfile> AppToneProfile::fromRawValue(QStringView raw)
{
    for (AppToneProfile profile : allCases()) {
        if (profile.rawValue() == raw)
            return profile;
    }
    return std::nullopt;
}

QList<AppToneProfile> AppToneProfile::allCases()
{
    return {instantMessaging, emailAndFormalDoc, aiPromptAndNotes, shellTerminal};
}

ActiveScreenContext ActiveScreenContext::empty()
{
    ActiveScreenContext context;
    context.hasFocusedTextInput = true;
    return context;
}

bool ActiveScreenContext::isCodeOrTerminal() const
{
    return containsAny(bundleID.toLower() + u' ' + appName.toLower(), kCodeOrTerminalFragments);
}

bool ActiveScreenContext::isInstantMessaging() const
{
    return containsAny(bundleID.toLower() + u' ' + appName.toLower(), kInstantMessagingFragments);
}

bool ActiveScreenContext::isStrictShellTerminal() const
{
    return containsAny(bundleID.toLower() + u' ' + appName.toLower(), kStrictShellTerminalFragments);
}

bool ActiveScreenContext::isEmailOrFormalDoc() const
{
    return containsAny(bundleID.toLower() + u' ' + appName.toLower() + u' ' + windowTitle.toLower(),
                       kEmailOrFormalDocFragments);
}

AppToneProfile ActiveScreenContext::toneProfile() const
{
    if (isStrictShellTerminal())
        return AppToneProfile::shellTerminal;
    if (isInstantMessaging())
        return AppToneProfile::instantMessaging;
    if (isEmailOrFormalDoc())
        return AppToneProfile::emailAndFormalDoc;
    return AppToneProfile::aiPromptAndNotes;
}
