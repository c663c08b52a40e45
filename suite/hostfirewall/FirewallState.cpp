#include "suite/hostfirewall/FirewallState.h"

#include "suite/hostfirewall/Connection.h"
#include "suite/hostfirewall/FirewallText.h"
#include "suite/hostfirewall/PointProduct.h"

#include <algorithm>
#include <chrono>

namespace HostFirewallStandIn {

namespace {

bool Same(const GUID& a, const GUID& b) { return ::IsEqualGUID(a, b) != FALSE; }

std::wstring Joined(const std::vector<std::wstring>& items) {
    std::wstring text;
    for (const std::wstring& item : items) text += L" " + item;
    return text;
}

std::wstring RuleLine(const PolicyRecord& policy, const RuleRecord& rule) {
    const MatchRecord& match = rule.match;
    std::wstring line = L"rule " + GuidText(&rule.id) + L" policy " + GuidText(&policy.id);
    line += L" | name " + rule.name;
    line += L" | action";
    if (rule.hasAction) {
        line += L" " + Number(rule.action) + (rule.actionArgument ? L" *" : L" 0") + L" " + Number(rule.actionValue);
    } else {
        line += L" none";
    }
    line += L" | protocols";
    for (long protocol : match.protocols) line += L" " + Number(protocol);
    line += L" | users" + Joined(match.users);
    line += L" | owner " + match.owner;
    if (!match.processes.empty()) {
        line += L" | processes";
        for (DWORD process : match.processes) line += L" " + UnsignedNumber(process);
    }
    if (!match.aggregates.empty()) {
        line += L" | aggregates";
        for (const auto& aggregate : match.aggregates) {
            line += L" " + UnsignedNumber(aggregate.first) + L" " + GuidText(&aggregate.second);
        }
    }
    return line;
}

}  // namespace

CFirewallState& CFirewallState::Instance() {
    // Never destroyed: objects the product still holds at process exit may use it.
    static CFirewallState* const state = new CFirewallState();
    return *state;
}

ZrtFire::Result CFirewallState::RecordLocked(const char* object, const char* operation,
                                             const std::wstring& arguments) {
    std::string qualified = object != nullptr ? std::string(object) + "." + operation : std::string(operation);
    m_calls += Widen(qualified.c_str());
    if (!arguments.empty()) m_calls += L" " + arguments;
    m_calls += L"\n";
    auto steered = m_results.find(qualified);
    if (steered == m_results.end()) steered = m_results.find(operation);
    return steered != m_results.end() ? steered->second : 0;
}

void CFirewallState::AddProductLocked(CPointProduct* product) {
    m_products.push_back(product);
    PublishLocked();
}

void CFirewallState::RemoveProductLocked(CPointProduct* product) noexcept {
    m_products.erase(std::remove(m_products.begin(), m_products.end(), product), m_products.end());
    PublishLocked();
}

void CFirewallState::CommitPolicyLocked(PolicyRecord policy) {
    for (PolicyRecord& existing : m_policies) {
        if (Same(existing.id, policy.id)) {
            existing = std::move(policy);
            PublishLocked();
            return;
        }
    }
    m_policies.push_back(std::move(policy));
    PublishLocked();
}

bool CFirewallState::DeletePolicyLocked(const GUID& policyId) {
    const auto end = std::remove_if(m_policies.begin(), m_policies.end(),
                                    [&](const PolicyRecord& policy) { return Same(policy.id, policyId); });
    const bool found = end != m_policies.end();
    m_policies.erase(end, m_policies.end());
    PublishLocked();
    return found;
}

void CFirewallState::DeleteRuleLocked(const GUID& productId, const GUID& ruleId) {
    for (PolicyRecord& policy : m_policies) {
        if (!Same(policy.product, productId)) continue;
        policy.rules.erase(std::remove_if(policy.rules.begin(), policy.rules.end(),
                                          [&](const RuleRecord& rule) { return Same(rule.id, ruleId); }),
                           policy.rules.end());
    }
    PublishLocked();
}

CPointProduct* CFirewallState::FindProductLocked(const GUID& productId) const {
    CPointProduct* found = nullptr;
    for (CPointProduct* product : m_products) {
        if (Same(product->Id(), productId) && product->Notify() != nullptr &&
            (found == nullptr || product->NotifyOrder() > found->NotifyOrder())) {
            found = product;
        }
    }
    return found;
}

CPointProduct* CFirewallState::EventTargetLocked(const GUID* policyId) const {
    if (policyId != nullptr) {
        for (const PolicyRecord& policy : m_policies) {
            if (!Same(policy.id, *policyId)) continue;
            if (CPointProduct* owner = FindProductLocked(policy.product)) return owner;
        }
    }
    CPointProduct* latest = nullptr;
    for (CPointProduct* product : m_products) {
        if (product->Notify() != nullptr && (latest == nullptr || product->NotifyOrder() > latest->NotifyOrder())) {
            latest = product;
        }
    }
    return latest;
}

CPointProduct* CFirewallState::PluginTargetLocked() const {
    CPointProduct* latest = nullptr;
    for (CPointProduct* product : m_products) {
        if (product->Plugin() != nullptr && (latest == nullptr || product->PluginOrder() > latest->PluginOrder())) {
            latest = product;
        }
    }
    return latest;
}

void CFirewallState::AddConnectionLocked(CConnection* connection) {
    m_connections.push_back(connection);
    connection->SetNumberLocked(++m_connectionCount);
}

CConnection* CFirewallState::FindConnectionLocked(const ZrtFire::IConnection* connection) const {
    for (CConnection* kept : m_connections) {
        if (static_cast<const ZrtFire::IConnection*>(kept) == connection) return kept;
    }
    return nullptr;
}

const std::wstring* CFirewallState::ReverseNameLocked(const ZrtFire::Address& address) const {
    const auto found = m_reverseNames.find(AddressText(&address));
    return found != m_reverseNames.end() ? &found->second : nullptr;
}

void CFirewallState::SetReverseName(const ZrtFire::Address& address, const wchar_t* name) {
    std::wstring key = AddressText(&address);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (name == nullptr) {
        m_reverseNames.erase(key);
    } else {
        m_reverseNames[std::move(key)] = name;
    }
}

std::wstring CFirewallState::ConnectionOutcomes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::wstring text;
    for (const CConnection* connection : m_connections) text += connection->OutcomeLocked() + L"\n";
    return text;
}

long CFirewallState::OpenConnections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    long open = 0;
    for (const CConnection* connection : m_connections) {
        if (connection->TakenLocked() && connection->CompletesLocked() == 0) ++open;
    }
    return open;
}

long CFirewallState::CompletedConnectionsLocked() const {
    long completed = 0;
    for (const CConnection* connection : m_connections) {
        if (connection->CompletesLocked() != 0) ++completed;
    }
    return completed;
}

bool CFirewallState::WaitForCompletions(long count, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_completed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return CompletedConnectionsLocked() >= count; });
}

void CFirewallState::FreeConnectionsLocked() noexcept {
    for (CConnection* connection : m_connections) delete connection;
    m_connections.clear();
}

void CFirewallState::FreeConnectionsAtUnload() noexcept {
    // Threads are gone at process exit; one may have died holding the lock.
    if (!m_mutex.try_lock()) return;
    FreeConnectionsLocked();
    m_mutex.unlock();
}

void CFirewallState::HoldCall(const std::string& operation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdOperation = operation;
}

bool CFirewallState::WaitForHeldCall(DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_holdChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_holding; });
}

void CFirewallState::ReleaseHeldCall() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdOperation.clear();
    ++m_holdRound;
    m_holdChanged.notify_all();
}

void CFirewallState::HoldIfAskedLocked(const char* object, const char* operation, std::unique_lock<std::mutex>& lock) {
    if (m_holdOperation.empty() || operation == nullptr) return;
    const std::string qualified = object != nullptr ? std::string(object) + "." + operation : std::string(operation);
    if (m_holdOperation != qualified && m_holdOperation != operation) return;
    m_holdOperation.clear();
    const ULONGLONG round = m_holdRound;
    m_holding = true;
    m_holdChanged.notify_all();
    m_holdChanged.wait(lock, [&] { return m_holdRound != round; });
    m_holding = false;
    m_holdChanged.notify_all();
}

long CFirewallState::ForeignSinkReleases() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_foreignSinkReleases;
}

void CFirewallState::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdOperation.clear();
    ++m_holdRound;
    m_holdChanged.notify_all();
    m_foreignSinkReleases = 0;
    m_calls.clear();
    m_results.clear();
    m_policies.clear();
    m_reverseNames.clear();
    FreeConnectionsLocked();
    m_connectionCount = 0;
}

std::wstring CFirewallState::Calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void CFirewallState::ClearCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

std::wstring CFirewallState::RulesNow() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return RulesTextLocked();
}

void CFirewallState::PublishLocked() const {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(kStateFileVariable, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    const std::wstring target(path, length);
    const std::wstring temporary = target + L".new";
    const std::wstring text = RulesTextLocked();
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr, nullptr);
    // Written aside and moved into place: a reader never sees half a state.
    const HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    const BOOL wrote = utf8.empty() || ::WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    ::CloseHandle(file);
    if (wrote) ::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::wstring CFirewallState::RulesTextLocked() const {
    std::wstring text;
    for (const CPointProduct* product : m_products) {
        text += L"product " + GuidText(&product->Id());
        if (product->Notify() != nullptr) text += L" notify";
        if (product->ShutDown()) text += L" shutdown";
        if (const GUID* plugin = product->PluginId()) text += L" plugin " + GuidText(plugin);
        text += L"\n";
    }
    for (const PolicyRecord& policy : m_policies) {
        text += L"policy " + GuidText(&policy.id) + L" kind " + Number(policy.kind) + L" product " +
                GuidText(&policy.product) + L"\n";
        for (const RuleRecord& rule : policy.rules) text += RuleLine(policy, rule) + L"\n";
        for (const AggregateRecord& aggregate : policy.aggregates) {
            text += L"aggregate " + GuidText(&aggregate.id) + L" policy " + GuidText(&policy.id) + L" | addresses" +
                    Joined(aggregate.addresses) + L"\n";
        }
    }
    return text;
}

void CFirewallState::SetResult(const std::string& operation, ZrtFire::Result result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results[operation] = result;
}

void CFirewallState::ResetResults() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results.clear();
}

}  // namespace HostFirewallStandIn
