// The host firewall's stand-in loaded by full path, as the product loads the control library,
// driven through the firewall's interfaces as a client drives them, and read through its control
// (the same module: the program keeps it loaded, so its state lasts across the tests).
#include "suite/hostfirewall/HostFirewallStandIn.h"

#include "nuvutil/com/Bstr.h"
#include "suite/interfaces/ZrtFire.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using HostFirewallStandIn::BlockEvent;
using HostFirewallStandIn::IHostFirewallControl;
using ZrtFire::Ref;

// {448B74DD-D792-4B03-A61D-773F059C1C50}
constexpr GUID kProductId = {0x448B74DD, 0xD792, 0x4B03, {0xA6, 0x1D, 0x77, 0x3F, 0x05, 0x9C, 0x1C, 0x50}};
// {0B1C3E55-6A70-4C1D-9E2F-3A4B5C6D7E8F}
constexpr GUID kOtherProductId = {0x0B1C3E55, 0x6A70, 0x4C1D, {0x9E, 0x2F, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E, 0x8F}};
// {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F}
constexpr GUID kPolicyId = {0xF2BB6CE4, 0xDCD1, 0x4A1A, {0x86, 0xEB, 0x4B, 0x2D, 0x19, 0xDC, 0xA3, 0x6F}};
// {7A1E0C2B-3D4F-4A5B-8C6D-9E0F1A2B3C4D}
constexpr GUID kOtherPolicyId = {0x7A1E0C2B, 0x3D4F, 0x4A5B, {0x8C, 0x6D, 0x9E, 0x0F, 0x1A, 0x2B, 0x3C, 0x4D}};
// {23402C5D-17F6-4A34-A69D-66E731F6E2FC}
constexpr GUID kRuleId = {0x23402C5D, 0x17F6, 0x4A34, {0xA6, 0x9D, 0x66, 0xE7, 0x31, 0xF6, 0xE2, 0xFC}};
// {C0FFEE00-1234-4321-ABCD-0123456789AB}
constexpr GUID kAggregateId = {0xC0FFEE00, 0x1234, 0x4321, {0xAB, 0xCD, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}};

constexpr ZrtFire::Result kSteered = static_cast<ZrtFire::Result>(0x80070021);
constexpr wchar_t kUser1[] = L"S-1-5-21-1-2-3-1001";
constexpr wchar_t kUser2[] = L"S-1-5-21-1-2-3-1002";

// The library, loaded once for the whole program.
struct StandIn {
    ZrtFire::NotComDllGetInterfaceFunction getInterface = nullptr;
    IHostFirewallControl* control = nullptr;
};

const StandIn& Library() {
    static const StandIn loaded = [] {
        StandIn standIn;
        const std::wstring path =
            NuvTest::ExeFolder() + L"\\" + HostFirewallStandIn::kStandInFolder + L"\\" + ZrtFire::kControlLibrary;
        const HMODULE module = ::LoadLibraryW(path.c_str());
        if (module == nullptr) return standIn;
        standIn.getInterface = reinterpret_cast<ZrtFire::NotComDllGetInterfaceFunction>(
            reinterpret_cast<void*>(::GetProcAddress(module, ZrtFire::kGetInterfaceExport)));
        const auto control = reinterpret_cast<ZrtStandInControlFunction>(
            reinterpret_cast<void*>(::GetProcAddress(module, HostFirewallStandIn::kControlExport)));
        if (control != nullptr) standIn.control = control();
        return standIn;
    }();
    return loaded;
}

std::wstring Taken(BSTR text) {
    NuvCom::CBstr owned;
    owned.Reset(text);
    return owned.Str();
}

std::wstring Lines(std::initializer_list<std::wstring> lines) {
    std::wstring text;
    for (const std::wstring& line : lines) text += line + L"\n";
    return text;
}

ZrtFire::Address Ipv4(BYTE a, BYTE b, BYTE c, BYTE d) {
    ZrtFire::Address address = {};
    address.bytes[0] = a;
    address.bytes[1] = b;
    address.bytes[2] = c;
    address.bytes[3] = d;
    address.family = 4;
    return address;
}

ZrtFire::Address Ipv6Loopback() {
    ZrtFire::Address address = {};
    address.bytes[15] = 1;
    address.family = 6;
    return address;
}

WORD Swapped(WORD port) { return static_cast<WORD>((port >> 8) | (port << 8)); }

// What OnEvent saw, read on the thread it ran on.
struct SeenEvent {
    DWORD threadId = 0;
    bool hasRuleId = false;
    GUID ruleId{};
    bool hasPolicyId = false;
    GUID policyId{};
    ULONGLONG eventKey = 0;
    bool hasApplication = false;
    std::wstring application;
    DWORD processId = 0;
    ZrtFire::Address local = {};
    ZrtFire::Address remote = {};
    WORD localPort = 0;
    WORD remotePort = 0;
};

// A point product's notify: records each event and answers the verdict it was given (none: 0).
class CRecordingNotify final : public ZrtFire::IPointProductNotify {
public:
    void Answer(ZrtFire::IPointProduct* product, long verdict) {
        m_product = product;
        m_verdict = verdict;
    }
    void SetHook(std::function<void(ZrtFire::IEvent*)> hook) { m_hook = std::move(hook); }

    void Operation1() override {}
    void OnEvent(ZrtFire::IEvent* event) override {
        SeenEvent seen;
        seen.threadId = ::GetCurrentThreadId();
        if (const GUID* id = event->RuleId()) {
            seen.hasRuleId = true;
            seen.ruleId = *id;
        }
        if (const GUID* id = event->PolicyId()) {
            seen.hasPolicyId = true;
            seen.policyId = *id;
        }
        seen.eventKey = event->EventKey();
        DWORD length = 0;
        const wchar_t* application = event->ApplicationText(&length);
        seen.hasApplication = application != nullptr;
        if (application != nullptr) seen.application.assign(application, length);
        seen.processId = event->ProcessId();
        seen.local = *event->LocalAddress();
        seen.remote = *event->RemoteAddress();
        seen.localPort = event->LocalPort();
        seen.remotePort = event->RemotePort();
        if (m_product != nullptr && m_verdict != 0) m_product->SetVerdict(seen.eventKey, m_verdict, 0, 0);
        if (m_hook) m_hook(event);
        std::lock_guard<std::mutex> lock(m_lock);
        m_seen.push_back(seen);
    }
    void Operation3() override {}
    void Operation4() override {}
    void Destroy() override {}

    std::vector<SeenEvent> Seen() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_seen;
    }

private:
    ZrtFire::IPointProduct* m_product = nullptr;
    long m_verdict = 0;
    std::function<void(ZrtFire::IEvent*)> m_hook;
    std::mutex m_lock;
    std::vector<SeenEvent> m_seen;
};

// A stream-inspection plug-in that is never offered a connection.
class CIdlePlugin final : public ZrtFire::IStreamInspectPlugin {
public:
    ZrtFire::Result Operation1() override { return 0; }
    ZrtFire::Result Operation2() override { return 0; }
    ZrtFire::Result Operation3() override { return 0; }
    ZrtFire::Result ConnectOutbound(ZrtFire::IConnection*) override { return 0; }
    void Operation5() override {}
    ZrtFire::Result Operation6() override { return 0; }
    void Operation7() override {}
    const GUID* PluginId() override { return &kAggregateId; }
    ZrtFire::Result Operation9() override { return 0; }
    void Destroy(bool) override {}
};

// {5D3A2B1C-4E5F-4A6B-9C8D-7E6F50413223}
constexpr GUID kPluginId = {0x5D3A2B1C, 0x4E5F, 0x4A6B, {0x9C, 0x8D, 0x7E, 0x6F, 0x50, 0x41, 0x32, 0x23}};

// What ConnectOutbound saw, read on the thread it ran on.
struct SeenConnection {
    DWORD threadId = 0;
    ZrtFire::IConnection* connection = nullptr;
    ZrtFire::Address remote = {};
    BYTE protocol = 0;
    DWORD processId = 0;
    long state = 0;
    bool hasPath = false;
    std::wstring path;
    DWORD pathLength = 0;
};

// A plug-in that reads each offered connection as the product does and answers `answer`; the
// verdict and Complete are the test's to give later, from its own thread.
class CRecordingPlugin final : public ZrtFire::IStreamInspectPlugin {
public:
    explicit CRecordingPlugin(ZrtFire::Result answer = 1) : m_answer(answer) {}

    ZrtFire::Result Operation1() override { return 0; }
    ZrtFire::Result Operation2() override { return 0; }
    ZrtFire::Result Operation3() override { return 0; }
    ZrtFire::Result ConnectOutbound(ZrtFire::IConnection* connection) override {
        SeenConnection seen;
        seen.threadId = ::GetCurrentThreadId();
        seen.connection = connection;
        ZrtFire::IConnectionInfo* const info = connection->Info();
        seen.remote = *info->RemoteAddress();
        seen.protocol = info->Protocol();
        seen.processId = info->ProcessId();
        seen.state = info->State();
        ZrtFire::IProcess* const process = connection->Process();
        const wchar_t* const path = process->Path(&seen.pathLength);
        seen.hasPath = path != nullptr;
        if (path != nullptr) seen.path.assign(path, seen.pathLength);
        process->Prepare();
        std::lock_guard<std::mutex> lock(m_lock);
        m_seen.push_back(seen);
        return m_answer;
    }
    void Operation5() override {}
    ZrtFire::Result Operation6() override { return 0; }
    void Operation7() override {}
    const GUID* PluginId() override { return &kPluginId; }
    ZrtFire::Result Operation9() override { return 0; }
    void Destroy(bool) override {}

    std::vector<SeenConnection> Seen() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_seen;
    }

private:
    const ZrtFire::Result m_answer;
    std::mutex m_lock;
    std::vector<SeenConnection> m_seen;
};

HostFirewallStandIn::OfferedConnection Outbound(const ZrtFire::Address& remote, DWORD processId,
                                                const wchar_t* path) {
    HostFirewallStandIn::OfferedConnection offered;
    offered.remoteAddress = remote;
    offered.processId = processId;
    offered.processPath = path;
    return offered;
}

// A client halfway (Open): a registered point product with its notify and its rule committed,
// the policy manager, a policy builder with its id, a rule builder with its rule created, an
// aggregate builder.
struct Client {
    CRecordingNotify notify;
    Ref<ZrtFire::IPointProductFactory> factory;
    Ref<ZrtFire::IPointProduct> product;
    Ref<ZrtFire::IPolicyManager> policies;
    Ref<ZrtFire::IPolicyBuilder> policy;
    Ref<ZrtFire::IRuleBuilder> rule;
    Ref<ZrtFire::IAggregateBuilder> aggregate;
};

// Registers `productId` as the product does: the factory goes once the product is registered.
void Register(Client& client, const GUID& productId) {
    Ref<ZrtFire::IPointProductFactory> factory;
    ASSERT_EQ(0, Library().getInterface(ZrtFire::kPointProductFactoryName, factory.PutVoid()));
    ASSERT_EQ(0, factory->Register(client.product.Put(), &ZrtFire::kPointProductInterface, &productId));
    ASSERT_EQ(0, client.product->RegisterNotify(&client.notify, &ZrtFire::kNotifyInterface));
    ASSERT_EQ(0, client.product->GetInterface(client.policies.PutVoid(), &ZrtFire::kPolicyManagerInterface));
}

// The time-restriction rule for `users`, built and committed the way the product's rule manager
// does it; the first failing result, else 0.
ZrtFire::Result CommitRule(ZrtFire::IPolicyManager* policies, const std::vector<std::wstring>& users) {
    Ref<ZrtFire::IPolicyBuilder> policy;
    if (const auto result = policies->CreatePolicyBuilder(policy.Put())) return result;
    policy->SetPolicyId(&kPolicyId, 2);
    policy->SetPrecedence(1, 0);
    policy->SetEnabled(1);
    Ref<ZrtFire::IRuleBuilder> rule;
    if (const auto result = policies->CreateRuleBuilder(rule.Put())) return result;
    if (const auto result = rule->CreateRule(&kRuleId)) return result;
    ZrtFire::IMatchBuilder* const match = rule->GetMatchBuilder();
    if (match == nullptr) return E_POINTER;
    rule->SetName(L"VYX Time Restriction");
    rule->SetEnabled(1);
    rule->SetAction(2, nullptr, 30);
    match->AddProtocol(ZrtFire::kProtocolTcp, 0);
    match->AddProtocol(ZrtFire::kProtocolUdp, 0);
    for (const std::wstring& user : users) match->AddUserSid(user.c_str(), static_cast<DWORD>(user.size()), 0);
    match->SetOwner(L"Oberix", 6, 1);
    if (const auto result = policy->AddRule(rule.Get())) return result;
    ULONGLONG out1 = 0, out2 = 0;
    return policies->AddPolicy(policy.Get(), &out1, &out2);
}

void Open(Client& client) {
    ASSERT_EQ(0, Library().getInterface(ZrtFire::kPointProductFactoryName, client.factory.PutVoid()));
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    ASSERT_EQ(0, CommitRule(client.policies.Get(), {kUser1}));
    ASSERT_EQ(0, client.policies->CreatePolicyBuilder(client.policy.Put()));
    ASSERT_EQ(0, client.policy->SetPolicyId(&kPolicyId, 2));
    ASSERT_EQ(0, client.policies->CreateRuleBuilder(client.rule.Put()));
    ASSERT_EQ(0, client.rule->CreateRule(&kRuleId));
    ASSERT_EQ(0, client.policies->CreateAggregateBuilder(client.aggregate.Put()));
}

class HostFirewallStandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, Library().getInterface) << "hostfirewall\\zrtfwctl.dll did not load";
        ASSERT_NE(nullptr, Library().control);
        m_control = Library().control;
        m_control->Reset();
        ASSERT_EQ(0, m_control->LiveObjects()) << "an earlier test left objects";
    }

    void TearDown() override {
        if (m_control == nullptr) return;
        EXPECT_EQ(0, m_control->LiveObjects()) << "an object was not released";
        EXPECT_EQ(0, m_control->ForeignSinkReleases()) << "a sink released by a caller that did not add it";
        m_control->Reset();
    }

    std::wstring Calls() { return Taken(m_control->Calls()); }
    std::wstring RulesNow() { return Taken(m_control->RulesNow()); }

    IHostFirewallControl* m_control = nullptr;
};

TEST_F(HostFirewallStandInTest, LibraryLivesApartFromTheTestProgram) {
    const std::wstring beside = NuvTest::ExeFolder() + L"\\" + ZrtFire::kControlLibrary;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(beside.c_str()));
}

TEST_F(HostFirewallStandInTest, ExportHandsOutTheFactoryForItsNameOnly) {
    const struct {
        const char* name;
        bool factory;
        const wchar_t* line;
    } cases[] = {
        {"SarvexRegisterPointProduct3", true, L"NotComDllGetInterface SarvexRegisterPointProduct3"},
        {"SarvexRegisterPointProduct2", false, L"NotComDllGetInterface SarvexRegisterPointProduct2"},
        {"sarvexregisterpointproduct3", false, L"NotComDllGetInterface sarvexregisterpointproduct3"},
        {"", false, L"NotComDllGetInterface"},
        {nullptr, false, L"NotComDllGetInterface"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        m_control->ClearCalls();
        void* sentinel = &sentinel;
        void* out = sentinel;
        const ZrtFire::Result result = Library().getInterface(c.name, &out);
        EXPECT_EQ(Lines({c.line}), Calls());
        if (c.factory) {
            EXPECT_EQ(0, result);
            ASSERT_NE(nullptr, out);
            EXPECT_EQ(1, m_control->LiveObjects());
            static_cast<ZrtFire::IPointProductFactory*>(out)->Release();
        } else {
            EXPECT_NE(0, result);
            EXPECT_EQ(nullptr, out);
        }
        EXPECT_EQ(0, m_control->LiveObjects());
    }
}

TEST_F(HostFirewallStandInTest, RegisterYieldsAPointProductForItsInterfaceOnly) {
    Ref<ZrtFire::IPointProductFactory> factory;
    ASSERT_EQ(0, Library().getInterface(ZrtFire::kPointProductFactoryName, factory.PutVoid()));
    const struct {
        const GUID* interfaceId;
        const GUID* productId;
        bool registered;
    } cases[] = {
        {&ZrtFire::kPointProductInterface, &kProductId, true},
        {&ZrtFire::kPolicyManagerInterface, &kProductId, false},
        {nullptr, &kProductId, false},
        {&ZrtFire::kPointProductInterface, nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        Ref<ZrtFire::IPointProduct> product;
        const ZrtFire::Result result = factory->Register(product.Put(), c.interfaceId, c.productId);
        EXPECT_EQ(c.registered, result == 0);
        EXPECT_EQ(c.registered, static_cast<bool>(product));
        EXPECT_EQ(c.registered ? L"product {448B74DD-D792-4B03-A61D-773F059C1C50}\n" : L"", RulesNow());
    }
    EXPECT_EQ(Lines({L"NotComDllGetInterface SarvexRegisterPointProduct3",
                     L"factory.Register {9181CD33-2825-4A7F-B7C5-84F8D82F3542} {448B74DD-D792-4B03-A61D-773F059C1C50}",
                     L"product.Released",
                     L"factory.Register {44EEFC7C-A76A-4AF4-ABD9-C933CAB67361} {448B74DD-D792-4B03-A61D-773F059C1C50}",
                     L"factory.Register null {448B74DD-D792-4B03-A61D-773F059C1C50}",
                     L"factory.Register {9181CD33-2825-4A7F-B7C5-84F8D82F3542} null"}),
              Calls());
}

TEST_F(HostFirewallStandInTest, TypicalBuildIsRecordedAndKeptAndEverythingIsFreed) {
    CRecordingNotify notify;
    Ref<ZrtFire::IPointProduct> product;
    {
        Ref<ZrtFire::IPointProductFactory> factory;
        ASSERT_EQ(0, Library().getInterface(ZrtFire::kPointProductFactoryName, factory.PutVoid()));
        ASSERT_EQ(0, factory->Register(product.Put(), &ZrtFire::kPointProductInterface, &kProductId));
    }
    ASSERT_EQ(0, product->RegisterNotify(&notify, &ZrtFire::kNotifyInterface));
    {
        Ref<ZrtFire::IPolicyManager> policies;
        ASSERT_EQ(0, product->GetInterface(policies.PutVoid(), &ZrtFire::kPolicyManagerInterface));
        ASSERT_EQ(0, CommitRule(policies.Get(), {kUser1, kUser2}));
    }
    EXPECT_EQ(1, m_control->LiveObjects()) << "only the point product is held";
    EXPECT_EQ(&notify, m_control->RegisteredNotify(&kProductId));
    EXPECT_EQ(Lines({L"NotComDllGetInterface SarvexRegisterPointProduct3",
                     L"factory.Register {9181CD33-2825-4A7F-B7C5-84F8D82F3542} {448B74DD-D792-4B03-A61D-773F059C1C50}",
                     L"product.RegisterNotify {01A4D9AD-2547-4337-AA45-4FF4D6536CCC}",
                     L"product.GetInterface {44EEFC7C-A76A-4AF4-ABD9-C933CAB67361}",
                     L"policies.CreatePolicyBuilder",
                     L"policy.SetPolicyId {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F} 2",
                     L"policy.SetPrecedence 1 0",
                     L"policy.SetEnabled 1",
                     L"policies.CreateRuleBuilder",
                     L"rule.CreateRule {23402C5D-17F6-4A34-A69D-66E731F6E2FC}",
                     L"rule.GetMatchBuilder",
                     L"rule.SetName VYX Time Restriction",
                     L"rule.SetEnabled 1",
                     L"rule.SetAction 2 0 30",
                     L"match.AddProtocol 6 0",
                     L"match.AddProtocol 17 0",
                     L"match.AddUserSid S-1-5-21-1-2-3-1001 19 0",
                     L"match.AddUserSid S-1-5-21-1-2-3-1002 19 0",
                     L"match.SetOwner Oberix 6 1",
                     L"policy.AddRule",
                     L"policies.AddPolicy"}),
              Calls());
    const std::wstring policyLines =
        L"policy {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F} kind 2 product {448B74DD-D792-4B03-A61D-773F059C1C50}\n"
        L"rule {23402C5D-17F6-4A34-A69D-66E731F6E2FC} policy {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F}"
        L" | name VYX Time Restriction | action 2 0 30 | protocols 6 17"
        L" | users S-1-5-21-1-2-3-1001 S-1-5-21-1-2-3-1002 | owner Oberix\n";
    EXPECT_EQ(L"product {448B74DD-D792-4B03-A61D-773F059C1C50} notify\n" + policyLines, RulesNow());

    m_control->ClearCalls();
    EXPECT_EQ(0, product->Shutdown());
    EXPECT_EQ(nullptr, m_control->RegisteredNotify(&kProductId));
    product.Reset();
    EXPECT_EQ(Lines({L"product.Shutdown", L"product.Released"}), Calls());
    EXPECT_EQ(0, m_control->LiveObjects());
    // The firewall keeps a policy its product did not delete.
    EXPECT_EQ(policyLines, RulesNow());
}

TEST_F(HostFirewallStandInTest, PoliciesFollowUpdatesAndDeletions) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    const std::wstring policyLine =
        L"policy {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F} kind 2 product {448B74DD-D792-4B03-A61D-773F059C1C50}\n";
    const std::wstring ruleStart =
        L"rule {23402C5D-17F6-4A34-A69D-66E731F6E2FC} policy {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F}"
        L" | name VYX Time Restriction | action 2 0 30 | protocols 6 17 | users";
    const std::wstring productLine = L"product {448B74DD-D792-4B03-A61D-773F059C1C50} notify\n";

    ASSERT_EQ(0, CommitRule(client.policies.Get(), {kUser1}));
    EXPECT_EQ(productLine + policyLine + ruleStart + L" S-1-5-21-1-2-3-1001 | owner Oberix\n", RulesNow());

    // The same policy committed again replaces the rule: users in the order given, none merged.
    ASSERT_EQ(0, CommitRule(client.policies.Get(), {kUser2, kUser1}));
    EXPECT_EQ(productLine + policyLine + ruleStart + L" S-1-5-21-1-2-3-1002 S-1-5-21-1-2-3-1001 | owner Oberix\n",
              RulesNow());

    // The product deletes its rule through a fresh builder it never commits.
    {
        Ref<ZrtFire::IPolicyBuilder> builder;
        ASSERT_EQ(0, client.policies->CreatePolicyBuilder(builder.Put()));
        EXPECT_EQ(0, builder->DeleteRule(&kRuleId));
    }
    EXPECT_EQ(productLine + policyLine, RulesNow());

    EXPECT_EQ(0, client.policies->DeletePolicy(&kPolicyId));
    EXPECT_EQ(productLine, RulesNow());
    EXPECT_EQ(1, client.policies->DeletePolicy(&kPolicyId)) << "nothing to delete is still a success";
}

// A process the test cannot reach in publishes its state to the file the variable names.
TEST_F(HostFirewallStandInTest, StateIsPublishedToTheNamedFileAfterEveryChange) {
    NuvTest::ScratchFolder folder(L"firewall-state");
    const std::wstring path = folder / L"state.txt";
    ASSERT_TRUE(::SetEnvironmentVariableW(L"ZRTFW_STANDIN_STATE", path.c_str()));
    const auto published = [&] {
        std::ifstream file(path.c_str(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return std::wstring(text.begin(), text.end());  // ASCII here
    };
    {
        Client client;
        ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
        EXPECT_EQ(RulesNow(), published()) << "after the registration";
        ASSERT_EQ(0, CommitRule(client.policies.Get(), {kUser1}));
        EXPECT_NE(std::wstring::npos, published().find(L"users S-1-5-21-1-2-3-1001")) << published();
        EXPECT_EQ(RulesNow(), published());
        ASSERT_EQ(0, client.policies->DeletePolicy(&kPolicyId));
        EXPECT_EQ(RulesNow(), published()) << "after the deletion";
        client.product->Shutdown();
    }
    EXPECT_EQ(L"", published()) << "the product released";
    ::SetEnvironmentVariableW(L"ZRTFW_STANDIN_STATE", nullptr);
}

TEST_F(HostFirewallStandInTest, IncompleteBuildersAreRefused) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    Ref<ZrtFire::IPolicyBuilder> policy;
    ASSERT_EQ(0, client.policies->CreatePolicyBuilder(policy.Put()));
    Ref<ZrtFire::IRuleBuilder> rule;
    ASSERT_EQ(0, client.policies->CreateRuleBuilder(rule.Put()));

    EXPECT_NE(0, policy->AddRule(rule.Get())) << "a rule without CreateRule";
    EXPECT_NE(0, policy->AddRule(nullptr));
    ULONGLONG out1 = 0, out2 = 0;
    EXPECT_NE(0, client.policies->AddPolicy(policy.Get(), &out1, &out2)) << "a policy without SetPolicyId";
    EXPECT_EQ(L"product {448B74DD-D792-4B03-A61D-773F059C1C50} notify\n", RulesNow());
}

TEST_F(HostFirewallStandInTest, AggregatesAndProcessesReachThePolicy) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Open(client));
    m_control->ClearCalls();
    ZrtFire::IAddressList* const addresses = client.aggregate->GetAddressList();
    ASSERT_NE(nullptr, addresses);
    const ZrtFire::Address loopback = Ipv4(127, 0, 0, 1);
    const ZrtFire::Address loopback6 = Ipv6Loopback();
    EXPECT_EQ(0, addresses->AddAddress(4, &loopback, 0));
    EXPECT_EQ(0, addresses->AddAddress(4, &loopback6, 0));
    EXPECT_EQ(0, client.policy->AddAggregate(&kAggregateId, client.aggregate.Get()));
    ZrtFire::IMatchBuilder* const match = client.rule->GetMatchBuilder();
    ASSERT_NE(nullptr, match);
    EXPECT_EQ(0, match->AddAggregateMatch(0x10002, &kAggregateId, 1));
    EXPECT_EQ(0, match->AddProcessId(4242, 0));
    EXPECT_EQ(0, client.policy->AddRule(client.rule.Get()));
    ULONGLONG out1 = 0, out2 = 0;
    EXPECT_EQ(0, client.policies->AddPolicy(client.policy.Get(), &out1, &out2));

    EXPECT_EQ(Lines({L"aggregate.GetAddressList", L"addresses.AddAddress 4 127.0.0.1 0",
                     L"addresses.AddAddress 4 0000:0000:0000:0000:0000:0000:0000:0001 0",
                     L"policy.AddAggregate {C0FFEE00-1234-4321-ABCD-0123456789AB}", L"rule.GetMatchBuilder",
                     L"match.AddAggregateMatch 65538 {C0FFEE00-1234-4321-ABCD-0123456789AB} 1",
                     L"match.AddProcessId 4242 0", L"policy.AddRule", L"policies.AddPolicy"}),
              Calls());
    EXPECT_EQ(Lines({L"product {448B74DD-D792-4B03-A61D-773F059C1C50} notify",
                     L"policy {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F} kind 2 product "
                     L"{448B74DD-D792-4B03-A61D-773F059C1C50}",
                     L"rule {23402C5D-17F6-4A34-A69D-66E731F6E2FC} policy {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F}"
                     L" | name  | action none | protocols | users | owner  | processes 4242"
                     L" | aggregates 65538 {C0FFEE00-1234-4321-ABCD-0123456789AB}",
                     L"aggregate {C0FFEE00-1234-4321-ABCD-0123456789AB} policy {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F}"
                     L" | addresses 4 127.0.0.1 4 0000:0000:0000:0000:0000:0000:0000:0001"}),
              RulesNow());
}

TEST_F(HostFirewallStandInTest, SteeredOperationsFailUntilReset) {
    struct Outcome {
        ZrtFire::Result result;
        bool handedOut;  // a creator's out pointer was set
    };
    const struct {
        const char* operation;
        std::function<Outcome(Client&)> call;
        bool steered;
    } cases[] = {
        {"NotComDllGetInterface",
         [](Client&) {
             Ref<ZrtFire::IPointProductFactory> factory;
             const auto result = Library().getInterface(ZrtFire::kPointProductFactoryName, factory.PutVoid());
             return Outcome{result, static_cast<bool>(factory)};
         },
         true},
        {"Register",
         [](Client& c) {
             Ref<ZrtFire::IPointProduct> product;
             const auto result = c.factory->Register(product.Put(), &ZrtFire::kPointProductInterface, &kOtherProductId);
             return Outcome{result, static_cast<bool>(product)};
         },
         true},
        {"RegisterNotify",
         [](Client& c) { return Outcome{c.product->RegisterNotify(&c.notify, &ZrtFire::kNotifyInterface), false}; },
         true},
        {"GetInterface",
         [](Client& c) {
             Ref<ZrtFire::IPolicyManager> policies;
             const auto result = c.product->GetInterface(policies.PutVoid(), &ZrtFire::kPolicyManagerInterface);
             return Outcome{result, static_cast<bool>(policies)};
         },
         true},
        {"CreatePolicyBuilder",
         [](Client& c) {
             Ref<ZrtFire::IPolicyBuilder> builder;
             const auto result = c.policies->CreatePolicyBuilder(builder.Put());
             return Outcome{result, static_cast<bool>(builder)};
         },
         true},
        {"CreateRuleBuilder",
         [](Client& c) {
             Ref<ZrtFire::IRuleBuilder> builder;
             const auto result = c.policies->CreateRuleBuilder(builder.Put());
             return Outcome{result, static_cast<bool>(builder)};
         },
         true},
        {"CreateAggregateBuilder",
         [](Client& c) {
             Ref<ZrtFire::IAggregateBuilder> builder;
             const auto result = c.policies->CreateAggregateBuilder(builder.Put());
             return Outcome{result, static_cast<bool>(builder)};
         },
         true},
        {"CreateRule", [](Client& c) { return Outcome{c.rule->CreateRule(&kRuleId), false}; }, true},
        {"SetAction", [](Client& c) { return Outcome{c.rule->SetAction(2, nullptr, 30), false}; }, true},
        {"AddRule", [](Client& c) { return Outcome{c.policy->AddRule(c.rule.Get()), false}; }, true},
        {"AddPolicy",
         [](Client& c) {
             ULONGLONG out1 = 0, out2 = 0;
             return Outcome{c.policies->AddPolicy(c.policy.Get(), &out1, &out2), false};
         },
         true},
        {"DeletePolicy", [](Client& c) { return Outcome{c.policies->DeletePolicy(&kPolicyId), false}; }, true},
        {"DeleteRule", [](Client& c) { return Outcome{c.policy->DeleteRule(&kRuleId), false}; }, true},
        {"RegisterPlugin",
         [](Client& c) {
             CIdlePlugin plugin;
             ZrtFire::IInspectionSink* sink = nullptr;
             const auto result =
                 c.product->RegisterPlugin(&kAggregateId, &plugin, &ZrtFire::kPluginRegistrationInterface, &sink);
             return Outcome{result, sink != nullptr};
         },
         true},
        {"rule.SetEnabled", [](Client& c) { return Outcome{c.rule->SetEnabled(1), false}; }, true},
        // Qualified by its object, the steering leaves the same operation of another object alone.
        {"rule.SetEnabled", [](Client& c) { return Outcome{c.policy->SetEnabled(1), false}; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        Client client;
        ASSERT_NO_FATAL_FAILURE(Open(client));
        const std::wstring before = RulesNow();
        const long objects = m_control->LiveObjects();

        m_control->SetResult(c.operation, kSteered);
        const Outcome failed = c.call(client);
        EXPECT_EQ(c.steered ? kSteered : 0, failed.result);
        if (c.steered) {
            EXPECT_FALSE(failed.handedOut);
            EXPECT_EQ(before, RulesNow()) << "a failed operation changed the firewall";
            EXPECT_EQ(objects, m_control->LiveObjects());
        }

        m_control->ResetResults();
        EXPECT_EQ(0, c.call(client).result);
        m_control->Reset();
    }
}

TEST_F(HostFirewallStandInTest, BlockEventReachesTheNotifyOnAFirewallThread) {
    const ZrtFire::Address ipv4Local = Ipv4(192, 168, 1, 20);
    const ZrtFire::Address ipv4Remote = Ipv4(93, 184, 216, 34);
    const struct {
        const char* name;
        const GUID* ruleId;
        const GUID* policyId;
        ULONGLONG eventKey;
        const wchar_t* application;
        ZrtFire::Address local;
        WORD localPort;
        ZrtFire::Address remote;
        WORD remotePort;
        long verdict;
        const wchar_t* recorded;
    } cases[] = {
        {"rule and policy", &kRuleId, &kPolicyId, 1001, L"C:\\Program Files\\Browser\\browser.exe", ipv4Local, 50123,
         ipv4Remote, 443, ZrtFire::kVerdictBlock, L"product.SetVerdict 1001 6 0 0\n"},
        {"no ids", nullptr, nullptr, 0x10000000005ULL, L"game.exe", ipv4Local, 1, ipv4Remote, 0xFFFF, 0, L""},
        {"rule only, no application", &kRuleId, nullptr, 7, nullptr, Ipv6Loopback(), 8080, Ipv6Loopback(), 80,
         ZrtFire::kVerdictAllow, L"product.SetVerdict 7 1 0 0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Client client;
        ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
        client.notify.Answer(client.product.Get(), c.verdict);
        m_control->ClearCalls();

        BlockEvent event;
        event.ruleId = c.ruleId;
        event.policyId = c.policyId;
        event.eventKey = c.eventKey;
        event.application = c.application;
        event.processId = 4242;
        event.localAddress = c.local;
        event.localPort = c.localPort;
        event.remoteAddress = c.remote;
        event.remotePort = c.remotePort;
        ASSERT_EQ(0, m_control->FireBlockEvent(event));

        const std::vector<SeenEvent> seen = client.notify.Seen();
        ASSERT_EQ(1u, seen.size());
        const SeenEvent& got = seen[0];
        EXPECT_NE(::GetCurrentThreadId(), got.threadId);
        EXPECT_EQ(c.ruleId != nullptr, got.hasRuleId);
        if (c.ruleId != nullptr) {
            EXPECT_TRUE(::IsEqualGUID(*c.ruleId, got.ruleId));
        }
        EXPECT_EQ(c.policyId != nullptr, got.hasPolicyId);
        if (c.policyId != nullptr) {
            EXPECT_TRUE(::IsEqualGUID(*c.policyId, got.policyId));
        }
        EXPECT_EQ(c.eventKey, got.eventKey);
        EXPECT_EQ(c.application != nullptr, got.hasApplication);
        EXPECT_EQ(c.application != nullptr ? c.application : L"", got.application);
        EXPECT_EQ(4242u, got.processId);
        EXPECT_EQ(0, std::memcmp(&c.local, &got.local, sizeof(ZrtFire::Address)));
        EXPECT_EQ(0, std::memcmp(&c.remote, &got.remote, sizeof(ZrtFire::Address)));
        EXPECT_EQ(Swapped(c.localPort), got.localPort) << "ports come in network order";
        EXPECT_EQ(Swapped(c.remotePort), got.remotePort);
        EXPECT_EQ(c.recorded, Calls());
    }
}

TEST_F(HostFirewallStandInTest, BlockEventNeedsALiveNotifyAndGoesToThePolicysOwner) {
    Client owner;
    ASSERT_NO_FATAL_FAILURE(Register(owner, kProductId));
    ASSERT_EQ(0, CommitRule(owner.policies.Get(), {kUser1}));
    Client other;
    ASSERT_NO_FATAL_FAILURE(Register(other, kOtherProductId));

    BlockEvent ofThePolicy;
    ofThePolicy.policyId = &kPolicyId;
    BlockEvent unowned;
    unowned.policyId = &kOtherPolicyId;
    ASSERT_EQ(0, m_control->FireBlockEvent(ofThePolicy));
    EXPECT_EQ(1u, owner.notify.Seen().size());
    EXPECT_EQ(0u, other.notify.Seen().size());
    // An event of no known policy goes to the notify registered last.
    ASSERT_EQ(0, m_control->FireBlockEvent(unowned));
    EXPECT_EQ(1u, owner.notify.Seen().size());
    EXPECT_EQ(1u, other.notify.Seen().size());

    EXPECT_EQ(0, other.product->Shutdown());
    EXPECT_EQ(0, owner.product->Shutdown());
    EXPECT_NE(0, m_control->FireBlockEvent(ofThePolicy));
    EXPECT_NE(0, m_control->FireBlockEvent(unowned));
    EXPECT_EQ(1u, owner.notify.Seen().size());
    EXPECT_EQ(1u, other.notify.Seen().size());
}

TEST_F(HostFirewallStandInTest, ShutdownFromInsideOnEventDoesNotWaitForItself) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    ZrtFire::Result shutdown = -1;
    client.notify.SetHook([&](ZrtFire::IEvent*) { shutdown = client.product->Shutdown(); });
    ASSERT_EQ(0, m_control->FireBlockEvent(BlockEvent{}));
    EXPECT_EQ(0, shutdown);
    EXPECT_EQ(nullptr, m_control->RegisteredNotify(&kProductId));
}

TEST_F(HostFirewallStandInTest, ReservedSlotsAreRecordedAsUnexpected) {
    const struct {
        const wchar_t* line;
        std::function<ZrtFire::Result(Client&)> call;
    } cases[] = {
        {L"unexpected IPointProduct.Reserved8", [](Client& c) { return c.product->Reserved8(); }},
        {L"unexpected IPointProduct.Reserved15", [](Client& c) { return c.product->Reserved15(); }},
        {L"unexpected IPolicyManager.Reserved6", [](Client& c) { return c.policies->Reserved6(); }},
        {L"unexpected IPolicyBuilder.Reserved3", [](Client& c) { return c.policy->Reserved3(); }},
        {L"unexpected IPolicyBuilder.Reserved14", [](Client& c) { return c.policy->Reserved14(); }},
        {L"unexpected IRuleBuilder.Reserved10", [](Client& c) { return c.rule->Reserved10(); }},
        {L"unexpected IMatchBuilder.Reserved35", [](Client& c) { return c.rule->GetMatchBuilder()->Reserved35(); }},
        {L"unexpected IAggregateBuilder.Reserved4", [](Client& c) { return c.aggregate->Reserved4(); }},
        {L"unexpected IAddressList.Reserved7", [](Client& c) { return c.aggregate->GetAddressList()->Reserved7(); }},
        {L"unexpected IEvent.Reserved21",
         [](Client& c) {
             ZrtFire::Result result = 0;
             c.notify.SetHook([&](ZrtFire::IEvent* event) { result = event->Reserved21(); });
             const ZrtFire::Result fired = Library().control->FireBlockEvent(BlockEvent{});
             return fired != 0 ? fired : result;
         }},
    };
    Client client;
    ASSERT_NO_FATAL_FAILURE(Open(client));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ZrtFire::Result result = c.call(client);
        EXPECT_EQ(E_NOTIMPL, result);
        const std::wstring calls = Calls();
        EXPECT_NE(std::wstring::npos, calls.find(std::wstring(c.line) + L"\n")) << calls;
        m_control->ClearCalls();
    }
}

TEST_F(HostFirewallStandInTest, PluginIsKeptFromRegistrationUntilUnregistered) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    m_control->ClearCalls();
    CRecordingPlugin plugin;
    const std::wstring product = L"product {448B74DD-D792-4B03-A61D-773F059C1C50} notify";
    const std::wstring kept = product + L" plugin {5D3A2B1C-4E5F-4A6B-9C8D-7E6F50413223}";
    const struct {
        const char* name;
        std::function<ZrtFire::Result(ZrtFire::IInspectionSink*&)> call;
        ZrtFire::Result result;
        bool sink;
        const wchar_t* line;
        std::wstring rules;
    } cases[] = {
        {"another interface",
         [&](ZrtFire::IInspectionSink*& sink) {
             return client.product->RegisterPlugin(&kPluginId, &plugin, &ZrtFire::kNotifyInterface, &sink);
         },
         E_NOINTERFACE, false,
         L"product.RegisterPlugin {5D3A2B1C-4E5F-4A6B-9C8D-7E6F50413223} {01A4D9AD-2547-4337-AA45-4FF4D6536CCC}",
         product},
        {"registered",
         [&](ZrtFire::IInspectionSink*& sink) {
             return client.product->RegisterPlugin(&kPluginId, &plugin, &ZrtFire::kPluginRegistrationInterface,
                                                   &sink);
         },
         0, true,
         L"product.RegisterPlugin {5D3A2B1C-4E5F-4A6B-9C8D-7E6F50413223} {25601108-CD71-44D1-9539-F3819F500E43}",
         kept},
        {"another id unregistered",
         [&](ZrtFire::IInspectionSink*&) { return client.product->UnregisterPlugin(&kAggregateId); },
         static_cast<ZrtFire::Result>(0x80070490), false,
         L"product.UnregisterPlugin {C0FFEE00-1234-4321-ABCD-0123456789AB}", kept},
        {"unregistered",
         [&](ZrtFire::IInspectionSink*&) { return client.product->UnregisterPlugin(&kPluginId); }, 0, false,
         L"product.UnregisterPlugin {5D3A2B1C-4E5F-4A6B-9C8D-7E6F50413223}", product},
        {"unregistered twice",
         [&](ZrtFire::IInspectionSink*&) { return client.product->UnregisterPlugin(&kPluginId); },
         static_cast<ZrtFire::Result>(0x80070490), false,
         L"product.UnregisterPlugin {5D3A2B1C-4E5F-4A6B-9C8D-7E6F50413223}", product},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZrtFire::IInspectionSink* sink = nullptr;
        EXPECT_EQ(c.result, c.call(sink));
        EXPECT_EQ(c.sink, sink != nullptr);
        EXPECT_EQ(Lines({c.line}), Calls());
        EXPECT_EQ(Lines({c.rules}), RulesNow());
        m_control->ClearCalls();
    }
    // Unregistered: no connection reaches it any more.
    long number = -1;
    EXPECT_EQ(static_cast<ZrtFire::Result>(0x80070490),
              m_control->OfferConnection(Outbound(Ipv4(10, 0, 0, 1), 1, nullptr), &number));
    EXPECT_EQ(0, number);
    EXPECT_TRUE(plugin.Seen().empty());
}

TEST_F(HostFirewallStandInTest, NameResolverAnswersConfiguredNames) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    const ZrtFire::Address known = Ipv4(93, 184, 216, 34);
    const ZrtFire::Address known6 = Ipv6Loopback();
    const ZrtFire::Address unknown = Ipv4(10, 1, 2, 3);
    m_control->SetReverseName(known, L"example.test");
    m_control->SetReverseName(known6, L"localhost");
    m_control->SetReverseName(unknown, L"removed.test");
    m_control->SetReverseName(unknown, nullptr);
    m_control->ClearCalls();
    const long objects = m_control->LiveObjects();

    Ref<ZrtFire::INameResolver> resolver;
    *resolver.PutVoid() = client.product->GetService(&ZrtFire::kNameResolverService);
    ASSERT_TRUE(resolver);
    EXPECT_EQ(objects + 1, m_control->LiveObjects()) << "one reference, the caller's";
    EXPECT_EQ(0, resolver->SetActive(1));
    EXPECT_EQ(Lines({L"product.GetService {54950B40-FD45-4CB0-ACED-768453EA67E8}", L"resolver.SetActive 1"}), Calls());
    m_control->ClearCalls();
    const struct {
        const char* name;
        const ZrtFire::Address* address;
        bool found;
        const wchar_t* resolved;
        const wchar_t* line;
    } cases[] = {
        {"IPv4 known", &known, true, L"example.test", L"resolver.Lookup 93.184.216.34 0"},
        {"IPv6 known", &known6, true, L"localhost", L"resolver.Lookup 0000:0000:0000:0000:0000:0000:0000:0001 0"},
        {"name removed", &unknown, false, nullptr, L"resolver.Lookup 10.1.2.3 0"},
        {"no address", nullptr, false, nullptr, L"resolver.Lookup null 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Ref<ZrtFire::ILookupResult> result;
        const ZrtFire::Result looked = resolver->Lookup(result.Put(), c.address, 0);
        EXPECT_EQ(c.found, looked == 0);
        EXPECT_EQ(c.found, static_cast<bool>(result));
        if (c.found && result) {
            EXPECT_NE(0, result->HasName());
            EXPECT_STREQ(c.resolved, result->Name(0));
        }
        if (!c.found) resolver->OnLookupFailed();
        EXPECT_EQ(c.found ? Lines({c.line}) : Lines({c.line, L"resolver.OnLookupFailed"}), Calls());
        m_control->ClearCalls();
    }
    EXPECT_EQ(0, resolver->SetActive(0));
    resolver.Reset();
    EXPECT_EQ(objects, m_control->LiveObjects());
    EXPECT_EQ(Lines({L"resolver.SetActive 0"}), Calls());
}

TEST_F(HostFirewallStandInTest, GetServiceAnswersNullForOtherIdsAndWhenSteered) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    m_control->ClearCalls();
    const long objects = m_control->LiveObjects();
    EXPECT_EQ(nullptr, client.product->GetService(&ZrtFire::kPolicyManagerInterface));
    EXPECT_EQ(nullptr, client.product->GetService(nullptr));
    m_control->SetResult("GetService", kSteered);
    EXPECT_EQ(nullptr, client.product->GetService(&ZrtFire::kNameResolverService));
    EXPECT_EQ(objects, m_control->LiveObjects());
    EXPECT_EQ(Lines({L"product.GetService {44EEFC7C-A76A-4AF4-ABD9-C933CAB67361}", L"product.GetService null",
                     L"product.GetService {54950B40-FD45-4CB0-ACED-768453EA67E8}"}),
              Calls());
}

TEST_F(HostFirewallStandInTest, OfferedConnectionReachesThePluginOnAFirewallThread) {
    const ZrtFire::Address ipv6Remote = [] {
        ZrtFire::Address address = {};
        address.bytes[0] = 0x20;
        address.bytes[1] = 0x01;
        address.bytes[2] = 0x0d;
        address.bytes[3] = 0xb8;
        address.bytes[15] = 0x42;
        address.family = 6;
        return address;
    }();
    const struct {
        const char* name;
        HostFirewallStandIn::OfferedConnection offered;
        ZrtFire::Result answer;
        long verdict;  // given later by the test's thread when taken
        const wchar_t* outcome;
        std::vector<std::wstring> calls;
    } cases[] = {
        {"IPv4 TCP taken, blocked", Outbound(Ipv4(93, 184, 216, 34), 4242, L"C:\\Games\\game.exe"), 1,
         ZrtFire::kVerdictBlock, L"1 offered 1 verdict 6 complete 1",
         {L"process.Prepare 1", L"action.SetVerdict 1 6 0 0 0", L"sink.Complete 1"}},
        {"IPv6 UDP without path taken, allowed",
         [&] {
             auto offered = Outbound(ipv6Remote, 7, nullptr);
             offered.protocol = ZrtFire::kProtocolUdp;
             offered.state = 3;
             return offered;
         }(),
         1, ZrtFire::kVerdictAllow, L"1 offered 1 verdict 1 complete 1",
         {L"process.Prepare 1", L"action.SetVerdict 1 1 0 0 0", L"sink.Complete 1"}},
        {"not taken", Outbound(Ipv4(127, 0, 0, 1), 99, L""), 0, 0, L"1 offered 0 verdict none complete 0",
         {L"process.Prepare 1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_control->Reset();
        CRecordingPlugin plugin(c.answer);
        Client client;
        ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
        ZrtFire::IInspectionSink* sink = nullptr;  // the firewall's, borrowed
        ASSERT_EQ(0, client.product->RegisterPlugin(&kPluginId, &plugin, &ZrtFire::kPluginRegistrationInterface,
                                                    &sink));
        m_control->ClearCalls();

        long number = 0;
        ASSERT_EQ(c.answer, m_control->OfferConnection(c.offered, &number));
        EXPECT_EQ(1, number);
        EXPECT_EQ(c.answer == 1 ? 1 : 0, m_control->OpenConnections());
        const std::vector<SeenConnection> seen = plugin.Seen();
        ASSERT_EQ(1u, seen.size());
        const SeenConnection& got = seen[0];
        EXPECT_NE(::GetCurrentThreadId(), got.threadId);
        EXPECT_EQ(0, std::memcmp(&c.offered.remoteAddress, &got.remote, sizeof(ZrtFire::Address)));
        EXPECT_EQ(c.offered.protocol, got.protocol);
        EXPECT_EQ(c.offered.processId, got.processId);
        EXPECT_EQ(c.offered.state, got.state);
        EXPECT_EQ(c.offered.processPath != nullptr, got.hasPath);
        const std::wstring path = c.offered.processPath != nullptr ? c.offered.processPath : L"";
        EXPECT_EQ(path, got.path);
        EXPECT_EQ(path.size(), got.pathLength);

        // The product answers later, from a thread of its own: here the test's.
        if (c.answer == 1) {
            EXPECT_EQ(0, got.connection->Action()->SetVerdict(c.verdict, 0, 0, 0));
            EXPECT_EQ(0, sink->Complete(got.connection));
            EXPECT_TRUE(m_control->WaitForCompletions(1, 0));
        }
        EXPECT_EQ(0, m_control->OpenConnections());
        EXPECT_EQ(Lines({c.outcome}), Taken(m_control->ConnectionOutcomes()));
        std::wstring expected;
        for (const std::wstring& line : c.calls) expected += line + L"\n";
        EXPECT_EQ(expected, Calls());
    }
}

TEST_F(HostFirewallStandInTest, SecondCompleteAndLateUseAreRefusedAndRecorded) {
    CRecordingPlugin plugin;
    Client client;
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    ZrtFire::IInspectionSink* sink = nullptr;  // the firewall's, borrowed
    ASSERT_EQ(0, client.product->RegisterPlugin(&kPluginId, &plugin, &ZrtFire::kPluginRegistrationInterface, &sink));
    ASSERT_EQ(1, m_control->OfferConnection(Outbound(Ipv4(1, 2, 3, 4), 5, L"a.exe"), nullptr));
    ASSERT_EQ(1u, plugin.Seen().size());
    ZrtFire::IConnection* const connection = plugin.Seen()[0].connection;
    m_control->ClearCalls();

    EXPECT_EQ(0, connection->Action()->SetVerdict(ZrtFire::kVerdictBlock, 0, 0, 0));
    EXPECT_EQ(0, sink->Complete(connection));
    EXPECT_EQ(static_cast<ZrtFire::Result>(0x8000000E), sink->Complete(connection));
    EXPECT_NE(0, connection->Action()->SetVerdict(ZrtFire::kVerdictAllow, 0, 0, 0));
    ZrtFire::IConnection* const foreign = reinterpret_cast<ZrtFire::IConnection*>(&plugin);
    EXPECT_EQ(E_INVALIDARG, sink->Complete(foreign));
    EXPECT_EQ(E_INVALIDARG, sink->Complete(nullptr));

    EXPECT_EQ(Lines({L"action.SetVerdict 1 6 0 0 0", L"sink.Complete 1", L"sink.Complete 1 again",
                     L"unexpected connection.Action 1 after Complete", L"action.SetVerdict 1 1 0 0 0",
                     L"sink.Complete unknown", L"sink.Complete unknown"}),
              Calls());
    EXPECT_EQ(Lines({L"1 offered 1 verdict 6 complete 2"}), Taken(m_control->ConnectionOutcomes()));
}

TEST_F(HostFirewallStandInTest, OfferNeedsALivePluginAndGoesToTheLastRegistered) {
    const HostFirewallStandIn::OfferedConnection offered = Outbound(Ipv4(8, 8, 8, 8), 1, nullptr);
    constexpr ZrtFire::Result kNoPlugin = static_cast<ZrtFire::Result>(0x80070490);
    long number = -1;
    EXPECT_EQ(kNoPlugin, m_control->OfferConnection(offered, &number)) << "no product at all";
    EXPECT_EQ(0, number);

    CRecordingPlugin first;
    CRecordingPlugin second;
    Client owner;
    ASSERT_NO_FATAL_FAILURE(Register(owner, kProductId));
    Client other;
    ASSERT_NO_FATAL_FAILURE(Register(other, kOtherProductId));
    EXPECT_EQ(kNoPlugin, m_control->OfferConnection(offered, &number)) << "products without a plug-in";
    ZrtFire::IInspectionSink* ownerSink = nullptr;
    ZrtFire::IInspectionSink* otherSink = nullptr;
    ASSERT_EQ(0, other.product->RegisterPlugin(&kPluginId, &second, &ZrtFire::kPluginRegistrationInterface,
                                               &otherSink));
    ASSERT_EQ(0, owner.product->RegisterPlugin(&kPluginId, &first, &ZrtFire::kPluginRegistrationInterface,
                                               &ownerSink));

    EXPECT_EQ(1, m_control->OfferConnection(offered, &number));
    EXPECT_EQ(1, number);
    EXPECT_EQ(1u, first.Seen().size()) << "registered last";
    EXPECT_EQ(0u, second.Seen().size());

    EXPECT_EQ(0, owner.product->Shutdown());
    EXPECT_EQ(1, m_control->OfferConnection(offered, &number));
    EXPECT_EQ(2, number);
    EXPECT_EQ(1u, first.Seen().size()) << "shut down";
    EXPECT_EQ(1u, second.Seen().size());

    EXPECT_EQ(0, other.product->UnregisterPlugin(&kPluginId));
    EXPECT_EQ(kNoPlugin, m_control->OfferConnection(offered, &number));
    EXPECT_EQ(0, number);
    EXPECT_EQ(2, m_control->OpenConnections());
    // Freed without a Complete.
    m_control->Reset();
    EXPECT_EQ(0, m_control->OpenConnections());
    EXPECT_EQ(L"", Taken(m_control->ConnectionOutcomes()));
}

TEST_F(HostFirewallStandInTest, WaitForCompletionsSeesAnswersFromAnotherThread) {
    constexpr long kConnections = 5;
    CRecordingPlugin plugin;
    Client client;
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    ZrtFire::IInspectionSink* sink = nullptr;  // the firewall's, borrowed
    ASSERT_EQ(0, client.product->RegisterPlugin(&kPluginId, &plugin, &ZrtFire::kPluginRegistrationInterface, &sink));
    for (long i = 1; i <= kConnections; ++i) {
        long number = 0;
        ASSERT_EQ(1, m_control->OfferConnection(Outbound(Ipv4(10, 0, 0, static_cast<BYTE>(i)), 100, nullptr), &number));
        EXPECT_EQ(i, number);
    }
    EXPECT_EQ(kConnections, m_control->OpenConnections());
    EXPECT_FALSE(m_control->WaitForCompletions(1, 20)) << "nothing answered yet";

    const std::vector<SeenConnection> seen = plugin.Seen();
    ASSERT_EQ(static_cast<size_t>(kConnections), seen.size());
    // All but the last answered on the product's own thread, while the test waits.
    std::thread answering([&] {
        for (size_t i = 0; i + 1 < seen.size(); ++i) {
            seen[i].connection->Action()->SetVerdict(ZrtFire::kVerdictAllow, 0, 0, 0);
            sink->Complete(seen[i].connection);
        }
    });
    const bool completed = m_control->WaitForCompletions(kConnections - 1, 10000);
    answering.join();
    EXPECT_TRUE(completed);
    EXPECT_EQ(1, m_control->OpenConnections());
    EXPECT_FALSE(m_control->WaitForCompletions(kConnections, 20));
    EXPECT_EQ(Lines({L"1 offered 1 verdict 1 complete 1", L"2 offered 1 verdict 1 complete 1",
                     L"3 offered 1 verdict 1 complete 1", L"4 offered 1 verdict 1 complete 1",
                     L"5 offered 1 verdict none complete 0"}),
              Taken(m_control->ConnectionOutcomes()));
}

// The sink belongs to the point product: one for its life, lent to the plug-in, which may only
// release what it added itself.
TEST_F(HostFirewallStandInTest, TheSinkIsThePointProductsOwnAndAForeignReleaseIsCounted) {
    CRecordingPlugin plugin;
    Client client;
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    const long objects = m_control->LiveObjects();
    ZrtFire::IInspectionSink* sink = nullptr;
    ASSERT_EQ(0, client.product->RegisterPlugin(&kPluginId, &plugin, &ZrtFire::kPluginRegistrationInterface, &sink));
    ASSERT_NE(nullptr, sink);
    EXPECT_EQ(objects + 1, m_control->LiveObjects());
    ZrtFire::IInspectionSink* again = nullptr;
    ASSERT_EQ(0, client.product->RegisterPlugin(&kPluginId, &plugin, &ZrtFire::kPluginRegistrationInterface, &again));
    EXPECT_EQ(sink, again) << "the same sink for a second registration";
    EXPECT_EQ(objects + 1, m_control->LiveObjects());
    m_control->ClearCalls();

    // A reference the plug-in added is its own to release.
    EXPECT_EQ(2u, sink->AddRef());
    EXPECT_EQ(1u, sink->Release());
    EXPECT_EQ(0, m_control->ForeignSinkReleases());
    EXPECT_EQ(L"", Calls());

    // One more is the firewall's: counted, recorded, and the sink lives on.
    EXPECT_EQ(1u, sink->Release());
    EXPECT_EQ(1, m_control->ForeignSinkReleases());
    EXPECT_EQ(Lines({L"unexpected sink.Release"}), Calls());
    ASSERT_EQ(1, m_control->OfferConnection(Outbound(Ipv4(1, 2, 3, 4), 5, nullptr), nullptr));
    EXPECT_EQ(0, sink->Complete(plugin.Seen().at(0).connection)) << "still the firewall's live sink";
    EXPECT_EQ(objects + 1, m_control->LiveObjects());

    // Unregistered, the product keeps it; it goes with the product, or with the plug-in's last
    // reference when that comes later.
    EXPECT_EQ(0, client.product->UnregisterPlugin(&kPluginId));
    EXPECT_EQ(objects + 1, m_control->LiveObjects());
    sink->AddRef();
    client.policies.Reset();
    client.product.Reset();
    EXPECT_EQ(1, m_control->LiveObjects()) << "the sink the plug-in still holds";
    EXPECT_EQ(0u, sink->Release());
    EXPECT_EQ(0, m_control->LiveObjects());

    m_control->Reset();
    EXPECT_EQ(0, m_control->ForeignSinkReleases()) << "forgotten by Reset";
}

// A held call waits where a hung firewall would, and the firewall's other calls go on meanwhile.
TEST_F(HostFirewallStandInTest, AHeldCallWaitsUntilReleasedAndTheRestGoesOn) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Register(client, kProductId));
    m_control->ClearCalls();
    m_control->HoldCall("policies.AddPolicy");
    EXPECT_FALSE(m_control->WaitForHeldCall(0));

    ZrtFire::Result committed = -1;
    std::thread caller([&] { committed = CommitRule(client.policies.Get(), {kUser1}); });
    ASSERT_TRUE(m_control->WaitForHeldCall(10000));
    EXPECT_EQ(std::wstring::npos, RulesNow().find(L"policy {F2BB6CE4")) << "not committed while held";
    Ref<ZrtFire::IPolicyManager> other;
    EXPECT_EQ(0, client.product->GetInterface(other.PutVoid(), &ZrtFire::kPolicyManagerInterface))
        << "another call meanwhile";
    other.Reset();
    EXPECT_TRUE(m_control->WaitForHeldCall(0)) << "still held";

    m_control->ReleaseHeldCall();
    caller.join();
    EXPECT_EQ(0, committed);
    EXPECT_FALSE(m_control->WaitForHeldCall(0));
    const std::wstring calls = Calls();
    EXPECT_NE(std::wstring::npos, calls.find(L"policies.AddPolicy\nproduct.GetInterface")) << "held after it was recorded";
    EXPECT_NE(std::wstring::npos, RulesNow().find(L"policy {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F}"));

    // Only the next call of the operation is held; Reset lets a held call go as well.
    EXPECT_EQ(0, CommitRule(client.policies.Get(), {kUser2}));
    m_control->HoldCall("AddPolicy");
    std::thread held([&] { committed = CommitRule(client.policies.Get(), {kUser1}); });
    ASSERT_TRUE(m_control->WaitForHeldCall(10000));
    m_control->Reset();
    held.join();
    EXPECT_FALSE(m_control->WaitForHeldCall(0));
}

}  // namespace
