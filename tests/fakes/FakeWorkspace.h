#pragma once

#include "fakes/Guarded.h"
#include "platform/Workspace.h"

// A desktop whose frontmost application the test sets. Nothing else happens on it: no window is activated
// behind the test's back, URLs open and every program "exits" with 0.
class FakeWorkspace final : public Workspace, private Guarded {
public:
    std::optional<FrontmostApplication> frontmostApplication() override { return guarded(m_frontmost); }
    // The window of the application in front: moving the focus is setting another one in front.
    quint64 keyboardFocusWindow() override
    {
        const std::optional<FrontmostApplication> front = guarded(m_frontmost);
        return front ? front->windowId : 0;
    }
    void setActivationHandler(ActivationHandler) override {}
    Status openUrl(const QUrl&) override { return Status::success(); }
    ProcessResult runProcess(const QString&, const QStringList&, std::chrono::milliseconds) override
    {
        return {Status::success(), 0};
    }

    // Changes what is in front.
    void setFrontmost(std::optional<FrontmostApplication> application)
    {
        setGuarded(m_frontmost, std::move(application));
    }

private:
    std::optional<FrontmostApplication> m_frontmost;
};
