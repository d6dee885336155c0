#pragma once

#include "fakes/FakeTextField.h"
#include "fakes/FakeWorkspace.h"
#include "support/VirtualScheduler.h"
#include "system/ContextInjector.h"
#include "system/LiveInputSession.h"
#include "system/SyntheticKeyLedger.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <gtest/gtest.h>
#include <optional>

using namespace std::chrono_literals;

// A text field in front, reached through the injector, on virtual time. The pacer queue (the injector's
// typing queue) is a real thread: every step of virtual time is followed by draining it, so ticks see the
// time they were due at, and coroutines that handed work to it resume.
class LiveTypingFixture : public ::testing::Test {
protected:
    static FrontmostApplication editor()
    {
        return {QStringLiteral("Notes"), QStringLiteral("org.example.Notes"), FakeTextField::kProcessId,
                QStringLiteral("Draft - Notes")};
    }
    static FrontmostApplication terminal()
    {
        return {QStringLiteral("Terminal"), QStringLiteral("org.gnome.Terminal"), FakeTextField::kProcessId,
                QStringLiteral("~ - bash")};
    }

    LiveTypingFixture() { workspace.setFrontmost(editor()); }

    void drainPacer()
    {
        injector.pacerQueue()->sync([] {});
    }

    // Lets work go back and forth between the test's thread and the typing queue, without moving time: an
    // answer from the queue resumes its waiter from the event loop.
    void settle()
    {
        for (int i = 0; i < 8; ++i) {
            drainPacer();
            QCoreApplication::processEvents();
            scheduler.runDue();
        }
    }

    // Moves virtual time on in steps, letting each step's ticks run before the next.
    void run(Duration total, Duration step = 1ms)
    {
        for (Duration done{}; done < total; done += step) {
            scheduler.advance(step);
            drainPacer();
        }
    }

    template <typename T> static QCoro::Task<> store(QCoro::Task<T> task, std::optional<T>& result)
    {
        result = co_await task;
    }
    static QCoro::Task<> store(QCoro::Task<> task, bool& done)
    {
        co_await task;
        done = true;
    }

    // Runs a coroutine of the injector or a session to its end on virtual time.
    template <typename T> T finish(QCoro::Task<T> task)
    {
        std::optional<T> result;
        auto waiter = store(std::move(task), result);
        for (int i = 0; i < 100000 && !result; ++i) {
            settle();
            if (!result)
                scheduler.advance(100us);
        }
        EXPECT_TRUE(result.has_value()) << "the operation never finished";
        return result.value_or(T{});
    }
    void finish(QCoro::Task<> task)
    {
        bool done = false;
        auto waiter = store(std::move(task), done);
        for (int i = 0; i < 100000 && !done; ++i) {
            settle();
            if (!done)
                scheduler.advance(100us);
        }
        EXPECT_TRUE(done) << "the operation never finished";
    }

    VirtualScheduler scheduler;
    FakeTextField field;
    FakeWorkspace workspace;
    SyntheticKeyLedger ledger{scheduler.clock()};
    QList<ContextInjector::ScreenArea> screens{{QRectF(0, 0, 1920, 1080), QRectF(0, 32, 1920, 1048)}};
    ContextInjector injector{field, field, field, workspace, scheduler, ledger, [this] { return screens; }};
};
