#include "fakes/FakeHotKeyRegistrar.h"

HotKeyRegistration FakeHotKeyRegistrar::registerHotKey(HotKey key, Handler handler)
{
    unregisterHotKey();
    ++m_registrations;
    if (m_taken.contains(key))
        return HotKeyRegistration::taken(QStringLiteral("combination grabbed by another client"));
    m_key = key;
    m_handler = std::move(handler);
    return HotKeyRegistration::registered();
}

void FakeHotKeyRegistrar::unregisterHotKey()
{
    m_key.reset();
    m_handler = nullptr;
}

void FakeHotKeyRegistrar::setTaken(HotKey key)
{
    m_taken.append(key);
}

bool FakeHotKeyRegistrar::press(bool isAutoRepeat)
{
    if (!m_key || !m_handler)
        return false;
    // The handler may re-register while it runs; keep it alive for the call.
    const Handler handler = m_handler;
    handler(Action::Pressed, isAutoRepeat);
    return true;
}

bool FakeHotKeyRegistrar::release()
{
    if (!m_key || !m_handler)
        return false;
    const Handler handler = m_handler;
    handler(Action::Released, false);
    return true;
}
