// The product's JSON text layer: what parses, what a failed parse leaves, the nesting limit, the
// compact and the stricter escaping, numbers the writer cannot write, and the UTF-16LE file form.
#include "nuvutil/json/JsonText.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace {

using NuvJson::Document;
using NuvJson::Value;

std::wstring Nested(std::size_t depth) { return std::wstring(depth, L'[') + std::wstring(depth, L']'); }

TEST(JsonText, ParsesOneValueAndWritesItCompactly) {
    const struct {
        std::wstring text;
        const wchar_t* written;  // nullptr: refused
    } cases[] = {
        {L" { \"a\" : [1, -2, 2.5, \"x\", {\"b\": null}], \"c\": true }\r\n", L"{\"a\":[1,-2,2.5,\"x\",{\"b\":null}],\"c\":true}"},
        {L"5.0", L"5.0"},
        {L"1e2", L"100.0"},
        {L"0.1", L"0.1"},
        {L"-9223372036854775808", L"-9223372036854775808"},
        {L"18446744073709551615", L"18446744073709551615"},
        {L"18446744073709551616", L"18446744073709553000.0"},  // past 64 bits: floating-point
        {L"\"\\u00e9\\ud83d\\ude00\\u0000\\/\"", L"\"\u00e9\U0001F600\\u0000/\""},
        {L"\"\u0001\"", nullptr},
        {L"1e400", nullptr},
        {L"NaN", nullptr},
        {L"{\"a\": 1,}", nullptr},
        {L"[1] // note", nullptr},
        {L"{\"a\": 1} {}", nullptr},
        {L"", nullptr},
        {L"   ", nullptr},
        {std::wstring(L"{}\0{}", 5), nullptr},
        {std::wstring(L"1\0", 2), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text: " << c.text.c_str());
        Document document;
        ASSERT_TRUE(NuvJson::Parse(document, L"[\"before\"]"));
        EXPECT_EQ(c.written != nullptr, NuvJson::Parse(document, c.text));
        EXPECT_EQ(c.written != nullptr ? c.written : L"[\"before\"]", NuvJson::ToString(document))
            << "a refused text leaves the document as it was";
    }
}

TEST(JsonText, PointerTextEndsAtItsFirstNul) {
    Document document;
    EXPECT_FALSE(NuvJson::Parse(document, static_cast<const wchar_t*>(nullptr)));
    EXPECT_TRUE(document.IsNull());
    const wchar_t text[] = L"{\"k\":1}\0garbage";
    EXPECT_TRUE(NuvJson::Parse(document, text));
    EXPECT_EQ(L"{\"k\":1}", NuvJson::ToString(document));
}

TEST(JsonText, NestingPastTheLimitIsRefused) {
    const struct {
        std::wstring text;
        bool parses;
    } cases[] = {
        {Nested(NuvJson::kMaxDepth), true},
        {Nested(NuvJson::kMaxDepth + 1), false},
        {std::wstring(NuvJson::kMaxDepth, L'[') + L"{}" + std::wstring(NuvJson::kMaxDepth, L']'), false},
        {Nested(100000), false},
        {std::wstring(100000, L'['), false},
        // Depth counts open levels, not levels seen: many shallow siblings are fine.
        {L"[" + [] {
             std::wstring siblings = L"[[]]";
             for (unsigned n = 0; n < NuvJson::kMaxDepth * 4; ++n) siblings += L",[[]]";
             return siblings;
         }() + L"]",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.text.size());
        Document document;
        ASSERT_TRUE(NuvJson::Parse(document, L"{\"old\":1}"));
        EXPECT_EQ(c.parses, NuvJson::Parse(document, c.text));
        if (c.parses) {
            EXPECT_EQ(c.text, NuvJson::ToString(document));
        } else {
            EXPECT_EQ(L"{\"old\":1}", NuvJson::ToString(document));
        }
    }
}

TEST(JsonText, NumbersTheWriterCannotWriteAreRefused) {
    for (const double number : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(number);
        EXPECT_FALSE(NuvJson::IsWritable(number));
        Document document;
        document.SetArray();
        document.PushBack(1, document.GetAllocator()).PushBack(number, document.GetAllocator());
        std::wstring out = L"untouched";
        EXPECT_FALSE(NuvJson::ToString(document, out));
        EXPECT_EQ(L"untouched", out) << "never a truncated text such as [1,";
        EXPECT_EQ(L"", NuvJson::ToString(document));
    }
    EXPECT_TRUE(NuvJson::IsWritable(std::numeric_limits<double>::max()));
    EXPECT_TRUE(NuvJson::IsWritable(-0.0));
}

TEST(JsonText, StricterEscapesAlsoCoverTheSolidusAndC1Controls) {
    Document document;
    document.SetObject();
    const std::wstring key = L"k/\x1F";
    const std::wstring text(L"a/\"\\\b\f\n\r\t\x01\x7F\x9F\xA0\u00e9\U0001F600\0z", 18);
    document.AddMember(Value(key.c_str(), static_cast<rapidjson::SizeType>(key.size()), document.GetAllocator()),
                       Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), document.GetAllocator()),
                       document.GetAllocator());
    std::wstring minimal, strict;
    ASSERT_TRUE(NuvJson::ToString(document, minimal));
    ASSERT_TRUE(NuvJson::ToString(document, strict, NuvJson::Escapes::kSolidusAndC1));
    EXPECT_EQ(L"{\"k/\\u001F\":\"a/\\\"\\\\\\b\\f\\n\\r\\t\\u0001\x7F\x9F\xA0\u00e9\U0001F600\\u0000z\"}", minimal);
    EXPECT_EQ(L"{\"k\\/\\u001F\":\"a\\/\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u007F\\u009F\xA0\u00e9\U0001F600\\u0000z\"}", strict);
    Document back;
    ASSERT_TRUE(NuvJson::Parse(back, strict));
    EXPECT_TRUE(back == document) << "both forms read back to the same document";
}

// A file of this test's own in %TEMP%, removed at the end.
class JsonFile : public testing::Test {
protected:
    void SetUp() override {
        wchar_t folder[MAX_PATH] = {};
        wchar_t path[MAX_PATH] = {};
        ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, folder));
        ASSERT_NE(0u, ::GetTempFileNameW(folder, L"njs", 0, path));
        m_path = path;
    }
    void TearDown() override { ::DeleteFileW(m_path.c_str()); }

    void WriteBytes(const std::string& bytes) {
        std::FILE* file = _wfopen(m_path.c_str(), L"wb");
        ASSERT_NE(nullptr, file);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    std::string ReadBytes() {
        std::string bytes;
        std::FILE* file = _wfopen(m_path.c_str(), L"rb");
        if (file == nullptr) return bytes;
        char chunk[512];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) != 0;) bytes.append(chunk, n);
        std::fclose(file);
        return bytes;
    }
    bool ParseBack(Document& document) {
        std::FILE* file = _wfopen(m_path.c_str(), L"rb");
        if (file == nullptr) return false;
        const bool parsed = NuvJson::ParseFile(document, file);
        std::fclose(file);
        return parsed;
    }

    std::wstring m_path;
};

TEST_F(JsonFile, WritesTheByteOrderMarkAndUtf16Le) {
    Document document;
    ASSERT_TRUE(NuvJson::Parse(document, L"{\"k\":\"\u00e9\"}"));
    std::FILE* file = _wfopen(m_path.c_str(), L"wb");
    ASSERT_NE(nullptr, file);
    EXPECT_TRUE(NuvJson::WriteFile(document, file));
    std::fclose(file);
    EXPECT_EQ(std::string("\xFF\xFE{\0\"\0k\0\"\0:\0\"\0\xE9\0\"\0}\0", 20), ReadBytes());
    EXPECT_FALSE(NuvJson::WriteFile(document, nullptr));
}

TEST_F(JsonFile, ReadsBackWithAndWithoutTheByteOrderMark) {
    Document written;
    ASSERT_TRUE(NuvJson::Parse(written, L"{\"long\":\"" + std::wstring(700, L'x') + L"\",\"e\":\"\U0001F600\",\"n\":[1,2.5]}"));
    std::FILE* file = _wfopen(m_path.c_str(), L"wb");
    ASSERT_NE(nullptr, file);
    ASSERT_TRUE(NuvJson::WriteFile(written, file));
    std::fclose(file);
    const std::string withMark = ReadBytes();
    ASSERT_GT(withMark.size(), 512u) << "more than one block";

    const struct {
        const char* name;
        std::string bytes;
        bool parses;
    } cases[] = {
        {"with the mark", withMark, true},
        {"without the mark", withMark.substr(2), true},
        {"an odd byte at the end", withMark + '\n', false},
        {"the mark alone", "\xFF\xFE", false},
        {"empty", "", false},
        {"UTF-8", "{\"a\":10}", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(c.bytes);
        Document read;
        EXPECT_EQ(c.parses, ParseBack(read));
        if (c.parses) {
            EXPECT_TRUE(read == written);
        }
    }
    Document untouched;
    EXPECT_FALSE(NuvJson::ParseFile(untouched, nullptr));
}

}  // namespace
