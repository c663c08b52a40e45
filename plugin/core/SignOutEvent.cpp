#include "plugin/core/SignOutEvent.h"

#include "plugin/core/EventFiring.h"

#include <eventbroker.h>

CEventWork* CSignOutEvent::CreateWork() { return new CEventWork(kEventSignOut, nullptr); }

void CSignOutEvent::Fire(IEventParameters* /*parameters*/, IEventHandlerSource& handlerSource) {
    FireToHandler<ISignOutEventHandler>(
        handlerSource, [](ISignOutEventHandler* handler) { return handler->OnSignOutEvent(); },
        NUV_FIRING_LOG(L"OnSignOutEvent"));
}
