#include "plugin/timelimits/StringTokenizer.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> AllTokens(CStringTokenizer& tokenizer) {
    std::vector<std::wstring> tokens;
    // Bounded: a tokenizer that never reaches its end must fail here, not hang.
    for (int i = 0; i < 100; ++i) {
        std::wstring token = tokenizer.NextToken();
        if (token.empty()) break;
        tokens.push_back(std::move(token));
    }
    return tokens;
}

struct TokenCase {
    const wchar_t* text;
    const wchar_t* separator;
    std::vector<std::wstring> expected;  // the first tokens, up to the first empty one
};

TEST(StringTokenizer, SplitsAtSeparatorText) {
    const TokenCase cases[] = {
        {L"15/5", L"/", {L"15", L"5"}},
        {L"10/abc/2", L"/", {L"10", L"abc", L"2"}},
        {L"a b  c", L" ", {L"a", L"b", L"c"}},           // runs count as one
        {L"a b ", L" ", {L"a", L"b"}},                   // no empty last token
        {L"a   ", L" ", {L"a"}},
        {L"one--two-three", L"--", {L"one", L"two-three"}},  // the whole separator text, not its characters
        {L"x----y", L"--", {L"x", L"y"}},
        {L"x---y", L"--", {L"x", L"-y"}},
        {L"single", L" ", {L"single"}},
        {L"", L" ", {}},
        {L"abc", L"", {L"abc"}},                         // an empty separator never splits
        {nullptr, L" ", {}},
    };
    for (const TokenCase& c : cases) {
        CStringTokenizer tokenizer(c.text, c.separator);
        EXPECT_EQ(c.expected, AllTokens(tokenizer)) << (c.text != nullptr ? c.text : L"(null)") << " | " << c.separator;
    }
}

TEST(StringTokenizer, SeparatorAtTheStartGivesAnEmptyFirstToken) {
    CStringTokenizer tokenizer(L"  a b", L" ");
    EXPECT_EQ(L"", tokenizer.NextToken());
    EXPECT_EQ(L"a", tokenizer.NextToken());
    EXPECT_EQ(L"b", tokenizer.NextToken());
    EXPECT_EQ(L"", tokenizer.NextToken());
}

TEST(StringTokenizer, StaysExhausted) {
    CStringTokenizer tokenizer(std::wstring(L"a b"), std::wstring(L" "));
    EXPECT_EQ(L"a", tokenizer.NextToken());
    EXPECT_EQ(L"b", tokenizer.NextToken());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(L"", tokenizer.NextToken());
}

TEST(NoCaseLess, OrdersIgnoringCase) {
    const struct {
        const wchar_t* left;
        const wchar_t* right;
        bool less;
    } cases[] = {
        {L"alice", L"BOB", true}, {L"BOB", L"alice", false}, {L"Alice", L"aLICE", false},
        {L"abc", L"ABCD", true},  {L"", L"a", true},         {L"a", L"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.less, NoCaseLess()(c.left, c.right)) << c.left << " < " << c.right;
}

TEST(NoCaseLess, MapKeysDifferingOnlyInCaseAreOne) {
    std::map<std::wstring, int, NoCaseLess> users;
    users[L"S-1-5-21-Alice"] = 1;
    users[L"s-1-5-21-alice"] = 2;
    users[L"S-1-5-21-Bob"] = 3;
    ASSERT_EQ(2u, users.size());
    EXPECT_EQ(2, users.at(L"S-1-5-21-ALICE"));
}

}  // namespace
