#include "plugin/core/SignInRequiredEvent.h"

#include "base/Sync.h"
#include "plugin/core/EventFiring.h"
#include "plugin/services/ModuleServices.h"
#include "plugin/core/NuvException.h"
#include "plugin/core/Session.h"

#include <eventbroker.h>

#include <optional>

namespace {

constexpr int kProblemNoHandler = 50;
constexpr int kProblemHandlerNotAvailable = 51;
constexpr int kProblemHandlerFailed = 52;

}  // namespace

CEventWork* CSignInRequiredEvent::CreateWork(DWORD sessionId) {
    return new CEventWork(kEventSignInRequired, std::make_unique<CParameters>(sessionId));
}

void CSignInRequiredEvent::Fire(IEventParameters* parameters, IEventHandlerSource& handlerSource) {
    const auto* const event = static_cast<const CParameters*>(parameters);
    if (event == nullptr) return;
    const DWORD sessionId = event->m_sessionId;
    const int session = static_cast<int>(sessionId);

    // Somebody may have signed in since the item was queued. The manager's lock is held over the
    // look-up and the check so that the session cannot be deleted in between; a session already
    // gone is not created again.
    try {
        std::optional<Tessal::CAutoLock> managerLock;
        if (Tessal::CCriticalSection* const lock = m_module.GetSessionLock()) managerLock.emplace(*lock);
        CSession* const found = m_module.FindSession(sessionId);
        if (found == nullptr) {
            NUV_LOG(ETWLogging::LOG_NORMAL,
                    L"Not firing SignInRequired event because session %d no longer exists\r\n", session);
            return;
        }
        Tessal::CAutoLock sessionLock(found->GetLock());
        if (found->IsSignedIn()) {
            NUV_LOG(ETWLogging::LOG_NORMAL,
                    L"Not firing SignInRequired event because user %s is already signed in to session %d\r\n",
                    found->GetUserId().GetString(), session);
            return;
        }
    } catch (const CNuvException& e) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Caught an exception in SignInRequired event while checking Session %d: %s\r\n",
                session, e.Message());
    }

    IModuleServices& module = m_module;
    const HRESULT got = FireToHandler<ISignInRequiredEventHandler>(
        handlerSource,
        [sessionId](ISignInRequiredEventHandler* handler) { return handler->OnSignInRequiredEvent(sessionId); },
        [&module, session](FiringStep step, HRESULT result) {
            const unsigned code = static_cast<unsigned>(result);
            switch (step) {
            case FiringStep::Calling:
                NUV_LOG(ETWLogging::LOG_NORMAL, L"Firing SignInRequired Event for Session %d\r\n", session);
                break;
            case FiringStep::FirstAttemptFailed:
                NUV_LOG(ETWLogging::LOG_WARNING,
                        L"OnSignInRequiredEvent failed with 0x%08X in session %d (first attempt)\r\n", code, session);
                break;
            case FiringStep::ReacquireFailed:
                NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to reacquire event handler 0x%08X\r\n", code);
                module.ReportProblem(kProblemHandlerNotAvailable, false, result);
                break;
            case FiringStep::RefireSucceeded:
                NUV_LOG(ETWLogging::LOG_NORMAL, L"OnSignInRequiredEvent reacquire & refire succeeded\r\n");
                break;
            case FiringStep::RefireFailed:
                NUV_LOG(ETWLogging::LOG_ERROR,
                        L"OnSignInRequiredEvent failed with 0x%08X in session %d (final attempt)\r\n", code, session);
                module.ReportProblem(kProblemHandlerFailed, false, result);
                break;
            case FiringStep::Failed:
                NUV_LOG(ETWLogging::LOG_ERROR, L"OnSignInRequiredEvent failed with 0x%08X in session %d\r\n", code,
                        session);
                module.ReportProblem(kProblemHandlerFailed, false, result);
                break;
            }
        });
    if (got == 1) {
        m_module.ReportProblem(kProblemNoHandler, false, got);
    } else if (got != S_OK) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Getting the SignInRequired event handler returned 0x%08X in session %d\r\n",
                static_cast<unsigned>(got), session);
        m_module.ReportProblem(kProblemHandlerNotAvailable, false, got);
    }
}
