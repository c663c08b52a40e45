#include "suite/hostfirewall/Connection.h"

#include "suite/hostfirewall/FirewallText.h"
#include "suite/hostfirewall/PointProduct.h"

#include <memory>
#include <thread>

namespace HostFirewallStandIn {

CConnection::CConnection(const OfferedConnection& offered)
    : m_offered(offered),
      m_hasPath(offered.processPath != nullptr),
      m_path(Text(offered.processPath)),
      m_info(*this),
      m_process(*this),
      m_action(*this) {
    // The test's text may go once the offer returns; Path() answers the copy.
    m_offered.processPath = nullptr;
}

void CConnection::CheckInUse(const char* what) {
    Guarded([&] {
        CFirewallState& state = CFirewallState::Instance();
        std::lock_guard<std::mutex> lock(state.Mutex());
        if (m_completes != 0) {
            using HostFirewallStandIn::Number;
            state.RecordLocked("unexpected connection", what, Number(m_number) + L" after Complete");
        }
        return ZrtFire::Result{0};
    });
}

ZrtFire::IConnectionInfo* CConnection::Info() {
    CheckInUse("Info");
    return &m_info;
}

ZrtFire::IProcess* CConnection::Process() {
    CheckInUse("Process");
    return &m_process;
}

ZrtFire::IAction* CConnection::Action() {
    CheckInUse("Action");
    return &m_action;
}

std::wstring CConnection::OutcomeLocked() const {
    using HostFirewallStandIn::Number;
    std::wstring line = Number(m_number) + L" offered " + (m_answered ? Number(m_offerResult) : L"pending");
    line += L" verdict";
    if (m_verdicts.empty()) line += L" none";
    for (size_t i = 0; i < m_verdicts.size(); ++i) line += (i == 0 ? L" " : L",") + Number(m_verdicts[i]);
    line += L" complete " + Number(m_completes);
    return line;
}

// The values never change after the offer: read without the lock.
const ZrtFire::Address* CConnectionInfo::RemoteAddress() { return &m_owner.Offered().remoteAddress; }
BYTE CConnectionInfo::Protocol() { return m_owner.Offered().protocol; }
DWORD CConnectionInfo::ProcessId() { return m_owner.Offered().processId; }
long CConnectionInfo::State() { return m_owner.Offered().state; }

const wchar_t* CConnectionProcess::Path(DWORD* length) {
    if (length != nullptr) *length = static_cast<DWORD>(m_owner.Path().size());
    return m_owner.HasPath() ? m_owner.Path().c_str() : nullptr;
}

ZrtFire::Result CConnectionProcess::Prepare() {
    return Guarded([&] {
        CCall call("process", "Prepare", Number(m_owner.Number()));
        return call.Steered();
    });
}

ZrtFire::Result CConnectionAction::SetVerdict(long verdict, long second, long third, long fourth) {
    return Guarded([&] {
        CCall call("action", "SetVerdict",
                   Number(m_owner.Number()) + L" " + Number(verdict) + L" " + Number(second) + L" " + Number(third) +
                       L" " + Number(fourth));
        if (call.Steered() != 0) return call.Steered();
        // A verdict after Complete comes too late for the firewall: refused and not counted.
        if (m_owner.CompletesLocked() != 0) return kIllegalState;
        m_owner.VerdictLocked(verdict);
        return ZrtFire::Result{0};
    });
}

namespace {

// The chosen product's reference, released outside the state's lock (its last release takes it).
struct ProductReference {
    CPointProduct* product = nullptr;
    ~ProductReference() {
        if (product != nullptr) product->Release();
    }
};

}  // namespace

ZrtFire::Result OfferConnection(const OfferedConnection& offered, long* number) {
    if (number != nullptr) *number = 0;
    CFirewallState& state = CFirewallState::Instance();
    auto connection = std::make_unique<CConnection>(offered);
    ProductReference target;
    {
        std::lock_guard<std::mutex> lock(state.Mutex());
        CPointProduct* const chosen = state.PluginTargetLocked();
        // A product whose last reference is gone is still listed until it leaves: no offer for it.
        if (chosen == nullptr || !chosen->TryAddRef()) return kNotFound;
        target.product = chosen;
    }
    ZrtFire::Result result = kNotFound;
    bool called = false;
    ZrtFire::IConnection* const offeredConnection = connection.get();
    // Counts as delivering before the plug-in is called, so that UnregisterPlugin or Shutdown on
    // another thread waits for it; listed first, so that an early Complete finds it.
    const auto deliver = [&] {
        const DWORD self = ::GetCurrentThreadId();
        ZrtFire::IStreamInspectPlugin* plugin = nullptr;
        {
            std::lock_guard<std::mutex> lock(state.Mutex());
            try {
                target.product->DeliveryStartedLocked(self);
            } catch (...) {
                result = E_OUTOFMEMORY;
                return;
            }
            plugin = target.product->Plugin();
            if (plugin != nullptr) {
                try {
                    state.AddConnectionLocked(connection.get());
                    connection.release();
                } catch (...) {
                    result = E_OUTOFMEMORY;
                    plugin = nullptr;
                }
            }
        }
        if (plugin != nullptr) {
            called = true;
            try {
                result = plugin->ConnectOutbound(offeredConnection);
            } catch (...) {
                // The firewall's threads survive a faulty plug-in.
                result = E_UNEXPECTED;
            }
        }
        std::lock_guard<std::mutex> lock(state.Mutex());
        target.product->DeliveryEndedLocked(self);
        state.DeliveryEnded().notify_all();
    };
    try {
        std::thread firewallThread(deliver);
        firewallThread.join();
    } catch (...) {
        return E_FAIL;
    }
    if (!called) return result;
    std::lock_guard<std::mutex> lock(state.Mutex());
    // Gone when a Reset ran while the plug-in held it.
    if (CConnection* const kept = state.FindConnectionLocked(offeredConnection)) {
        kept->OfferAnsweredLocked(result);
        if (number != nullptr) *number = kept->Number();
    }
    return result;
}

}  // namespace HostFirewallStandIn

namespace HostFirewallStandIn {

namespace {

// Connections the plug-in never completed go with the module.
struct FreeConnectionsAtUnload {
    ~FreeConnectionsAtUnload() { CFirewallState::Instance().FreeConnectionsAtUnload(); }
} g_freeConnectionsAtUnload;

}  // namespace

}  // namespace HostFirewallStandIn
