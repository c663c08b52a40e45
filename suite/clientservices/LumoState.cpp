#include "LumoState.h"

namespace ClientServicesStandIn {
namespace {
constexpr wchar_t kDefaultReply[] = L"[{\"deviceid\":\"STANDIN-DEVICE-0001\"}]";
}  // namespace

CLumoState& CLumoState::Instance() {
    static CLumoState state;
    return state;
}

CLumoState::CLumoState() : m_reply(kDefaultReply) {}

void CLumoState::Reset() {
    Tessal::CAutoLock lock(m_lock);
    m_creationResult = S_OK;
    m_callResult = S_OK;
    m_reply = kDefaultReply;
    m_creations = 0;
    m_requests.clear();
}

void CLumoState::SetCreationResult(HRESULT result) {
    Tessal::CAutoLock lock(m_lock);
    m_creationResult = result;
}

void CLumoState::SetCallResult(HRESULT result) {
    Tessal::CAutoLock lock(m_lock);
    m_callResult = result;
}

void CLumoState::SetReply(const std::wstring& reply) {
    Tessal::CAutoLock lock(m_lock);
    m_reply = reply;
}

HRESULT CLumoState::Create() {
    Tessal::CAutoLock lock(m_lock);
    ++m_creations;
    return m_creationResult;
}

HRESULT CLumoState::Call(const std::wstring& request, std::wstring& reply) {
    Tessal::CAutoLock lock(m_lock);
    m_requests.push_back(request);
    if (FAILED(m_callResult)) return m_callResult;
    reply = m_reply;
    return S_OK;
}

ULONG CLumoState::CreationCount() {
    Tessal::CAutoLock lock(m_lock);
    return m_creations;
}

std::vector<std::wstring> CLumoState::Requests() {
    Tessal::CAutoLock lock(m_lock);
    return m_requests;
}

}  // namespace ClientServicesStandIn
