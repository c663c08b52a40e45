#pragma once
// A user signed in to a session: ISignInEventHandler::OnSignInEvent(), no arguments.

#include "plugin/core/EventWork.h"
#include "nuvutil/SafeString.h"

class CSignInEvent : public IEventAlgorithm {
public:
    // The user id is not carried.
    static CEventWork* CreateWork(const CSafeStringW& userId);
    void Fire(IEventParameters* parameters, IEventHandlerSource& handlerSource) override;
};
