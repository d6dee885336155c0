#include "model/ActiveScreenContext.h"

#include <gtest/gtest.h>

namespace {

ActiveScreenContext target(const char* appName, const char* bundleID, const char* title = "")
{
    ActiveScreenContext context = ActiveScreenContext::empty();
    context.appName = QString::fromUtf8(appName);
    context.bundleID = QString::fromUtf8(bundleID);
    context.windowTitle = QString::fromUtf8(title);
    return context;
}

} // namespace

TEST(ActiveScreenContext, ToneProfilesFollowTheRuleOrder)
{
    using P = AppToneProfile;
    const struct {
        ActiveScreenContext target;
        AppToneProfile::Value expected;
    } cases[] = {
        {ActiveScreenContext::empty(), P::aiPromptAndNotes},
        {target("Terminal", "org.gnome.Terminal"), P::shellTerminal},
        {target("kitty", "kitty"), P::shellTerminal},
        {target("Telegram", "org.telegram.desktop"), P::instantMessaging},
        {target("Thunderbird", "org.mozilla.Thunderbird"), P::emailAndFormalDoc},
        {target("Notes", "org.example.notes"), P::aiPromptAndNotes},
        // An editor is code, not a shell.
        {target("Xcode", "com.apple.dt.Xcode"), P::aiPromptAndNotes},
        // A browser tab of a mail service counts as mail, unless the app itself is a terminal or a chat app.
        {target("Firefox", "firefox", "Inbox - Gmail"), P::emailAndFormalDoc},
        {target("Slack", "com.slack.Slack", "Gmail digest"), P::instantMessaging},
        {target("kitty", "kitty", "gmail notes"), P::shellTerminal},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.target.toneProfile(), c.expected)
            << c.target.appName.toStdString() << " / " << c.target.windowTitle.toStdString();
    EXPECT_TRUE(ActiveScreenContext::empty().hasFocusedTextInput);

    // Raw values round-trip exactly.
    for (AppToneProfile profile : AppToneProfile::allCases())
        EXPECT_EQ(AppToneProfile::fromRawValue(profile.rawValue()), profile);
    EXPECT_FALSE(AppToneProfile::fromRawValue(u"即时聊天 ").has_value());
}

TEST(ActiveScreenContext, CodeTargetsAreNotNecessarilyShellTerminals)
{
    EXPECT_FALSE(target("Xcode", "com.apple.dt.Xcode").isStrictShellTerminal());
    for (const ActiveScreenContext& code :
         {target("Xcode", "com.apple.dt.Xcode"), target("Visual Studio Code", "code"),
          target("Anything", "org.example.codeviewer"), target("Alacritty", "Alacritty")})
        EXPECT_TRUE(code.isCodeOrTerminal()) << code.appName.toStdString();
    // Only the mail rule reads the window title.
    EXPECT_FALSE(target("Firefox", "firefox", "vscode docs").isCodeOrTerminal());
    EXPECT_FALSE(target("Firefox", "firefox", "kitty pictures").isStrictShellTerminal());
}
