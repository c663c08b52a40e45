#pragma once
// The handler objects the broker hands out: one recording handler per event interface, and a bare
// object answering only IUnknown (for callers that must cope with a handler lacking the interface).

#include "EventBrokerControl.h"

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

namespace EventBrokerStandIn {

// A new handler of `kind` for `iid`, with its serial number. Null for EventBrokerHandler_None and
// for a recording handler of an interface that is none of the five. Throws std::bad_alloc.
Microsoft::WRL::ComPtr<IUnknown> CreateHandler(EventBrokerHandlerKind kind, const IID& iid, ULONG* serial);

}  // namespace EventBrokerStandIn
