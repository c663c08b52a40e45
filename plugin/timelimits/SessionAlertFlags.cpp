#include "plugin/timelimits/SessionAlertFlags.h"

DWORD CSessionAlertFlags::IsEnabled(DWORD sessionId) {
    Tessal::CAutoLock lock(m_lock);
    const auto it = m_flags.find(sessionId);
    return it == m_flags.end() ? 1 : it->second;
}

void CSessionAlertFlags::Remove(DWORD sessionId) {
    Tessal::CAutoLock lock(m_lock);
    m_flags.erase(sessionId);
}

void CSessionAlertFlags::Reset() {
    Tessal::CAutoLock lock(m_lock);
    m_flags.clear();
}

void CSessionAlertFlags::Enable(DWORD sessionId) {
    Tessal::CAutoLock lock(m_lock);
    const auto it = m_flags.find(sessionId);
    if (it != m_flags.end()) it->second = 1;
}

void CSessionAlertFlags::Set(DWORD sessionId, DWORD value) {
    Tessal::CAutoLock lock(m_lock);
    m_flags[sessionId] = value;
}
