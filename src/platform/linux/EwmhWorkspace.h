#pragma once

#include "platform/Workspace.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <memory>
#include <mutex>

class QSocketNotifier;

// The desktop as an EWMH window manager describes it: the active window from the root window's
// _NET_ACTIVE_WINDOW (the X input focus where no window manager keeps that property), and that window's
// application from its desktop-file id, WM_CLASS, _NET_WM_NAME and _NET_WM_PID. Create on the main thread;
// activation changes arrive there.
class EwmhWorkspace final : public QObject, public Workspace {
public:
    // Connects to `displayName`, or to $DISPLAY when empty. Without a display nothing is ever in front.
    explicit EwmhWorkspace(const QByteArray& displayName = {}, QObject* parent = nullptr);
    ~EwmhWorkspace() override;

    std::optional<FrontmostApplication> frontmostApplication() override;
    // The top-level window of the X input focus, which is where XTest keys go (the window manager publishes
    // _NET_ACTIVE_WINDOW only after moving the focus).
    quint64 keyboardFocusWindow() override;
    void setActivationHandler(ActivationHandler handler) override;
    Status openUrl(const QUrl& url) override;
    ProcessResult runProcess(const QString& program, const QStringList& arguments,
                             std::chrono::milliseconds timeout) override;

private:
    class XConnection;

    void readEvents();
    // The localized name in the desktop file with this id; empty when there is none.
    QString desktopFileName(const QString& desktopId);

    std::unique_ptr<XConnection> m_query; // any thread, under m_queryMutex
    std::mutex m_queryMutex;
    std::unique_ptr<XConnection> m_events; // main thread: root property changes
    QSocketNotifier* m_notifier = nullptr;
    ActivationHandler m_activationHandler;
    unsigned long m_lastActiveWindow = 0;
    QString m_ownName;
    std::mutex m_namesMutex;
    QHash<QString, QString> m_desktopNames; // desktop-file id -> localized name ("" when none)
};
