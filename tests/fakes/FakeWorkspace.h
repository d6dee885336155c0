#pragma once

#include "platform/Workspace.h"

#include <QList>
#include <mutex>

// A desktop whose frontmost application the test sets. Records opened URLs and launched programs.
class FakeWorkspace final : public Workspace {
public:
    struct ProcessRun {
        QString program;
        QStringList arguments;
        std::chrono::milliseconds timeout{0};
    };

    std::optional<FrontmostApplication> frontmostApplication() override;
    void setActivationHandler(ActivationHandler handler) override;
    Status openUrl(const QUrl& url) override;
    ProcessResult runProcess(const QString& program, const QStringList& arguments,
                             std::chrono::milliseconds timeout) override;

    // Changes what is in front without telling anyone.
    void setFrontmost(std::optional<FrontmostApplication> application);
    // Brings the application to the front and notifies the activation handler (on the calling thread).
    void activate(const FrontmostApplication& application);
    void setOpenUrlFailure(std::optional<QString> reason);
    // The result every later runProcess() returns; by default the program "exits" with 0.
    void setProcessResult(ProcessResult result);

    QList<QUrl> openedUrls() const;
    QList<ProcessRun> processRuns() const;

private:
    mutable std::mutex m_mutex;
    std::optional<FrontmostApplication> m_frontmost;
    ActivationHandler m_activationHandler;
    std::optional<QString> m_openUrlFailure;
    ProcessResult m_processResult{Status::success(), 0};
    QList<QUrl> m_openedUrls;
    QList<ProcessRun> m_processRuns;
};
