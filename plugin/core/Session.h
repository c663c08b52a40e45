#pragma once
// One Windows session in which the plug-in has seen activity: the product user signed in to it
// with that user's settings, the connections paused until somebody signs in, the session's event
// queue and event thread, and the domains the filter learned from the pages opened there.
// Created, found and deleted by the session manager, which is also its listener.

#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "nuvutil/SafeString.h"
#include "nuvutil/WorkQueue.h"
#include "plugin/core/EventWork.h"
#include "plugin/services/HeldConnection.h"
#include "plugin/services/FilterSession.h"
#include "plugin/services/ThreadCallbacks.h"
#include "plugin/core/UserSettings.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <set>
#include <string>

class CEventThread;
class CNuvConfig;
class IModuleServices;

// Told when a user signs in to or out of a session (the session manager). Called with the
// session's lock (and the manager's) held.
class ISessionListener {
public:
    virtual void OnUserLoggedOn(const wchar_t* userName, DWORD sessionId) = 0;
    virtual void OnUserLoggedOff(const wchar_t* userName, DWORD sessionId) = 0;

protected:
    ~ISessionListener() = default;
};

class CSession final : public IEventWorkSource, public IFilterSession {
public:
    // Throws std::system_error when the lock or the queue cannot be created.
    CSession(DWORD sessionId, ISessionListener* listener, IModuleServices& module);
    // Signs the user out, drops the paused connections and ends the event thread after it has
    // fired what was queued. Must be called with neither the session's nor the manager's lock held.
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // Once, right after construction, with the manager's lock held.
    void initialize();

    // Each takes the session lock (recursive) for its whole duration.
    void Logon(const CSafeStringW& userId);
    void Logoff();
    void updateUser();
    void RegisterHandler(IHeldConnection* handler) override;
    void ResumeHeldHandlers();
    void ignoreAllPausedHandlers();
    void AddToTempAllowedDomainList(const CSafeStringA& domain, const CSafeStringA& originatingHost) override;
    bool IsTempAllowedDomain(const CSafeStringA& domain) override;
    bool IsOriginatingHost(const CSafeStringA& host) override;

    // Read without locking: the caller holds the session lock.
    bool IsSignedIn() const noexcept override { return m_userId.GetLength() != 0; }
    const CSafeStringW& GetUserId() const noexcept { return m_userId; }
    const CUserSettings* GetSettings() const noexcept override { return m_settings.get(); }
    std::size_t PausedHandlerCount() const noexcept { return m_pausedHandlers.size(); }

    DWORD GetSessionId() const noexcept { return m_sessionId; }
    Tessal::CCriticalSection& GetLock() noexcept override { return m_lock; }

    // IEventWorkSource / IEventWorkSink (the queue's own locks only).
    CEventWork* GetEventWork() override;
    void ReleaseEventWork(CEventWork* work) override;
    void PutEventWork(CEventWork* work) override;

private:
    // The module's configuration client; null after shutdown deleted it or when it cannot be made.
    CNuvConfig* Config();
    // Logon through the module's look-up, as a sign-in found at initialization does it.
    void LogonFoundUser(const CSafeStringW& userId);
    // Whether an item put now would still reach the event thread.
    bool EventThreadTakesWork() const noexcept;

    DWORD m_sessionId;
    Tessal::CCriticalSection m_lock;
    CSafeStringW m_userId;
    std::unique_ptr<CUserSettings> m_settings;
    std::deque<IHeldConnection*> m_pausedHandlers;  // one reference each
    // Declared before the thread so that it outlives it; deletes the items nobody took.
    CWorkQueue m_eventQueue;
    std::unique_ptr<CEventThread> m_eventThread;
    // A handle of our own on the event thread: an ended thread takes no more work, and the
    // items put after that are deleted at once instead of piling up.
    Tessal::UniqueHandle m_eventThreadHandle;
    // Cleared when there will be no consumer any more (inert session, the stop item queued).
    std::atomic<bool> m_acceptsWork{true};
    std::set<std::string> m_tempAllowedDomains;
    std::set<std::string> m_originatingHosts;
    ISessionListener* m_listener;
    IModuleServices& m_module;
};

// The SID text of the user logged on to a Windows session; false when there is none.
bool GetSessionUserSid(DWORD sessionId, std::wstring& sid);
