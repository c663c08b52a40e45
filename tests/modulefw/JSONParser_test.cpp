// The bus library's JSON parser: a null root, getters that never read a root of the wrong kind,
// setters that turn it into an object, arrays by member name, members as JSON text, the
// re-serialised object arrays and the UTF-16LE file.
#include "modulefw/JSONParser.h"

#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

using Korin::JSONParser;

TEST(JsonParser, ANewParserIsNullAndEmpty) {
    JSONParser parser;
    EXPECT_EQ(L"null", parser.toString());
    EXPECT_TRUE(parser.isEmpty());
    bool flag = false;
    std::wstring text = L"kept";
    std::vector<std::wstring> texts;
    EXPECT_FALSE(parser.getBool(L"k", flag));
    EXPECT_FALSE(parser.getValueAsString(L"k", text));
    EXPECT_FALSE(parser.getStringArray(L"k", texts));
    EXPECT_EQ(L"kept", text);
}

TEST(JsonParser, ARootOfAnotherKindIsReadAsNothingAndReplacedBySetters) {
    JSONParser parser;
    ASSERT_TRUE(parser.parse(L"[1,{\"k\":true}]"));
    EXPECT_TRUE(parser.isEmpty()) << "a non-empty array is no member";
    bool flag = false;
    std::wstring text;
    std::vector<std::wstring> texts;
    std::vector<int> numbers;
    EXPECT_FALSE(parser.getBool(L"k", flag));
    EXPECT_FALSE(parser.getValueAsString(L"k", text));
    EXPECT_FALSE(parser.getObjectArray(L"k", texts));
    EXPECT_FALSE(parser.getIntArray(L"k", numbers));
    parser.clear();
    EXPECT_EQ(L"[1,{\"k\":true}]", parser.toString()) << "clear leaves an array alone";

    parser.setBool(L"flag", true);
    EXPECT_EQ(L"{\"flag\":true}", parser.toString());
    EXPECT_FALSE(parser.isEmpty());
    parser.clear();
    EXPECT_EQ(L"{}", parser.toString());
    EXPECT_TRUE(parser.isEmpty());

    const struct {
        const char* name;
        void (*set)(JSONParser&);
        const wchar_t* written;
    } setters[] = {
        {"setString", [](JSONParser& p) { p.setString(L"k", L"v"); }, L"{\"k\":\"v\"}"},
        {"setIntArray", [](JSONParser& p) { p.setIntArray(L"k", {1, -2}); }, L"{\"k\":[1,-2]}"},
        {"appendToArray", [](JSONParser& p) { p.appendToArray(L"k", L"v"); }, L"{\"k\":[\"v\"]}"},
        {"appendJson", [](JSONParser& p) { p.appendJson(L"k", L"{}"); }, L"{\"k\":[{}]}"},
        {"setJson", [](JSONParser& p) { p.setJson(L"k", L"[null]"); }, L"{\"k\":[null]}"},
    };
    for (const auto& s : setters) {
        SCOPED_TRACE(s.name);
        JSONParser other;
        ASSERT_TRUE(other.parse(L"\"text\""));
        s.set(other);
        EXPECT_EQ(s.written, other.toString());
    }
}

TEST(JsonParser, NullKeysAndValuesChangeNothing) {
    JSONParser parser;
    ASSERT_TRUE(parser.parse(L"{\"k\":1}"));
    const wchar_t* const none = nullptr;
    parser.setBool(none, true);
    parser.setString(none, L"v");
    parser.setString(L"k", none);
    parser.setString(std::wstring(L"k"), none);
    parser.setStringArray(none, std::vector<const wchar_t*>{L"v"});
    parser.appendToArray(none, L"v");
    parser.appendToArray(L"a", none);
    parser.setJson(none, L"1");
    parser.setJson(L"k", none);
    parser.appendJson(none, L"1");
    EXPECT_EQ(L"{\"k\":1}", parser.toString());
    int number = 0;
    EXPECT_FALSE(parser.getInt(none, number));
    EXPECT_FALSE(parser.parse(none));
    EXPECT_EQ(L"{\"k\":1}", parser.toString());
}

TEST(JsonParser, ParseKeepsTheOldContentWhenItFails) {
    JSONParser parser;
    ASSERT_TRUE(parser.parse(L"{\"k\":1}"));
    const std::wstring deep = std::wstring(100000, L'[') + std::wstring(100000, L']');
    for (const std::wstring& broken : {std::wstring(L"{\"k\":"), std::wstring(L"[1,]"), std::wstring(L""), deep}) {
        SCOPED_TRACE(testing::Message() << "length " << broken.size());
        EXPECT_FALSE(parser.parse(broken));
        EXPECT_EQ(L"{\"k\":1}", parser.toString());
    }
    parser.setJson(L"deep", deep.c_str());
    parser.appendJson(L"deep", deep.c_str());
    EXPECT_EQ(L"{\"k\":1}", parser.toString()) << "a payload too deep is no member either";
    EXPECT_TRUE(parser.parse(std::wstring(L"{\"k\":2}\0garbage", 16))) << "a text ends at its first NUL";
    EXPECT_EQ(L"{\"k\":2}", parser.toString());
}

TEST(JsonParser, NumberKinds) {
    JSONParser parser;
    ASSERT_TRUE(parser.parse(L"{\"big\":3000000000,\"five\":5,\"fivePointO\":5.0,\"neg\":-1,\"huge\":1e300}"));
    const struct {
        const wchar_t* key;
        bool isInt, isInt64, isUint, isUint64, isDouble;
    } cases[] = {
        {L"big", false, true, true, true, false},
        {L"five", true, true, true, true, false},
        {L"fivePointO", false, false, false, false, true},
        {L"neg", true, true, false, false, false},
        {L"huge", false, false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        int i = 0;
        std::int64_t i64 = 0;
        unsigned u = 0;
        std::uint64_t u64 = 0;
        double d = 0;
        EXPECT_EQ(c.isInt, parser.getInt(c.key, i));
        EXPECT_EQ(c.isInt64, parser.getInt64(c.key, i64));
        EXPECT_EQ(c.isUint, parser.getUint(c.key, u));
        EXPECT_EQ(c.isUint64, parser.getUint64(c.key, u64));
        EXPECT_EQ(c.isDouble, parser.getDouble(c.key, d));
    }
    std::int64_t i64 = 0;
    unsigned u = 0;
    double d = 0;
    ASSERT_TRUE(parser.getInt64(L"big", i64));
    ASSERT_TRUE(parser.getUint(L"big", u));
    ASSERT_TRUE(parser.getDouble(L"fivePointO", d));
    EXPECT_EQ(3000000000, i64);
    EXPECT_EQ(3000000000u, u);
    EXPECT_EQ(5.0, d);

    JSONParser built;
    built.setDouble(L"d", 5);
    built.setDouble(L"nan", std::numeric_limits<double>::quiet_NaN());
    built.setDouble(L"inf", -std::numeric_limits<double>::infinity());
    built.setUint64(L"u", std::numeric_limits<std::uint64_t>::max());
    built.setInt64(L"i", std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(L"{\"d\":5.0,\"u\":18446744073709551615,\"i\":-9223372036854775808}", built.toString());
}

TEST(JsonParser, ValuesAsText) {
    JSONParser parser;
    ASSERT_TRUE(parser.parse(L"{\"null\":null,\"five\":5,\"s\":\"a\\u0000b\",\"o\":{ \"x\" : [1, 2.5] },\"t\":true}"));
    const struct {
        const wchar_t* key;
        const wchar_t* text;
    } cases[] = {
        {L"null", L""}, {L"five", L"5"}, {L"s", L"a"}, {L"o", L"{\"x\":[1,2.5]}"}, {L"t", L"true"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        std::wstring text = L"old";
        EXPECT_TRUE(parser.getValueAsString(c.key, text));
        EXPECT_EQ(c.text, text);
    }
    std::wstring text;
    EXPECT_TRUE(parser.getString(std::wstring(L"s"), text));
    EXPECT_EQ(L"a", text) << "a string ends at its first NUL";
}

TEST(JsonParser, StringAndIntArraysWithAndWithoutAMemberName) {
    JSONParser parser;
    parser.appendToArray(L"k", L"v", L"n");
    parser.appendToArray(std::wstring(L"k"), std::wstring(L"v"), std::wstring(L"n"));
    parser.setStringArray(L"plain", std::vector<const wchar_t*>{L"a", nullptr, L"b"});
    parser.appendToArray(L"plain", L"c", L"");
    parser.setIntArray(L"ints", {1, -2});
    parser.appendJson(L"ints", L"3");
    parser.setJson(L"named", L"[{\"id\":7},{\"id\":8,\"x\":1}]");
    parser.setJson(L"mixed", L"[1,2.5]");
    EXPECT_EQ(L"{\"k\":[{\"n\":\"v\"},{\"n\":\"v\"}],\"plain\":[\"a\",\"b\",\"c\"],\"ints\":[1,-2,3],"
              L"\"named\":[{\"id\":7},{\"id\":8,\"x\":1}],\"mixed\":[1,2.5]}",
              parser.toString());

    const struct {
        const wchar_t* key;
        const wchar_t* memberName;
        bool result;
        std::vector<std::wstring> appended;
    } strings[] = {
        {L"k", L"n", true, {L"v", L"v"}},
        {L"k", nullptr, false, {}},
        {L"k", L"other", false, {}},
        {L"plain", nullptr, true, {L"a", L"b", L"c"}},
        {L"plain", L"", true, {L"a", L"b", L"c"}},
        {L"plain", L"n", false, {}},
        {L"ints", nullptr, false, {}},
        {L"missing", nullptr, false, {}},
    };
    for (const auto& c : strings) {
        SCOPED_TRACE(testing::Message() << c.key << " / " << (c.memberName ? c.memberName : L"(null)"));
        std::vector<std::wstring> out = {L"kept"};
        EXPECT_EQ(c.result, parser.getStringArray(c.key, out, c.memberName));
        std::vector<std::wstring> expected = {L"kept"};
        expected.insert(expected.end(), c.appended.begin(), c.appended.end());
        EXPECT_EQ(expected, out);
    }

    const struct {
        const wchar_t* key;
        const wchar_t* memberName;
        bool result;
        std::vector<int> out;
    } ints[] = {
        {L"ints", nullptr, true, {1, -2, 3}},
        {L"named", L"id", true, {7, 8}},
        {L"named", L"x", false, {}},
        {L"mixed", nullptr, false, {1}},
        {L"plain", nullptr, false, {}},
    };
    for (const auto& c : ints) {
        SCOPED_TRACE(testing::Message() << c.key);
        std::vector<int> out;
        EXPECT_EQ(c.result, parser.getIntArray(c.key, out, c.memberName));
        EXPECT_EQ(c.out, out);
    }

    parser.setInt(L"n", 1);
    parser.appendToArray(L"n", L"x");
    parser.appendJson(L"n", L"2");
    int n = 0;
    ASSERT_TRUE(parser.getInt(L"n", n)) << "a member that is no array is never appended to";
    EXPECT_EQ(1, n);
}

TEST(JsonParser, ObjectArraysAreReSerialised) {
    JSONParser parser;
    ASSERT_TRUE(parser.parse(L"{\"two\":[{ \"a\" : 1, \"b\" : { \"c\" : [true] } },{}],"
                             L"\"dup\":[{\"a\":1,\"b\":2,\"a\":3,\"s\":\"x\\u0000y\"}],"
                             L"\"mixed\":[{\"a\":1},5,{\"b\":2}],\"none\":[]}"));
    const struct {
        const wchar_t* key;
        bool result;
        std::vector<std::wstring> texts;
    } cases[] = {
        {L"two", true, {L"{\"a\":1,\"b\":{\"c\":[true]}}", L"{}"}},
        // A later duplicate replaces the first (the last member moves into its place); strings end at a NUL.
        {L"dup", true, {L"{\"b\":2,\"a\":3,\"s\":\"x\"}"}},
        {L"mixed", false, {L"{\"a\":1}"}},
        {L"none", true, {}},
        {L"missing", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        std::vector<std::wstring> out;
        EXPECT_EQ(c.result, parser.getObjectArray(c.key, out));
        EXPECT_EQ(c.texts, out);
    }
}

TEST(JsonParser, SetJsonTakesAnyValueOrNothing) {
    JSONParser parser;
    parser.setString(L"k", L"v");
    parser.setJson(L"n", L"{\"a\":");
    EXPECT_EQ(L"{\"k\":\"v\"}", parser.toString());
    parser.setJson(L"n", L" 42 ");
    parser.setJson(L"k", L"\"w\"");
    EXPECT_EQ(L"{\"n\":42,\"k\":\"w\"}", parser.toString());
    int n = 0;
    ASSERT_TRUE(parser.getInt(L"n", n));
    EXPECT_EQ(42, n);
}

TEST(JsonParser, FileRoundTripWithAndWithoutTheByteOrderMark) {
    NuvTest::ScratchFolder folder(L"BusJson");
    const std::wstring path = folder / L"doc.json";
    JSONParser written;
    ASSERT_TRUE(written.parse(L"{\"k\":\"\u00e9\U0001F600\",\"long\":\"" + std::wstring(300, L'x') + L"\",\"n\":[1,2.5]}"));
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(nullptr, file);
    EXPECT_TRUE(written.writeFile(file));
    std::fclose(file);

    std::string bytes;
    file = _wfopen(path.c_str(), L"rb");
    ASSERT_NE(nullptr, file);
    char chunk[512];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) != 0;) bytes.append(chunk, n);
    std::fclose(file);
    const std::wstring text = written.toString();
    ASSERT_EQ(2 + text.size() * 2, bytes.size());
    EXPECT_EQ("\xFF\xFE", bytes.substr(0, 2));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2), bytes.substr(2));

    for (const bool withMark : {true, false}) {
        SCOPED_TRACE(withMark ? "with the mark" : "without the mark");
        const std::string stored = withMark ? bytes : bytes.substr(2);
        file = _wfopen(path.c_str(), L"wb");
        ASSERT_NE(nullptr, file);
        std::fwrite(stored.data(), 1, stored.size(), file);
        std::fclose(file);
        file = _wfopen(path.c_str(), L"rb");
        ASSERT_NE(nullptr, file);
        JSONParser read;
        EXPECT_TRUE(read.parseFile(file));
        std::fclose(file);
        EXPECT_EQ(text, read.toString());
    }
    JSONParser none;
    EXPECT_FALSE(none.parseFile(nullptr));
    EXPECT_FALSE(none.writeFile(nullptr));
}

// The plug-in's class of the same name is linked into this program too (PluginJson_test.cpp):
// this must still be the bus library's, which ends a text at its first NUL.
TEST(JsonParser, IsTheBusLibrarysClassBesideThePlugInsOne) {
    JSONParser parser;
    EXPECT_TRUE(parser.parse(std::wstring(L"{}\0{}", 5)));
    parser.setUint(L"u", 1);
    unsigned u = 0;
    EXPECT_TRUE(parser.getUint(L"u", u));
}

}  // namespace
