#pragma once
// What the module object starts, stops and calls of web filtering: URL classification, the
// scan-algorithm table, the per-connection handler and the scan of one queued buffer. Web
// filtering implements it; until it is linked into the plug-in the module has none, and the
// proxy host's connections are then refused (no handler).

#include <windows.h>
#include <unknwn.h>

#include <string>

class CScanBuffer;
class IFilterSession;
class IActivityLogManager;
class IEventWorkSink;

namespace Tessal {
class CCriticalSection;
}

// What a connection's handler needs of the module object (CNuvModule implements it).
class IHandlerModule {
public:
    // Finds or creates the session; throws CNuvException(-1001) without a session manager.
    virtual IFilterSession* GetFilterSession(DWORD sessionId) = 0;
    // The session manager's lock, taken before a session's; null without a manager.
    virtual Tessal::CCriticalSection* GetSessionLock() = 0;
    virtual bool IsUserTimeBlocked(const wchar_t* userName) = 0;
    virtual bool IsDumpEnabled() const noexcept = 0;
    virtual bool IsLogUrlRequestsEnabled() const noexcept = 0;
    virtual IActivityLogManager* GetLogManager() = 0;
    // The text SID of the session's Windows user; false without a user token.
    virtual bool GetSessionUserSid(DWORD sessionId, std::wstring& sid) = 0;

protected:
    ~IHandlerModule() = default;
};

// The module's scan-work queue as the connection handlers see it.
class IScanWorkSink {
public:
    // Queues the buffer for the scan thread; null stops the scan thread.
    virtual void PutScanWork(CScanBuffer* buffer) = 0;

protected:
    ~IScanWorkSink() = default;
};

class IFilterServices {
public:
    virtual ~IFilterServices() = default;

    virtual void StartUrlClassification() = 0;
    // Before anything waits for the threads that classify: a query under way ends at once.
    virtual void CancelUrlClassification() noexcept = 0;
    virtual void StopUrlClassification() noexcept = 0;
    virtual void CreateScanAlgorithms() = 0;
    virtual void DestroyScanAlgorithms() noexcept = 0;
    // The category mask (32 hexadecimal digits) of a URL or host as the reputation service
    // classifies it; false when it has none.
    virtual bool ClassifyUrl(const wchar_t* url, const wchar_t* processPath, std::string& mask) = 0;
    // Whether the mask shares a category with a member of the blank-separated list; the first such
    // member into `matched` (optional).
    virtual bool IsCategoryInList(const wchar_t* mask, const wchar_t* list, std::wstring* matched) = 0;
    virtual void ReloadSearchEngines() = 0;
    // After the scan thread had to be killed in the middle of a pass: what it may have been using
    // is let go without being deleted (deleting it could wait for a lock the dead thread held).
    virtual void AbandonScanAlgorithms() noexcept = 0;
    virtual void AbandonUrlClassification() noexcept = 0;

    // A new handler for one connection with one reference for the caller; null when it cannot be
    // made. `eventSink` is the session's (null without a session).
    virtual IUnknown* CreateHttpEventHandler(IHandlerModule& module, IScanWorkSink* scanSink, IEventWorkSink* eventSink,
                                             DWORD sessionId, DWORD processId) = 0;

    // The queue's hold on a buffer: taken when it is queued (a reference on its owner, marked
    // queued), marked not queued when the scan thread takes it.
    virtual void OnScanWorkQueued(CScanBuffer* buffer) = 0;
    virtual void OnScanWorkTaken(CScanBuffer* buffer) noexcept = 0;
    // The scan thread's work on a taken buffer.
    virtual void ScanWork(CScanBuffer* buffer) = 0;
    virtual void PassUnscanned(CScanBuffer* buffer) noexcept = 0;
    virtual void ReleaseScanWork(CScanBuffer* buffer) noexcept = 0;
};
