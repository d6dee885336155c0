#pragma once

#include "platform/Accessibility.h"

#include <mutex>

// Answers with scripted values for one focused application; trusted until told otherwise. Like the real
// backend it answers nothing without trust or for another process, and never reveals a password field's
// selection or value.
class FakeAccessibility final : public Accessibility {
public:
    // What the application with `processId` shows in its focused element.
    struct Target {
        qint64 processId = 0;
        std::optional<FocusedElement> element;
        std::optional<QString> selectedText;
        std::optional<QString> value;
        std::optional<QRect> caretRect;
    };

    bool isTrusted() override;
    bool requestTrust() override;
    QString untrustedReason() override;
    std::optional<FocusedElement> focusedElement(qint64 processId) override;
    std::optional<QString> selectedText(qint64 processId) override;
    std::optional<QString> focusedValue(qint64 processId) override;
    std::optional<QRect> caretRect(qint64 processId) override;

    void setTrusted(bool trusted);
    // Whether requestTrust() grants trust.
    void setGrantsTrustOnRequest(bool grants);
    void setUntrustedReason(QString reason);
    void setTarget(Target target);

    int trustRequestCount() const;
    int valueReadCount() const;

private:
    // The target when it may be read for `processId`, else nullptr; m_mutex held.
    const Target* readableTarget(qint64 processId) const;

    mutable std::mutex m_mutex;
    bool m_trusted = true;
    bool m_grantsOnRequest = true;
    QString m_untrustedReason;
    Target m_target;
    int m_trustRequests = 0;
    int m_valueReads = 0;
};
