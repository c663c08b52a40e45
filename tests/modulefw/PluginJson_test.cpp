// The plug-in's JSON parser linked into one program with the bus library's classes of the same
// name: each keeps its own behaviour, and both write the same text for the same document.
#include "modulefw/JSONFormatter.h"
#include "plugin/filter/reputation/JSONParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PluginJsonBesideTheBus, EachClassKeepsItsOwnBehaviour) {
    Korin::JSONParser plugin;
    EXPECT_FALSE(plugin.parse(std::wstring(L"{}\0{}", 5))) << "the plug-in's parser refuses a NUL in the text";
    plugin.pushString(L"a");
    std::vector<std::wstring> texts;
    EXPECT_TRUE(plugin.getRootStringArray(texts));
    EXPECT_EQ(std::vector<std::wstring>{L"a"}, texts);
}

TEST(PluginJsonBesideTheBus, BothWriteTheSameText) {
    Korin::JSONFormatter formatter;
    formatter.setString(L"op", L"get\u00e9\n");
    formatter.setDouble(L"d", 5);
    formatter.setStringArray(L"ids", {L"1", L"2"});
    Korin::JSONParser plugin;
    ASSERT_TRUE(plugin.parse(formatter.toString()));
    EXPECT_EQ(formatter.toString(), plugin.toString());
    EXPECT_EQ(L"{\"op\":\"get\u00e9\\n\",\"d\":5.0,\"ids\":[\"1\",\"2\"]}", plugin.toString());

    plugin.setInt(L"n", 1);
    ASSERT_TRUE(formatter.parse(plugin.toString()));
    EXPECT_EQ(plugin.toString(), formatter.toString());
}

}  // namespace
