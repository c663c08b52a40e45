#include "nuvutil/UrlText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(NormalizeUrl, LowerCaseWithoutTrailingSeparators) {
    const struct {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {{L"WWW.Example.COM/Path/", L"www.example.com/path"}, {L"a.test/ \\/ ", L"a.test"}, {L"\u00C9.test", L"\u00C9.test"}, {L"", L""}};
    for (const auto& c : cases) {
        std::wstring url = c.in;
        NormalizeUrl(url);
        EXPECT_EQ(c.out, url) << c.in;
    }
}

}  // namespace
