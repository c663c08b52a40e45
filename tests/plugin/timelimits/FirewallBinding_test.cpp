// The time-restriction rule against the host firewall's stand-in (zrtfwctl.dll in
// <program folder>\hostfirewall): how the control library is found, registration as a point
// product, the exact firewall calls for each change of the blocked users, the firewall's events.
// The library is named by the 32-bit registry view, which only the real machine registry has.

#include "plugin/timelimits/NotComDll.h"
#include "plugin/timelimits/PointProduct.h"
#include "plugin/timelimits/TimeRestrictionRuleManager.h"

#include "tests/plugin/timelimits/FirewallStandInFixture.h"
#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <oleauto.h>

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using HostFirewallStandIn::BlockEvent;
using HostFirewallStandIn::IHostFirewallControl;
using Lines = std::vector<std::wstring>;

const std::wstring kSid1 = L"S-1-5-21-100-200-300-1001";
const std::wstring kSid2 = L"S-1-5-21-100-200-300-1002";
const std::wstring kSid3 = L"S-1-5-21-100-200-300-1003";

using NuvTest::FirewallStandInFixture;
constexpr const wchar_t* kSettingsKey = FirewallStandInFixture::kSettingsKey;

// The host-firewall thread as the event handler sees it.
class RecordingListener : public CTimeRestrictionListener {
public:
    void OnTrafficBlocked(const wchar_t* application, DWORD processId, const wchar_t* localAddress, WORD localPort,
                          const wchar_t* remoteAddress, WORD remotePort) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_notices.push_back(std::wstring(application) + L" " + std::to_wstring(processId) + L" " + localAddress + L":" +
                            std::to_wstring(localPort) + L" " + remoteAddress + L":" + std::to_wstring(remotePort) +
                            L" thread " + (::GetCurrentThreadId() == m_testThread ? L"test" : L"other"));
    }
    Lines Notices() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_notices;
    }

private:
    const DWORD m_testThread = ::GetCurrentThreadId();
    std::mutex m_lock;
    Lines m_notices;
};

class FirewallBindingTest : public FirewallStandInFixture {
protected:
    void SetUp() override {
        FirewallStandInFixture::SetUp();
        m_guard.DeleteValue(kSettingsKey, L"ApplyTimeRestrictionToUDP");
    }

    static Lines BuildCalls(const Lines& sids, bool udp = true) {
        Lines calls = {L"product.GetInterface {44EEFC7C-A76A-4AF4-ABD9-C933CAB67361}",
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
                       L"match.AddProtocol 6 0"};
        if (udp) calls.push_back(L"match.AddProtocol 17 0");
        for (const std::wstring& sid : sids) calls.push_back(L"match.AddUserSid " + sid + L" " + std::to_wstring(sid.size()) + L" 0");
        calls.push_back(L"match.SetOwner Oberix 6 1");
        calls.push_back(L"policy.AddRule");
        calls.push_back(L"policies.AddPolicy");
        return calls;
    }
    static Lines RegisterCalls(const Lines& sids, bool udp = true) {
        Lines calls = {L"NotComDllGetInterface SarvexRegisterPointProduct3",
                       L"factory.Register {9181CD33-2825-4A7F-B7C5-84F8D82F3542} {448B74DD-D792-4B03-A61D-773F059C1C50}",
                       L"product.RegisterNotify {01A4D9AD-2547-4337-AA45-4FF4D6536CCC}"};
        const Lines build = BuildCalls(sids, udp);
        calls.insert(calls.end(), build.begin(), build.end());
        return calls;
    }
    static Lines UnregisterCalls() {
        return {L"product.GetInterface {44EEFC7C-A76A-4AF4-ABD9-C933CAB67361}",
                L"policies.CreatePolicyBuilder",
                L"policy.DeleteRule {23402C5D-17F6-4A34-A69D-66E731F6E2FC}",
                L"product.GetInterface {44EEFC7C-A76A-4AF4-ABD9-C933CAB67361}",
                L"policies.DeletePolicy {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F}",
                L"product.Shutdown",
                L"product.Released"};
    }

    RecordingListener m_listener;
};

TEST_F(FirewallBindingTest, EachChangeOfTheBlockedUsersMakesItsFirewallCalls) {
    CTimeRestrictionRuleManager manager;
    manager.SetListener(&m_listener);
    EXPECT_TRUE(manager.Apply()) << "nobody before, nobody now";
    EXPECT_EQ(Lines{}, TakeCalls());

    // Set order, not insertion order: the SIDs are an ordered set.
    manager.AddUser(kSid2);
    manager.AddUser(kSid1);
    EXPECT_TRUE(manager.Apply());
    EXPECT_TRUE(manager.IsRegistered());
    EXPECT_EQ(RegisterCalls({kSid1, kSid2}), TakeCalls());
    const Lines rules = Rules();
    ASSERT_FALSE(rules.empty());
    bool sawRule = false;
    for (const std::wstring& line : rules) {
        if (line.rfind(L"rule {23402C5D", 0) != 0) continue;
        sawRule = true;
        EXPECT_NE(std::wstring::npos, line.find(L"name VYX Time Restriction")) << line;
        EXPECT_NE(std::wstring::npos, line.find(L"users " + kSid1 + L" " + kSid2)) << line;
        EXPECT_NE(std::wstring::npos, line.find(L"owner Oberix")) << line;
    }
    EXPECT_TRUE(sawRule) << rules.front();

    manager.RemoveUser(kSid1);
    manager.RemoveUser(kSid2);
    manager.AddUser(kSid3);
    EXPECT_TRUE(manager.Apply());
    EXPECT_EQ(BuildCalls({kSid3}), TakeCalls()) << "other users: the rule is rebuilt";
    EXPECT_TRUE(manager.Apply());
    EXPECT_EQ(BuildCalls({kSid3}), TakeCalls()) << "the same users: rebuilt again";

    manager.RemoveUser(kSid3);
    EXPECT_TRUE(manager.Apply());
    EXPECT_EQ(UnregisterCalls(), TakeCalls());
    EXPECT_FALSE(manager.IsRegistered());
    EXPECT_EQ(Lines{}, Rules()) << "no policy, no rule, no point product left";
}

TEST_F(FirewallBindingTest, UdpIsBlockedUnlessTheSettingSaysZero) {
    const struct {
        const char* name;
        bool set;
        DWORD value;
        bool udp;
    } cases[] = {{"not set", false, 0, true}, {"0", true, 0, false}, {"1", true, 1, true}, {"5", true, 5, true}};
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        m_control->ClearCalls();  // the previous row's manager unregistered on its way out
        if (row.set) {
            ASSERT_TRUE(m_guard.SetDword(kSettingsKey, L"ApplyTimeRestrictionToUDP", row.value));
        } else {
            m_guard.DeleteValue(kSettingsKey, L"ApplyTimeRestrictionToUDP");
        }
        CTimeRestrictionRuleManager manager;
        EXPECT_EQ(row.udp, manager.BlocksUdp());
        manager.AddUser(kSid1);
        EXPECT_TRUE(manager.Apply());
        EXPECT_EQ(RegisterCalls({kSid1}, row.udp), TakeCalls());
    }
}

TEST_F(FirewallBindingTest, SidsDifferingOnlyInCaseAreOneUserAndEmptySidsNobody) {
    CTimeRestrictionRuleManager manager;
    manager.AddUser(L"s-1-5-21-100-200-300-1001");
    manager.AddUser(kSid1);
    manager.AddUser(L"");
    EXPECT_TRUE(manager.Apply());
    EXPECT_EQ(RegisterCalls({L"s-1-5-21-100-200-300-1001"}), TakeCalls());
}

TEST_F(FirewallBindingTest, ARefusedRegistrationIsTriedAgainWhileUsersAreBlocked) {
    CTimeRestrictionRuleManager manager;
    m_control->SetResult("Register", E_FAIL);
    manager.AddUser(kSid1);
    EXPECT_FALSE(manager.Apply());
    EXPECT_FALSE(manager.IsRegistered());
    EXPECT_EQ(Lines({L"NotComDllGetInterface SarvexRegisterPointProduct3",
                     L"factory.Register {9181CD33-2825-4A7F-B7C5-84F8D82F3542} {448B74DD-D792-4B03-A61D-773F059C1C50}"}),
              TakeCalls());
    m_control->ResetResults();
    EXPECT_TRUE(manager.Apply()) << "the same users, now registered";
    EXPECT_EQ(RegisterCalls({kSid1}), TakeCalls());

    // A refused notification registration is also retried, without leaking what it got.
    manager.RemoveUser(kSid1);
    EXPECT_TRUE(manager.Apply());
    m_control->SetResult("RegisterNotify", E_FAIL);
    manager.AddUser(kSid2);
    EXPECT_FALSE(manager.Apply());
    m_control->ResetResults();
    EXPECT_TRUE(manager.Apply());
    EXPECT_TRUE(manager.IsRegistered());
}

TEST_F(FirewallBindingTest, BlockEventsOfTheRuleGetTheBlockVerdictAndReachTheListener) {
    CTimeRestrictionRuleManager manager;
    manager.SetListener(&m_listener);
    manager.AddUser(kSid1);
    ASSERT_TRUE(manager.Apply());
    TakeCalls();

    BlockEvent event;
    event.eventKey = 0x1234;
    event.application = L"C:\\Games\\game.exe";
    event.processId = 4242;
    event.localAddress = {{10, 0, 0, 5}, 4};
    event.localPort = 50000;
    event.remoteAddress = {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 6};
    event.remotePort = 443;
    const GUID other = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};
    const struct {
        const char* name;
        const GUID* rule;
        const GUID* policy;
        bool ours;
    } cases[] = {
        {"rule id", &CTimeRestrictionRuleManager::kRuleId, &other, true},
        {"policy id", &other, &CTimeRestrictionRuleManager::kPolicyId, true},
        {"neither", &other, &other, false},
        {"no ids", nullptr, nullptr, false},
        {"policy id without a rule id", nullptr, &CTimeRestrictionRuleManager::kPolicyId, true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        event.ruleId = row.rule;
        event.policyId = row.policy;
        const size_t before = m_listener.Notices().size();
        EXPECT_EQ(0, m_control->FireBlockEvent(event));
        EXPECT_EQ(row.ours ? Lines{L"product.SetVerdict 4660 6 0 0"} : Lines{}, TakeCalls());
        const Lines notices = m_listener.Notices();
        ASSERT_EQ(before + (row.ours ? 1 : 0), notices.size());
        if (row.ours) {
            EXPECT_EQ(L"C:\\Games\\game.exe 4242 10.0.0.5:50000 0000:0000:0000:0000:0000:0000:0000:0001:443 thread other",
                      notices.back());
        }
    }
    manager.RemoveUser(kSid1);
    EXPECT_TRUE(manager.Apply());
    TakeCalls();
}

TEST_F(FirewallBindingTest, TheControlLibraryStaysLoadedWhileItsPointProductIsHeld) {
    CHeldPointProduct product;
    ASSERT_TRUE(_RegisterAsPointProduct(product, CTimeRestrictionRuleManager::kProductId));
    ::FreeLibrary(m_standIn);  // the test's own reference
    m_standIn = nullptr;
    EXPECT_NE(nullptr, ::GetModuleHandleW(StandInPath().c_str())) << "the factory is gone, the product is not";
    product.Get()->Shutdown();
    product.Reset();
    EXPECT_EQ(nullptr, ::GetModuleHandleW(StandInPath().c_str()));
    SetUp();  // the control again, for the checks at the end
    EXPECT_EQ(0, m_control->LiveObjects());
}

TEST_F(FirewallBindingTest, WhereTheControlLibraryIsLookedFor) {
    NuvTest::ScratchFolder empty(L"fw-empty");
    NuvTest::ScratchFolder current(L"fw-current");
    ASSERT_TRUE(current.CopyIn(StandInPath(), L"zrtfwctl.dll"));
    wchar_t saved[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, saved);
    ::SetCurrentDirectoryW(current.Path().c_str());
    const std::wstring inStandInFolder = StandInPath();
    const struct {
        const char* name;
        const wchar_t* platformFolder;  // null: no value
        bool searchStandInModule;       // the module searched last: the stand-in (else the program)
        std::wstring loadedFrom;        // empty: nothing loaded
    } cases[] = {
        {"the platform folder", L"<stand-in>", false, inStandInFolder},
        {"platform folder without it: the module's folder", L"<empty>", true, inStandInFolder},
        {"no platform folder: the module's folder", nullptr, true, inStandInFolder},
        // The current directory holds a copy: it must not be loaded.
        {"nowhere but the current directory", nullptr, false, L""},
        {"platform folder without it, program folder without it", L"<empty>", false, L""},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        RemovePlatformFolder();
        if (row.platformFolder != nullptr) {
            ASSERT_TRUE(SetPlatformFolder(std::wstring(row.platformFolder) == L"<empty>" ? empty.Path() : StandInFolder()));
        }
        CNotComDll library(L"zrtfwctl.dll", row.searchStandInModule ? m_standIn : nullptr);
        EXPECT_EQ(0u, library.Load());
        if (row.loadedFrom.empty()) {
            EXPECT_EQ(nullptr, library.Handle()) << "loaded " << std::string(library.Path().begin(), library.Path().end());
        } else {
            EXPECT_EQ(m_standIn, library.Handle()) << std::string(library.Path().begin(), library.Path().end());
        }
    }
    ::SetCurrentDirectoryW(saved);
    CNotComDll tooLong(std::wstring(MAX_PATH, L'a'));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), tooLong.Load());
    CNotComDll asGiven(StandInPath());
    EXPECT_EQ(0u, asGiven.Load());
    EXPECT_EQ(m_standIn, asGiven.Handle()) << "a full path is used as it is";
}

TEST(IpAddressToText, BothFamiliesAndNoOther) {
    const struct {
        ZrtFire::Address address;
        const wchar_t* text;
    } cases[] = {
        {{{127, 0, 0, 1}, 4}, L"127.0.0.1"},
        {{{255, 254, 0, 10}, 4}, L"255.254.0.10"},
        {{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 6}, L"0000:0000:0000:0000:0000:0000:0000:0001"},
        {{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0xab, 0xcd, 0xef, 0x01}, 6},
         L"2001:0db8:0000:0000:0000:0000:abcd:ef01"},
        {{{1, 2, 3, 4}, 0}, L""},
        {{{1, 2, 3, 4}, 5}, L""},
    };
    for (const auto& row : cases) EXPECT_EQ(row.text, IpAddressToText(row.address));
}

}  // namespace
