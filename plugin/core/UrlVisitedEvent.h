#pragma once
// A URL was requested: IUrlVisitedEventHandler::OnUrlVisitedEvent(&UrlVisitedEventData).

#include "plugin/core/EventWork.h"
#include "nuvutil/SafeString.h"

class CUrlVisitedEvent : public IEventAlgorithm {
public:
    class CParameters : public IEventParameters {
    public:
        DWORD m_processId = 0;
        CSafeStringA m_url;
    };

    // Copies the URL (host followed by path, as the request scan records it).
    static CEventWork* CreateWork(DWORD processId, const CSafeStringA& url);
    void Fire(IEventParameters* parameters, IEventHandlerSource& handlerSource) override;
};
