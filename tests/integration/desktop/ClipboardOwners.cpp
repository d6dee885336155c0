#include "ClipboardOwners.h"

#include "platform/linux/XlibIncludes.h"

ClipboardOwnerWatch::ClipboardOwnerWatch() : m_display(XOpenDisplay(nullptr)) {}

ClipboardOwnerWatch::~ClipboardOwnerWatch()
{
    if (m_display)
        XCloseDisplay(m_display);
}

unsigned long ClipboardOwnerWatch::owner()
{
    return m_display ? XGetSelectionOwner(m_display, XInternAtom(m_display, "CLIPBOARD", 0)) : 0;
}

SilentOwner::SilentOwner() : m_display(XOpenDisplay(nullptr))
{
    if (!m_display)
        return;
    const Window window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(m_display, XInternAtom(m_display, "CLIPBOARD", 0), window, CurrentTime);
    XSync(m_display, 0);
}

SilentOwner::~SilentOwner()
{
    if (m_display)
        XCloseDisplay(m_display);
}
