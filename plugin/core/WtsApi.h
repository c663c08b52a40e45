#pragma once
// The terminal-services calls the sessions make, behind one replaceable object: Wine lists no
// sessions and hands out no user tokens of other users, so tests install a fake of their own.

#include "base/UniqueHandle.h"

#include <windows.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

struct WtsSessionInfo {
    DWORD sessionId;
    WTS_CONNECTSTATE_CLASS state;
};

enum class WtsEnumerateStatus {
    kEnumerated,
    kLibraryNotLoaded,  // "wtsapi32.dll" does not load
    kExportMissing,     // it lacks WTSEnumerateSessionsW
    kCallFailed,        // the call failed; `error` holds the thread's last error
};

struct WtsEnumerateResult {
    WtsEnumerateStatus status = WtsEnumerateStatus::kLibraryNotLoaded;
    DWORD error = ERROR_SUCCESS;
    std::vector<WtsSessionInfo> sessions;  // in the order the call listed them
};

class IWtsApi {
public:
    // The sessions of the current server.
    virtual WtsEnumerateResult EnumerateSessions() = 0;
    // WTSQuerySessionInformationW(WTSUserName); false when the query fails.
    virtual bool QuerySessionUserName(DWORD sessionId, std::wstring& userName) = 0;
    // WTSQueryUserToken; false when the session has no user token.
    virtual bool QueryUserToken(DWORD sessionId, Tessal::UniqueHandle& token) = 0;

protected:
    ~IWtsApi() = default;
};

// The object in use: the real calls unless a test installed its own.
IWtsApi& GetWtsApi() noexcept;
// Installs `api` (null: the real calls again) and returns the one installed before. Tests only;
// not to be swapped while another thread may be inside a call.
IWtsApi* SetWtsApi(IWtsApi* api) noexcept;
