#pragma once
// The event-broker stand-in (registered in the test prefix), reset for each test, read and steered
// through its control object.

#include "suite/eventbroker/EventBrokerRecords.h"

#include "nuvutil/com/CoInitializeScope.h"

#include <gtest/gtest.h>
#include <eventbroker.h>
#include <wrl/client.h>

#include <vector>

namespace NuvTest {

// A one-shot answer of the broker: what the next Get of an interface gets.
struct BrokerAnswer {
    HRESULT result;
    DWORD status;
    EventBrokerHandlerKind handler;
};

class BrokerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        ASSERT_NO_THROW(m_control = EventBrokerStandIn::CreateControl());
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ASSERT_HRESULT_SUCCEEDED(m_control->SetCreationResult(S_OK));
        ASSERT_HRESULT_SUCCEEDED(m_control->GetLiveHandlerCount(&m_liveAtStart));
    }
    void TearDown() override {
        if (m_control) {
            m_control->SetCreationResult(S_OK);
            m_control->Reset();
        }
    }

    std::vector<EventBrokerStandIn::BrokerCallRecord> BrokerCalls() {
        return EventBrokerStandIn::ReadBrokerCalls(m_control.Get());
    }
    std::vector<EventBrokerStandIn::HandlerCallRecord> HandlerCalls() {
        return EventBrokerStandIn::ReadHandlerCalls(m_control.Get());
    }
    // Handlers alive now that were not at the start of the test.
    ULONG LiveHandlers() {
        ULONG count = 0;
        EXPECT_HRESULT_SUCCEEDED(m_control->GetLiveHandlerCount(&count));
        return count - m_liveAtStart;
    }
    // The answer to every Get of the interface from now on.
    void Answer(REFIID iid, HRESULT hr, DWORD status, EventBrokerHandlerKind kind) {
        ASSERT_HRESULT_SUCCEEDED(m_control->SetBrokerAnswer(iid, hr, status, kind));
    }
    // Answers for the next Gets of the interface, in order.
    void QueueAnswers(REFIID iid, const std::vector<BrokerAnswer>& answers) {
        for (const BrokerAnswer& a : answers) {
            ASSERT_HRESULT_SUCCEEDED(m_control->QueueBrokerAnswer(iid, a.result, a.status, a.handler));
        }
    }
    // Results of the next calls to the interface's handler, in order.
    void QueueResults(REFIID iid, const std::vector<HRESULT>& results) {
        for (HRESULT hr : results) ASSERT_HRESULT_SUCCEEDED(m_control->QueueHandlerResult(iid, hr));
    }

    NuvCom::CCoInitialize m_com{COINIT_MULTITHREADED};
    Microsoft::WRL::ComPtr<IEventBrokerControl> m_control;
    ULONG m_liveAtStart = 0;
};

}  // namespace NuvTest
