#pragma once
// Per Windows session, whether blocked-connection alerts are still wanted (the user can silence
// them until the next restriction). A session without an entry wants alerts (flag 1). The module
// owns the flags; the host-firewall thread and the alert callback read and change them.

#include "base/Sync.h"

#include <windows.h>

#include <map>

class CSessionAlertFlags {
public:
    CSessionAlertFlags() = default;
    CSessionAlertFlags(const CSessionAlertFlags&) = delete;
    CSessionAlertFlags& operator=(const CSessionAlertFlags&) = delete;

    DWORD IsEnabled(DWORD sessionId) {
        Tessal::CAutoLock lock(m_lock);
        const auto it = m_flags.find(sessionId);
        return it == m_flags.end() ? 1 : it->second;
    }
    void Remove(DWORD sessionId) {
        Tessal::CAutoLock lock(m_lock);
        m_flags.erase(sessionId);
    }
    void Reset() {
        Tessal::CAutoLock lock(m_lock);
        m_flags.clear();
    }
    // Sets an existing entry to 1; adds none.
    void Enable(DWORD sessionId) {
        Tessal::CAutoLock lock(m_lock);
        const auto it = m_flags.find(sessionId);
        if (it != m_flags.end()) it->second = 1;
    }
    void Set(DWORD sessionId, DWORD value) {
        Tessal::CAutoLock lock(m_lock);
        m_flags[sessionId] = value;
    }

private:
    Tessal::CCriticalSection m_lock;
    std::map<DWORD, DWORD> m_flags;
};
