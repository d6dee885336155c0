#pragma once

#include "util/Status.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

struct FrontmostApplication {
    QString name;
    // Desktop-file id where the window exposes one, else its WM_CLASS class. Our own windows report
    // AppIdentity::bundleIdentifier().
    QString bundleIdentifier;
    qint64 processId = 0; // 0 when the window does not tell
    QString windowTitle;
    // The display's id of the window; 0 when unknown.
    quint64 windowId = 0;
};

struct [[nodiscard]] ProcessResult {
    Status status; // failure when the program could not start, crashed or ran past its time limit
    int exitCode = -1;
};

// The desktop around us: which application is in front, and the few things we ask the desktop to do.
class Workspace {
public:
    using ActivationHandler = std::function<void(const FrontmostApplication&)>;

    virtual ~Workspace() = default;

    // Asked afresh on every call; nullopt when no window is active. Safe from any thread.
    virtual std::optional<FrontmostApplication> frontmostApplication() = 0;
    // The top-level window that synthetic keys reach now (the one holding the keyboard focus), asked with as
    // little as the desktop allows, so it can be asked before every batch of keys; 0 when no window has the
    // focus or the desktop cannot tell. Blocks on the display server: not on the main thread.
    virtual quint64 keyboardFocusWindow() = 0;
    // Called on the main thread whenever another window becomes active. An empty handler unsubscribes.
    virtual void setActivationHandler(ActivationHandler handler) = 0;
    virtual Status openUrl(const QUrl& url) = 0;
    // Runs a program with a fixed argument list (no shell) and waits for it, killing it after `timeout`.
    virtual ProcessResult runProcess(const QString& program, const QStringList& arguments,
                                     std::chrono::milliseconds timeout) = 0;
};
