#pragma once
// A session as a connection's handler sees it: the signed-in user and settings, the session's
// lock and event queue, the connections held until somebody signs in, and the domains learned
// from the pages opened there. The session implements it; its management side (sign-in, event
// thread, listeners) stays with the plug-in core.

#include "nuvutil/SafeString.h"
#include "plugin/services/ThreadCallbacks.h"

class CUserSettings;
class IHeldConnection;

namespace Tessal {
class CCriticalSection;
}

class IFilterSession : public IEventWorkSink {
public:
    // Read without locking: the caller holds the session lock.
    virtual bool IsSignedIn() const noexcept = 0;
    virtual const CUserSettings* GetSettings() const noexcept = 0;
    virtual Tessal::CCriticalSection& GetLock() noexcept = 0;

    // Holds the connection (with a reference) until somebody signs in.
    virtual void RegisterHandler(IHeldConnection* handler) = 0;
    // Either text may be empty; both are kept, lower-cased, for the session's lifetime.
    virtual void AddToTempAllowedDomainList(const CSafeStringA& domain, const CSafeStringA& originatingHost) = 0;
    virtual bool IsTempAllowedDomain(const CSafeStringA& domain) = 0;
    virtual bool IsOriginatingHost(const CSafeStringA& host) = 0;

protected:
    ~IFilterSession() = default;
};
