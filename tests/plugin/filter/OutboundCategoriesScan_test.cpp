// The categories scan's verdicts for the two category modes, the allowed list, the category-name
// look-ups and when an allowed page lends its links, with a table-driven classifier.
#include "plugin/filter/OutboundCategoriesScan.h"

#include "plugin/filter/UrlClassification.h"
#include "tests/support/ScopedReplacement.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class TableClassifier : public IUrlClassifier {
public:
    int Classify(const wchar_t* url, char* result, DWORD* size, const wchar_t* processPath) override {
        ++calls;
        lastUrl = url;
        lastProcess = processPath;
        if (mask == nullptr) return 0;
        std::strncpy(result, mask, *size);
        *size = static_cast<DWORD>(std::strlen(mask));
        return 1;
    }
    const char* mask = nullptr;  // null: no classification
    int calls = 0;
    std::wstring lastUrl;
    std::wstring lastProcess;
};

class RecordingCategoriesCallback : public IOutboundCategoriesScanCallback {
public:
    void OnOutboundURLCategories(COutboundCategoriesScan::CState&) override {}
    void EnableEmbeddedUrlScan() override { ++embedded; }
    int embedded = 0;
};

constexpr char kNone[] = "00000000000000000000000000000000";
constexpr char kAdult[] = "00000000000000000000000000004000";    // code 116
constexpr char kGames[] = "00000000000000000000000000080000";    // code 121
constexpr char kNoLinks[] = "00000000000000000000040000000000";  // the category that lends no links

class CategoriesScanTest : public ::testing::Test {
protected:
    struct Outcome {
        bool passed;
        LONG nameId;
        std::wstring matched;
        int embedded;
        int lookUps;
    };
    Outcome Run(const char* userMask, LONG mode, const char* urlMask, bool allowedByList = false) {
        m_classifier.mask = urlMask;
        m_classifier.calls = 0;
        RecordingCategoriesCallback callback;
        COutboundCategoriesScan::CState state(&callback, userMask, mode, ::GetCurrentProcessId());
        state.m_strUrl.Assign("www.example.com/page?x=1");
        state.m_bAllowedByList = allowedByList;
        m_scan.Scan(state);
        return {state.m_bPassed, state.m_nCategoryNameId, state.m_strMatchedMask.GetString(), callback.embedded,
                m_classifier.calls};
    }

    TableClassifier m_classifier;
    NuvTest::ScopedReplacement<IUrlClassifier*> m_installed{SetUrlClassifier, &m_classifier};
    COutboundCategoriesScan m_scan{CategoryMap{{L"00000000000000000000000000004000", 30116},
                                               {L"00000000000000000000000000080000 00000000000000000000000000100000", 0},
                                               {L"0000000000000000000000000000000C", 30102}}};
};

TEST_F(CategoriesScanTest, VerdictsByModeAndList) {
    const struct {
        const char* name;
        const char* userMask;
        LONG mode;
        const char* urlMask;  // null: no classification
        bool allowedByList;
        bool passed;
        LONG nameId;
        const wchar_t* matched;
        int embedded;
        int lookUps;
    } cases[] = {
        {"mode 0 blocking nothing: no look-up", kNone, 0, kAdult, false, true, 0, L"", 0, 0},
        {"mode 0, URL of a blocked category", kAdult, 0, kAdult, false, false, 30116, L"00000000000000000000000000004000", 0, 1},
        {"mode 0, blocked category without a name", "00000000000000000000000000100020", 0, "00000000000000000000000000100000",
         false, false, 0, L"00000000000000000000000000100020", 0, 1},
        {"mode 0, URL of another category", kAdult, 0, kGames, false, true, 0, L"", 0, 1},
        {"mode 1, URL outside the allowed ones: first intersecting name, id 0 becomes 20115", kAdult, 1, kGames, false,
         false, 20115, L"00000000000000000000000000080000 00000000000000000000000000100000", 0, 1},
        {"mode 1, URL of no named category", kAdult, 1, "00000000000000000000000000000002", false, false, 20115, L"", 0, 1},
        {"mode 1, URL in an allowed category lends its links", kAdult, 1, kAdult, false, true, 0, L"", 1, 1},
        {"mode 1, allowed category that lends no links", "00000000000000000000040000004000", 1,
         "00000000000000000000040000000000", false, true, 0, L"", 0, 1},
        {"no known code: none, passed in mode 0", kAdult, 0, kNone, false, true, 0, L"", 0, 1},
        {"no known code: none, blocked in mode 1", kAdult, 1, kNone, false, false, 20115, L"", 0, 1},
        {"allowed list: passed whatever the category, links lent", kAdult, 0, kAdult, true, true, 0, L"", 1, 1},
        {"allowed list, category that lends no links", kNone, 0, kNoLinks, true, true, 0, L"", 0, 1},
        {"no classification: passed", kAdult, 1, nullptr, false, true, 0, L"", 0, 1},
    };
    for (const auto& c : cases) {
        const Outcome outcome = Run(c.userMask, c.mode, c.urlMask, c.allowedByList);
        EXPECT_EQ(c.passed, outcome.passed) << c.name;
        EXPECT_EQ(c.nameId, outcome.nameId) << c.name;
        EXPECT_EQ(std::wstring(c.matched), outcome.matched) << c.name;
        EXPECT_EQ(c.embedded, outcome.embedded) << c.name;
        EXPECT_EQ(c.lookUps, outcome.lookUps) << c.name;
    }
}

TEST_F(CategoriesScanTest, TheLookUpGetsTheUrlAndTheRequestingProcess) {
    Run(kAdult, 0, kAdult);
    EXPECT_EQ(L"www.example.com/page?x=1", m_classifier.lastUrl);
    EXPECT_NE(std::wstring::npos, m_classifier.lastProcess.find(L"plugin_filter_tests.exe")) << m_classifier.lastProcess;
    EXPECT_EQ(L"", COutboundCategoriesScan::ProcessImagePath(0xFFFFFFF0u));
}

TEST(CategoryNames, LookUpsInTheNameTable) {
    const COutboundCategoriesScan scan(CategoryMap{{L"0000000000000000000000000000000c", 30102}});
    EXPECT_EQ(30102, scan.GetCategoryNameId(L"0000000000000000000000000000000C")) << "keys without case";
    EXPECT_EQ(0, scan.GetCategoryNameId(L"00000000000000000000000000004000"));
    CSafeStringW matched;
    EXPECT_EQ(30102, scan.FindCategoryNameId(L"00000000000000000000000000000004", matched));
    EXPECT_STREQ(L"0000000000000000000000000000000c", matched.GetString());
}

}  // namespace
