// Category masks: intersection aligned at the right ends, lists of masks, the code table.
#include "plugin/filter/CategoryMasks.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CategoryMasks, IntersectAlignedAtTheirRightEnds) {
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        bool intersect;
    } cases[] = {
        {L"0000000000000000000000000000000C", L"4", true},
        {L"0000000000000000000000000000000C", L"3", false},
        {L"00000000000000000000000000100020", L"00000000000000000000000000100000", true},
        {L"c", L"C", true},
        {L"F2", L"Z1", false},   // last digits share no bit, then a character that is no digit
        {L"F1", L"x2", false},
        {L"10", L"1", false},
        {L"", L"F", false},
        {nullptr, L"F", false},
        {L"F", nullptr, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.intersect, MasksIntersect(c.a, c.b)) << (c.a ? c.a : L"(null)") << " " << (c.b ? c.b : L"(null)");
    }
}

TEST(CategoryMasks, TheFirstIntersectingMemberOfAListMatches) {
    const struct {
        const wchar_t* list;
        bool found;
        const wchar_t* matched;
    } cases[] = {
        {L"00000000000000000000000000004000 00000000000000000000000000100020", true, L"00000000000000000000000000100020"},
        {L"00000000000000000000000000004000   00000000000000000000000000000020", true, L"00000000000000000000000000000020"},
        {L" 00000000000000000000000000100020", false, L"untouched"},  // starts with a blank: empty first member
        {L"00000000000000000000000000004000", false, L"untouched"},
        {L"", false, L"untouched"},
    };
    for (const auto& c : cases) {
        CSafeStringW matched(L"untouched");
        EXPECT_EQ(c.found, IsCategoryInList(L"00000000000000000000000000100020", c.list, &matched)) << c.list;
        EXPECT_STREQ(c.matched, matched.GetString()) << c.list;
    }
    EXPECT_FALSE(IsCategoryInList(L"", L"F", nullptr));
    EXPECT_TRUE(IsCategoryInList(L"1", L"F", nullptr));
}

TEST(CategoryMasks, ValidTextsAndTheCodeTable) {
    EXPECT_TRUE(IsValidCategoryMask("0123456789abcdefABCDEF"));
    EXPECT_TRUE(IsValidCategoryMask(""));
    EXPECT_FALSE(IsValidCategoryMask("00G0"));
    EXPECT_FALSE(IsValidCategoryMask(nullptr));

    EXPECT_STREQ("00000000000000000000000000004000", CategoryMaskOfCode(116));
    EXPECT_STREQ("00000000040000000000000000000000", CategoryMaskOfCode(195));
    EXPECT_STREQ("00000000000000000001000000000102", CategoryMaskOfCode(101));
    EXPECT_STREQ("00000000200000000000000000000000", CategoryMaskOfCode(600));
    for (const LONG unknown : {0L, 100L, 117L, 599L, 601L, -1L}) EXPECT_EQ(nullptr, CategoryMaskOfCode(unknown)) << unknown;
    int known = 0;
    for (LONG code = 0; code <= 1000; ++code) {
        if (const char* mask = CategoryMaskOfCode(code)) {
            ++known;
            EXPECT_EQ(32u, std::string(mask).size()) << code;
            EXPECT_TRUE(IsValidCategoryMask(mask)) << code;
        }
    }
    EXPECT_EQ(31, known);
}

}  // namespace
