#include "plugin/core/EventWork.h"

#include "logging/Logging.h"
#include "plugin/core/AccessDeniedEvent.h"
#include "plugin/core/NuvException.h"
#include "plugin/core/SignInEvent.h"
#include "plugin/core/SignInRequiredEvent.h"
#include "plugin/core/SignOutEvent.h"
#include "plugin/core/UrlVisitedEvent.h"

#include <array>

namespace {

// Indexed by event id; ids 3 and 4 have no algorithm.
using EventTable = std::array<std::unique_ptr<IEventAlgorithm>, kEventAccessDenied + 1>;

// Written only at start-up and shutdown, while no event thread runs; read without a lock.
std::unique_ptr<EventTable> g_eventTable;

}  // namespace

void CreateEventTable(IModuleServices& module) {
    auto table = std::make_unique<EventTable>();
    (*table)[kEventSignIn] = std::make_unique<CSignInEvent>();
    (*table)[kEventSignOut] = std::make_unique<CSignOutEvent>();
    (*table)[kEventSignInRequired] = std::make_unique<CSignInRequiredEvent>(module);
    (*table)[kEventUrlVisited] = std::make_unique<CUrlVisitedEvent>();
    (*table)[kEventAccessDenied] = std::make_unique<CAccessDeniedEvent>();
    g_eventTable = std::move(table);
}

void DestroyEventTable() noexcept { g_eventTable.reset(); }

IEventAlgorithm* GetEventAlgorithm(DWORD eventId) {
    if (!g_eventTable) throw CNuvException(CNuvException::kNotInitialized);
    return eventId < g_eventTable->size() ? (*g_eventTable)[eventId].get() : nullptr;
}

void CEventWork::Process(IEventHandlerSource& handlerSource) {
    IEventAlgorithm* const algorithm = GetEventAlgorithm(m_eventId);
    if (algorithm == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Dropping event %d: no such event\r\n", static_cast<int>(m_eventId));
        return;
    }
    algorithm->Fire(m_parameters.get(), handlerSource);
}
