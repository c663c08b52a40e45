// The block decision's kinds, the strings of each reason, safe-page image requests, and the block
// page and its images built from copies of the build's resource DLLs.
#include "plugin/filter/BlockPage.h"

#include "base/TextConversion.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BlockPageKinds, UrlsByTheirEndAndContentTypesByTheirStart) {
    const struct {
        const char* text;
        int urlKind;
    } urls[] = {{"www.example.com/", 1},        {"a.test/INDEX.HTML", 1}, {"a.test/x.php", 1},  {"a.test/app.js", 2},
                {"a.test/s.CSS", 2},            {"a.test/p.JPeG", 3},      {"a.test/f.swf", 3},  {"a.test/watch", 0},
                {"a.test/x.html.gz", 0},        {"/", 1},                  {"", 0},              {"htm", 0}};
    for (const auto& c : urls) EXPECT_EQ(c.urlKind, BlockPage::GetUrlKind(c.text)) << c.text;
    const struct {
        const char* text;
        int kind;
    } types[] = {{"text/html; charset=utf-8", 1}, {"TEXT/HTML", 1},   {"text/css", 2},      {"application/x-javascript", 2},
                 {"image/png", 3},               {"video/mp4", 3},   {"application/json", 0}, {"text/htm", 0}, {"", 0}};
    for (const auto& c : types) EXPECT_EQ(c.kind, BlockPage::GetContentTypeKind(c.text)) << c.text;
}

TEST(BlockPageStrings, EachReasonHasItsStrings) {
    const struct {
        LONG reason, mode;
        const wchar_t* mask;
        bool supported;
        UINT title, content, category;
    } cases[] = {
        {2, 0, L"", true, 14114, 14108, 0},
        {3, 0, L"", true, 14117, 14112, 0},
        {6, 0, L"00000000200000000000000000000000", true, 14127, 14126, 20111},
        {6, 1, L"00000000200000000000000000000000", true, 14129, 14128, 0},
        {6, 1, L"000000002000000000000000000000001", true, 14127, 14126, 20111},
        {1, 0, L"", false, 0, 0, 0},
        {7, 0, L"", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const BlockPage::PageStrings strings = BlockPage::StringsForReason(c.reason, c.mode, c.mask, 20111);
        EXPECT_EQ(c.supported, strings.supported) << c.reason;
        if (!c.supported) continue;
        EXPECT_EQ(c.title, strings.title) << c.reason;
        EXPECT_EQ(14130u, strings.header) << c.reason;
        EXPECT_EQ(c.content, strings.content) << c.reason;
        EXPECT_EQ(c.category, strings.category) << c.reason;
    }
    EXPECT_STREQ("OnBlockedUrlList", BlockPage::BlockReasonName(3));
    EXPECT_STREQ("unknown", BlockPage::BlockReasonName(5));
}

TEST(BlockPageImages, RequestsCarryTheMarkerTypeAndNumber) {
    const struct {
        const char* url;
        bool marked;
        const wchar_t* type;
        int number;
    } cases[] = {
        {"www.example.com/11_OberixVYX_C4A37A07-6F8E-4dc3-9D78-271792E5B0F8.jpg", true, L"JPEG", 11},
        {"a.test/12_OberixVYX_C4A37A07-6F8E-4dc3-9D78-271792E5B0F8.GIF", true, L"GIF", 12},
        {"a.test/12_OberixVYX_C4A37A07-6F8E-4dc3-9D78-271792E5B0F8.png", true, L"", 12},
        {"a_test/x_OberixVYX_C4A37A07-6F8E-4dc3-9D78-271792E5B0F8.gif", true, L"GIF", 0},
        {"a.test/page.gif", false, L"", 0},
    };
    for (const auto& c : cases) {
        std::wstring type = L"old";
        int number = -1;
        EXPECT_EQ(c.marked, BlockPage::ParseSafePageImage(c.url, type, number)) << c.url;
        EXPECT_EQ(c.type, type) << c.url;
        EXPECT_EQ(c.number, number) << c.url;
    }
}

// The response's body, after checking that its Content-Length counts exactly the body's bytes.
std::string Body(const std::string& response, const char* contentType) {
    const std::size_t end = response.find("\r\n\r\n");
    if (end == std::string::npos) return "<no header block>";
    const std::string head = response.substr(0, end + 4);
    const std::string body = response.substr(end + 4);
    const std::string expected = std::string("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: ") + contentType +
                                 "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    return head == expected ? body : "<header block: " + head + ">";
}

class BlockPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_guard.SetString(L"SOFTWARE\\Oberix\\NUV", L"Install Dir", m_folder.Path()));
        ASSERT_TRUE(::CopyFileW((NuvTest::ExeFolder() + L"\\NuvRes2.dll").c_str(), (m_folder / L"NuvRes2.dll").c_str(), FALSE));
        ASSERT_TRUE(m_loader.Init());
    }
    NuvTest::MachineKeyGuard m_guard;
    NuvTest::ScratchFolder m_folder{L"BlockPage"};
    CNuvResLoader m_loader;
};

TEST_F(BlockPageTest, TheTemplateFilledWithTheReasonsStringsAndEscapedValues) {
    std::string response;
    ASSERT_TRUE(BlockPage::BuildBlockPage(&m_loader, BlockPage::StringsForReason(6, 0, L"", 20111), L"child",
                                          L"Evil.TEST/<script>%user%/", response));
    const std::string body = Body(response, "text/html; charset=UTF-8");
    EXPECT_NE(std::string::npos, body.find("<title>Blocked: web category</title>")) << body;
    EXPECT_NE(std::string::npos, body.find("<h1>This web site is blocked</h1>"));
    EXPECT_NE(std::string::npos, body.find("evil.test/&lt;script&gt;%user% belongs to the web category "))
        << "lower case, escaped, and the URL's own %user% not replaced: " << body;
    EXPECT_NE(std::string::npos, body.find(Tessal::ToUtf8(L"\u201cShareware or Freeware\u201d, which is blocked for child.")));
    EXPECT_EQ(std::string::npos, body.find("%CONTENT%"));
    EXPECT_EQ(std::string::npos, body.find("%url%"));
}

TEST_F(BlockPageTest, WithoutTheTemplateAMinimalPageIsSent) {
    std::string response;
    ASSERT_TRUE(BlockPage::BuildBlockPage(nullptr, BlockPage::StringsForReason(3, 0, L"", 0), L"child", L"a.test/\"x\"", response));
    EXPECT_EQ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>This web site is blocked</title></head>"
              "<body><h1>This web site is blocked</h1><p>a.test/&quot;x&quot;</p></body></html>",
              Body(response, "text/html; charset=UTF-8"));
    NuvTest::ScratchFolder empty(L"BlockPageNoDll");
    ASSERT_TRUE(m_guard.SetString(L"SOFTWARE\\Oberix\\NUV", L"Install Dir", empty.Path()));
    CNuvResLoader missing;
    EXPECT_FALSE(missing.Init());
    ASSERT_TRUE(BlockPage::BuildBlockPage(&missing, BlockPage::StringsForReason(3, 0, L"", 0), L"child", L"a.test", response));
    EXPECT_NE(std::string::npos, Body(response, "text/html; charset=UTF-8").find("<p>a.test</p>"));
}

TEST_F(BlockPageTest, ImagesOfTheBlockPage) {
    std::string response;
    ASSERT_TRUE(BlockPage::BuildSafePageImage(m_loader, L"GIF", 12, response));
    const std::string gif = Body(response, "image/gif");
    EXPECT_EQ(0u, gif.rfind("GIF8", 0)) << gif.substr(0, 40);
    ASSERT_TRUE(BlockPage::BuildSafePageImage(m_loader, L"JPEG", 11, response));
    EXPECT_EQ(0u, Body(response, "image/jpeg").rfind("\xFF\xD8", 0));
    EXPECT_FALSE(BlockPage::BuildSafePageImage(m_loader, L"GIF", 99, response));
}

}  // namespace
