#include "ClipboardDictation.h"
#include "TargetProcess.h"

TEST_F(ClipboardDictationTest, AnOwnerThatNeverAnswersCannotHoldThePasteAndTheBannerSaysTheClipboardIsLost)
{
    const quint64 before = clipboard.changeCount();
    SilentOwner owner;
    ASSERT_TRUE(owner.isUp());
    ASSERT_TRUE(waitForChange(before));

    beginAndTakeHotwords(false);
    finishWith(QStringLiteral("今天开会"));
    EXPECT_TRUE(h.inputSynth.actions().contains(SynthAction::pressed({KeyCode::V, ModifierFlag::Control})))
        << "the paste went through";
    ASSERT_EQ(state().history().size(), 1);
    EXPECT_EQ(
        state().statusBanner(),
        QStringLiteral("⚠️ 无法保留之前的剪贴板内容：剪贴板所属的程序没有响应"));
    EXPECT_EQ(clipboard.text(), QStringLiteral("今天开会")) << "nothing of the owner's could be put back";
}

TEST_F(ClipboardDictationTest, APasswordManagersSecretIsNeverReadForTheHintAndGoesBackStillMarked)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    auto copy = [&](const QByteArray& command) {
        const quint64 before = clipboard.changeCount();
        ASSERT_TRUE(target.request(command, "COPIED"));
        ASSERT_TRUE(waitForChange(before));
    };

    // Unmarked, a short word leads the hotwords.
    copy("COPY " + QByteArray("Kubernetes").toBase64());
    EXPECT_TRUE(beginAndTakeHotwords().contains(QStringLiteral("Kubernetes")));
    state().cancelDictationSession();

    copy("COPYSECRET " + QByteArray("Tr0ub4dor").toBase64());
    EXPECT_FALSE(beginAndTakeHotwords().contains(QStringLiteral("Tr0ub4dor")));
    finishWith(QStringLiteral("今天开会"));
    ASSERT_TRUE(clipboard.ownsContents()) << "the user's clipboard is back";
    const ClipboardSnapshot restored = clipboard.snapshot();
    EXPECT_TRUE(restored.isMarkedSecret()) << "clipboard managers still see the mark";
    EXPECT_TRUE(
        restored.formats.contains(ClipboardFormat{QStringLiteral("text/plain"), QByteArray("Tr0ub4dor")}));

    // Ours now, still marked: the next dictation does not read it either.
    EXPECT_FALSE(beginAndTakeHotwords().contains(QStringLiteral("Tr0ub4dor")));
    state().cancelDictationSession();
}

// An owner that offers the mark but refuses to hand it out still marked the contents: they go back with the
// mark, and nothing the user would miss is said to be lost.
TEST_F(ClipboardDictationTest, ASecretWhoseMarkCannotBeReadGoesBackMarked)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    const quint64 before = clipboard.changeCount();
    ASSERT_TRUE(target.request("COPYSECRET " + QByteArray("Tr0ub4dor").toBase64() + " unreadable", "COPIED"));
    ASSERT_TRUE(waitForChange(before));

    EXPECT_FALSE(beginAndTakeHotwords().contains(QStringLiteral("Tr0ub4dor")));
    finishWith(QStringLiteral("今天开会"));
    ASSERT_TRUE(clipboard.ownsContents()) << "the user's clipboard is back";
    const ClipboardSnapshot restored = clipboard.snapshot();
    EXPECT_TRUE(restored.formats.contains(ClipboardFormat{kPasswordManagerHintFormat, QByteArray("secret")}))
        << "clipboard managers still see the mark";
    EXPECT_TRUE(
        restored.formats.contains(ClipboardFormat{QStringLiteral("text/plain"), QByteArray("Tr0ub4dor")}));
    EXPECT_EQ(state().statusBanner(), QString());
}

TEST_F(ClipboardDictationTest, TheHintTakesAShortTextAndALongOneIsRefusedUnread)
{
    TargetProcess target({QStringLiteral("lineedit")});
    ASSERT_TRUE(target.start());
    // Larger than one X request: the owner would send it in pieces, and is not asked for them.
    const quint64 before = clipboard.changeCount();
    ASSERT_TRUE(target.request("COPYTEXT " + QByteArray::number(20 * 1024 * 1024), "COPIED"));
    ASSERT_TRUE(waitForChange(before));
    std::optional<QString> text;
    clipboard.readShortText(4096, [&](QString read) { text = std::move(read); });
    ASSERT_TRUE(h.settle([&] { return text.has_value(); }));
    EXPECT_EQ(*text, QString());

    const quint64 beforeShort = clipboard.changeCount();
    ASSERT_TRUE(target.request("COPY " + QByteArray("短文本 ok").toBase64(), "COPIED"));
    ASSERT_TRUE(waitForChange(beforeShort));
    text.reset();
    clipboard.readShortText(4096, [&](QString read) { text = std::move(read); });
    ASSERT_TRUE(h.settle([&] { return text.has_value(); }));
    EXPECT_EQ(*text, QStringLiteral("短文本 ok")) << "the reader is not left stuck in the refused transfer";
}
