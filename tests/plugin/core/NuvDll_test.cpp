// The Nuv DLL as the suite meets it: registered by regsvr32, listed for the proxy host as an
// installer would, loaded by the stand-in proxy host through COM in a process of its own, with the
// configuration service there or not.

#include "plugin/core/NuvPlugin.h"

#include "Shared/StgStorageDB.h"
#include "Shared/VyxLogFormat.h"
#include "base/UniqueHandle.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kClsid = L"{08533142-6DAA-40C0-829F-098475E66646}";
constexpr const wchar_t* kAppId = L"{E9A45E1C-A219-416B-9E79-3C61B547209D}";
constexpr const wchar_t* kPluginKey = L"Software\\Oberix\\QvProxy\\Plugins\\{08533142-6DAA-40C0-829F-098475E66646}";
constexpr const wchar_t* kProductKey = L"SOFTWARE\\Oberix\\NUV";

std::wstring NuvDll() { return NuvTest::ExeFolder() + L"\\Nuv.dll"; }
std::wstring Host() { return L"\"" + NuvTest::ExeFolder() + L"\\QvProxyHost.exe\""; }

bool KeyExists(HKEY root, const std::wstring& path) {
    Tessal::UniqueHKey key;
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

std::wstring ReadText(HKEY root, const std::wstring& path, const wchar_t* name) {
    wchar_t text[1024] = {};
    DWORD size = sizeof(text);
    if (::RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) return L"<none>";
    return text;
}

DWORD Regsvr32(bool unregister) {
    const std::wstring line = std::wstring(L"regsvr32.exe /s ") + (unregister ? L"/u " : L"") + L"\"" + NuvDll() + L"\"";
    return NuvTest::RunChild(line).exitCode;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A stored state for the configuration stand-in of the host process, in the temp folder; empty
// when it cannot be written.
std::wstring WriteStateFile(const wchar_t* name, const std::string& text) {
    wchar_t folder[MAX_PATH] = {};
    if (::GetTempPathW(MAX_PATH, folder) == 0) return {};
    const std::wstring path = std::wstring(folder) + name;
    Tessal::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return {};
    return path;
}

class NuvDllTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_guard.CreateKey(kProductKey));
        m_guard.DeleteValue(kProductKey, L"Report");
        m_guard.DeleteValue(L"SOFTWARE\\Oberix\\NUV\\DynaInfo", L"UpdRestartReq");
        m_guard.WillCreate(L"Software\\Oberix\\QvProxy\\Plugins");
        const auto installed = NuvTest::RunChild(Host() + L" install-plugin " + kClsid + L" NUV 1");
        ASSERT_EQ(0u, installed.exitCode) << installed.output;
    }
    void TearDown() override { EXPECT_EQ(0u, Regsvr32(false)) << "leaves the DLL registered as the build did"; }

    NuvTest::ChildResult Run(const std::wstring& steps,
                             const std::vector<std::pair<std::wstring, std::wstring>>& environment = {}) {
        auto result = NuvTest::RunChild(Host() + L" run " + steps, environment, 120000);
        EXPECT_TRUE(result.finished) << result.output;
        return result;
    }

    NuvTest::MachineKeyGuard m_guard;
};

TEST_F(NuvDllTest, RegistrationWritesTheClassKeysAndLeavesTheProxyKeyToTheInstaller) {
    ASSERT_EQ(0u, Regsvr32(false));
    const std::wstring clsidKey = std::wstring(L"CLSID\\") + kClsid;
    EXPECT_EQ(L"NuvPlugin Class", ReadText(HKEY_CLASSES_ROOT, clsidKey, nullptr));
    EXPECT_EQ(kAppId, ReadText(HKEY_CLASSES_ROOT, clsidKey, L"AppID"));
    EXPECT_EQ(L"nuv.NuvPlugin.1", ReadText(HKEY_CLASSES_ROOT, clsidKey + L"\\ProgID", nullptr));
    EXPECT_EQ(L"nuv.NuvPlugin", ReadText(HKEY_CLASSES_ROOT, clsidKey + L"\\VersionIndependentProgID", nullptr));
    EXPECT_EQ(L"Both", ReadText(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(0, ::_wcsicmp(NuvDll().c_str(), ReadText(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", nullptr).c_str()));
    EXPECT_EQ(L"{}", ReadText(HKEY_CLASSES_ROOT, clsidKey + L"\\TypeLib", nullptr));
    EXPECT_EQ(kClsid, ReadText(HKEY_CLASSES_ROOT, L"nuv.NuvPlugin.1\\CLSID", nullptr));
    EXPECT_EQ(L"nuv.NuvPlugin.1", ReadText(HKEY_CLASSES_ROOT, L"nuv.NuvPlugin\\CurVer", nullptr));
    EXPECT_EQ(L"nuv", ReadText(HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + kAppId, nullptr));
    EXPECT_EQ(kAppId, ReadText(HKEY_CLASSES_ROOT, L"AppID\\nuv.DLL", L"AppID"));
    const std::wstring pseudo = std::wstring(L"CLSID\\") + kAppId;
    EXPECT_EQ(0, ::_wcsicmp(NuvDll().c_str(), ReadText(HKEY_CLASSES_ROOT, pseudo, L"InprocServer32").c_str()))
        << "a named value, not a subkey";
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, pseudo + L"\\InprocServer32"));
    EXPECT_EQ(L"NUV", ReadText(HKEY_LOCAL_MACHINE, kPluginKey, L"Name")) << "registration leaves the installer's key";

    // Something of the host's own below the plug-in's entry goes with it.
    Tessal::UniqueHKey extra;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kPluginKey) + L"\\State").c_str(), 0,
                                               nullptr, 0, KEY_ALL_ACCESS, nullptr, extra.Put(), nullptr));
    extra.Reset();
    ASSERT_EQ(0u, Regsvr32(true));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, clsidKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, pseudo));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"nuv.NuvPlugin"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\nuv.DLL"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPluginKey)) << "unregistration removes the proxy-host entry";
    EXPECT_EQ(0u, Regsvr32(true)) << "a second unregistration finds nothing to remove and succeeds";
}

TEST_F(NuvDllTest, HostDrivesThePluginThroughCom) {
    ASSERT_EQ(0u, Regsvr32(false));
    const auto result = Run(L"connect-null-reserved:1:1:10 connect-null-handler:1:1:10 connect:2:1:10 connect:1:1:10 "
                            L"report:40:1:0x80004005 connect:1:1:10 deinit connect:1:1:10");
    ASSERT_EQ(0u, result.exitCode) << result.output;
    const std::string& out = result.output;
    EXPECT_TRUE(Contains(out, "create -> 0x00000000")) << out;
    EXPECT_TRUE(Contains(out, "initialize -> 0x00000000 (1, 0)")) << out;
    EXPECT_TRUE(Contains(out, "connect 1 1 10 -> 0x80004003 handler=untouched reserved=-1")) << out;
    EXPECT_TRUE(Contains(out, "connect 1 1 10 -> 0x80004003 handler=none reserved=0")) << out;
    EXPECT_TRUE(Contains(out, "connect 2 1 10 -> 0x80070057 handler=untouched reserved=0")) << out;
    // A connection that needs filtering gets its handler.
    EXPECT_TRUE(Contains(out, "connect 1 1 10 -> 0x00000000 handler=set reserved=0")) << out;
    EXPECT_TRUE(Contains(out, "report 40 1 -> 0")) << out;
    EXPECT_TRUE(Contains(out, "connect 1 1 10 -> 0x8000FFFF handler=null reserved=0")) << out;
    EXPECT_TRUE(Contains(out, "deinitialize -> 0x00000000")) << out;
    EXPECT_TRUE(Contains(out, "connect 1 1 10 -> 0x80080008 handler=null reserved=0")) << out;
    DWORD report = 0;
    DWORD size = sizeof(report);
    ASSERT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, kProductKey, L"Report", RRF_RT_REG_DWORD, nullptr,
                                            &report, &size));
    EXPECT_EQ(0x80000028u, report);
}

TEST_F(NuvDllTest, WithoutTheConfigurationServiceStartUpFails) {
    ASSERT_EQ(0u, Regsvr32(false));
    const auto result = Run(L"connect:1:1:10 connect:1:2:10", {{L"QvPSConfig_UNAVAILABLE", L"1"}});
    ASSERT_EQ(0u, result.exitCode) << result.output;
    EXPECT_TRUE(Contains(result.output, "initialize -> 0x00000000 (1, 0)")) << result.output;
    EXPECT_TRUE(Contains(result.output, "connect 1 1 10 -> 0x0000045A")) << result.output;
    EXPECT_TRUE(Contains(result.output, "connect 1 2 10 -> 0x0000045A")) << result.output;
    DWORD report = 0;
    DWORD size = sizeof(report);
    ASSERT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, kProductKey, L"Report", RRF_RT_REG_DWORD, nullptr,
                                            &report, &size));
    EXPECT_EQ(0x80000028u, report) << "problem 40, which affects personal-info scanning";
}

TEST_F(NuvDllTest, SessionOfAnUnrestrictedUserNeedsNoFiltering) {
    ASSERT_EQ(0u, Regsvr32(false));
    const std::wstring state = WriteStateFile(
        L"nuv-dll-test-state.txt",
        "user grownup grownup\nsetting grownup 199 text grownup\nsetting grownup 200 text grownup\n"
        "setting grownup 315 bool false\nsignin 4 grownup\n");
    ASSERT_FALSE(state.empty());
    const auto result = Run(L"connect:1:4:10 connect:1:4:11 connect:1:5:10", {{L"QvPSConfig_STATE", state}});
    ::DeleteFileW(state.c_str());
    // The first connection creates the session with the user signed in at the service.
    EXPECT_TRUE(Contains(result.output, "connect 1 4 11 -> 0x00000001 handler=null reserved=0")) << result.output;
    // Nobody in session 5: a handler that holds the connection until somebody signs in.
    EXPECT_TRUE(Contains(result.output, "connect 1 5 10 -> 0x00000000 handler=set")) << result.output;
}

// The activity-log database of the machine: only this program runs the real plug-in.
std::wstring ActivityDatabase() {
    wchar_t* data = nullptr;
    std::wstring path;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &data))) {
        path = std::wstring(data) + L"\\Oberix\\NUV\\" + VyxLog::kDatabaseFileName;
    }
    ::CoTaskMemFree(data);
    return path;
}

TEST_F(NuvDllTest, AProtectedUserSignedInLeavesALogonInTheActivityLog) {
    ASSERT_EQ(0u, Regsvr32(false));
    const std::wstring database = ActivityDatabase();
    ::DeleteFileW(database.c_str());
    const std::wstring state = WriteStateFile(
        L"nuv-dll-test-activity.txt",
        "user child child\nsetting child 199 text child\nsetting child 200 text child\n"
        "setting child 315 bool true\nsetting child 313 text blocked.test\nsignin 4 child\n");
    ASSERT_FALSE(state.empty());
    // A connection of the user through the handler: the request passes to the server.
    const auto result = Run(L"request:4:10:allowed.test:/page.html request:4:10:blocked.test:/x",
                            {{L"QvPSConfig_STATE", state}});
    ::DeleteFileW(state.c_str());
    for (const char* line : {"request 4 10 -> 0x00000000", "  OnBegin -> 0x00000000", "  OnOutboundData -> 0x00000000 verdict 3",
                             "  verdict out 0", "  OnEnd -> 0x00000000"}) {
        EXPECT_TRUE(Contains(result.output, line)) << line << "\n" << result.output;
    }
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CStgStorageDB* store = nullptr;
    BOOL created = FALSE;
    ASSERT_EQ(S_OK, CreateStgStorageDB(&store, database.c_str(), STGM_READ, &created)) << result.output;
    DWORD handle = 0;
    ASSERT_EQ(S_OK, store->OpenFile(L"child", VyxLog::kLoginStream, &handle, false, false));
    std::uint8_t bytes[64] = {};
    ULONG read = 0;
    store->ReadFile(handle, bytes, sizeof bytes, &read);
    store->CloseFile(handle);
    store->Release();
    ::CoUninitialize();
    const VyxLog::LoginTimes times = VyxLog::ParseLoginTimes(bytes, read);
    EXPECT_TRUE(VyxLog::IsSet(times.logon));
    EXPECT_TRUE(VyxLog::IsSet(times.logoff)) << "logged off when the plug-in stopped";
    // The blocked request: the block page to the client, then the connection ends (FAIL), the
    // site in the day's records.
    EXPECT_TRUE(Contains(result.output, "  verdict out 1")) << result.output;
    EXPECT_TRUE(Contains(result.output, "  injected in ")) << result.output;
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_EQ(S_OK, CreateStgStorageDB(&store, database.c_str(), STGM_READ, &created));
    const std::wstring day = VyxLog::DayStoragePath(L"child", times.logon);
    std::vector<std::uint8_t> sites(4096);
    ASSERT_EQ(S_OK, store->OpenFile(day.c_str(), VyxLog::kBlockedSitesStream, &handle, false, false));
    store->ReadFile(handle, sites.data(), static_cast<ULONG>(sites.size()), &read);
    store->CloseFile(handle);
    store->Release();
    ::CoUninitialize();
    std::vector<VyxLog::BlockedSite> parsed;
    ASSERT_TRUE(VyxLog::ParseBlockedSites(sites.data(), read, parsed));
    ASSERT_EQ(1u, parsed.size());
    EXPECT_EQ(L"blocked.test", parsed[0].url);
    EXPECT_EQ(2u, parsed[0].kind);
}

// The plug-in's own log files (UTF-16) as one text; only this program runs the real plug-in.
std::wstring PluginLogFolder() {
    wchar_t* data = nullptr;
    std::wstring folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &data))) {
        folder = std::wstring(data) + L"\\Oberix\\QVLOGS\\Nuv\\Nuv";
    }
    ::CoTaskMemFree(data);
    return folder;
}

std::wstring ReadPluginLog() {
    std::wstring text;
    WIN32_FIND_DATAW found;
    Tessal::UniqueFindHandle find(::FindFirstFileW((PluginLogFolder() + L"\\*.log").c_str(), &found));
    if (!find) return text;
    do {
        Tessal::UniqueHandle file(::CreateFileW((PluginLogFolder() + L"\\" + found.cFileName).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        std::wstring content(::GetFileSize(file.Get(), nullptr) / sizeof(wchar_t), L'\0');
        DWORD read = 0;
        if (!content.empty() &&
            ::ReadFile(file.Get(), &content[0], static_cast<DWORD>(content.size() * sizeof(wchar_t)), &read, nullptr)) {
            text += content;
        }
    } while (::FindNextFileW(find.Get(), &found));
    return text;
}

void DeletePluginLogs() {
    WIN32_FIND_DATAW found;
    Tessal::UniqueFindHandle find(::FindFirstFileW((PluginLogFolder() + L"\\*.log").c_str(), &found));
    if (!find) return;
    do {
        ::DeleteFileW((PluginLogFolder() + L"\\" + found.cFileName).c_str());
    } while (::FindNextFileW(find.Get(), &found));
}

// A broken component crashing inside a call the plug-in makes on its start-up thread: the fault is
// the plug-in's -1000 exception, start-up fails, and the host process goes on.
TEST_F(NuvDllTest, CrashInTheConfigurationServiceDuringStartUpFailsStartUpNotTheHost) {
    ASSERT_EQ(0u, Regsvr32(false));
    const std::wstring state = WriteStateFile(L"nuv-dll-test-fault.txt", "fault FindConnectionPoint\n");
    ASSERT_FALSE(state.empty());
    DeletePluginLogs();
    const auto result = Run(L"connect:1:1:10 connect:1:2:10 deinit", {{L"QvPSConfig_STATE", state}});
    ::DeleteFileW(state.c_str());
    ASSERT_EQ(0u, result.exitCode) << result.output;
    EXPECT_TRUE(Contains(result.output, "initialize -> 0x00000000 (1, 0)")) << result.output;
    EXPECT_TRUE(Contains(result.output, "connect 1 1 10 -> 0x0000045A")) << result.output;
    EXPECT_TRUE(Contains(result.output, "connect 1 2 10 -> 0x0000045A")) << result.output;
    EXPECT_TRUE(Contains(result.output, "deinitialize -> 0x00000000")) << result.output;
    const std::wstring log = ReadPluginLog();
    EXPECT_NE(std::wstring::npos, log.find(L"CNuvException( -1000, Exception 0xC0000005 at 0x")) << "the fault, logged";
}

TEST_F(NuvDllTest, PendingRestartRefusesConnections) {
    ASSERT_EQ(0u, Regsvr32(false));
    ASSERT_TRUE(m_guard.SetDword(L"SOFTWARE\\Oberix\\NUV\\DynaInfo", L"UpdRestartReq", 1));
    const auto result = Run(L"connect:1:1:10");
    EXPECT_TRUE(Contains(result.output, "connect 1 1 10 -> 0x80004005 handler=null")) << result.output;
}

}  // namespace
