#include "fakes/FakeAccessibility.h"

bool FakeAccessibility::isTrusted()
{
    std::lock_guard lock(m_mutex);
    return m_trusted;
}

bool FakeAccessibility::requestTrust()
{
    std::lock_guard lock(m_mutex);
    ++m_trustRequests;
    if (m_grantsOnRequest)
        m_trusted = true;
    return m_trusted;
}

QString FakeAccessibility::untrustedReason()
{
    std::lock_guard lock(m_mutex);
    return m_trusted ? QString() : m_untrustedReason;
}

const FakeAccessibility::Target* FakeAccessibility::readableTarget(qint64 processId) const
{
    if (!m_trusted || processId == 0 || processId != m_target.processId)
        return nullptr;
    return &m_target;
}

std::optional<FocusedElement> FakeAccessibility::focusedElement(qint64 processId)
{
    std::lock_guard lock(m_mutex);
    const Target* target = readableTarget(processId);
    return target ? target->element : std::nullopt;
}

std::optional<QString> FakeAccessibility::selectedText(qint64 processId)
{
    std::lock_guard lock(m_mutex);
    const Target* target = readableTarget(processId);
    if (!target || !target->element || target->element->isPassword)
        return std::nullopt;
    return target->selectedText;
}

std::optional<QString> FakeAccessibility::focusedValue(qint64 processId)
{
    std::lock_guard lock(m_mutex);
    ++m_valueReads;
    const Target* target = readableTarget(processId);
    if (!target || !target->element || target->element->isPassword)
        return std::nullopt;
    return target->value;
}

std::optional<QRect> FakeAccessibility::caretRect(qint64 processId)
{
    std::lock_guard lock(m_mutex);
    const Target* target = readableTarget(processId);
    return target && target->element ? target->caretRect : std::nullopt;
}

void FakeAccessibility::setTrusted(bool trusted)
{
    std::lock_guard lock(m_mutex);
    m_trusted = trusted;
}

void FakeAccessibility::setGrantsTrustOnRequest(bool grants)
{
    std::lock_guard lock(m_mutex);
    m_grantsOnRequest = grants;
}

void FakeAccessibility::setUntrustedReason(QString reason)
{
    std::lock_guard lock(m_mutex);
    m_untrustedReason = std::move(reason);
}

void FakeAccessibility::setTarget(Target target)
{
    std::lock_guard lock(m_mutex);
    m_target = std::move(target);
}

int FakeAccessibility::trustRequestCount() const
{
    std::lock_guard lock(m_mutex);
    return m_trustRequests;
}

int FakeAccessibility::valueReadCount() const
{
    std::lock_guard lock(m_mutex);
    return m_valueReads;
}
