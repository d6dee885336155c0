#include "fakes/FakeAccessibility.h"

bool FakeAccessibility::requestTrust()
{
    setGuarded(m_trusted, true);
    return true;
}

const FakeAccessibility::Target* FakeAccessibility::readableTarget(qint64 processId, bool forText) const
{
    if (!m_trusted || processId == 0 || processId != m_target.processId)
        return nullptr;
    if (forText && (!m_target.element || m_target.element->isPassword))
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
    const Target* target = readableTarget(processId, true);
    return target ? target->selectedText : std::nullopt;
}

std::optional<QString> FakeAccessibility::focusedValue(qint64 processId)
{
    std::lock_guard lock(m_mutex);
    ++m_valueReads;
    const Target* target = readableTarget(processId, true);
    return target ? target->value : std::nullopt;
}

std::optional<QRect> FakeAccessibility::caretRect(qint64 processId)
{
    std::lock_guard lock(m_mutex);
    const Target* target = readableTarget(processId);
    return target && target->element ? target->caretRect : std::nullopt;
}
