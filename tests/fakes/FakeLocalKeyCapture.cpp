#include "fakes/FakeLocalKeyCapture.h"

Status FakeLocalKeyCapture::begin(Handler handler)
{
    if (m_beginFailure)
        return Status::failure(*m_beginFailure);
    m_handler = std::move(handler);
    return Status::success();
}

bool FakeLocalKeyCapture::deliver(const KeyEvent& event)
{
    if (!m_handler)
        return false;
    // A handler may end the capture while it runs; keep it alive for the call.
    const Handler handler = m_handler;
    handler(event);
    return true;
}
