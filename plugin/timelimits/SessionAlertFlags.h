#pragma once
// Per Windows session, whether blocked-connection alerts are still wanted (the user can silence
// them until the next restriction). A session without an entry wants alerts (flag 1).

#include "base/Sync.h"

#include <windows.h>

#include <map>

class CSessionAlertFlags {
public:
    CSessionAlertFlags() = default;
    CSessionAlertFlags(const CSessionAlertFlags&) = delete;
    CSessionAlertFlags& operator=(const CSessionAlertFlags&) = delete;

    DWORD IsEnabled(DWORD sessionId);
    void Remove(DWORD sessionId);
    void Reset();
    // Sets an existing entry to 1; adds none.
    void Enable(DWORD sessionId);
    void Set(DWORD sessionId, DWORD value);

private:
    Tessal::CCriticalSection m_lock;
    std::map<DWORD, DWORD> m_flags;
};
