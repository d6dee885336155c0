#include "system/ActiveScreenContext.h"

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

TEST(ActiveScreenContext, EmptyValueTakesATextInputAsFocused)
{
    const ActiveScreenContext empty = ActiveScreenContext::empty();
    EXPECT_TRUE(empty.hasFocusedTextInput);
    EXPECT_TRUE(empty.appName.isEmpty() && empty.bundleID.isEmpty() && empty.windowTitle.isEmpty() &&
                empty.selectedText.isEmpty() && empty.precedingText.isEmpty());
    EXPECT_EQ(empty.toneProfile(), AppToneProfile::aiPromptAndNotes);
}

TEST(ActiveScreenContext, ToneProfilesFollowTheRuleOrder)
{
    // macOS and Linux names of the same targets.
    EXPECT_EQ(target("Terminal", "com.apple.Terminal").toneProfile(), AppToneProfile::shellTerminal);
    EXPECT_EQ(target("Terminal", "org.gnome.Terminal").toneProfile(), AppToneProfile::shellTerminal);
    EXPECT_EQ(target("Konsole", "org.kde.konsole").toneProfile(), AppToneProfile::shellTerminal);
    EXPECT_EQ(target("xterm", "XTerm").toneProfile(), AppToneProfile::shellTerminal);
    EXPECT_EQ(target("kitty", "kitty").toneProfile(), AppToneProfile::shellTerminal);
    EXPECT_EQ(target("Telegram", "org.telegram.desktop").toneProfile(), AppToneProfile::instantMessaging);
    EXPECT_EQ(target("微信", "com.tencent.xinwechat").toneProfile(), AppToneProfile::instantMessaging);
    EXPECT_EQ(target("Thunderbird", "org.mozilla.Thunderbird").toneProfile(),
              AppToneProfile::emailAndFormalDoc);
    EXPECT_EQ(target("Notes", "org.example.notes").toneProfile(), AppToneProfile::aiPromptAndNotes);

    // A browser tab of a mail service counts as mail, unless the app itself is a terminal or a chat app.
    EXPECT_EQ(target("Firefox", "firefox", "Inbox - Gmail").toneProfile(), AppToneProfile::emailAndFormalDoc);
    EXPECT_EQ(target("Slack", "com.slack.Slack", "Gmail digest").toneProfile(),
              AppToneProfile::instantMessaging);
    EXPECT_EQ(target("kitty", "kitty", "gmail notes").toneProfile(), AppToneProfile::shellTerminal);
    // Only the mail test reads the window title: a terminal-sounding title does not make a terminal.
    EXPECT_FALSE(target("Firefox", "firefox", "kitty pictures").isStrictShellTerminal());
}

TEST(ActiveScreenContext, CodeTargetsAreNotNecessarilyShellTerminals)
{
    const ActiveScreenContext xcode = target("Xcode", "com.apple.dt.Xcode");
    EXPECT_TRUE(xcode.isCodeOrTerminal());
    EXPECT_FALSE(xcode.isStrictShellTerminal());
    EXPECT_EQ(xcode.toneProfile(), AppToneProfile::aiPromptAndNotes);
    EXPECT_TRUE(target("Visual Studio Code", "code").isCodeOrTerminal());
    EXPECT_TRUE(target("Anything", "org.example.codeviewer").isCodeOrTerminal());
    EXPECT_TRUE(target("Alacritty", "Alacritty").isCodeOrTerminal());
    EXPECT_FALSE(target("Firefox", "firefox", "vscode docs").isCodeOrTerminal());
}

TEST(ActiveScreenContext, ToneProfileRawValues)
{
    EXPECT_EQ(AppToneProfile(AppToneProfile::shellTerminal).rawValue(), QStringLiteral("命令行终端"));
    EXPECT_EQ(AppToneProfile(AppToneProfile::instantMessaging).rawValue(), QStringLiteral("即时聊天"));
    EXPECT_EQ(AppToneProfile(AppToneProfile::emailAndFormalDoc).rawValue(), QStringLiteral("邮件与正式文档"));
    EXPECT_EQ(AppToneProfile(AppToneProfile::aiPromptAndNotes).rawValue(), QStringLiteral("AI提问与笔记"));
    for (AppToneProfile profile : AppToneProfile::allCases())
        EXPECT_EQ(AppToneProfile::fromRawValue(profile.rawValue()), profile);
    EXPECT_FALSE(AppToneProfile::fromRawValue(u"即时聊天 ").has_value());
}
