#pragma once
// The client-services stand-in's one state per process: what tests steer and what the SDK was
// asked.

#include "base/Sync.h"

#include <windows.h>

#include <string>
#include <vector>

namespace ClientServicesStandIn {

class CLumoState {
public:
    static CLumoState& Instance();

    void Reset();
    void SetCreationResult(HRESULT result);
    void SetCallResult(HRESULT result);
    void SetReply(const std::wstring& reply);

    // Counts the creation and gives its result.
    HRESULT Create();
    // Records the request; S_OK with the reply, or the steered failure.
    HRESULT Call(const std::wstring& request, std::wstring& reply);

    ULONG CreationCount();
    std::vector<std::wstring> Requests();

private:
    CLumoState();

    Tessal::CCriticalSection m_lock;
    HRESULT m_creationResult = S_OK;
    HRESULT m_callResult = S_OK;
    std::wstring m_reply;
    ULONG m_creations = 0;
    std::vector<std::wstring> m_requests;
};

}  // namespace ClientServicesStandIn
