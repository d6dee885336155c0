#pragma once

#include "fakes/Guarded.h"
#include "platform/Accessibility.h"

// Answers with scripted values for one focused application; trusted until told otherwise, and trusted again
// whenever trust is requested. Like the real backend it answers nothing without trust or for another
// process, and never reveals a password field's selection or value.
class FakeAccessibility final : public Accessibility, private Guarded {
public:
    // What the application with `processId` shows in its focused element.
    struct Target {
        qint64 processId = 0;
        std::optional<FocusedElement> element;
        std::optional<QString> selectedText;
        std::optional<QString> value;
        std::optional<QRect> caretRect;
    };

    bool isTrusted() override { return guarded(m_trusted); }
    bool requestTrust() override;
    QString untrustedReason() override { return guarded(m_untrustedReason); }
    std::optional<FocusedElement> focusedElement(qint64 processId) override;
    std::optional<QString> selectedText(qint64 processId) override;
    std::optional<QString> focusedValue(qint64 processId) override;
    std::optional<QRect> caretRect(qint64 processId) override;

    void setTrusted(bool trusted) { setGuarded(m_trusted, trusted); }
    void setUntrustedReason(QString reason) { setGuarded(m_untrustedReason, std::move(reason)); }
    void setTarget(Target target) { setGuarded(m_target, std::move(target)); }
    int valueReadCount() const { return guarded(m_valueReads); }

private:
    // The target when it may be read for `processId`, else nullptr; for its text also when it has an element
    // that is no password field. m_mutex held.
    const Target* readableTarget(qint64 processId, bool forText = false) const;

    bool m_trusted = true;
    QString m_untrustedReason;
    Target m_target;
    int m_valueReads = 0;
};
