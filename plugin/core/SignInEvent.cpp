#include "plugin/core/SignInEvent.h"

#include "plugin/core/EventFiring.h"

#include <eventbroker.h>

CEventWork* CSignInEvent::CreateWork(const CSafeStringW& /*userId*/) { return new CEventWork(kEventSignIn, nullptr); }

void CSignInEvent::Fire(IEventParameters* /*parameters*/, IEventHandlerSource& handlerSource) {
    FireToHandler<ISignInEventHandler>(
        handlerSource, [](ISignInEventHandler* handler) { return handler->OnSignInEvent(); },
        NUV_FIRING_LOG(L"OnSignInEvent"));
}
