#include "modulefw/SharedLibrary.h"

#include "base/ObfuscatedRegKey.h"
#include "modulefw/ModuleException.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kProbe[] = L"modulefw_probe.dll";
constexpr wchar_t kNoExport[] = L"modulefw_probe_noexport.dll";
constexpr wchar_t kNoFileVersion[] = L"modulefw_probe_nofileversion.dll";
constexpr wchar_t kNoResource[] = L"modulefw_probe_noresource.dll";
constexpr wchar_t kProbeVersion[] = L"3.1.4.1";  // FileVersion of the probes that have one
constexpr wchar_t kListKey[] = L"SOFTWARE\\Oberix\\Plexan\\List\\";

// The system's own calls, each one recorded.
class RecordingDllAPI : public Korin::DllAPI {
public:
    std::vector<std::wstring> loaded;
    std::vector<std::wstring> handleQueries;
    int frees = 0;

    bool loadLibrary(const wchar_t* path, HMODULE* out) override {
        loaded.push_back(path);
        return Korin::DllAPI::loadLibrary(path, out);
    }
    bool freeLibrary(HMODULE module) override {
        ++frees;
        return Korin::DllAPI::freeLibrary(module);
    }
    bool getModuleHandleEx(DWORD flags, const wchar_t* name, HMODULE* out) override {
        handleQueries.push_back(name);
        return Korin::DllAPI::getModuleHandleEx(flags, name, out);
    }
};

bool IsLoaded(const std::wstring& path) {
    HMODULE module = nullptr;
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(), &module) != FALSE;
}

bool HasLine(const std::vector<NuvTest::LoggedLine>& lines, DWORD level, const std::wstring& text) {
    for (const auto& line : lines) {
        if (line.level == level && line.text == text) return true;
    }
    return false;
}

std::wstring ThrownText(const std::function<void()>& body) {
    try {
        body();
    } catch (const Korin::ModuleException& e) {
        return std::wstring(e.what(), e.what() + std::strlen(e.what()));
    }
    return L"(nothing thrown)";
}

// Two folders of the test's own holding copies of the probes, and the block list emptied after.
class SharedLibraryTest : public testing::Test {
protected:
    void SetUp() override {
        for (const wchar_t* probe : {kProbe, kNoExport, kNoFileVersion, kNoResource}) {
            ASSERT_TRUE(m_second.CopyIn(NuvTest::ExeFolder() + L"\\" + probe, probe));
        }
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override { ClearRegistry(); }

    // The block list and the install folder.
    static void ClearRegistry() {
        Tessal::CRegKey oberix;
        if (oberix.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Oberix") == ERROR_SUCCESS) oberix.RecurseDeleteKey(L"Plexan");
    }

    // Loads `name` from the two folders, the first of which lacks it.
    std::shared_ptr<Korin::SharedLibrary> Load(const std::wstring& name) {
        m_api = std::make_shared<RecordingDllAPI>();
        const Korin::SharedLibraryInfo info{name, {m_first.Path(), m_second.Path() + L"\\"}};
        return std::make_shared<Korin::SharedLibrary>(info, std::make_shared<Korin::DllLoader>(m_api));
    }

    // A block-list key for the (lower-case) library name, with scrambled values name = data.
    static void List(const std::wstring& library, const std::vector<std::pair<std::wstring, std::wstring>>& values) {
        Tessal::CObfuscatedRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, (kListKey + library).c_str()));
        for (const auto& [name, data] : values) {
            ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(name.c_str(), data.c_str()));
        }
    }

    NuvTest::ScratchFolder m_first{L"modfw-a"};
    NuvTest::ScratchFolder m_second{L"modfw-b"};
    std::shared_ptr<RecordingDllAPI> m_api;
};

TEST_F(SharedLibraryTest, LoadsFromTheSecondFolderAndBindsTheEntryPoints) {
    const std::wstring path = m_second / kProbe;
    {
        const auto library = Load(kProbe);
        EXPECT_EQ(std::vector<std::wstring>{path}, m_api->loaded);  // one backslash, though given two
        EXPECT_TRUE(IsLoaded(path));

        const Korin::SharedLibraryFunctions* functions = library->getFunctions();
        ASSERT_NE(nullptr, functions->createObject);
        EXPECT_EQ(42, *static_cast<int*>(functions->createObject(7)));
        EXPECT_EQ(nullptr, functions->createObject(8));
        EXPECT_STREQ("3.1.4.1", functions->getVersionStr());
        EXPECT_EQ(3010401u, functions->getVersionNum());
        EXPECT_NE(nullptr, functions->releaseObject);
        EXPECT_TRUE(HasLine(NuvTest::TakeLoggedLines(), 1, L"Loading " + std::wstring(kProbe) + L" from " +
                                                               m_second.Path() + L"."));
    }
    EXPECT_EQ(1, m_api->frees);
    EXPECT_FALSE(IsLoaded(path));
}

TEST_F(SharedLibraryTest, BlockListRefusesTheListedVersionOnly) {
    using Values = std::vector<std::pair<std::wstring, std::wstring>>;
    struct Case {
        const wchar_t* file;       // copied in under this name
        const wchar_t* probe;      // from this probe
        const wchar_t* listedAs;   // block-list key name; null: no key
        Values values;
        bool blocked;
    };
    const Case cases[] = {
        {kProbe, kProbe, nullptr, {}, false},
        {kProbe, kProbe, kProbe, {{kProbeVersion, kProbeVersion}}, true},
        {L"MODULEFW_Probe.DLL", kProbe, kProbe, {{kProbeVersion, kProbeVersion}}, true},
        {kProbe, kProbe, kProbe, {{kProbeVersion, L"9.9.9.9"}}, false},
        {kProbe, kProbe, kProbe, {{L"9.9.9.9", L"9.9.9.9"}}, false},
        {kProbe, kProbe, kProbe, {{kProbeVersion, L"3.1.4.1 "}}, false},
        // The host's own libraries are never checked.
        {L"HALVEX.DLL", kProbe, L"halvex.dll", {{kProbeVersion, kProbeVersion}}, false},
        // Without "FileVersion" the default value is compared with the empty text.
        {kNoFileVersion, kNoFileVersion, kNoFileVersion, {}, true},
        {kNoFileVersion, kNoFileVersion, kNoFileVersion, {{L"", L""}}, true},
        {kNoFileVersion, kNoFileVersion, kNoFileVersion, {{L"", L"x"}}, false},
        // Without any version resource a library is never refused.
        {kNoResource, kNoResource, kNoResource, {{L"", L""}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.file) + L" listed as " +
                                            (c.listedAs != nullptr ? c.listedAs : L"(none)")));
        NuvTest::ScratchFolder folder(L"modfw-list");
        ASSERT_TRUE(folder.CopyIn(NuvTest::ExeFolder() + L"\\" + c.probe, c.file));
        if (c.listedAs != nullptr) List(c.listedAs, c.values);
        NuvTest::TakeLoggedLines();

        const Korin::SharedLibraryInfo info{c.file, {folder.Path()}};
        std::shared_ptr<Korin::SharedLibrary> library;
        const std::wstring thrown =
            ThrownText([&] { library = std::make_shared<Korin::SharedLibrary>(info); });
        if (c.blocked) {
            EXPECT_EQ(L"Failed to load library", thrown);
            EXPECT_TRUE(HasLine(NuvTest::TakeLoggedLines(), 3, L"Blocked library: " + (folder / c.file) + L"."));
            EXPECT_FALSE(IsLoaded(folder / c.file));
        } else {
            EXPECT_EQ(L"(nothing thrown)", thrown);
            EXPECT_TRUE(library != nullptr && IsLoaded(folder / c.file));
        }
        library.reset();
        ClearRegistry();
    }
}

TEST_F(SharedLibraryTest, MissingExportFreesTheLibraryAndThrows) {
    EXPECT_EQ(L"Failed to import functions from library", ThrownText([&] { Load(kNoExport); }));
    EXPECT_EQ(1, m_api->frees);
    EXPECT_FALSE(IsLoaded(m_second / kNoExport));
    const auto lines = NuvTest::TakeLoggedLines();
    EXPECT_TRUE(HasLine(lines, 2, L"getProcAddress was unsuccessful in finding the handle's address"));
    EXPECT_TRUE(HasLine(lines, 4, L"Failed to load GetVersionNum function from library: " + std::wstring(kNoExport) +
                                      L"."));
    EXPECT_TRUE(HasLine(lines, 4, L"Failed to import functions from library: " + std::wstring(kNoExport) +
                                      L". Throwing ModuleException."));
}

TEST_F(SharedLibraryTest, ReusesALibraryTheProcessHasLoaded) {
    const std::wstring path = m_second / kProbe;
    const HMODULE earlier = ::LoadLibraryW(path.c_str());
    ASSERT_NE(nullptr, earlier);
    Load(kProbe).reset();

    EXPECT_TRUE(m_api->loaded.empty());
    EXPECT_EQ(std::vector<std::wstring>{path}, m_api->handleQueries);
    EXPECT_EQ(1, m_api->frees);
    EXPECT_TRUE(IsLoaded(path));  // the earlier reference stays
    ASSERT_TRUE(::FreeLibrary(earlier));
    EXPECT_FALSE(IsLoaded(path));
}

TEST_F(SharedLibraryTest, MissingEverywhereThrows) {
    EXPECT_EQ(L"Failed to load library", ThrownText([&] { Load(L"modulefw_absent.dll"); }));
    EXPECT_TRUE(m_api->handleQueries.empty());
    const auto lines = NuvTest::TakeLoggedLines();
    EXPECT_TRUE(HasLine(lines, 4, L"Failed to find valid path for library: modulefw_absent.dll."));
    EXPECT_TRUE(HasLine(lines, 4, L"Failed to load library: modulefw_absent.dll. Throwing ModuleException."));
}

// The probe lies in the current directory, and in a folder below it, for every case: a folder
// that is not absolute once expanded must be passed over, never resolved against it.
class CurrentDirectoryTest : public SharedLibraryTest {
protected:
    void SetUp() override {
        SharedLibraryTest::SetUp();
        ASSERT_TRUE(m_cwd.CopyIn(NuvTest::ExeFolder() + L"\\" + kProbe, kProbe));
        ASSERT_TRUE(::CreateDirectoryW((m_cwd / L"sub").c_str(), nullptr));
        ASSERT_TRUE(m_cwd.CopyIn(NuvTest::ExeFolder() + L"\\" + kProbe, std::wstring(L"sub\\") + kProbe));
        wchar_t previous[MAX_PATH] = {};
        ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH, previous));
        m_previous = previous;
        ASSERT_TRUE(::SetCurrentDirectoryW(m_cwd.Path().c_str()));
    }
    void TearDown() override {
        ::SetCurrentDirectoryW(m_previous.c_str());
        SharedLibraryTest::TearDown();
    }

    NuvTest::ScratchFolder m_cwd{L"modfw-cwd"};
    std::wstring m_previous;
};

TEST_F(CurrentDirectoryTest, FoldersThatAreNotAbsoluteAreSkipped) {
    const std::wstring drive = m_cwd.Path().substr(0, 2);  // "X:": with the name, the root of X:
    const std::wstring rooted = m_cwd.Path().substr(2);    // "\...\modfw-cwd" on the current drive
    const std::vector<std::wstring> folders[] = {
        {L""},
        {L"."},
        {L".\\"},
        {L"sub"},
        {L"$(Nothing)"},
        {L"$(Plexanmod.InstallDir)"},  // no install folder in this program's registry
        {drive + L"sub"},
        {rooted},
        {L"", L".", L"sub", L"$(Nothing)", drive, rooted},
    };
    for (const auto& list : folders) {
        SCOPED_TRACE(testing::PrintToString(list));
        m_api = std::make_shared<RecordingDllAPI>();
        const Korin::SharedLibraryInfo info{kProbe, list};
        EXPECT_EQ(L"Failed to load library", ThrownText([&] {
                      Korin::SharedLibrary library(info, std::make_shared<Korin::DllLoader>(m_api));
                  }));
        EXPECT_TRUE(m_api->handleQueries.empty());
        EXPECT_TRUE(m_api->loaded.empty());
        EXPECT_FALSE(IsLoaded(m_cwd / kProbe));
        EXPECT_TRUE(HasLine(NuvTest::TakeLoggedLines(), 2, L"Skipping search folder " + list.front() +
                                                                L" for library " + kProbe +
                                                                L": not an absolute path."));
    }
}

TEST_F(CurrentDirectoryTest, AbsoluteFolderAfterSkippedOnesIsUsed) {
    m_api = std::make_shared<RecordingDllAPI>();
    const Korin::SharedLibraryInfo info{kProbe, {L"sub", L"$(Nothing)", m_second.Path()}};
    Korin::SharedLibrary library(info, std::make_shared<Korin::DllLoader>(m_api));
    EXPECT_EQ(std::vector<std::wstring>{m_second / kProbe}, m_api->loaded);
}

TEST_F(CurrentDirectoryTest, RelativeFolderInAGivenSearchListIsRefused) {
    m_api = std::make_shared<RecordingDllAPI>();
    auto search = std::make_shared<Korin::PathSearch>();
    search->addSearchPath(L"sub");
    const Korin::SharedLibraryInfo info{kProbe, {m_second.Path()}};
    EXPECT_EQ(L"Failed to load library", ThrownText([&] {
                  Korin::SharedLibrary library(info, std::make_shared<Korin::DllLoader>(m_api), nullptr, search);
              }));
    EXPECT_TRUE(m_api->loaded.empty());
}

// The product's own search list: the executable's folder, then the module-core install folder.
TEST_F(SharedLibraryTest, FindsTheLibraryInTheInstallFolderFromTheRegistry) {
    const std::wstring name = L"modulefw_probe_installed.dll";
    ASSERT_TRUE(m_second.CopyIn(NuvTest::ExeFolder() + L"\\" + kProbe, name));
    Tessal::CRegKey plexan;
    ASSERT_EQ(ERROR_SUCCESS, plexan.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OBERIX\\PLEXAN"));
    ASSERT_EQ(ERROR_SUCCESS, plexan.SetStringValue(L"Install Dir", m_second.Path().c_str()));

    m_api = std::make_shared<RecordingDllAPI>();
    const Korin::SharedLibraryInfo info{name, {L"$(App.Folder)", L"$(Plexanmod.InstallDir)"}};
    Korin::SharedLibrary library(info, std::make_shared<Korin::DllLoader>(m_api));
    EXPECT_EQ(std::vector<std::wstring>{m_second / name}, m_api->loaded);
}

TEST(DllLoaderTest, RefusesANullHandlePointer) {
    NuvTest::TakeLoggedLines();
    Korin::DllLoader loader;
    EXPECT_FALSE(loader.loadDLL(NuvTest::ExeFolder() + L"\\" + kProbe, nullptr));
    EXPECT_TRUE(HasLine(NuvTest::TakeLoggedLines(), 2, L"Invalid pHandle specified. Exiting."));
}

TEST(DllLoaderTest, FailedLoadLogsTheSystemErrorAndTheStatus) {
    NuvTest::ScratchFolder folder(L"modfw-loader");
    NuvTest::TakeLoggedLines();
    Korin::DllLoader loader;
    HMODULE module = nullptr;
    EXPECT_FALSE(loader.loadDLL(folder / L"absent.dll", &module));
    EXPECT_EQ(nullptr, module);
    const auto lines = NuvTest::TakeLoggedLines();
    EXPECT_TRUE(HasLine(lines, 4, L"LoadLibrary Failed. GLE: 126"));
    EXPECT_TRUE(HasLine(lines, 4, L"Failed to load library. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)."));
}

}  // namespace
