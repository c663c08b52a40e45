#include "modulefw/PathSearch.h"

#include "tests/support/LogRecorder.h"
#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

// Files that exist are those listed; every question is recorded.
class FakePathAPI : public Korin::PathAPI {
public:
    std::set<std::wstring> files;
    std::vector<std::wstring> asked;

    bool fileExists(const wchar_t* path) override {
        asked.push_back(path);
        return files.count(path) != 0;
    }
};

bool HasLine(const std::vector<NuvTest::LoggedLine>& lines, DWORD level, const std::wstring& text) {
    for (const auto& line : lines) {
        if (line.level == level && line.text == text) return true;
    }
    return false;
}

struct SearchCase {
    const wchar_t* existing;
    bool found;
    const wchar_t* folder;  // expected result
    std::vector<std::wstring> asked;
};

TEST(PathSearchTest, ReturnsTheFirstFolderHoldingTheFile) {
    const SearchCase cases[] = {
        {L"D:\\B\\f.dll", true, L"D:\\B", {L"D:\\A\\\\f.dll", L"D:\\B\\f.dll"}},
        // The candidate keeps the folder's own backslash; the answer loses it.
        {L"D:\\A\\\\f.dll", true, L"D:\\A", {L"D:\\A\\\\f.dll"}},
        {L"D:\\C\\f.dll", false, L"unchanged", {L"D:\\A\\\\f.dll", L"D:\\B\\f.dll"}},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.existing)));
        auto api = std::make_shared<FakePathAPI>();
        api->files.insert(c.existing);
        Korin::PathSearch search(api);
        search.addSearchPath(L"D:\\A\\");
        search.addSearchPath(std::wstring(L"D:\\B"));

        std::wstring folder = L"unchanged";
        EXPECT_EQ(c.found, search.findFilePath(L"f.dll", folder));
        EXPECT_EQ(c.folder, folder);
        EXPECT_EQ(c.asked, api->asked);
    }
}

TEST(PathSearchTest, EmptyListFindsNothing) {
    NuvTest::TakeLoggedLines();
    Korin::PathSearch search(std::make_shared<FakePathAPI>());
    std::wstring folder = L"unchanged";
    EXPECT_FALSE(search.findFilePath(L"f.dll", folder));
    EXPECT_EQ(L"unchanged", folder);
    EXPECT_TRUE(HasLine(NuvTest::TakeLoggedLines(), 2, L"File not found."));
}

TEST(PathSearchTest, ListOnlyGrowsInOrder) {
    Korin::PathSearch search(std::make_shared<FakePathAPI>());
    search.addSearchPaths({L"a", L"b"});
    search.addSearchPath(L"a");
    search.addSearchPath(std::wstring(L"c"));
    search.addSearchPaths({});
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L"a", L"c"}), search.getSearchPaths());
}

TEST(PathSearchTest, FolderNamedLikeTheFileDoesNotCount) {
    NuvTest::ScratchFolder first(L"search-a");
    NuvTest::ScratchFolder second(L"search-b");
    ASSERT_TRUE(::CreateDirectoryW((first / L"f.dll").c_str(), nullptr));
    std::ofstream((second / L"f.dll").c_str()) << "x";

    Korin::PathSearch search;
    search.addSearchPaths({first.Path(), second.Path()});
    std::wstring folder;
    ASSERT_TRUE(search.findFilePath(L"f.dll", folder));
    EXPECT_EQ(second.Path(), folder);
    EXPECT_FALSE(search.checkIfExists(first / L"f.dll"));
}

}  // namespace
