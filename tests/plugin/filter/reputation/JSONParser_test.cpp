// The plug-in's JSON document on UTF-16 texts: parse and serialise, typed reads and writes,
// arrays, and the UTF-16LE file form.
#include "plugin/filter/reputation/JSONParser.h"

#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using Korin::JSONParser;

TEST(PluginJson, ParsesAndWritesCompactly) {
    const struct {
        std::wstring text;
        bool parses;
        const wchar_t* written;  // toString after the parse
    } cases[] = {
        {L"{ \"a\" : [1, 2.5, \"x\", {\"b\": null}], \"c\": true }", true, L"{\"a\":[1,2.5,\"x\",{\"b\":null}],\"c\":true}"},
        {L"[]", true, L"[]"},
        {L"\"\\u00e9\\ud83d\\ude00\\n\\\"\"", true, L"\"\u00e9\U0001F600\\n\\\"\""},
        {L"{\"n\": -9223372036854775808, \"m\": 18446744073709551615}", true,
         L"{\"n\":-9223372036854775808,\"m\":18446744073709551615}"},
        {L"{\"a\": 1} trailing", false, L"null"},
        {L"{\"a\": }", false, L"null"},
        {L"", false, L"null"},
        {std::wstring(L"{}\0{}", 5), false, L"null"},
    };
    for (const auto& c : cases) {
        JSONParser parser;
        EXPECT_EQ(c.parses, parser.parse(c.text)) << c.text.c_str();
        EXPECT_EQ(c.written, parser.toString()) << c.text.c_str();
    }
    EXPECT_EQ(L"null", JSONParser().toString()) << "a fresh document";
}

TEST(PluginJson, TypedReadsTakeOnlyTheirOwnKind) {
    JSONParser parser;
    ASSERT_TRUE(parser.parse(L"{\"t\": true, \"s\": \"text\", \"i\": -5, \"big\": 3000000000, \"min\": -9223372036854775808,"
                             L" \"max\": 18446744073709551615, \"five\": 5, \"fivef\": 5.0, \"arr\": [1, {\"x\": 2}],"
                             L" \"obj\": {\"k\": [true]}}"));
    bool flag = false;
    std::wstring text = L"unchanged";
    std::int32_t i32 = 0;
    std::int64_t i64 = 0;
    std::uint32_t u32 = 0;
    std::uint64_t u64 = 0;
    double number = 0;
    EXPECT_TRUE(parser.getBool(L"t", flag) && flag);
    EXPECT_FALSE(parser.getBool(L"s", flag));
    EXPECT_TRUE(parser.getString(L"s", text));
    EXPECT_EQ(L"text", text);
    EXPECT_FALSE(parser.getString(L"i", text));
    EXPECT_FALSE(parser.getString(L"missing", text));
    EXPECT_EQ(L"text", text) << "a failed read leaves the out argument";
    EXPECT_TRUE(parser.getInt(L"i", i32));
    EXPECT_EQ(-5, i32);
    EXPECT_FALSE(parser.getUInt(L"i", u32));
    EXPECT_FALSE(parser.getInt(L"big", i32));
    EXPECT_TRUE(parser.getUInt(L"big", u32));
    EXPECT_EQ(3000000000u, u32);
    EXPECT_TRUE(parser.getInt64(L"min", i64));
    EXPECT_EQ(std::numeric_limits<std::int64_t>::min(), i64);
    EXPECT_FALSE(parser.getUInt64(L"min", u64));
    EXPECT_TRUE(parser.getUInt64(L"max", u64));
    EXPECT_EQ(std::numeric_limits<std::uint64_t>::max(), u64);
    EXPECT_FALSE(parser.getInt64(L"max", i64));
    EXPECT_FALSE(parser.getDouble(L"five", number)) << "an integer is no double";
    EXPECT_TRUE(parser.getDouble(L"fivef", number));
    EXPECT_EQ(5.0, number);
    EXPECT_TRUE(parser.getArrayAsString(L"arr", text));
    EXPECT_EQ(L"[1,{\"x\":2}]", text);
    EXPECT_FALSE(parser.getArrayAsString(L"obj", text));
    EXPECT_TRUE(parser.getObjectAsString(L"obj", text));
    EXPECT_EQ(L"{\"k\":[true]}", text);

    JSONParser array;
    ASSERT_TRUE(array.parse(L"[{\"s\": \"x\"}]"));
    EXPECT_FALSE(array.getString(L"s", text)) << "reads need an object document";
}

TEST(PluginJson, ArraysOfStringsAndObjects) {
    const struct {
        const wchar_t* document;
        const wchar_t* memberName;
        bool result;
        std::vector<std::wstring> strings;
    } stringCases[] = {
        {L"[\"a\", \"b\"]", L"", true, {L"a", L"b"}},
        {L"[\"a\", 1, \"c\"]", L"", false, {L"a"}},
        {L"[{\"n\": \"a\"}, {\"n\": \"b\", \"o\": 1}]", L"n", true, {L"a", L"b"}},
        {L"[{\"n\": \"a\"}, {\"m\": \"b\"}]", L"n", false, {L"a"}},
        {L"[]", L"", true, {}},
        {L"{\"a\": []}", L"", false, {}},
    };
    for (const auto& c : stringCases) {
        JSONParser root;
        ASSERT_TRUE(root.parse(c.document));
        std::vector<std::wstring> out;
        EXPECT_EQ(c.result, root.getRootStringArray(out, c.memberName)) << c.document;
        EXPECT_EQ(c.strings, out) << c.document;
        JSONParser member;
        ASSERT_TRUE(member.parse(std::wstring(L"{\"k\": ") + c.document + L"}"));
        out.clear();
        EXPECT_EQ(c.result, member.getStringArray(L"k", out, c.memberName)) << c.document;
        EXPECT_EQ(c.strings, out) << c.document;
    }

    const struct {
        const wchar_t* document;
        bool result;
        std::vector<std::wstring> objects;
    } objectCases[] = {
        {L"[]", true, {}},
        {L"[{}, 1]", false, {L"{}"}},
        {L"[{\"a\": [1, 2]}, {\"b\": \"\\u20ac\"}]", true, {L"{\"a\":[1,2]}", L"{\"b\":\"\u20ac\"}"}},
        {L"{}", false, {}},
    };
    for (const auto& c : objectCases) {
        JSONParser root;
        ASSERT_TRUE(root.parse(c.document));
        std::vector<std::wstring> out;
        EXPECT_EQ(c.result, root.getRootObjectArray(out)) << c.document;
        EXPECT_EQ(c.objects, out) << c.document;
        JSONParser member;
        ASSERT_TRUE(member.parse(std::wstring(L"{\"k\": ") + c.document + L"}"));
        out.clear();
        EXPECT_EQ(c.result, member.getObjectArray(L"k", out)) << c.document;
        EXPECT_EQ(c.objects, out) << c.document;
    }
}

TEST(PluginJson, SettingAKeyAgainMovesTheLastMemberIntoItsPlace) {
    JSONParser parser;
    parser.setString(L"op", L"get");
    EXPECT_EQ(L"{\"op\":\"get\"}", parser.toString());
    parser.setString(L"op", L"put");
    EXPECT_EQ(L"{\"op\":\"put\"}", parser.toString());
    parser.setInt(L"a", -1);
    parser.setUInt64(L"b", 18446744073709551615ull);
    parser.setBool(L"c", false);
    parser.setString(L"op", L"again");  // "c" moves into the slot of "op"
    EXPECT_EQ(L"{\"c\":false,\"a\":-1,\"b\":18446744073709551615,\"op\":\"again\"}", parser.toString());
    parser.setInt64(L"min", std::numeric_limits<std::int64_t>::min());
    parser.setUInt(L"u", 4294967295u);
    parser.setDouble(L"d", 0.5);
    EXPECT_TRUE(parser.setJson(L"j", L"[1,{\"x\":null}]"));
    EXPECT_FALSE(parser.setJson(L"bad", L"[1,"));
    EXPECT_EQ(L"{\"c\":false,\"a\":-1,\"b\":18446744073709551615,\"op\":\"again\",\"min\":-9223372036854775808,"
              L"\"u\":4294967295,\"d\":0.5,\"j\":[1,{\"x\":null}]}",
              parser.toString());
    std::int64_t min = 0;
    EXPECT_TRUE(parser.getInt64(L"min", min));
    EXPECT_EQ(std::numeric_limits<std::int64_t>::min(), min);
    // Texts keep their NUL characters and surrogate pairs.
    parser.clear();
    EXPECT_TRUE(parser.isEmpty());
    parser.setString(L"s", std::wstring(L"a\0b\U0001F600", 5));
    std::wstring back;
    EXPECT_TRUE(parser.getString(L"s", back));
    EXPECT_EQ(std::wstring(L"a\0b\U0001F600", 5), back);
    EXPECT_FALSE(parser.isEmpty());
    JSONParser again;
    ASSERT_TRUE(again.parse(parser.toString()));
    EXPECT_TRUE(again.getString(L"s", back));
    EXPECT_EQ(std::wstring(L"a\0b\U0001F600", 5), back) << parser.toString();
}

TEST(PluginJson, PushAndAppendBuildArrays) {
    JSONParser list;
    list.pushString(L"a");
    EXPECT_TRUE(list.pushJson(L"{\"b\":1}"));
    EXPECT_FALSE(list.pushJson(L"{"));
    EXPECT_EQ(L"[\"a\",{\"b\":1}]", list.toString());
    EXPECT_TRUE(list.isEmpty()) << "an array is no object with members";

    JSONParser object;
    EXPECT_TRUE(object.appendString(L"k", L"x"));
    EXPECT_TRUE(object.appendString(L"k", L"y", L"name"));
    EXPECT_TRUE(object.appendJson(L"k", L"[true]"));
    EXPECT_FALSE(object.appendJson(L"k", L"nope"));
    object.setInt(L"n", 1);
    EXPECT_FALSE(object.appendString(L"n", L"z")) << "a member that is no array keeps its value";
    EXPECT_FALSE(object.appendJson(L"n", L"1"));
    EXPECT_EQ(L"{\"k\":[\"x\",{\"name\":\"y\"},[true]],\"n\":1}", object.toString());
}

TEST(PluginJson, WritesUtf16LeWithAByteOrderMark) {
    NuvTest::ScratchFolder folder(L"PluginJson");
    const std::wstring path = folder.Path() + L"\\doc.json";
    JSONParser parser;
    ASSERT_TRUE(parser.parse(L"{\"k\":\"\u00e9\U0001F600\",\"long\":\"" + std::wstring(300, L'x') + L"\"}"));
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(nullptr, file);
    EXPECT_TRUE(parser.writeToFile(file));
    std::fclose(file);
    EXPECT_FALSE(parser.writeToFile(nullptr));

    file = _wfopen(path.c_str(), L"rb");
    ASSERT_NE(nullptr, file);
    std::string bytes;
    char chunk[512];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) != 0;) bytes.append(chunk, n);
    std::fclose(file);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ("\xFF\xFE", bytes.substr(0, 2));
    const std::wstring expected = parser.toString();
    ASSERT_EQ(2 + expected.size() * 2, bytes.size());
    EXPECT_EQ(0, std::memcmp(bytes.data() + 2, expected.data(), expected.size() * 2));
}

}  // namespace
