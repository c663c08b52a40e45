#pragma once
// What the host-firewall thread hears from the firewall's own threads: connections the
// time-restriction rule blocked, and outbound connections held for the IP check-up. Both only
// queue work for the thread.

#include "suite/interfaces/ZrtFire.h"

#include <windows.h>

class CTimeRestrictionListener {
public:
    // The two address texts and ports are passed on but not used.
    virtual void OnTrafficBlocked(const wchar_t* application, DWORD processId, const wchar_t* localAddress,
                                  WORD localPort, const wchar_t* remoteAddress, WORD remotePort) = 0;

protected:
    ~CTimeRestrictionListener() = default;
};

class CIPCheckUpListener {
public:
    virtual void OnConnect(ZrtFire::IConnection* connection) = 0;

protected:
    ~CIPCheckUpListener() = default;
};
