#pragma once

#include <QRect>
#include <QString>
#include <optional>

// The roles callers tell apart; every other role is Other.
enum class ElementRole { Other, Desktop, Button, Image, Toolbar };

struct FocusedElement {
    // nullopt when the role could not be read; the element was still found.
    std::optional<ElementRole> role = ElementRole::Other;
    QString roleName; // the backend's own name of the role, for logs
    bool isEditableText = false;
    // The backend never reads the value or selection of a password field, nor of a field whose role it
    // cannot read.
    bool isPassword = false;
};

// What another application's focused element shows. Each query addresses the application with the given
// process id and may block for a short, bounded time (every call to the application has a short time-out,
// the whole query a budget); nullopt means not trusted, no such element, a time-out or a value of another
// kind. Safe from any thread.
class Accessibility {
public:
    virtual ~Accessibility() = default;

    // The trust last seen; backends that must ask another process for it keep it cached, so this never
    // waits and hot paths may call it freely.
    virtual bool isTrusted() = 0;
    // Asks the desktop again and returns the trust now; may wait a bounded time, so never on the main
    // thread.
    virtual bool refreshTrust() { return isTrusted(); }
    // Asks for trust (the Linux backend switches the accessibility bus on) and returns the trust afterwards;
    // like refreshTrust() it may wait a bounded time.
    virtual bool requestTrust() = 0;
    // Why trust cannot be had in this session (a Wayland session, no XTest), for the user; empty otherwise.
    virtual QString untrustedReason() = 0;

    virtual std::optional<FocusedElement> focusedElement(qint64 processId) = 0;
    virtual std::optional<QString> selectedText(qint64 processId) = 0;
    virtual std::optional<QString> focusedValue(qint64 processId) = 0;
    // The bounds of the selection or caret, in global screen coordinates (top-left origin, logical pixels).
    virtual std::optional<QRect> caretRect(qint64 processId) = 0;
};
