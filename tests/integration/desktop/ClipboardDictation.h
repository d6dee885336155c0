#pragma once

// A dictation through the real X11 clipboard, the rest of AppState on fakes: what the start reads of another
// application's clipboard for the recogniser's hint, and what the paste keeps of it.
#include "ClipboardOwners.h"
#include "core/AppStateHarness.h"
#include "platform/linux/QtClipboard.h"
#include "system/ContextInjector.h"

#include <gtest/gtest.h>

class ClipboardDictationTest : public ::testing::Test {
protected:
    static constexpr int kWaitMs = 30000;

    void SetUp() override
    {
        h.clipboardOverride = &clipboard;
        h.focusEmptyFieldOf({QStringLiteral("Kate"), QStringLiteral("org.kde.kate"), 4242,
                             QStringLiteral("notes.md — Kate")});
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
            h.scheduler.advance(std::chrono::milliseconds(150));
        EXPECT_TRUE(h.settle([&] { return !state().isStartingSession(); }));
        EXPECT_TRUE(state().isSessionActive());
        return h.engine->starts.size() > starts ? h.engine->starts.last().contextualStrings : QStringList();
    }

    // Says `text` into the editor and waits for the user's clipboard to be given back (or the limit of it).
    void finishWith(const QString& text)
    {
        h.engine->transcripts.push_back({text, 2});
        auto finished = watch(state().finishDictationSession());
        h.scheduler.advance(std::chrono::milliseconds(100));
        ASSERT_TRUE(h.settle([&] { return finished->done; }));
        m_ownerBeforeRestore = m_owner.owner();
        h.scheduler.advance(ContextInjector::kClipboardRestoreLimit);
        ASSERT_TRUE(h.settle([&] { return !state().contextInjector().hasPendingClipboardRestore(); }));
    }

    // After finishWith() put back contents served by a thread of ours: until that thread has taken the
    // clipboard, so that another application's read reaches them.
    bool waitUntilTheServerHasTheClipboard()
    {
        return h.settle([&] {
            const unsigned long owner = m_owner.owner();
            return owner != 0 && owner != m_ownerBeforeRestore;
        });
    }

    QtClipboard clipboard;
    AppStateHarness h;

private:
    ClipboardOwnerWatch m_owner;
    unsigned long m_ownerBeforeRestore = 0;
};
