#include "platform/linux/QtLocalKeyCapture.h"

#include "platform/linux/X11KeyMap.h"

#include <QCoreApplication>
#include <QKeyEvent>

// Only the keysym names; no Xlib macros reach the Qt code below.
#include <X11/keysym.h>

namespace {

// Without an X keysym (another platform plugin) the key is named from Qt's key code, modifiers on their
// left side.
unsigned long keysymFromQtKey(int key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return XK_a + static_cast<unsigned long>(key - Qt::Key_A);
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return XK_0 + static_cast<unsigned long>(key - Qt::Key_0);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F20)
        return XK_F1 + static_cast<unsigned long>(key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Space:
        return XK_space;
    case Qt::Key_Escape:
        return XK_Escape;
    case Qt::Key_Return:
        return XK_Return;
    case Qt::Key_Enter:
        return XK_KP_Enter;
    case Qt::Key_Tab:
        return XK_Tab;
    case Qt::Key_Backspace:
        return XK_BackSpace;
    case Qt::Key_Left:
        return XK_Left;
    case Qt::Key_Right:
        return XK_Right;
    case Qt::Key_Up:
        return XK_Up;
    case Qt::Key_Down:
        return XK_Down;
    case Qt::Key_Shift:
        return XK_Shift_L;
    case Qt::Key_Control:
        return XK_Control_L;
    case Qt::Key_Alt:
        return XK_Alt_L;
    case Qt::Key_Meta:
        return XK_Super_L;
    case Qt::Key_CapsLock:
        return XK_Caps_Lock;
    default:
        return 0;
    }
}

// The family flags of the modifiers Qt saw held; a modifier pressed before the capture began shows up here.
std::uint64_t familyFlags(Qt::KeyboardModifiers modifiers)
{
    std::uint64_t flags = 0;
    if (modifiers & Qt::ShiftModifier)
        flags |= ModifierFlag::Shift;
    if (modifiers & Qt::ControlModifier)
        flags |= ModifierFlag::Control;
    if (modifiers & Qt::AltModifier)
        flags |= ModifierFlag::Option;
    if (modifiers & Qt::MetaModifier)
        flags |= ModifierFlag::Command;
    return flags;
}

} // namespace

QtLocalKeyCapture::QtLocalKeyCapture(QObject* parent) : QObject(parent) {}

QtLocalKeyCapture::~QtLocalKeyCapture()
{
    end();
    if (m_filterInstalled && QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

Status QtLocalKeyCapture::begin(Handler handler)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return Status::failure(QStringLiteral("没有可以接收按键的应用窗口，无法录制快捷键"));
    if (!m_filterInstalled) {
        app->installEventFilter(this);
        m_filterInstalled = true;
    }
    m_handler = std::move(handler);
    m_heldModifiers.clear();
    m_capsLocked = false;
    return Status::success();
}

void QtLocalKeyCapture::end()
{
    m_handler = nullptr;
    m_heldModifiers.clear();
}

bool QtLocalKeyCapture::eventFilter(QObject* watched, QEvent* event)
{
    if (!m_handler)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Accepted: the key goes on as an ordinary key press (which we take) instead of a shortcut.
        event->accept();
        return true;
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        translate(*static_cast<QKeyEvent*>(event));
        return true; // consumed: recorded keys never reach the widgets
    default:
        return QObject::eventFilter(watched, event);
    }
}

void QtLocalKeyCapture::translate(const QKeyEvent& keyEvent)
{
    const bool press = keyEvent.type() == QEvent::KeyPress;
    unsigned long keysym = keyEvent.nativeVirtualKey();
    if (keysym == 0)
        keysym = keysymFromQtKey(keyEvent.key());
    const X11KeyMap::MacKey key = X11KeyMap::fromKeysym(keysym);

    KeyEvent event;
    event.keyCode = key.keyCode;
    event.nativeCode = keyEvent.nativeScanCode();
    event.time = static_cast<std::uint32_t>(keyEvent.timestamp());
    event.isAutoRepeat = keyEvent.isAutoRepeat();

    if (key.isCapsLock) {
        if (!press || keyEvent.isAutoRepeat())
            return;
        m_capsLocked = !m_capsLocked;
        event.kind = KeyEvent::Kind::FlagsChanged;
        event.flags = heldModifierFlags();
    } else if (key.isModifier()) {
        if (keyEvent.isAutoRepeat())
            return;
        const bool changed = press ? !m_heldModifiers.contains(keysym) : m_heldModifiers.contains(keysym);
        if (!changed)
            return;
        if (press)
            m_heldModifiers.insert(keysym);
        else
            m_heldModifiers.remove(keysym);
        event.kind = KeyEvent::Kind::FlagsChanged;
        event.flags = heldModifierFlags();
    } else {
        event.kind = press ? KeyEvent::Kind::KeyDown : KeyEvent::Kind::KeyUp;
        event.flags = heldModifierFlags() | familyFlags(keyEvent.modifiers()) | key.keyFlags;
    }
    const Handler handler = m_handler; // the handler may end the capture while it runs
    handler(event);
}

std::uint64_t QtLocalKeyCapture::heldModifierFlags() const
{
    std::uint64_t flags = m_capsLocked ? ModifierFlag::CapsLock : 0;
    for (unsigned long keysym : m_heldModifiers)
        flags |= X11KeyMap::fromKeysym(keysym).modifierFlags;
    return flags;
}
