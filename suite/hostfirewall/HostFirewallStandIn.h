#pragma once
// Control of the host firewall's stand-in (zrtfwctl.dll) for tests in the same process: a test
// loads the library by full path, as the product does, and GetProcAddress(kControlExport) gives
// the control of that same module.
//
// Calls(), one line per call in call order across all objects: "<object>.<operation>[ <args>]"
// with objects factory, product, policies (policy manager), policy (policy builder), rule, match,
// aggregate, addresses, sink, resolver (GetService's name resolver), process and action (of an
// offered connection); "NotComDllGetInterface <name>" for the export. GUIDs as
// "{XXXXXXXX-...}" or "null", numbers in decimal, texts as given. Releases are not calls, except
// a point product's last: "product.Released". A reserved slot records
// "unexpected <Interface>.Reserved<N>" and fails with E_NOTIMPL.
// The plug-in's side, with <n> the connection's number: "process.Prepare <n>",
// "action.SetVerdict <n> <verdict> <a> <b> <c>", "sink.Complete <n>" ("<n> again" for a second
// Complete, which fails with E_ILLEGAL_METHOD_CALL; "unknown" for a connection never offered,
// E_INVALIDARG), "unexpected connection.<Info|Process|Action> <n> after Complete". The resolver:
// "resolver.SetActive <v>", "resolver.OnLookupFailed", "resolver.Lookup <address> <v>".
//
// RulesNow(), one line each:
//   product {id}[ notify][ shutdown][ plugin {id}]   live point products, in registration order;
//                                        plugin: the plug-in kept since RegisterPlugin
//   policy {id} kind <k> product {id}    committed policies, in commit order, each followed by
//   rule {id} policy {id} | name <text> | action <a> <0|*> <n> | protocols ... | users ... |
//     owner <text>[ | processes ...][ | aggregates <kind> {id} ...]
//   aggregate {id} policy {id} | addresses <kind> <address> ...
// AddRule copies the rule as it stands; AddPolicy replaces the policy with the same id; policies
// outlive their point product. DeletePolicy answers 1 when there was none. DeleteRule takes the
// rule out of the builder and at once out of every policy of the builder's point product: the
// product deletes its rule through a fresh builder that it never commits.
// RegisterPlugin keeps one plug-in per point product (a second replaces the first) until
// UnregisterPlugin with its id (another id answers HRESULT_FROM_WIN32(ERROR_NOT_FOUND)). The
// inspection sink it answers is the point product's own, one for its life, handed out without a
// reference for the caller: the caller may AddRef and Release it in pairs; a Release beyond its
// own AddRefs is recorded as "unexpected sink.Release", counted (ForeignSinkReleases) and
// otherwise ignored. The sink goes with its point product.
// GetService answers a name resolver for {54950B40-FD45-4CB0-ACED-768453EA67E8}, else null.

#include "suite/interfaces/ZrtFire.h"

#include <windows.h>
#include <oleauto.h>

#include <sstream>
#include <string>
#include <vector>

namespace HostFirewallStandIn {

// Where the test programs find the library: <program folder>\hostfirewall\zrtfwctl.dll, never
// beside them, where the product would find it by itself.
constexpr wchar_t kStandInFolder[] = L"hostfirewall";
constexpr char kControlExport[] = "ZrtStandInControl";

// A connection blocked under a point product's rule. Ports in host order: the event answers
// them in network order, as the firewall does. Null ids and a null application are passed on.
struct BlockEvent {
    const GUID* ruleId = nullptr;
    const GUID* policyId = nullptr;
    ULONGLONG eventKey = 0;
    const wchar_t* application = nullptr;
    DWORD processId = 0;
    ZrtFire::Address localAddress = {};
    WORD localPort = 0;
    ZrtFire::Address remoteAddress = {};
    WORD remotePort = 0;
};

// An outbound connection offered to the registered plug-in. The path is copied; null is passed on.
struct OfferedConnection {
    ZrtFire::Address remoteAddress = {};
    BYTE protocol = ZrtFire::kProtocolTcp;
    long state = ZrtFire::kConnectionOutboundOpen;
    DWORD processId = 0;
    const wchar_t* processPath = nullptr;
};

// No destructor and no reference count: one object for the life of the module.
class IHostFirewallControl {
public:
    // Forgets the calls, the steered results, the policies, the reverse names, the offered
    // connections (freed, completed or not) and the foreign sink releases, and lets a held call
    // go; live objects and registered plug-ins stay.
    virtual void Reset() = 0;

    // The caller frees both texts (SysFreeString).
    virtual BSTR Calls() = 0;
    virtual void ClearCalls() = 0;
    virtual BSTR RulesNow() = 0;

    // From now on `operation` answers `result` ("AddRule", or "rule.SetEnabled" for one
    // object's operation only); a creator then leaves its out pointer null and an operation
    // answering a pointer answers null. Nothing changes in the firewall's state.
    virtual void SetResult(const char* operation, long result) = 0;
    virtual void ResetResults() = 0;

    // Reference-counted objects alive now (factories, point products, policy managers,
    // builders, match builders, address lists, inspection sinks).
    virtual long LiveObjects() = 0;

    // The notify registered on the live point product `productId` (not shut down), or null.
    virtual ZrtFire::IPointProductNotify* RegisteredNotify(const GUID* productId) = 0;

    // Calls OnEvent of the point product owning the event's policy (else of the one that
    // registered its notify last) from a thread of the stand-in, and returns once OnEvent has.
    // 0, or HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when no live point product has a notify.
    virtual ZrtFire::Result FireBlockEvent(const BlockEvent& event) = 0;

    // The name the resolver's Lookup gives for `address`; a null name removes it.
    virtual void SetReverseName(const ZrtFire::Address& address, const wchar_t* name) = 0;

    // Calls ConnectOutbound of the plug-in registered last by a live point product (not shut
    // down) from a thread of the stand-in, and returns once it has: its result (1 taken, 0 not),
    // and the connection's number (from 1 after Reset) in `number` when not null. The connection
    // stays alive for the plug-in's verdict and Complete from any thread. No plug-in:
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) and number 0.
    virtual ZrtFire::Result OfferConnection(const OfferedConnection& connection, long* number) = 0;
    // One line per offered connection, in offer order (the caller frees the text):
    //   <n> offered <result|pending> verdict <v[,v...]|none> complete <count>
    // Verdicts in call order; one given after Complete is refused and not listed.
    virtual BSTR ConnectionOutcomes() = 0;
    // Connections taken (ConnectOutbound answered 1) and not completed yet.
    virtual long OpenConnections() = 0;
    // True once `count` connections have been completed since Reset, false after the time-out.
    virtual bool WaitForCompletions(long count, DWORD timeoutMs) = 0;

    // Releases of an inspection sink the caller did not AddRef, since Reset.
    virtual long ForeignSinkReleases() = 0;

    // The next call of `operation` (named as for SetResult) is recorded, then waits until
    // ReleaseHeldCall or Reset, without holding up the firewall's other calls: a firewall call
    // that hangs. One call at a time.
    virtual void HoldCall(const char* operation) = 0;
    // True once the call is waiting (and still waits), false after the time-out.
    virtual bool WaitForHeldCall(DWORD timeoutMs) = 0;
    virtual void ReleaseHeldCall() = 0;
};

// The lines of a text the control returned (Calls, RulesNow), which it frees.
inline std::vector<std::wstring> TakeLines(BSTR text) {
    std::vector<std::wstring> lines;
    std::wstringstream stream(text != nullptr ? std::wstring(text, ::SysStringLen(text)) : std::wstring());
    ::SysFreeString(text);
    for (std::wstring line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

}  // namespace HostFirewallStandIn

extern "C" HostFirewallStandIn::IHostFirewallControl* ZrtStandInControl();
using ZrtStandInControlFunction = HostFirewallStandIn::IHostFirewallControl* (*)();
