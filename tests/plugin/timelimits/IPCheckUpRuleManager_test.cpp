// The IP check-up rule against the host firewall's stand-in: the firewall calls for each change of
// the users, the inspection plug-in taking only open outbound TCP connections and handing them to
// its listener, the answer with its verdict, the reverse name look-up.

#include "plugin/timelimits/IPCheckUpRuleManager.h"

#include "tests/plugin/timelimits/FirewallStandInFixture.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

using HostFirewallStandIn::OfferedConnection;
using NuvTest::FirewallStandInFixture;
using Lines = std::vector<std::wstring>;

const std::wstring kSid1 = L"S-1-5-21-100-200-300-1001";
const std::wstring kSid2 = L"S-1-5-21-100-200-300-1002";

// The host-firewall thread as the plug-in sees it: keeps what it is offered.
class QueueingListener : public CIPCheckUpListener {
public:
    void OnConnect(ZrtFire::IConnection* connection) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_connections.push_back(connection);
    }
    std::vector<ZrtFire::IConnection*> Take() {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::move(m_connections);
    }

private:
    std::mutex m_lock;
    std::vector<ZrtFire::IConnection*> m_connections;
};

class IPCheckUpTest : public FirewallStandInFixture {
protected:
    static Lines BuildCalls(const Lines& sids) {
        Lines calls = {L"product.GetInterface {44EEFC7C-A76A-4AF4-ABD9-C933CAB67361}",
                       L"policies.CreatePolicyBuilder",
                       L"policy.SetPolicyId {5C7F8B66-BBA4-4FC6-B91B-517B962B5428} 4",
                       L"policy.SetPrecedence 1 0",
                       L"policy.SetEnabled 1",
                       L"policies.CreateRuleBuilder",
                       L"rule.CreateRule {C890594E-3FD1-4DF1-B0B7-5D7B8D0FB0D5}",
                       L"rule.GetMatchBuilder",
                       L"rule.SetName VYX IP Checkup",
                       L"rule.SetEnabled 1",
                       L"rule.SetAction 10 * 30",
                       L"match.AddProtocol 6 0",
                       L"match.SetDirection 2 0",
                       L"match.SetConnectionState 2 0",
                       L"policies.CreateAggregateBuilder",
                       L"aggregate.GetAddressList",
                       L"addresses.AddAddress 4 127.0.0.1 0",
                       L"aggregate.GetAddressList",
                       L"addresses.AddAddress 4 0000:0000:0000:0000:0000:0000:0000:0001 0",
                       L"policy.AddAggregate {787FC04D-B406-446D-85B8-FDA770A4ED76}",
                       L"match.AddAggregateMatch 65538 {787FC04D-B406-446D-85B8-FDA770A4ED76} 1",
                       L"match.AddProcessId " + std::to_wstring(::GetCurrentProcessId()) + L" 1"};
        for (const std::wstring& sid : sids) calls.push_back(L"match.AddUserSid " + sid + L" " + std::to_wstring(sid.size()) + L" 0");
        calls.push_back(L"match.SetOwner Oberix 6 1");
        calls.push_back(L"policy.AddRule");
        calls.push_back(L"policies.AddPolicy");
        return calls;
    }

    QueueingListener m_listener;
};

TEST_F(IPCheckUpTest, UsersChangingMakeTheirFirewallCallsAndTheSameUsersNone) {
    CIPCheckUpRuleManager manager;
    manager.SetListener(&m_listener);
    manager.AddUser(kSid1);
    EXPECT_TRUE(manager.Apply());
    EXPECT_TRUE(manager.IsRegistered());
    Lines calls = TakeCalls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(L"factory.Register {9181CD33-2825-4A7F-B7C5-84F8D82F3542} {B6CBE347-5A36-40C9-95CC-DAB6F0C3EFDB}", calls[1]);
    const Lines build = BuildCalls({kSid1});
    ASSERT_GE(calls.size(), build.size());
    EXPECT_EQ(build, Lines(calls.end() - static_cast<long>(build.size()), calls.end()));

    manager.ClearUsers();
    manager.AddUser(L"s-1-5-21-100-200-300-1001");
    EXPECT_TRUE(manager.Apply());
    EXPECT_EQ(Lines{}, TakeCalls()) << "the same user: the firewall is left alone";

    manager.AddUser(kSid2);
    EXPECT_TRUE(manager.Apply());
    EXPECT_EQ(BuildCalls({L"s-1-5-21-100-200-300-1001", kSid2}), TakeCalls()) << "the SIDs as last given";

    manager.ClearUsers();
    EXPECT_TRUE(manager.Apply());
    EXPECT_FALSE(manager.IsRegistered());
    EXPECT_EQ(Lines{}, Rules()) << "rule, policy and point product gone";
}

TEST_F(IPCheckUpTest, OnlyOpenOutboundTcpConnectionsAreTakenAndEachIsAnsweredOnce) {
    CIPCheckUpRuleManager manager;
    manager.SetListener(&m_listener);
    manager.AddUser(kSid1);
    ASSERT_TRUE(manager.Apply());
    const struct {
        const char* name;
        BYTE protocol;
        long state;
        bool taken;
        bool block;
    } cases[] = {
        {"open TCP, blocked", 6, 2, true, true},
        {"open TCP, allowed", 6, 2, true, false},
        {"UDP", 17, 2, false, false},
        {"TCP in another state", 6, 3, false, false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        OfferedConnection offered;
        offered.remoteAddress = {{93, 184, 216, 34}, 4};
        offered.protocol = row.protocol;
        offered.state = row.state;
        offered.processId = 4242;
        offered.processPath = L"C:\\Games\\game.exe";
        long number = 0;
        EXPECT_EQ(row.taken ? 1 : 0, m_control->OfferConnection(offered, &number));
        const std::vector<ZrtFire::IConnection*> queued = m_listener.Take();
        ASSERT_EQ(row.taken ? 1u : 0u, queued.size());
        if (!row.taken) continue;
        EXPECT_TRUE(manager.NotifyCompletion(queued[0], row.block));
        const std::wstring outcome = std::to_wstring(number) + L" offered 1 verdict " + (row.block ? L"6" : L"1") +
                                     L" complete 1";
        bool found = false;
        for (const std::wstring& line : HostFirewallStandIn::TakeLines(m_control->ConnectionOutcomes())) {
            if (line == outcome) found = true;
        }
        EXPECT_TRUE(found) << std::string(outcome.begin(), outcome.end());
    }
    EXPECT_EQ(0, m_control->OpenConnections());
}

TEST_F(IPCheckUpTest, WithoutAListenerNothingIsHeld) {
    CIPCheckUpRuleManager manager;
    manager.AddUser(kSid1);
    ASSERT_TRUE(manager.Apply());
    OfferedConnection offered;
    offered.remoteAddress = {{10, 0, 0, 1}, 4};
    EXPECT_EQ(0, m_control->OfferConnection(offered, nullptr));
    EXPECT_EQ(0, m_control->OpenConnections());
}

TEST_F(IPCheckUpTest, TheRemoteEndIsNamedByTheResolverElseByItsAddress) {
    CIPCheckUpRuleManager manager;
    manager.AddUser(kSid1);
    ASSERT_TRUE(manager.Apply());
    const ZrtFire::Address known = {{93, 184, 216, 34}, 4};
    const ZrtFire::Address unknown = {{10, 1, 2, 3}, 4};
    m_control->SetReverseName(known, L"games.test");
    TakeCalls();
    std::wstring host, text;
    manager.ReverseDNSLookUp(known, host, text);
    EXPECT_EQ(L"games.test", host);
    EXPECT_EQ(L"93.184.216.34", text);
    manager.ReverseDNSLookUp(unknown, host, text);
    EXPECT_EQ(L"10.1.2.3", host) << "judged by its address text";
    EXPECT_EQ(L"10.1.2.3", text);
    const Lines calls = TakeCalls();
    EXPECT_EQ(L"resolver.OnLookupFailed", calls.back()) << "the resolver hears of the failed look-up";
}

}  // namespace
