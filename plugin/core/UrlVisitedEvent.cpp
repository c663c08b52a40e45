#include "plugin/core/UrlVisitedEvent.h"

#include "base/TextConversion.h"
#include "plugin/core/EventFiring.h"

#include <eventbroker.h>

#include <cstring>
#include <string>
#include <string_view>

CEventWork* CUrlVisitedEvent::CreateWork(DWORD processId, const CSafeStringA& url) {
    auto parameters = std::make_unique<CParameters>();
    parameters->m_processId = processId;
    parameters->m_url = url;
    return new CEventWork(kEventUrlVisited, std::move(parameters));
}

void CUrlVisitedEvent::Fire(IEventParameters* parameters, IEventHandlerSource& handlerSource) {
    const auto* const event = static_cast<const CParameters*>(parameters);
    if (event == nullptr) return;

    // Host and path as the request scan records them: split at the first '/', which stays with the path.
    const char* const url = event->m_url.m_pBuffer != nullptr ? event->m_url.m_pBuffer : "";
    const int length = static_cast<int>(std::strlen(url));
    const char* const slash = std::strchr(url, '/');
    const int hostLength = slash != nullptr ? static_cast<int>(slash - url) : length;
    const std::wstring host = Tessal::FromThreadAnsi(std::string_view(url, hostLength));
    const std::wstring path = Tessal::FromThreadAnsi(std::string_view(url + hostLength, length - hostLength));

    const UrlVisitedEventData data = {event->m_processId, host.c_str(), path.c_str()};
    FireToHandler<IUrlVisitedEventHandler>(
        handlerSource, [&data](IUrlVisitedEventHandler* handler) { return handler->OnUrlVisitedEvent(&data); },
        NUV_FIRING_LOG(L"OnUrlVisitedEvent"));
}
