// The wrapper against the stand-in "QvLWAPI.DLL", placed for real where the suite's folder is
// looked for in this Wine prefix: the "Install Dir" registry value, the suite's registered COM
// server, "<Program Files>\Oberix\Dov". Every test removes what it placed.

#include "plugin/core/QvLightWeightAPIWrapper.h"

#include "base/UniqueHandle.h"
#include "suite/lwapi/QvLWAPIStandIn.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/TestPaths.h"

#include "tests/support/MachineRegistry.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using NuvTest::LoggedLine;
using NuvTest::TakeLoggedLines;

constexpr const wchar_t* kSuiteKey = L"SOFTWARE\\Oberix\\Dov";
constexpr const wchar_t* kSuiteClsid = L"{7323885B-407F-4839-9695-96F545FF6286}";
constexpr const wchar_t* kTestClsid = L"{5C0F7E2A-9B41-4D3E-8A67-1E2F3B4C5D6E}";  // GetComServerPath only
constexpr REGSAM k64 = KEY_WOW64_64KEY;
constexpr REGSAM k32 = KEY_WOW64_32KEY;

using NuvTest::ExeFolder;

std::wstring StandIn() { return ExeFolder() + L"\\lwapi\\QvLWAPI.DLL"; }
std::wstring IncompleteStandIn() { return ExeFolder() + L"\\lwapi-incomplete\\QvLWAPI.DLL"; }

std::wstring ProgramFilesSuiteFolder() {
    wchar_t folder[MAX_PATH] = {};
    EXPECT_EQ(S_OK, ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder));
    return std::wstring(folder) + L"\\Oberix\\Dov";
}

bool KeyExists(HKEY root, const std::wstring& subKey, REGSAM view) {
    Tessal::UniqueHKey key;
    return ::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ | view, key.Put()) == ERROR_SUCCESS;
}

void SetValue(HKEY root, const std::wstring& subKey, const wchar_t* name, DWORD type, const void* data, DWORD bytes,
              REGSAM view) {
    Tessal::UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                               key.Put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), bytes));
}

void SetText(HKEY root, const std::wstring& subKey, const wchar_t* name, const std::wstring& text, REGSAM view,
             DWORD type = REG_SZ) {
    SetValue(root, subKey, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), view);
}

// Removes `parent\name` with everything below it from one view.
void DeleteTree(HKEY root, const std::wstring& parent, const std::wstring& name, REGSAM view) {
    Tessal::UniqueHKey key;
    if (::RegOpenKeyExW(root, parent.c_str(), 0, KEY_ALL_ACCESS | view, key.Put()) != ERROR_SUCCESS) return;
    ::RegDeleteTreeW(key.Get(), name.c_str());
    ::RegDeleteKeyExW(key.Get(), name.c_str(), view, 0);
}

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::vector<std::string> lines;
    Tessal::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    if (!file) return lines;
    std::string text(::GetFileSize(file.Get(), nullptr), '\0');
    DWORD read = 0;
    if (!text.empty() && !::ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr)) return lines;
    for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

class SuiteFixture : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool suiteInstalled = KeyExists(HKEY_LOCAL_MACHINE, kSuiteKey, k64) ||
                                           KeyExists(HKEY_LOCAL_MACHINE, kSuiteKey, k32) ||
                                           KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kSuiteClsid, k64) ||
                                           KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kSuiteClsid, k32) ||
                                           fs::exists(ProgramFilesSuiteFolder());
        if (suiteInstalled) GTEST_SKIP() << "this prefix holds a suite installation: nothing here may change it";

        wchar_t temp[MAX_PATH] = {};
        ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
        m_scratch = std::wstring(temp) + L"nuv-lwapi-" + std::to_wstring(::GetCurrentProcessId());
        fs::remove_all(m_scratch);
        ASSERT_TRUE(fs::create_directories(m_scratch));
        m_record = m_scratch + L"\\record.txt";
        ::SetEnvironmentVariableW(QVLWAPI_RECORD_VARIABLE, m_record.c_str());
        TakeLoggedLines();
    }

    void TearDown() override {
        ::SetEnvironmentVariableW(QVLWAPI_RECORD_VARIABLE, nullptr);
        ::SetEnvironmentVariableW(QVLWAPI_FAIL_VARIABLE, nullptr);
        ::SetEnvironmentVariableW(QVLWAPI_REFUSE_LOAD_VARIABLE, nullptr);
        if (m_scratch.empty()) return;  // skipped
        ForgetSuite();
        std::error_code ignored;
        fs::remove_all(m_scratch, ignored);
    }

    // No install folder value, no registered server, no Program Files folder.
    void ForgetSuite() {
        for (const REGSAM view : {k64, k32}) {
            DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Oberix", L"Dov", view);
            DeleteTree(HKEY_CLASSES_ROOT, L"CLSID", kSuiteClsid, view);
            DeleteTree(HKEY_CLASSES_ROOT, L"CLSID", kTestClsid, view);
        }
        std::error_code ignored;
        fs::remove_all(ProgramFilesSuiteFolder(), ignored);
        fs::remove(fs::path(ProgramFilesSuiteFolder()).parent_path(), ignored);  // only when empty
    }

    static void SetInstallDir(const std::wstring& text, DWORD type = REG_SZ, REGSAM view = k64) {
        SetText(HKEY_LOCAL_MACHINE, kSuiteKey, L"Install Dir", text, view, type);
    }
    static void RegisterServer(const wchar_t* clsid, const wchar_t* serverKey, const std::wstring& path,
                               REGSAM view = k64, DWORD type = REG_SZ) {
        SetText(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + clsid + L"\\" + serverKey, nullptr, path, view, type);
    }

    // A folder below the scratch folder, holding a copy of the stand-in (or the incomplete one).
    std::wstring PlaceStandIn(const std::wstring& folder, bool incomplete = false) {
        fs::create_directories(folder);
        const std::wstring target = folder + L"\\QvLWAPI.DLL";
        fs::copy_file(incomplete ? IncompleteStandIn() : StandIn(), target, fs::copy_options::overwrite_existing);
        return target;
    }
    std::wstring Scratch(const std::wstring& name) const { return m_scratch + L"\\" + name; }
    std::vector<std::string> Record() const { return ReadLines(m_record); }

    // The suite's keys are looked for in both registry views.
    NuvTest::RealMachineRegistry m_realMachine;
    std::wstring m_scratch;
    std::wstring m_record;
};

// ---------------------------------------------------------------------------------------------

using SuiteInstallFolder = SuiteFixture;

TEST_F(SuiteInstallFolder, SourcesAreTakenInOrder) {
    const std::wstring programFiles = ProgramFilesSuiteFolder();
    const struct {
        const char* name;
        void (*arrange)();
        std::wstring expected;  // without final backslash
    } cases[] = {
        {"Install Dir before the server",
         [] {
             SetInstallDir(L"C:\\Suite\\FromRegistry");
             RegisterServer(kSuiteClsid, L"InprocServer32", L"C:\\Suite\\Server\\srv.dll");
         },
         L"C:\\Suite\\FromRegistry"},
        {"Install Dir with several final backslashes", [] { SetInstallDir(L"C:\\Suite\\Trailing\\\\"); },
         L"C:\\Suite\\Trailing"},
        {"Install Dir with an opening quote", [] { SetInstallDir(L"\"C:\\Suite\\Quoted"); }, L"C:\\Suite\\Quoted"},
        {"Install Dir not REG_SZ",
         [] {
             SetInstallDir(L"C:\\Suite\\Expand", REG_EXPAND_SZ);
             RegisterServer(kSuiteClsid, L"InprocServer32", L"C:\\Suite\\Server\\srv.dll");
         },
         L"C:\\Suite\\Server"},
        {"Install Dir empty",
         [] {
             SetInstallDir(L"");
             RegisterServer(kSuiteClsid, L"InprocServer32", L"\"C:\\Suite Server\\srv.dll\"");
         },
         L"C:\\Suite Server"},
        {"Install Dir a DWORD, local server with arguments",
         [] {
             const DWORD one = 1;
             SetValue(HKEY_LOCAL_MACHINE, kSuiteKey, L"Install Dir", REG_DWORD, &one, sizeof(one), k64);
             RegisterServer(kSuiteClsid, L"LocalServer32", L"\"C:\\Suite\\svc.exe\" /service");
         },
         L"C:\\Suite"},
        {"server only in the 32-bit view",
         [] { RegisterServer(kSuiteClsid, L"InprocServer32", L"C:\\Suite\\x86\\srv.dll", k32); }, L"C:\\Suite\\x86"},
        {"Install Dir only in the 32-bit view", [] { SetInstallDir(L"C:\\Suite\\x86", REG_SZ, k32); }, programFiles},
        {"nothing registered", [] {}, programFiles},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetSuite();
        c.arrange();
        for (const bool trailing : {true, false}) {
            wchar_t folder[MAX_PATH] = L"untouched";
            EXPECT_EQ(0u, GetSuiteInstallFolder(folder, MAX_PATH, trailing));
            EXPECT_EQ(trailing ? c.expected + L"\\" : c.expected, folder);
        }
    }
}

TEST_F(SuiteInstallFolder, CallerBufferErrors) {
    SetInstallDir(L"C:\\Suite");
    wchar_t folder[16] = L"untouched";
    EXPECT_EQ(87u, GetSuiteInstallFolder(nullptr, 16, true));
    EXPECT_EQ(87u, GetSuiteInstallFolder(folder, 0, true));
    EXPECT_STREQ(L"untouched", folder);

    EXPECT_EQ(122u, GetSuiteInstallFolder(folder, 9, true));  // "C:\Suite\" needs 10
    EXPECT_STREQ(L"", folder);
    EXPECT_EQ(0u, GetSuiteInstallFolder(folder, 10, true));
    EXPECT_STREQ(L"C:\\Suite\\", folder);
}

// ---------------------------------------------------------------------------------------------

using ComServerPath = SuiteFixture;

TEST_F(ComServerPath, ReadsTheRegisteredServer) {
    const std::wstring long300(300, L'p');
    const struct {
        const char* name;
        const wchar_t* inproc;  // null: not registered
        const wchar_t* local;
        REGSAM view;
        bool found;
        std::wstring expected;
    } cases[] = {
        {"in-process server", L"C:\\Suite\\srv.dll", L"C:\\Suite\\svc.exe", k64, true, L"C:\\Suite\\srv.dll"},
        {"local server", nullptr, L"C:\\Suite\\svc.exe", k64, true, L"C:\\Suite\\svc.exe"},
        {"quotes removed", L"\"C:\\Suite Server\\srv.dll\"", nullptr, k64, true, L"C:\\Suite Server\\srv.dll"},
        {"two quotes kept", L"\"\"", nullptr, k64, true, L"\"\""},
        {"one quote kept", L"\"", nullptr, k64, true, L"\""},
        {"only an opening quote", L"\"C:\\Suite\\svc.exe\" /run", nullptr, k64, true, L"\"C:\\Suite\\svc.exe\" /run"},
        {"32-bit view", L"C:\\Suite\\x86.dll", nullptr, k32, true, L"C:\\Suite\\x86.dll"},
        {"empty in-process value is final", L"", L"C:\\Suite\\svc.exe", k64, false, L""},
        {"longer than the buffer", long300.c_str(), nullptr, k64, false, L""},
        {"not registered", nullptr, nullptr, k64, false, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetSuite();
        if (c.inproc != nullptr) RegisterServer(kTestClsid, L"InprocServer32", c.inproc, c.view);
        if (c.local != nullptr) RegisterServer(kTestClsid, L"LocalServer32", c.local, c.view);
        wchar_t path[MAX_PATH] = L"untouched";
        EXPECT_EQ(c.found, GetComServerPath(kTestClsid, path, MAX_PATH));
        EXPECT_EQ(c.expected, path);
    }
}

TEST_F(ComServerPath, BracesAreOptional) {
    RegisterServer(kTestClsid, L"InprocServer32", L"C:\\Suite\\srv.dll");
    const std::wstring bare = std::wstring(kTestClsid).substr(1, 36);
    for (const std::wstring& clsid : {bare, L"{" + bare, bare + L"}"}) {
        wchar_t path[MAX_PATH] = {};
        EXPECT_TRUE(GetComServerPath(clsid.c_str(), path, MAX_PATH)) << clsid;
        EXPECT_STREQ(L"C:\\Suite\\srv.dll", path);
    }
}

TEST_F(ComServerPath, ArgumentErrors) {
    RegisterServer(kTestClsid, L"InprocServer32", L"C:\\Suite\\srv.dll", k64, REG_EXPAND_SZ);
    wchar_t path[MAX_PATH] = L"untouched";
    EXPECT_FALSE(GetComServerPath(kTestClsid, nullptr, MAX_PATH));
    EXPECT_FALSE(GetComServerPath(kTestClsid, path, 0));
    EXPECT_FALSE(GetComServerPath(kTestClsid, path, -1));
    EXPECT_STREQ(L"untouched", path);
    EXPECT_FALSE(GetComServerPath(nullptr, path, MAX_PATH));
    EXPECT_STREQ(L"", path);
    wcscpy(path, L"untouched");
    EXPECT_FALSE(GetComServerPath(L"", path, MAX_PATH));
    EXPECT_STREQ(L"", path);
    EXPECT_TRUE(GetComServerPath(kTestClsid, path, MAX_PATH));  // any value type is read as it is
    EXPECT_STREQ(L"C:\\Suite\\srv.dll", path);
}

// ---------------------------------------------------------------------------------------------

using LightWeightAPIWrapper = SuiteFixture;

TEST_F(LightWeightAPIWrapper, FindsTheDllThroughTheFolderOrder) {
    const std::wstring fromRegistry = PlaceStandIn(Scratch(L"installdir"));
    const std::wstring fromServer = PlaceStandIn(Scratch(L"server"));
    const std::wstring fromProgramFiles = PlaceStandIn(ProgramFilesSuiteFolder());
    const std::wstring all[] = {fromRegistry, fromServer, fromProgramFiles};
    const struct {
        const char* name;
        bool installDir;
        bool server;
        const std::wstring& expected;
    } cases[] = {
        {"Install Dir", true, true, fromRegistry},
        {"server folder", false, true, fromServer},
        {"Program Files", false, false, fromProgramFiles},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Oberix", L"Dov", k64);
        DeleteTree(HKEY_CLASSES_ROOT, L"CLSID", kSuiteClsid, k64);
        if (c.installDir) SetInstallDir(Scratch(L"installdir"));
        if (c.server) RegisterServer(kSuiteClsid, L"LocalServer32", L"\"" + Scratch(L"server") + L"\\suite.exe\" /embedding");

        CQvLightWeightAPIWrapper wrapper;
        EXPECT_FALSE(wrapper.IsLoaded());
        ASSERT_EQ(0u, wrapper.Init());
        EXPECT_TRUE(wrapper.IsLoaded());
        for (const std::wstring& path : all) {
            EXPECT_EQ(path == c.expected, ::GetModuleHandleW(path.c_str()) != nullptr) << path;
        }
        wrapper.Unload();
        EXPECT_FALSE(wrapper.IsLoaded());
        EXPECT_EQ(nullptr, ::GetModuleHandleW(c.expected.c_str()));
    }
}

TEST_F(LightWeightAPIWrapper, LoadsOnceForSeveralReports) {
    const std::wstring dll = PlaceStandIn(Scratch(L"suite"));
    SetInstallDir(Scratch(L"suite") + L"\\");
    {
        CQvLightWeightAPIWrapper wrapper;
        EXPECT_EQ(S_OK, wrapper.ReportUserProtected(3));
        // Once bound, the folder is not looked for again.
        DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Oberix", L"Dov", k64);
        {
            // The session manager's form: Init and the report under one hold of the lock.
            CQvAutoLock lock(wrapper);
            EXPECT_EQ(0u, wrapper.Init());
            VARIANT count;
            ::VariantInit(&count);
            count.vt = VT_UI4;
            count.ulVal = 0;
            EXPECT_EQ(S_OK, wrapper.ReportStatisticData(L"NUV\\Activity", L"UserProtected", &count, 0));
        }
        EXPECT_EQ(S_OK, wrapper.ReportUserProtected(4000000000u));
        EXPECT_NE(nullptr, ::GetModuleHandleW(dll.c_str()));
    }
    // One load, so one release (the wrapper's destructor) unloads it.
    EXPECT_EQ(nullptr, ::GetModuleHandleW(dll.c_str()));
    const std::vector<std::string> expected = {
        "load",
        "ReportStatisticData|NUV\\Activity|UserProtected|19|3|0|0x00000000",
        "ReportStatisticData|NUV\\Activity|UserProtected|19|0|0|0x00000000",
        "ReportStatisticData|NUV\\Activity|UserProtected|19|4000000000|0|0x00000000",
        "unload",
    };
    EXPECT_EQ(expected, Record());
    EXPECT_TRUE(TakeLoggedLines().empty());
}

TEST_F(LightWeightAPIWrapper, ReportPassesTheExportsResult) {
    PlaceStandIn(Scratch(L"suite"));
    SetInstallDir(Scratch(L"suite"));
    ::SetEnvironmentVariableW(QVLWAPI_FAIL_VARIABLE, L"8007000E");
    CQvLightWeightAPIWrapper wrapper;
    EXPECT_EQ(static_cast<HRESULT>(0x8007000E), wrapper.ReportUserProtected(2));
    EXPECT_TRUE(wrapper.IsLoaded());  // a refused report changes nothing about the binding
}

TEST_F(LightWeightAPIWrapper, MissingDllIsLoggedAndTriedAgain) {
    fs::create_directories(Scratch(L"empty"));
    SetInstallDir(Scratch(L"empty"));
    CQvLightWeightAPIWrapper wrapper;
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), wrapper.Init());
    EXPECT_FALSE(wrapper.IsLoaded());
    EXPECT_EQ(E_FAIL, wrapper.ReportUserProtected(1));

    const std::vector<LoggedLine> lines = TakeLoggedLines();
    ASSERT_EQ(3u, lines.size());  // Init, then the report's Init and its refusal
    for (const LoggedLine& line : lines) {
        EXPECT_EQ(4u, line.level);
        EXPECT_EQ(L"QvLightWeightAPIWrapper", line.sourceFile);
    }
    EXPECT_EQ(L"LoadLibrary:QvLWAPI.DLL failed, error code:126", lines[0].text);
    EXPECT_EQ(lines[0].text, lines[1].text);
    EXPECT_EQ(L"ReportStatisticData failed, m_pReportStaticData pointer is null", lines[2].text);

    const std::wstring dll = PlaceStandIn(Scratch(L"empty"));
    EXPECT_EQ(S_OK, wrapper.ReportUserProtected(1));
    EXPECT_NE(nullptr, ::GetModuleHandleW(dll.c_str()));
}

TEST_F(LightWeightAPIWrapper, DllWithoutAllExportsIsUnloaded) {
    const std::wstring dll = PlaceStandIn(Scratch(L"old"), true);
    SetInstallDir(Scratch(L"old"));
    CQvLightWeightAPIWrapper wrapper;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), wrapper.Init());
    EXPECT_FALSE(wrapper.IsLoaded());
    EXPECT_EQ(nullptr, ::GetModuleHandleW(dll.c_str()));
    EXPECT_EQ(E_FAIL, wrapper.ReportUserProtected(1));  // tries (and unloads) again; reports nothing
    EXPECT_EQ(std::vector<std::string>({"load", "unload", "load", "unload"}), Record());
}

TEST_F(LightWeightAPIWrapper, NoHandleNeverAnswersSuccess) {
    const struct {
        const char* name;
        std::wstring installDir;
        bool refuseLoad;
    } cases[] = {
        {"folder longer than the path buffer", L"C:\\" + std::wstring(300, L'f'), false},
        {"file name does not fit behind the folder", L"C:\\" + std::wstring(250, L'f'), false},
        {"DLL refuses to load", Scratch(L"refusing"), true},
    };
    PlaceStandIn(Scratch(L"refusing"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetInstallDir(c.installDir);
        ::SetEnvironmentVariableW(QVLWAPI_REFUSE_LOAD_VARIABLE, c.refuseLoad ? L"1" : nullptr);
        CQvLightWeightAPIWrapper wrapper;
        ::SetLastError(ERROR_SUCCESS);
        const DWORD result = wrapper.Init();
        EXPECT_NE(0u, result);
        EXPECT_FALSE(wrapper.IsLoaded());
        const std::vector<LoggedLine> lines = TakeLoggedLines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(L"LoadLibrary:QvLWAPI.DLL failed, error code:" + std::to_wstring(result), lines[0].text);
    }
}

TEST(QvLock, CountsNestedEntriesAndKeepsOtherThreadsOut) {
    CQvLightWeightAPIWrapper wrapper;
    std::atomic<bool> entered{false};
    std::thread other;
    {
        CQvAutoLock outer(wrapper);
        EXPECT_EQ(1, wrapper.EntryCount());
        {
            CQvAutoLock inner(wrapper);  // recursive
            EXPECT_EQ(2, wrapper.EntryCount());
            EXPECT_NE(0u, wrapper.Init());  // Init takes it once more; no DLL in this test
        }
        EXPECT_EQ(1, wrapper.EntryCount());
        other = std::thread([&] {
            CQvAutoLock lock(wrapper);
            entered = true;
        });
        ::Sleep(100);
        EXPECT_FALSE(entered.load());
    }
    other.join();
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(0, wrapper.EntryCount());
    TakeLoggedLines();
}

}  // namespace
