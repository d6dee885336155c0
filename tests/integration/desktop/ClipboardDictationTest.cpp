// A dictation through the real X11 clipboard, the rest of AppState on fakes: what the start reads of another
// application's clipboard for the recogniser's hint, and what the paste keeps of it.
#include "TargetProcess.h"
#include "core/AppStateHarness.h"
#include "platform/linux/QtClipboard.h"
#include "system/ContextInjector.h"

#include <gtest/gtest.h>

#include "platform/linux/XlibIncludes.h"

using namespace std::chrono_literals;

namespace {

constexpr int kWaitMs = 30000;

const FrontmostApplication kEditor{QStringLiteral("Kate"), QStringLiteral("org.kde.kate"), 4242,
                                   QStringLiteral("notes.md — Kate")};

// Takes the clipboard over a connection nobody reads: every request to it goes unanswered, as with a hung
// application.
class SilentOwner {
public:
    SilentOwner()
    {
        m_display = XOpenDisplay(nullptr);
        if (!m_display)
            return;
        const Window window =
            XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 1, 1, 0, 0, 0);
        XSetSelectionOwner(m_display, XInternAtom(m_display, "CLIPBOARD", 0), window, CurrentTime);
        XSync(m_display, 0);
    }
    ~SilentOwner()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    SilentOwner(const SilentOwner&) = delete;
    SilentOwner& operator=(const SilentOwner&) = delete;

    bool isUp() const { return m_display != nullptr; }

private:
    Display* m_display = nullptr;
};

class ClipboardDictationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        h.clipboardOverride = &clipboard;
        h.focusEmptyFieldOf(kEditor);
        h.start(AppStateHarness::verbatimDictation());
        h.state->lexiconStore().setEntries({});
    }

    AppState& state() { return *h.state; }

    bool waitForChange(quint64 before)
    {
        return h.settle([&] { return clipboard.changeCount() > before; });
    }

    // The hotwords the recogniser got for a dictation begun now. An owner that answers is waited for; for one
    // that does not, the begin's own limit runs out.
    QStringList beginAndTakeHotwords(bool ownerAnswers = true)
    {
        const qsizetype starts = h.engine->starts.size();
        state().beginDictationSession();
        if (!ownerAnswers)
            h.scheduler.advance(150ms);
        EXPECT_TRUE(h.settle([&] { return !state().isStartingSession(); }));
        EXPECT_TRUE(state().isSessionActive());
        return h.engine->starts.size() > starts ? h.engine->starts.last().contextualStrings : QStringList();
    }

    // Says `text` into the editor and waits for the user's clipboard to be given back (or the limit of it).
    void finishWith(const QString& text)
    {
        h.engine->transcripts.push_back({text, 2});
        auto finished = watch(state().finishDictationSession());
        h.scheduler.advance(100ms);
        ASSERT_TRUE(h.settle([&] { return finished->done; }));
        h.scheduler.advance(ContextInjector::kClipboardRestoreLimit);
        ASSERT_TRUE(h.settle([&] { return !state().contextInjector().hasPendingClipboardRestore(); }));
    }

    QtClipboard clipboard;
    AppStateHarness h;
};

} // namespace

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
