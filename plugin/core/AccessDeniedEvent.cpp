#include "plugin/core/AccessDeniedEvent.h"

#include "base/TextConversion.h"
#include "plugin/core/EventFiring.h"

#include <eventbroker.h>

#include <cstring>
#include <string>
#include <string_view>

CEventWork* CAccessDeniedEvent::CreateWork(DWORD processId, DWORD reason, const CSafeStringA& url) {
    auto parameters = std::make_unique<CParameters>();
    parameters->m_processId = processId;
    parameters->m_reason = reason;
    parameters->m_url = url;
    return new CEventWork(kEventAccessDenied, std::move(parameters));
}

void CAccessDeniedEvent::Fire(IEventParameters* parameters, IEventHandlerSource& handlerSource) {
    const auto* const event = static_cast<const CParameters*>(parameters);
    if (event == nullptr) return;

    const char* const url = event->m_url.m_pBuffer != nullptr ? event->m_url.m_pBuffer : "";
    const std::wstring text = Tessal::FromThreadAnsi(url);
    const AccessDeniedEventData data = {event->m_processId, event->m_reason, text.c_str()};
    FireToHandler<IAccessDeniedEventHandler>(
        handlerSource, [&data](IAccessDeniedEventHandler* handler) { return handler->OnAccessDeniedEvent(&data); },
        NUV_FIRING_LOG(L"OnAccessDeniedEvent"));
}
