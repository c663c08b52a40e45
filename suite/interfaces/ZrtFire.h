#pragma once
// The suite's host firewall as its control library "zrtfwctl.dll" presents it: interfaces known
// only by the position of each operation (positions from 1; the comments give them). Reference
// counted objects take a reference with operation 1 and release one with 2; results are 32-bit,
// 0 = success unless said. Operations this product never calls keep their place as ReservedN and
// must not be called. The two interfaces the firewall calls back (IPointProductNotify,
// IStreamInspectPlugin) end with an explicit destruction operation, not a C++ destructor: their
// layout is the firewall's, not the compiler's.

#include <windows.h>

namespace ZrtFire {

using Result = long;

// An endpoint address: an IPv4 address in the first 4 bytes (network order), then the family.
struct Address {
    BYTE bytes[16];
    DWORD family;  // 4 or 6
};

// Export of the control library; "SarvexRegisterPointProduct3" yields an IPointProductFactory.
using NotComDllGetInterfaceFunction = Result (*)(const char* name, void** out);
constexpr const char kGetInterfaceExport[] = "NotComDllGetInterface";
constexpr const char kPointProductFactoryName[] = "SarvexRegisterPointProduct3";
constexpr const wchar_t kControlLibrary[] = L"zrtfwctl.dll";

// Interface and service ids the firewall defines.
// {9181CD33-2825-4A7F-B7C5-84F8D82F3542}: IPointProduct, asked of the factory.
constexpr GUID kPointProductInterface = {0x9181CD33, 0x2825, 0x4A7F, {0xB7, 0xC5, 0x84, 0xF8, 0xD8, 0x2F, 0x35, 0x42}};
// {44EEFC7C-A76A-4AF4-ABD9-C933CAB67361}: IPolicyManager, asked of the point product.
constexpr GUID kPolicyManagerInterface = {0x44EEFC7C, 0xA76A, 0x4AF4, {0xAB, 0xD9, 0xC9, 0x33, 0xCA, 0xB6, 0x73, 0x61}};
// {01A4D9AD-2547-4337-AA45-4FF4D6536CCC}: IPointProductNotify, given to RegisterNotify.
constexpr GUID kNotifyInterface = {0x01A4D9AD, 0x2547, 0x4337, {0xAA, 0x45, 0x4F, 0xF4, 0xD6, 0x53, 0x6C, 0xCC}};
// {25601108-CD71-44D1-9539-F3819F500E43}: IStreamInspectPlugin, given to RegisterPlugin.
constexpr GUID kPluginRegistrationInterface = {0x25601108, 0xCD71, 0x44D1, {0x95, 0x39, 0xF3, 0x81, 0x9F, 0x50, 0x0E, 0x43}};
// {54950B40-FD45-4CB0-ACED-768453EA67E8}: the name resolver service (INameResolver).
constexpr GUID kNameResolverService = {0x54950B40, 0xFD45, 0x4CB0, {0xAC, 0xED, 0x76, 0x84, 0x53, 0xEA, 0x67, 0xE8}};

// Verdicts and values as the firewall defines them.
constexpr long kVerdictBlock = 6;
constexpr long kVerdictAllow = 1;
constexpr long kProtocolTcp = 6;
constexpr long kProtocolUdp = 17;
constexpr long kConnectionOutboundOpen = 2;

class IPointProduct;
class IPointProductNotify;
class IStreamInspectPlugin;
class IInspectionSink;
class IPolicyManager;
class IPolicyBuilder;
class IRuleBuilder;
class IMatchBuilder;
class IAggregateBuilder;
class IAddressList;
class INameResolver;
class ILookupResult;
class IConnection;

class IObject {
public:
    virtual ULONG AddRef() = 0;   // 1
    virtual ULONG Release() = 0;  // 2
};

class IPointProductFactory : public IObject {
public:
    // 3
    virtual Result Register(IPointProduct** product, const GUID* interfaceId, const GUID* productId) = 0;
};

class IPointProduct : public IObject {
public:
    virtual Result GetInterface(void** out, const GUID* interfaceId) = 0;                   // 3
    virtual Result RegisterNotify(IPointProductNotify* notify, const GUID* interfaceId) = 0;  // 4
    virtual Result Shutdown() = 0;                                                            // 5, before the last release
    // 6; the sink is lent, not given: it stays the firewall's, alive while the point product is.
    virtual Result RegisterPlugin(const GUID* pluginId, IStreamInspectPlugin* plugin, const GUID* interfaceId,
                                  IInspectionSink** sink) = 0;
    virtual Result UnregisterPlugin(const GUID* pluginId) = 0;  // 7
    virtual Result Reserved8() = 0;
    virtual Result SetVerdict(ULONGLONG eventKey, long verdict, long, long) = 0;  // 9
    virtual Result Reserved10() = 0;
    virtual Result Reserved11() = 0;
    virtual Result Reserved12() = 0;
    virtual Result Reserved13() = 0;
    virtual Result Reserved14() = 0;
    virtual Result Reserved15() = 0;
    // 16: a service object with one reference for the caller, or null.
    virtual void* GetService(const GUID* serviceId) = 0;
};

class IPolicyManager : public IObject {
public:
    virtual Result CreatePolicyBuilder(IPolicyBuilder** builder) = 0;           // 3
    virtual Result CreateRuleBuilder(IRuleBuilder** builder) = 0;               // 4
    virtual Result CreateAggregateBuilder(IAggregateBuilder** builder) = 0;     // 5
    virtual Result Reserved6() = 0;
    virtual Result Reserved7() = 0;
    virtual Result AddPolicy(IPolicyBuilder* policy, ULONGLONG* out1, ULONGLONG* out2) = 0;  // 8
    virtual Result DeletePolicy(const GUID* policyId) = 0;                                  // 9, >= 0 success
};

class IPolicyBuilder : public IObject {
public:
    virtual Result Reserved3() = 0;
    virtual Result Reserved4() = 0;
    virtual Result SetEnabled(long enabled) = 0;                              // 5, called with (1)
    virtual Result SetPolicyId(const GUID* policyId, long kind) = 0;          // 6, kind 2 or 4
    virtual Result Reserved7() = 0;
    virtual Result Reserved8() = 0;
    virtual Result AddAggregate(const GUID* aggregateId, IAggregateBuilder* aggregate) = 0;  // 9
    virtual Result Reserved10() = 0;
    virtual Result Reserved11() = 0;
    virtual Result AddRule(IRuleBuilder* rule) = 0;        // 12
    virtual Result DeleteRule(const GUID* ruleId) = 0;     // 13
    virtual Result Reserved14() = 0;
    // 15, called with (1, 0): the policy's place among the firewall's policies (first, no offset).
    virtual Result SetPrecedence(long rank, long offset) = 0;
};

class IRuleBuilder : public IObject {
public:
    virtual Result Reserved3() = 0;
    virtual Result CreateRule(const GUID* ruleId) = 0;                           // 4, >= 0 success
    virtual Result SetEnabled(long enabled) = 0;                                 // 5, called with (1)
    virtual Result SetAction(long action, const void* argument, long) = 0;       // 6
    virtual Result Reserved7() = 0;
    virtual Result Reserved8() = 0;
    virtual Result Reserved9() = 0;
    virtual Result Reserved10() = 0;
    virtual Result SetName(const wchar_t* name) = 0;                             // 11
    virtual IMatchBuilder* GetMatchBuilder() = 0;                                // 12, borrowed
};

class IMatchBuilder : public IObject {
public:
    virtual Result Reserved3() = 0;
    // 4, ("Oberix", length, 1): the maker whose rules these are.
    virtual Result SetOwner(const wchar_t* owner, DWORD length, long) = 0;
    virtual Result Reserved5() = 0;
    virtual Result AddProtocol(long protocol, long) = 0;                      // 6
    virtual Result Reserved7() = 0;
    virtual Result Reserved8() = 0;
    virtual Result Reserved9() = 0;
    virtual Result Reserved10() = 0;
    virtual Result Reserved11() = 0;
    virtual Result Reserved12() = 0;
    // 13 and 14, each called with (2, 0): connections going out, matched when they open (2 is
    // also kConnectionOutboundOpen).
    virtual Result SetDirection(long direction, long) = 0;        // 13
    virtual Result SetConnectionState(long state, long) = 0;      // 14
    virtual Result Reserved15() = 0;
    virtual Result Reserved16() = 0;
    virtual Result AddUserSid(const wchar_t* sid, DWORD length, long) = 0;  // 17
    virtual Result Reserved18() = 0;
    virtual Result Reserved19() = 0;
    virtual Result Reserved20() = 0;
    virtual Result Reserved21() = 0;
    virtual Result Reserved22() = 0;
    virtual Result Reserved23() = 0;
    virtual Result Reserved24() = 0;
    virtual Result Reserved25() = 0;
    virtual Result Reserved26() = 0;
    virtual Result Reserved27() = 0;
    virtual Result Reserved28() = 0;
    virtual Result Reserved29() = 0;
    virtual Result Reserved30() = 0;
    virtual Result Reserved31() = 0;
    virtual Result Reserved32() = 0;
    virtual Result Reserved33() = 0;
    virtual Result Reserved34() = 0;
    virtual Result Reserved35() = 0;
    virtual Result AddAggregateMatch(DWORD kind, const GUID* aggregateId, long) = 0;  // 36, (0x10002, id, 1)
    virtual Result AddProcessId(DWORD processId, long) = 0;                          // 37
};

class IAggregateBuilder : public IObject {
public:
    virtual Result Reserved3() = 0;
    virtual Result Reserved4() = 0;
    virtual IAddressList* GetAddressList() = 0;  // 5, borrowed
};

class IAddressList : public IObject {
public:
    virtual Result Reserved3() = 0;
    virtual Result Reserved4() = 0;
    virtual Result Reserved5() = 0;
    virtual Result Reserved6() = 0;
    virtual Result Reserved7() = 0;
    virtual Result AddAddress(long kind, const Address* address, long) = 0;  // 8, (4, address, 0)
};

// A connection the firewall blocked under a point product's rule. Not reference counted.
class IEvent {
public:
    virtual const GUID* RuleId() = 0;    // 1
    virtual const GUID* PolicyId() = 0;  // 2
    virtual Result Reserved3() = 0;
    virtual Result Reserved4() = 0;
    virtual ULONGLONG EventKey() = 0;    // 5
    virtual Result Reserved6() = 0;
    virtual Result Reserved7() = 0;
    virtual Result Reserved8() = 0;
    virtual const Address* LocalAddress() = 0;   // 9
    virtual const Address* RemoteAddress() = 0;  // 10
    virtual Result Reserved11() = 0;
    virtual WORD LocalPort() = 0;    // 12, network order
    virtual WORD RemotePort() = 0;   // 13, network order
    virtual DWORD ProcessId() = 0;   // 14
    virtual Result Reserved15() = 0;
    virtual Result Reserved16() = 0;
    virtual Result Reserved17() = 0;
    virtual Result Reserved18() = 0;
    virtual Result Reserved19() = 0;
    virtual Result Reserved20() = 0;
    virtual Result Reserved21() = 0;
    virtual const wchar_t* ApplicationText(DWORD* length) = 0;  // 22, length in characters
};

// Served to the firewall: its events. Not reference counted; Destroy (5) ends it. The firewall's
// other notices (OperationN) carry nothing this product acts on: they are answered with nothing.
class IPointProductNotify {
public:
    virtual void Operation1() = 0;
    virtual void OnEvent(IEvent* event) = 0;  // 2
    virtual void Operation3() = 0;
    virtual void Operation4() = 0;
    virtual void Destroy() = 0;  // 5
};

// The parts of a connection held for a stream-inspection plug-in. Not reference counted.
class IConnectionInfo {
public:
    virtual Result Reserved1() = 0;
    virtual Result Reserved2() = 0;
    virtual Result Reserved3() = 0;
    virtual const Address* RemoteAddress() = 0;  // 4
    virtual BYTE Protocol() = 0;                 // 5
    virtual Result Reserved6() = 0;
    virtual Result Reserved7() = 0;
    virtual Result Reserved8() = 0;
    virtual Result Reserved9() = 0;
    virtual DWORD ProcessId() = 0;  // 10
    virtual Result Reserved11() = 0;
    virtual Result Reserved12() = 0;
    virtual Result Reserved13() = 0;
    virtual long State() = 0;  // 14
};

class IProcess {
public:
    virtual const wchar_t* Path(DWORD* length) = 0;  // 1, length in characters
    virtual Result Reserved2() = 0;
    virtual Result Reserved3() = 0;
    virtual Result Reserved4() = 0;
    virtual Result Reserved5() = 0;
    // 6, no arguments, before the connection is read; its result is not read.
    virtual Result Prepare() = 0;
};

class IAction {
public:
    virtual Result SetVerdict(long verdict, long, long, long) = 0;  // 1
};

class IConnection {
public:
    virtual IConnectionInfo* Info() = 0;  // 1
    virtual IProcess* Process() = 0;      // 2
    virtual IAction* Action() = 0;        // 3
};

// The firewall's own, lent with a plug-in's registration: never released by the plug-in.
class IInspectionSink : public IObject {
public:
    virtual Result Complete(IConnection* connection) = 0;  // 3
};

class INameResolver : public IObject {
public:
    virtual Result SetActive(long active) = 0;  // 3, (1) once obtained, (0) before the release
    virtual Result OnLookupFailed() = 0;        // 4, after a failed look-up
    virtual Result Reserved5() = 0;
    virtual Result Reserved6() = 0;
    virtual Result Lookup(ILookupResult** result, const Address* address, long) = 0;  // 7
};

class ILookupResult : public IObject {
public:
    virtual Result Reserved3() = 0;
    virtual long HasName() = 0;                  // 4, non-zero when a name is known
    virtual const wchar_t* Name(long) = 0;       // 5, called with (0)
};

// Served to the firewall: a stream-inspection plug-in. Not reference counted; Destroy (10) ends it.
// Only ConnectOutbound and PluginId matter to this product; the firewall's other calls (OperationN)
// get 0 or nothing.
class IStreamInspectPlugin {
public:
    virtual Result Operation1() = 0;
    virtual Result Operation2() = 0;
    virtual Result Operation3() = 0;
    virtual Result ConnectOutbound(IConnection* connection) = 0;  // 4: 1 held for the plug-in, 0 not
    virtual void Operation5() = 0;
    virtual Result Operation6() = 0;
    virtual void Operation7() = 0;
    virtual const GUID* PluginId() = 0;  // 8
    virtual Result Operation9() = 0;
    virtual void Destroy(bool free) = 0;  // 10
};

// One reference on a firewall object, released by the destructor.
template <class T>
class Ref {
public:
    Ref() = default;
    ~Ref() { Reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    T* Get() const noexcept { return m_object; }
    T* operator->() const noexcept { return m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }
    // For an out argument: the previous object is released first.
    T** Put() noexcept {
        Reset();
        return &m_object;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }
    void Reset() noexcept {
        if (m_object != nullptr) m_object->Release();
        m_object = nullptr;
    }

private:
    T* m_object = nullptr;
};

}  // namespace ZrtFire
