#include "CWindowMessageEvent.h"

#include "GUIComm.h"

CWindowMessageEvent::CWindowMessageEvent(unsigned message, intptr_t lParam)
    : QEvent(static_cast<QEvent::Type>(message)), m_lParam(lParam)
{}

bool CWindowMessageEvent::IsWindowMessage(const QEvent* e)
{
    return e->type() >= static_cast<QEvent::Type>(0x8000) && e->type() <= static_cast<QEvent::Type>(0xBFFF) &&
           dynamic_cast<const CWindowMessageEvent*>(e) != nullptr;
}

CWindowMessageEvent::~CWindowMessageEvent()
{
    if (!m_handled)
        GUIComm::FreePayload(Message(), m_lParam);
}
