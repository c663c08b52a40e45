// The bus library's JSON formatter: member order after setting a key again, the number kinds each
// getter accepts, parse failures, arrays and nested objects as deep copies, and a root that is no
// object.
#include "modulefw/JSONFormatter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using Korin::JSONFormatter;

TEST(JsonFormatter, SettingAKeyAgainMovesTheLastMemberIntoItsPlace) {
    EXPECT_EQ(L"{}", JSONFormatter().toString());
    const struct {
        const wchar_t* again;
        const wchar_t* order;
    } cases[] = {
        {L"a", L"{\"c\":3,\"b\":2,\"a\":0}"},
        {L"b", L"{\"a\":1,\"c\":3,\"b\":0}"},
        {L"c", L"{\"a\":1,\"b\":2,\"c\":0}"},
        {L"d", L"{\"a\":1,\"b\":2,\"c\":3,\"d\":0}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.again);
        JSONFormatter formatter;
        formatter.setInt(L"a", 1);
        formatter.setInt(L"b", 2);
        formatter.setInt(L"c", 3);
        formatter.setInt(c.again, 0);
        EXPECT_EQ(c.order, formatter.toString());
    }
    JSONFormatter formatter;
    formatter.setInt(L"a", 1);
    formatter.setString(L"a", L"x");
    EXPECT_EQ(L"{\"a\":\"x\"}", formatter.toString()) << "one member, of the new kind";
}

TEST(JsonFormatter, EachGetterTakesOnlyTheNumbersItsKindHolds) {
    constexpr auto kInt64Min = std::numeric_limits<std::int64_t>::min();
    constexpr auto kUint64Max = std::numeric_limits<std::uint64_t>::max();
    const struct {
        const char* name;
        void (*set)(JSONFormatter&);
        const wchar_t* written;
        bool isInt, isUint, isInt64, isUint64, isDouble;
    } cases[] = {
        {"int 5", [](JSONFormatter& f) { f.setInt(L"n", 5); }, L"5", true, true, true, true, false},
        {"int -1", [](JSONFormatter& f) { f.setInt(L"n", -1); }, L"-1", true, false, true, false, false},
        {"uint max", [](JSONFormatter& f) { f.setUint(L"n", 4294967295u); }, L"4294967295", false, true, true, true, false},
        {"int64 2^31", [](JSONFormatter& f) { f.setInt64(L"n", 2147483648LL); }, L"2147483648", false, true, true, true, false},
        {"int64 min", [](JSONFormatter& f) { f.setInt64(L"n", kInt64Min); }, L"-9223372036854775808", false, false, true, false, false},
        {"uint64 max", [](JSONFormatter& f) { f.setUint64(L"n", kUint64Max); }, L"18446744073709551615", false, false, false, true, false},
        {"double 5", [](JSONFormatter& f) { f.setDouble(L"n", 5); }, L"5.0", false, false, false, false, true},
        {"double -0.25", [](JSONFormatter& f) { f.setDouble(L"n", -0.25); }, L"-0.25", false, false, false, false, true},
        {"parsed 5", [](JSONFormatter& f) { f.parse(L"{\"n\":5}"); }, L"5", true, true, true, true, false},
        {"parsed 5.0", [](JSONFormatter& f) { f.parse(L"{\"n\":5.0}"); }, L"5.0", false, false, false, false, true},
        {"parsed 3000000000", [](JSONFormatter& f) { f.parse(L"{\"n\":3000000000}"); }, L"3000000000", false, true, true, true, false},
        {"parsed past 64 bits", [](JSONFormatter& f) { f.parse(L"{\"n\":18446744073709551616}"); }, nullptr, false, false, false, false, true},
        {"a string", [](JSONFormatter& f) { f.setString(L"n", L"5"); }, L"\"5\"", false, false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        JSONFormatter formatter;
        c.set(formatter);
        if (c.written != nullptr) {
            EXPECT_EQ(std::wstring(L"{\"n\":") + c.written + L"}", formatter.toString());
        }
        int i = 7;
        unsigned u = 7;
        std::int64_t i64 = 7;
        std::uint64_t u64 = 7;
        double d = 7;
        EXPECT_EQ(c.isInt, formatter.getInt(L"n", i));
        EXPECT_EQ(c.isUint, formatter.getUint(L"n", u));
        EXPECT_EQ(c.isInt64, formatter.getInt64(L"n", i64));
        EXPECT_EQ(c.isUint64, formatter.getUint64(L"n", u64));
        EXPECT_EQ(c.isDouble, formatter.getDouble(L"n", d));
        if (!c.isInt) {
            EXPECT_EQ(7, i) << "a refused read leaves out alone";
        }
        if (!c.isDouble) {
            EXPECT_EQ(7.0, d);
        }
        if (c.isInt64 && c.isUint) {
            EXPECT_EQ(static_cast<std::int64_t>(u), i64);
        }
    }
    std::uint64_t big = 0;
    JSONFormatter formatter;
    formatter.setUint64(L"n", kUint64Max);
    ASSERT_TRUE(formatter.getUint64(L"n", big));
    EXPECT_EQ(kUint64Max, big);
}

TEST(JsonFormatter, NaNAndInfinitiesAreNotWritten) {
    JSONFormatter formatter;
    formatter.setDouble(L"n", 1.5);
    for (const double number : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        formatter.setDouble(L"n", number);
        formatter.setDouble(L"m", -number);
    }
    EXPECT_EQ(L"{\"n\":1.5}", formatter.toString());
}

TEST(JsonFormatter, ParseKeepsOldContentOnASyntaxErrorAndWantsAnObject) {
    JSONFormatter formatter;
    formatter.setString(L"k", L"v");
    for (const wchar_t* broken : {L"{\"k\":", L"{\"a\":1,}", L"", L"{} {}"}) {
        EXPECT_FALSE(formatter.parse(broken)) << broken;
        EXPECT_EQ(L"{\"k\":\"v\"}", formatter.toString()) << broken;
    }
    EXPECT_FALSE(formatter.parse(std::wstring(100000, L'[') + std::wstring(100000, L']')));
    EXPECT_EQ(L"{\"k\":\"v\"}", formatter.toString()) << "too deep for the parser, refused cleanly";

    EXPECT_TRUE(formatter.parse(L" {\"a\" : [true, null]} "));
    EXPECT_EQ(L"{\"a\":[true,null]}", formatter.toString());
}

TEST(JsonFormatter, ARootThatIsNoObjectIsNeitherReadNorChanged) {
    JSONFormatter formatter;
    EXPECT_FALSE(formatter.parse(L"[1,\"x\"]"));
    EXPECT_EQ(L"[1,\"x\"]", formatter.toString()) << "the parsed root is kept";
    std::wstring text;
    std::vector<std::wstring> texts;
    std::vector<JSONFormatter> objects;
    JSONFormatter object;
    EXPECT_FALSE(formatter.getString(L"k", text));
    EXPECT_FALSE(formatter.getStringArray(L"k", texts));
    EXPECT_FALSE(formatter.getObjectArray(L"k", objects));
    EXPECT_FALSE(formatter.getObject(L"k", object));
    formatter.setBool(L"k", true);
    formatter.setString(L"k", L"v");
    formatter.setStringArray(L"k", {L"v"});
    formatter.setObject(L"k", object);
    formatter.setObjectArray(L"k", {object});
    formatter.appendString(L"k", L"v");
    formatter.appendObject(L"k", object);
    EXPECT_EQ(L"[1,\"x\"]", formatter.toString());
}

TEST(JsonFormatter, StringArrays) {
    JSONFormatter formatter;
    ASSERT_TRUE(formatter.parse(L"{\"s\":\"x\",\"mixed\":[\"a\",1,\"b\"],\"empty\":[],\"nul\":[\"a\\u0000b\"]}"));
    const struct {
        const wchar_t* key;
        bool result;
        std::vector<std::wstring> appended;
    } cases[] = {
        {L"missing", true, {}},
        {L"s", false, {}},
        {L"mixed", false, {L"a"}},
        {L"empty", true, {}},
        {L"nul", true, {L"a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        std::vector<std::wstring> out = {L"kept"};
        EXPECT_EQ(c.result, formatter.getStringArray(c.key, out));
        std::vector<std::wstring> expected = {L"kept"};
        expected.insert(expected.end(), c.appended.begin(), c.appended.end());
        EXPECT_EQ(expected, out);
    }

    JSONFormatter built;
    built.setStringArray(L"list", {L"a", std::wstring(L"b\0c", 3), L""});
    built.appendString(L"list", L"d");
    built.appendString(L"new", L"e");
    built.appendString(L"new", L"f");
    built.setString(L"s", std::wstring(L"x\0y", 3));
    EXPECT_EQ(L"{\"list\":[\"a\",\"b\",\"\",\"d\"],\"new\":[\"e\",\"f\"],\"s\":\"x\\u0000y\"}", built.toString());
    std::wstring whole;
    ASSERT_TRUE(built.getString(L"s", whole));
    EXPECT_EQ(std::wstring(L"x\0y", 3), whole) << "a string member keeps its NUL characters";

    built.appendString(L"s", L"z");
    ASSERT_TRUE(built.getString(L"s", whole)) << "no append onto a non-array";
    EXPECT_EQ(std::wstring(L"x\0y", 3), whole);
}

TEST(JsonFormatter, ObjectsAreDeepCopies) {
    JSONFormatter inner;
    inner.setString(L"name", L"first");
    JSONFormatter outer;
    outer.setObject(L"one", inner);
    outer.setObjectArray(L"list", {inner, inner});
    outer.appendObject(L"list", inner);
    inner.setString(L"name", L"changed");
    EXPECT_EQ(L"{\"one\":{\"name\":\"first\"},\"list\":[{\"name\":\"first\"},{\"name\":\"first\"},{\"name\":\"first\"}]}",
              outer.toString());

    JSONFormatter copy(outer);
    JSONFormatter assigned;
    assigned = outer;
    outer.setInt(L"one", 1);
    EXPECT_NE(copy.toString(), outer.toString());
    EXPECT_EQ(copy.toString(), assigned.toString());

    JSONFormatter got;
    ASSERT_TRUE(copy.getObject(L"one", got));
    EXPECT_EQ(L"{\"name\":\"first\"}", got.toString());
    EXPECT_FALSE(copy.getObject(L"list", got));
    ASSERT_TRUE(copy.getObject(L"one", copy)) << "into itself";
    EXPECT_EQ(L"{\"name\":\"first\"}", copy.toString());

    std::vector<JSONFormatter> objects(1);
    ASSERT_TRUE(assigned.getObjectArray(L"list", objects));
    ASSERT_EQ(4u, objects.size());
    EXPECT_EQ(L"{}", objects[0].toString());
    objects[1].setBool(L"b", true);
    EXPECT_EQ(L"{\"name\":\"first\",\"b\":true}", objects[1].toString());
    EXPECT_EQ(L"{\"name\":\"first\"}", objects[2].toString()) << "each element its own copy";
    ASSERT_TRUE(JSONFormatter().getObjectArray(L"missing", objects));
    EXPECT_EQ(4u, objects.size());

    ASSERT_TRUE(got.parse(L"{\"l\":[{},1,{}]}"));
    objects.clear();
    EXPECT_FALSE(got.getObjectArray(L"l", objects));
    EXPECT_EQ(1u, objects.size()) << "what came before the number stays";
}

TEST(JsonFormatter, KeysEndAtTheirFirstNul) {
    JSONFormatter formatter;
    formatter.setInt(std::wstring(L"ab\0cd", 5), 1);
    int value = 0;
    EXPECT_TRUE(formatter.getInt(L"ab", value));
    EXPECT_EQ(1, value);
    EXPECT_TRUE(formatter.getInt(std::wstring(L"ab\0xy", 5), value));
    EXPECT_FALSE(formatter.getInt(L"AB", value)) << "names compare exactly";
    EXPECT_EQ(L"{\"ab\":1}", formatter.toString());
}

}  // namespace
