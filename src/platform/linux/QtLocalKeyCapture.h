#pragma once

#include "platform/LocalKeyCapture.h"

#include <QObject>
#include <QSet>

class QKeyEvent;

// Takes the keys of our own windows through an application-wide event filter while a shortcut is being
// recorded. Modifier keys become modifier changes with their side, read from the X keysym Qt passes along;
// key presses and releases keep the modifiers held. Shortcut overrides are accepted so that no menu or
// button shortcut fires meanwhile.
class QtLocalKeyCapture final : public QObject, public LocalKeyCapture {
public:
    explicit QtLocalKeyCapture(QObject* parent = nullptr);
    ~QtLocalKeyCapture() override;

    Status begin(Handler handler) override;
    void end() override;
    bool isActive() const override { return static_cast<bool>(m_handler); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void translate(const QKeyEvent& keyEvent);
    std::uint64_t heldModifierFlags() const;

    Handler m_handler;
    QSet<unsigned long> m_heldModifiers; // keysyms of the modifier keys down
    bool m_capsLocked = false;
    bool m_filterInstalled = false;
};
