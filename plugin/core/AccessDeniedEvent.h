#pragma once
// A request was blocked: IAccessDeniedEventHandler::OnAccessDeniedEvent(&AccessDeniedEventData).

#include "plugin/core/EventWork.h"
#include "nuvutil/SafeString.h"

class CAccessDeniedEvent : public IEventAlgorithm {
public:
    class CParameters : public IEventParameters {
    public:
        DWORD m_processId = 0;
        DWORD m_reason = 0;
        CSafeStringA m_url;
    };

    static CEventWork* CreateWork(DWORD processId, DWORD reason, const CSafeStringA& url);
    void Fire(IEventParameters* parameters, IEventHandlerSource& handlerSource) override;
};
