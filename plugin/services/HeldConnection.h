#pragma once
// A connection paused in its session until somebody signs in: what the session does with it.
// The connection handler implements it.

#include <windows.h>

class IHeldConnection {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    // Writes the session's user into the connection's dump log (when dumping is on).
    virtual void dumpUser() = 0;
    // Scanning starts with the user now signed in.
    virtual void Resume() = 0;
    // The held data passes on unscanned.
    virtual void Ignore() = 0;

protected:
    ~IHeldConnection() = default;
};
