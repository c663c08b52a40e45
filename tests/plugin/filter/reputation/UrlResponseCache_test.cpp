// The URL response cache: replacement, expiry at 3600 s, the 10000-entry limit, insertion order
// among equal times, and its prune thread.
#include "plugin/filter/reputation/UrlResponseCache.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using NNUV::URLRespCache;
using NNUV::URLRespResult;
namespace Cache = NNUV::UrlResponseCache;

std::int64_t g_now = 1000000;
std::int64_t FakeNow() { return g_now; }

class UrlResponseCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        Cache::Clock::s_override.store(&FakeNow);
        g_now = 1000000;
        Cache::Clear();
    }
    void TearDown() override {
        Cache::Clear();
        Cache::Clock::s_override.store(nullptr);
    }

    static void Put(const std::wstring& url, std::int32_t rep) {
        URLRespResult answer;
        answer.rep = rep;
        answer.cat = {rep + 1};
        Cache::Insert(url, answer);
    }
    static bool Has(const std::wstring& url) {
        URLRespResult found;
        return Cache::Find(url, found);
    }
};

TEST_F(UrlResponseCacheTest, ReinsertingReplacesTheAnswerAndRenewsItsTime) {
    Put(L"a.test/", 1);
    g_now += 3000;
    Put(L"a.test/", 2);
    EXPECT_EQ(1u, Cache::Size());
    URLRespResult found;
    ASSERT_TRUE(Cache::Find(L"a.test/", found));
    EXPECT_EQ(2, found.rep);
    EXPECT_EQ(std::vector<std::int32_t>{3}, found.cat);
    g_now += 1000;  // 4000 s after the first insertion, 1000 after the second
    Cache::RemoveExpired();
    EXPECT_TRUE(Has(L"a.test/"));
    EXPECT_FALSE(Has(L"A.test/")) << "keys are compared exactly";
}

TEST_F(UrlResponseCacheTest, EntriesExpireAfter3600Seconds) {
    Put(L"old.test/", 1);
    g_now += 1;
    Put(L"new.test/", 2);
    g_now += 3599;  // old is 3600 s old: it stays
    Cache::RemoveExpired();
    EXPECT_TRUE(Has(L"old.test/"));
    g_now += 1;  // 3601 s
    EXPECT_TRUE(Has(L"old.test/")) << "found until a prune removes it";
    Cache::RemoveExpired();
    EXPECT_FALSE(Has(L"old.test/"));
    EXPECT_TRUE(Has(L"new.test/"));
}

TEST_F(UrlResponseCacheTest, BeyondTheLimitTheOldestGoInInsertionOrder) {
    // All in one second: among equal times the first inserted is the oldest.
    for (int n = 0; n < 10001; ++n) Put(L"u" + std::to_wstring(n), n);
    EXPECT_EQ(10001u, Cache::Size());
    Cache::RemoveExpired();
    EXPECT_EQ(10000u, Cache::Size());
    EXPECT_FALSE(Has(L"u0"));
    EXPECT_TRUE(Has(L"u1"));
    EXPECT_TRUE(Has(L"u10000"));
    // Reinserting moves an entry to the back.
    Put(L"u1", 1);
    Put(L"extra", 0);
    Cache::RemoveExpired();
    EXPECT_TRUE(Has(L"u1"));
    EXPECT_FALSE(Has(L"u2"));
}

TEST_F(UrlResponseCacheTest, ThePruneThreadStartsOnceAndStopsWhenAsked) {
    Cache::StartPruneThread();
    Cache::StartPruneThread();
    EXPECT_TRUE(Cache::IsPruneThreadRunning());
    Cache::StopPruneThread();
    EXPECT_FALSE(Cache::IsPruneThreadRunning());
    Cache::StartPruneThread();  // a restarted plug-in starts it again
    EXPECT_TRUE(Cache::IsPruneThreadRunning());
    Cache::StopPruneThread();
}

}  // namespace
