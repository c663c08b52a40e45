#pragma once
// An outbound connection the firewall holds for a stream-inspection plug-in: offered from a
// thread of the stand-in's own, answered by the plug-in later from any thread (a verdict through
// IAction, then IInspectionSink::Complete).

#include "suite/interfaces/ZrtFire.h"
#include "suite/hostfirewall/FirewallObject.h"
#include "suite/hostfirewall/HostFirewallStandIn.h"

#include <windows.h>

#include <string>
#include <vector>

namespace HostFirewallStandIn {

class CConnection;

class CConnectionInfo final : public ZrtFire::IConnectionInfo {
public:
    explicit CConnectionInfo(CConnection& owner) noexcept : m_owner(owner) {}
    ZRT_STANDIN_RESERVED(IConnectionInfo, 1)
    ZRT_STANDIN_RESERVED(IConnectionInfo, 2)
    ZRT_STANDIN_RESERVED(IConnectionInfo, 3)
    const ZrtFire::Address* RemoteAddress() override;
    BYTE Protocol() override;
    ZRT_STANDIN_RESERVED(IConnectionInfo, 6)
    ZRT_STANDIN_RESERVED(IConnectionInfo, 7)
    ZRT_STANDIN_RESERVED(IConnectionInfo, 8)
    ZRT_STANDIN_RESERVED(IConnectionInfo, 9)
    DWORD ProcessId() override;
    ZRT_STANDIN_RESERVED(IConnectionInfo, 11)
    ZRT_STANDIN_RESERVED(IConnectionInfo, 12)
    ZRT_STANDIN_RESERVED(IConnectionInfo, 13)
    long State() override;

private:
    CConnection& m_owner;
};

class CConnectionProcess final : public ZrtFire::IProcess {
public:
    explicit CConnectionProcess(CConnection& owner) noexcept : m_owner(owner) {}
    const wchar_t* Path(DWORD* length) override;
    ZRT_STANDIN_RESERVED(IProcess, 2)
    ZRT_STANDIN_RESERVED(IProcess, 3)
    ZRT_STANDIN_RESERVED(IProcess, 4)
    ZRT_STANDIN_RESERVED(IProcess, 5)
    ZrtFire::Result Prepare() override;

private:
    CConnection& m_owner;
};

class CConnectionAction final : public ZrtFire::IAction {
public:
    explicit CConnectionAction(CConnection& owner) noexcept : m_owner(owner) {}
    ZrtFire::Result SetVerdict(long verdict, long second, long third, long fourth) override;

private:
    CConnection& m_owner;
};

// Not reference counted, as the firewall's. Kept by the state until Reset or unload even once
// completed: a freed address could come back for a later connection, and a second Complete must
// still be told apart. Use after Complete is recorded as "unexpected".
class CConnection final : public ZrtFire::IConnection {
public:
    CConnection(const OfferedConnection& offered);
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    ZrtFire::IConnectionInfo* Info() override;
    ZrtFire::IProcess* Process() override;
    ZrtFire::IAction* Action() override;

    const OfferedConnection& Offered() const noexcept { return m_offered; }
    const std::wstring& Path() const noexcept { return m_path; }
    bool HasPath() const noexcept { return m_hasPath; }

    // Under the state's lock.
    long Number() const noexcept { return m_number; }
    void SetNumberLocked(long number) noexcept { m_number = number; }
    void OfferAnsweredLocked(ZrtFire::Result result) noexcept {
        m_answered = true;
        m_offerResult = result;
    }
    bool TakenLocked() const noexcept { return m_answered && m_offerResult == 1; }
    void VerdictLocked(long verdict) { m_verdicts.push_back(verdict); }
    void CompletedLocked() noexcept { ++m_completes; }
    long CompletesLocked() const noexcept { return m_completes; }
    // "<n> offered <result|pending> verdict <v[,v...]|none> complete <count>"
    std::wstring OutcomeLocked() const;

private:
    // Records "unexpected connection.<what> <n> after Complete" when the plug-in is late.
    void CheckInUse(const char* what);

    OfferedConnection m_offered;
    bool m_hasPath;
    std::wstring m_path;
    CConnectionInfo m_info;
    CConnectionProcess m_process;
    CConnectionAction m_action;
    long m_number = 0;
    bool m_answered = false;
    ZrtFire::Result m_offerResult = 0;
    std::vector<long> m_verdicts;
    long m_completes = 0;

    friend class CConnectionInfo;
    friend class CConnectionProcess;
    friend class CConnectionAction;
};

// See IHostFirewallControl::OfferConnection.
ZrtFire::Result OfferConnection(const OfferedConnection& offered, long* number);

}  // namespace HostFirewallStandIn
