#pragma once
// A user signed out of a session: ISignOutEventHandler::OnSignOutEvent(), no arguments.

#include "plugin/core/EventWork.h"

class CSignOutEvent : public IEventAlgorithm {
public:
    static CEventWork* CreateWork();
    void Fire(IEventParameters* parameters, IEventHandlerSource& handlerSource) override;
};
