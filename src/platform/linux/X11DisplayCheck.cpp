#include "platform/linux/X11DisplayCheck.h"

#include <QByteArray>

#include "platform/linux/XlibIncludes.h"

namespace {

bool isWaylandSession()
{
    return qgetenv("XDG_SESSION_TYPE") == "wayland" || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

std::optional<QString> missingX11Display()
{
    const QByteArray name = qgetenv("DISPLAY");
    if (!name.isEmpty()) {
        if (Display* display = XOpenDisplay(name.constData())) {
            XCloseDisplay(display);
            return std::nullopt;
        }
    }
    QString line =
        name.isEmpty()
            ? QStringLiteral("Quorbell 无法启动：没有 X11 显示（未设置 DISPLAY）。")
            : QStringLiteral("Quorbell 无法启动：无法连接 X11 显示 %1。").arg(QString::fromLocal8Bit(name));
    if (isWaylandSession())
        line += QStringLiteral("当前是 Wayland 会话，Quorbell 需要 X11 会话或 XWayland。");
    else
        line += QStringLiteral("请在 X11 桌面会话中启动。");
    return line;
}
