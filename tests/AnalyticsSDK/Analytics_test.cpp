// The analytics client: the flat JSON record, the refused dimensions, and events sent to the
// service stand-in or dropped through the null transport when it cannot be created.
#include "AnalyticsAPI/Analytics.h"

#include "AnalyticsControl.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>

namespace {

using namespace Korin::Analytics;

TEST(AnalyticsJson, OneFlatObjectWithEscapes) {
    CJSONFormatter formatter;
    std::wstring text = L"old";
    EXPECT_FALSE(formatter.Format(Record{}, text));
    EXPECT_EQ(L"", text);
    const Record record = {{L"a", L"x\x1Fy"}, {L"b/c", L"C:\\\\dir\\\\tool.exe"}, {L"q", L"\"\b\t\n\f\r\x7F\x9F\xA0"}};
    ASSERT_TRUE(formatter.Format(record, text));
    EXPECT_EQ(L"{\"a\":\"x\\u001Fy\",\"b\\/c\":\"C:\\\\\\\\dir\\\\\\\\tool.exe\",\"q\":\"\\\"\\b\\t\\n\\f\\r\\u007F\\u009F\xA0\"}",
              text);
}

TEST(AnalyticsTracker, ReservedAndNullNamesAreRefused) {
    NuvTest::TakeLoggedLines();
    v1::CEvent event;
    event.Add(L"__private", L"v").Add(nullptr, L"v").Add(L"Name", nullptr).Add(L"Count", 7).UserInitiated(false);
    EXPECT_EQ((Record{{L"Count", L"7"}, {L"Name", L""}, {L"UserInitiated", L"false"}}), event.GetRecord());
    const auto lines = NuvTest::TakeLoggedLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"Illegal request to add private dimension ('__private ='v') - Ignored", lines[0].text);
    EXPECT_EQ(L"Adding dimension with a [null] name - ignored.", lines[1].text);
    EXPECT_EQ(2u, lines[0].level);
}

class AnalyticsServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(__uuidof(QvAnalyticsControl), nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_PPV_ARGS(&m_control)));
        m_control->Reset();
    }
    std::wstring Record(ULONG index) {
        NuvCom::CBstr record;
        return SUCCEEDED(m_control->GetRecord(index, record.Put())) ? std::wstring(record.Get(), record.Length()) : L"?";
    }
    ULONG Records() {
        ULONG count = 0;
        m_control->GetRecordCount(&count);
        return count;
    }

    NuvCom::CCoInitialize m_com{COINIT_MULTITHREADED};
    Microsoft::WRL::ComPtr<IQvAnalyticsControl> m_control;
};

TEST_F(AnalyticsServiceTest, AFinishedEventReachesTheServiceAsOneRecord) {
    v1::CTrack track;
    EXPECT_TRUE(track.Event(L"NUV_Blocked Sites")
                    .Category(L"Parental Control")
                    .Action(L"Sites Blocked")
                    .Label(L"Blocked Site Count")
                    .UserInitiated(true)
                    .Add(L"Sites.Blocked", 10)
                    .Finish());
    ASSERT_EQ(1u, Records());
    const std::wstring json = Record(0);
    for (const wchar_t* member :
         {L"\"UniqueIdentifier\":\"NUV_Blocked Sites\"", L"\"Event.Category\":\"Parental Control\"",
          L"\"Event.Action\":\"Sites Blocked\"", L"\"Event.Label\":\"Blocked Site Count\"", L"\"UserInitiated\":\"true\"",
          L"\"Sites.Blocked\":\"10\"", L"\"__track.api.version\":\"1.2.0\"", L"\"Tracker.Type\":\"event\"",
          L"\"__transport.name\":\"Legacy v1\"", L"\"__record.created\":\"20", L"\"__record.created.seconds\":\"",
          L"analytics_tests.exe\""}) {
        EXPECT_NE(std::wstring::npos, json.find(member)) << member << " in " << json;
    }
    // The caller's path: back-slashes doubled by the library, doubled again by the escaping.
    EXPECT_NE(std::wstring::npos, json.find(L"\\\\\\\\bin\\\\\\\\analytics_tests.exe")) << json;
}

TEST_F(AnalyticsServiceTest, WithoutTheServiceTheNullTransportDropsTheRecord) {
    m_control->SetCreationResult(REGDB_E_CLASSNOTREG);
    CSDKConnector connector;
    EXPECT_TRUE(connector.Connect());
    ASSERT_NE(nullptr, connector.Transport());
    EXPECT_EQ(L"NULL-Pattern", connector.Transport()->GetName());
    EXPECT_TRUE(connector.Send({{L"k", L"v"}}));
    v1::CEvent event;
    event.Category(L"c");
    EXPECT_TRUE(event.Finish());
    EXPECT_EQ(0u, Records());
}

TEST_F(AnalyticsServiceTest, AFailingServiceCallIsOnlyAFalseSend) {
    m_control->SetCallResult(E_FAIL);
    CLegacyTransport transport;
    EXPECT_TRUE(transport.Open());
    EXPECT_FALSE(transport.Send({{L"k", L"v"}}));
    EXPECT_FALSE(transport.Send({})) << "an empty record is not sent";
    EXPECT_EQ(1u, Records());
}

}  // namespace
