// The process-wide table of scan algorithms and the base of every scan state.

#include "plugin/filter/ScanAlgorithm.h"
#include "plugin/filter/InboundEmbeddedUrlScan.h"
#include "plugin/filter/InboundHttpResponseScan.h"
#include "plugin/filter/OutboundCategoriesScan.h"
#include "plugin/filter/OutboundHttpRequestScan.h"
#include "plugin/filter/OutboundSearchScan.h"

#include "plugin/core/NuvException.h"
#include "tests/plugin/filter/ScanTestDoubles.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// An algorithm that records its life and calls in a shared log.
class RecordingAlgorithm : public IScanAlgorithm {
public:
    RecordingAlgorithm(int id, std::vector<std::string>& log) : m_id(id), m_log(log) {
        m_log.push_back("make " + std::to_string(id));
    }
    ~RecordingAlgorithm() override { m_log.push_back("delete " + std::to_string(m_id)); }
    void Scan(CScanAlgorithmState&) override { m_log.push_back("scan " + std::to_string(m_id)); }
    void ReloadSearchEngines() override { m_log.push_back("reload " + std::to_string(m_id)); }

private:
    int m_id;
    std::vector<std::string>& m_log;
};

class ScanAlgorithmTest : public ::testing::Test {
protected:
    void TearDown() override { DestroyScanAlgorithms(); }
    ScanAlgorithmFactory Recording() {
        return [this](int id) { return std::make_unique<RecordingAlgorithm>(id, m_log); };
    }
    std::vector<std::string> m_log;
};

int CodeOfGet(int id) {
    try {
        GetScanAlgorithm(id);
    } catch (const CNuvException& e) {
        return e.Code();
    }
    return 0;
}

TEST_F(ScanAlgorithmTest, TableLivesFromCreateToDestroy) {
    EXPECT_EQ(CNuvException::kNotInitialized, CodeOfGet(1)) << "before start-up";
    ReloadSearchEngines();  // nothing to reload yet

    CreateScanAlgorithms(Recording());
    EXPECT_EQ(std::vector<std::string>({"make 1", "make 3", "make 4", "make 5", "make 7"}), m_log);
    for (const int id : {1, 3, 4, 5, 7}) EXPECT_NE(nullptr, GetScanAlgorithm(id)) << id;
    for (const int id : {0, 2, 6, 8, -1, 100}) EXPECT_EQ(nullptr, GetScanAlgorithm(id)) << id;
    ReloadSearchEngines();
    EXPECT_EQ("reload 3", m_log.back()) << "only the search scan reloads";

    m_log.clear();
    DestroyScanAlgorithms();
    EXPECT_EQ(std::vector<std::string>({"delete 7", "delete 5", "delete 4", "delete 3", "delete 1"}), m_log);
    EXPECT_EQ(CNuvException::kNotInitialized, CodeOfGet(1)) << "after shutdown";
    m_log.clear();
    ReloadSearchEngines();
    DestroyScanAlgorithms();
    EXPECT_TRUE(m_log.empty());
}

TEST_F(ScanAlgorithmTest, FailedConstructorLeavesNoTable) {
    EXPECT_THROW(CreateScanAlgorithms([this](int id) -> std::unique_ptr<IScanAlgorithm> {
                     if (id == 4) throw std::runtime_error("category settings unreadable");
                     return std::make_unique<RecordingAlgorithm>(id, m_log);
                 }),
                 std::runtime_error);
    EXPECT_EQ(std::vector<std::string>({"make 1", "make 3", "delete 3", "delete 1"}), m_log);
    EXPECT_EQ(CNuvException::kNotInitialized, CodeOfGet(1));
}

TEST_F(ScanAlgorithmTest, AbandonedTableIsForgottenNotDeleted) {
    CreateScanAlgorithms(Recording());
    m_log.clear();
    AbandonScanAlgorithms();
    EXPECT_TRUE(m_log.empty()) << "a dead scan thread may have held its locks";
    EXPECT_EQ(CNuvException::kNotInitialized, CodeOfGet(5));
}

TEST_F(ScanAlgorithmTest, ProductTableHoldsEveryScan) {
    CreateScanAlgorithms();
    EXPECT_NE(nullptr, dynamic_cast<COutboundHttpRequestScan*>(GetScanAlgorithm(1)));
    EXPECT_NE(nullptr, dynamic_cast<COutboundSearchScan*>(GetScanAlgorithm(3)));
    EXPECT_NE(nullptr, dynamic_cast<COutboundCategoriesScan*>(GetScanAlgorithm(4)));
    EXPECT_NE(nullptr, dynamic_cast<CInboundEmbeddedUrlScan*>(GetScanAlgorithm(7)));
    EXPECT_NE(nullptr, dynamic_cast<CInboundHttpResponseScan*>(GetScanAlgorithm(5)));
}

TEST(ScanAlgorithmNames, NameEveryIdOfTheTable) {
    const wchar_t* const names[] = {L"INVALID!",    L"saOutHttpRequest",    L"saOutPersonalInfo",
                                    L"saOutSearch", L"saOutClassification", L"saInHttpResponse",
                                    L"saInKeywords", L"saInEmbeddedUrl",    L"saInImageAnalysis"};
    for (int id = 0; id <= 8; ++id) EXPECT_STREQ(names[id], GetScanAlgorithmName(id)) << id;
    EXPECT_EQ(nullptr, GetScanAlgorithmName(9));
    EXPECT_EQ(nullptr, GetScanAlgorithmName(-1));
}

TEST(ScanAlgorithmState, PositionNeverGoesBelowZero) {
    struct Case {
        LONG position;
        LONG delta;
        LONG result;
    } cases[] = {{4, -10, 0}, {4, -4, 0}, {10, -3, 7}, {0, 5, 5}, {0, -1, 0}};
    for (const Case& c : cases) {
        NuvTest::RecordingState state;
        state.SetPosition(c.position);
        state.AdjustPosition(c.delta);
        EXPECT_EQ(c.result, state.GetPosition()) << c.position << " " << c.delta;
    }
}

}  // namespace
