#include "plugin/core/SignalSigninRequiredThread.h"

#include "base/UniqueHandle.h"
#include "logging/Logging.h"
#include "nuvutil/com/CoInitializeScope.h"

#include <aclapi.h>

namespace {

// An event Everyone may signal (access 0x1FFFFF), so a process in another session can ask.
Tessal::UniqueHandle CreateSigninRequiredEvent() {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
        return {};
    }
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = 0x1FFFFF;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    PACL acl = nullptr;
    const DWORD error = ::SetEntriesInAclW(1, &access, nullptr, &acl);
    ::FreeSid(everyone);
    if (error != ERROR_SUCCESS) {
        return {};
    }
    Tessal::UniqueLocalMem aclOwner(acl);
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        return {};
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    return Tessal::UniqueHandle(
        ::CreateEventW(&attributes, FALSE, FALSE, CSignalSigninRequiredThread::kEventName));
}

}  // namespace

CSignalSigninRequiredThread::CSignalSigninRequiredThread(HANDLE shutdownEvent, ISigninRequiredSink* sink,
                                                         DWORD joinLimitMs)
    : CThread(CREATE_SUSPENDED), m_shutdownEvent(shutdownEvent), m_sink(sink), m_joinLimitMs(joinLimitMs) {
    Resume();
}

CSignalSigninRequiredThread::~CSignalSigninRequiredThread() {
    Join(m_joinLimitMs, true, [](DWORD) {
        NUV_LOG(ETWLogging::LOG_INFORMATION, L"SignalSigninRequiredEvent Thread took too long to exit\r\n");
    });
}

DWORD CSignalSigninRequiredThread::run() {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"CSignalSigninRequiredThread running\r\n");
    {
        NuvCom::CCoInitialize com;
        Tessal::UniqueHandle signal = CreateSigninRequiredEvent();
        // Without the named event only shutdown can end the wait; waiting on a null handle again
        // and again would spin.
        const HANDLE handles[2] = {m_shutdownEvent, signal.Get()};
        const DWORD count = signal ? 2 : 1;
        for (;;) {
            const DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
            if (result == WAIT_OBJECT_0) {
                break;
            }
            if (result == WAIT_OBJECT_0 + 1) {
                NUV_LOG(ETWLogging::LOG_NORMAL, L"SignalSigninRequiredEvent has been signaled\r\n");
                m_sink->QueueSigninRequired(0);
                break;
            }
            if (result == WAIT_FAILED) {
                // A failed wait fails again at once; end rather than spin.
                NUV_LOG(ETWLogging::LOG_ERROR, L"SignalSigninRequiredEvent wait failed (Err %lu)\r\n",
                        ::GetLastError());
                break;
            }
        }
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"CSignalSigninRequiredThread exiting\r\n");
    return 0;
}
