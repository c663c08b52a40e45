// The MUI wrapper against the runtime stand-in (suite/rtmui): where the runtime is looked for,
// which export each operation calls with what, and the plain Windows loaders when the runtime is
// not used. RtMuiImpl objects of the tests' own cover the binding in this process; the process's
// singleton, built once, is covered in child processes (rtmui_probe), one per configuration.

#include "Shared/RtMui.h"
#include "Shared/RtMuiImpl.h"

#include "base/DllWrapperBase.h"
#include "base/UniqueHandle.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/Shared/ResourceTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using NuvTest::CopyInto;
using NuvTest::CScopedEnvironmentVariable;
using NuvTest::ScratchFolder;
using NuvTest::IncompleteRuntimeStandIn;
using NuvTest::RuntimeStandIn;
using NuvTest::Utf8;
using Record = std::vector<std::string>;

constexpr DWORD kAnyError = 0xFFFFFFFF;
const Record kLoadedAndReleased = {"DllAddRef", "DllRelease"};

class CScopedCurrentDirectory {
public:
    explicit CScopedCurrentDirectory(const std::wstring& folder) {
        wchar_t old[MAX_PATH] = {};
        ::GetCurrentDirectoryW(MAX_PATH, old);
        m_old = old;
        ::SetCurrentDirectoryW(folder.c_str());
    }
    ~CScopedCurrentDirectory() { ::SetCurrentDirectoryW(m_old.c_str()); }
    CScopedCurrentDirectory(const CScopedCurrentDirectory&) = delete;
    CScopedCurrentDirectory& operator=(const CScopedCurrentDirectory&) = delete;

private:
    std::wstring m_old;
};

enum class Runtime { None, Complete, Incomplete, PlainName };

std::wstring StandIn(Runtime runtime) {
    switch (runtime) {
        case Runtime::Complete: return RuntimeStandIn();
        case Runtime::Incomplete: return IncompleteRuntimeStandIn();
        case Runtime::PlainName: return L"QvRtMui.dll";
        case Runtime::None: break;
    }
    return L"";
}

class RtMuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The process's singleton is built before any test changes where the runtime is looked
        // for: what these tests set reaches only their own RtMuiImpl objects.
        RtMuiIsLoaded();
        ASSERT_TRUE(NuvTest::CopyResourceDlls(ResourceFolder()));
        // A runtime in the current folder: found there if anything loaded it by plain name.
        ASSERT_TRUE(CopyInto(RuntimeStandIn(), m_folder / L"current", L"QvRtMui.dll"));
    }
    void TearDown() override { RtMuiSetPath(L""); }

    std::wstring ResourceFolder() const { return m_folder / L"res"; }
    Record TakeRecord() {
        Record record = NuvTest::ReadLines(m_record);
        ::DeleteFileW(m_record.c_str());
        return record;
    }

    // "<folder>\Oberix\Platform" holding the given runtime, as "CommonProgramFiles" (or unset).
    std::wstring PreparePlatformFolder(Runtime runtime) {
        const std::wstring common = m_folder / L"common";
        const std::wstring platform = common + L"\\Oberix\\Platform";
        ::DeleteFileW((platform + L"\\QvRtMui.dll").c_str());
        if (runtime != Runtime::None) {
            EXPECT_TRUE(CopyInto(StandIn(runtime), platform, L"QvRtMui.dll"));
        }
        return common;
    }

    ScratchFolder m_folder{L"rtmui"};
    const std::wstring m_record = m_folder / L"record.txt";
    CScopedEnvironmentVariable m_recordVariable{QVRTMUI_RECORD_VARIABLE, m_record};
};

TEST_F(RtMuiTest, WhereTheRuntimeIsLookedFor) {
    struct {
        const char* name;
        Runtime runtimePath;  // given to RtMuiSetPath
        bool commonProgramFiles;
        Runtime platformFolder;
        DWORD result;
        Record record;
    } const cases[] = {
        {"runtime path", Runtime::Complete, true, Runtime::None, 0, {"DllAddRef", "RtMUIGetMappedLocale", "DllRelease"}},
        {"runtime path before the platform folder", Runtime::Incomplete, true, Runtime::Complete, ERROR_PROC_NOT_FOUND,
         kLoadedAndReleased},
        {"runtime path by plain name", Runtime::PlainName, true, Runtime::Complete, kAnyError, {}},
        {"platform folder", Runtime::None, true, Runtime::Complete, 0, {"DllAddRef", "RtMUIGetMappedLocale", "DllRelease"}},
        // Bound once: the plain-name attempt finds it loaded and misses the same export.
        {"incomplete runtime in the platform folder", Runtime::None, true, Runtime::Incomplete, ERROR_PROC_NOT_FOUND,
         kLoadedAndReleased},
        // The plain name is refused although the current folder holds a runtime.
        {"nothing in the platform folder", Runtime::None, true, Runtime::None, ERROR_MOD_NOT_FOUND, {}},
        {"no CommonProgramFiles", Runtime::None, false, Runtime::Complete, ERROR_ENVVAR_NOT_FOUND, {}},
    };
    const CScopedCurrentDirectory current(m_folder / L"current");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring common = PreparePlatformFolder(c.platformFolder);
        const CScopedEnvironmentVariable variable(
            L"CommonProgramFiles", c.commonProgramFiles ? std::optional<std::wstring>(common) : std::nullopt);
        ASSERT_TRUE(RtMuiSetPath(StandIn(c.runtimePath).c_str()));
        {
            RtMuiImpl runtime;
            if (c.result == kAnyError) {
                EXPECT_NE(0u, runtime.GetLoadResult());
            } else {
                EXPECT_EQ(c.result, runtime.GetLoadResult());
            }
            EXPECT_EQ(runtime.GetLoadResult() == 0 ? DWORD{QVRTMUI_STANDIN_LOCALE} : DWORD{1033},
                      runtime.GetMappedLocale());
        }
        EXPECT_EQ(c.record, TakeRecord());
    }
}

struct DispatchCase {
    std::function<void(RtMuiDllInterface&, HMODULE)> call;
    const char* recorded;  // the line without the first field, the module named "NuvRes2.dll"
};

// Each operation with and without an extra value; the line each gives when the runtime is used.
std::vector<DispatchCase> DispatchCases() {
    auto loadString = [](DWORD extra) {
        return [extra](RtMuiDllInterface& mui, HMODULE module) {
            wchar_t buffer[64] = {};
            EXPECT_EQ(17, mui.LoadStringW(module, 14049, buffer, 64, extra));
            EXPECT_STREQ(L"Parental Controls", buffer);
        };
    };
    auto findResource = [](DWORD extra) {
        return [extra](RtMuiDllInterface& mui, HMODULE module) {
            const HRSRC found = mui.FindResourceW(module, L"/BADCONTENT.HTML", L"WEBSERVER", extra);
            EXPECT_NE(nullptr, found);
            EXPECT_EQ(::FindResourceW(module, L"/BADCONTENT.HTML", L"WEBSERVER"), found);
        };
    };
    // The resource DLL has no pictures of these kinds: only the forwarding is seen.
    auto loadImage = [](DWORD extra) {
        return [extra](RtMuiDllInterface& mui, HMODULE module) {
            EXPECT_EQ(nullptr, mui.LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, 16, 16, 0, extra));
        };
    };
    auto loadBitmap = [](DWORD extra) {
        return [extra](RtMuiDllInterface& mui, HMODULE module) {
            EXPECT_EQ(nullptr, mui.LoadBitmapW(module, MAKEINTRESOURCEW(2), extra));
        };
    };
    auto loadIcon = [](DWORD extra) {
        return [extra](RtMuiDllInterface& mui, HMODULE module) {
            EXPECT_EQ(nullptr, mui.LoadIconW(module, MAKEINTRESOURCEW(3), extra));
        };
    };
    return {
        {loadString(0), "RtMUILoadString|NuvRes2.dll|14049|64|0"},
        {loadString(7), "RtMUILoadStringEx|NuvRes2.dll|14049|64|7|0"},
        {findResource(0), "RtMUIFindResource|NuvRes2.dll|/BADCONTENT.HTML|WEBSERVER|0"},
        {findResource(9), "RtMUIFindResourceEx|NuvRes2.dll|/BADCONTENT.HTML|WEBSERVER|9|0"},
        {loadImage(0), "RtMUILoadImage|NuvRes2.dll|#1|1|16|16|0|0"},
        {loadImage(5), "RtMUILoadImageEx|NuvRes2.dll|#1|1|16|16|0|5|0"},
        {loadBitmap(0), "RtMUILoadBitmap|NuvRes2.dll|#2|0"},
        {loadBitmap(3), "RtMUILoadBitmapEx|NuvRes2.dll|#2|3|0"},
        {loadIcon(0), "RtMUILoadIcon|NuvRes2.dll|#3|0"},
        {loadIcon(4), "RtMUILoadIconEx|NuvRes2.dll|#3|4|0"},
    };
}

TEST_F(RtMuiTest, OperationsCallTheRuntimeExports) {
    ASSERT_TRUE(RtMuiSetPath(RuntimeStandIn().c_str()));
    RtMuiImpl runtime;
    ASSERT_EQ(0u, runtime.GetLoadResult());
    EXPECT_EQ(Record{"DllAddRef"}, TakeRecord());

    const std::wstring dll = ResourceFolder() + L"\\NuvRes2.dll";
    const Tessal::UniqueHModule module(runtime.LoadLibraryW(dll.c_str()));
    ASSERT_TRUE(module);
    const Tessal::UniqueHModule dataFile(runtime.LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    EXPECT_TRUE(dataFile);
    EXPECT_EQ((Record{"RtMUILoadLibrary|" + Utf8(dll) + "|0", "RtMUILoadLibraryEx|" + Utf8(dll) + "|(null)|2|0"}),
              TakeRecord());

    for (const DispatchCase& c : DispatchCases()) {
        SCOPED_TRACE(c.recorded);
        c.call(runtime, module.Get());
        EXPECT_EQ(Record{c.recorded}, TakeRecord());
    }
}

TEST_F(RtMuiTest, WithoutTheRuntimeThePlainLoadersAnswer) {
    const CScopedEnvironmentVariable variable(L"CommonProgramFiles", std::nullopt);
    RtMuiImpl plain;
    ASSERT_NE(0u, plain.GetLoadResult());
    EXPECT_EQ(1033u, plain.GetMappedLocale());

    const std::wstring dll = ResourceFolder() + L"\\NuvRes2.dll";
    const Tessal::UniqueHModule module(plain.LoadLibraryW(dll.c_str()));
    ASSERT_TRUE(module);
    EXPECT_EQ(::GetModuleHandleW(dll.c_str()), module.Get());
    const Tessal::UniqueHModule dataFile(plain.LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    EXPECT_TRUE(dataFile);
    for (const DispatchCase& c : DispatchCases()) {
        SCOPED_TRACE(c.recorded);
        c.call(plain, module.Get());
    }
    EXPECT_EQ(Record{}, TakeRecord());
}

class CCheckedDll : public Tessal::CDllWrapperBase {
public:
    explicit CCheckedDll(DWORD check) : m_check(check) {}

protected:
    DWORD PreLoadCheck() override { return m_check; }

private:
    DWORD m_check;
};

TEST_F(RtMuiTest, DllWrapperLoads) {
    const CScopedCurrentDirectory current(m_folder / L"current");
    struct {
        const char* name;
        std::wstring path;
        DWORD check;
        DWORD result;
        Record record;
    } const cases[] = {
        {"absolute path", RuntimeStandIn(), 0, 0, kLoadedAndReleased},
        {"DLL without DllAddRef and DllRelease", ResourceFolder() + L"\\NuvRes2.dll", 0, 0, {}},
        {"pre-load check refuses", RuntimeStandIn(), 1234, 1234, {}},
        {"relative path", L"QvRtMui.dll", 0, ERROR_MOD_NOT_FOUND, {}},
        {"missing file", m_folder / L"missing.dll", 0, ERROR_MOD_NOT_FOUND, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            CCheckedDll dll(c.check);
            ::SetLastError(ERROR_SUCCESS);  // a refusal that sets no error must still fail
            EXPECT_EQ(c.result, dll.Load(c.path.c_str()));
            EXPECT_EQ(c.result == 0, dll.GetModule() != nullptr);
        }
        EXPECT_EQ(c.record, TakeRecord());
    }
}

TEST_F(RtMuiTest, DllWrapperLoadsOnce) {
    {
        CCheckedDll dll(0);
        ASSERT_EQ(0u, dll.Load(RuntimeStandIn().c_str()));
        const HMODULE first = dll.GetModule();
        EXPECT_EQ(0u, dll.Load(IncompleteRuntimeStandIn().c_str()));
        EXPECT_EQ(first, dll.GetModule());
        EXPECT_EQ(Record{"DllAddRef"}, TakeRecord());
    }
    EXPECT_EQ(Record{"DllRelease"}, TakeRecord());
}

// The process's singleton, in a child process per configuration.
class RtMuiSingletonTest : public RtMuiTest {
protected:
    void SetUp() override {
        RtMuiTest::SetUp();
        ASSERT_TRUE(m_guard.SetString(L"SOFTWARE\\Oberix\\NUV", L"Install Dir", ResourceFolder()));
    }

    // The probe's "key=value" lines; empty when it did not run to its end.
    // The probe sets CommonProgramFiles itself (a child under Wine does not inherit it).
    std::map<std::string, std::string> RunProbe(const std::optional<std::wstring>& commonProgramFiles,
                                                const std::wstring& runtimePath) {
        const std::wstring results = m_folder / L"probe.txt";
        ::DeleteFileW(results.c_str());
        std::wstring commandLine = L"\"" + NuvTest::ExeFolder() + L"\\rtmui_probe.exe\" \"" + results + L"\"";
        commandLine += commonProgramFiles ? L" \"common=" + *commonProgramFiles + L"\"" : L" common-";
        if (!runtimePath.empty()) commandLine += L" \"path=" + runtimePath + L"\"";

        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &process)) {
            ADD_FAILURE() << "rtmui_probe did not start: " << ::GetLastError();
            return {};
        }
        const Tessal::UniqueHandle processHandle(process.hProcess);
        const Tessal::UniqueHandle threadHandle(process.hThread);
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(processHandle.Get(), 60000));
        DWORD exitCode = 1;
        ::GetExitCodeProcess(processHandle.Get(), &exitCode);
        EXPECT_EQ(0u, exitCode);

        std::map<std::string, std::string> values;
        for (const std::string& line : NuvTest::ReadLines(results)) {
            const std::size_t equals = line.find('=');
            if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        }
        return values;
    }

    NuvTest::MachineKeyGuard m_guard;
};

TEST_F(RtMuiSingletonTest, Configurations) {
    const std::string resources = Utf8(ResourceFolder());
    // The runtime's calls in the probe: locale, Init, the custom string, then the 1023-character
    // string, which the loader reads twice (1024 characters are one too few).
    const Record usedRuntime = {
        "DllAddRef",
        "RtMUIGetMappedLocale",
        "RtMUILoadLibrary|" + resources + "\\NuvRes2.dll|0",
        "RtMUILoadLibrary|" + resources + "\\nuvuc.dll|0",
        "RtMUILoadString|nuvuc.dll|14049|1024|0",
        "RtMUILoadString|nuvuc.dll|29001|1024|0",
        "RtMUILoadString|NuvRes2.dll|29001|1024|0",
        "RtMUILoadString|nuvuc.dll|29001|2048|0",
        "RtMUILoadString|NuvRes2.dll|29001|2048|0",
        "DllRelease",
    };
    struct {
        const char* name;
        Runtime runtimePath;
        bool commonProgramFiles;
        Runtime platformFolder;
        const char* loaded;
        const char* locale;
        Record record;
    } const cases[] = {
        {"nothing in the platform folder", Runtime::None, true, Runtime::None, "0", "1033", {}},
        {"platform folder", Runtime::None, true, Runtime::Complete, "1", "1031", usedRuntime},
        {"runtime path", Runtime::Complete, true, Runtime::None, "1", "1031", usedRuntime},
        {"incomplete runtime path", Runtime::Incomplete, true, Runtime::None, "0", "1033", kLoadedAndReleased},
        {"no CommonProgramFiles", Runtime::None, false, Runtime::Complete, "0", "1033", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring common = PreparePlatformFolder(c.platformFolder);
        std::map<std::string, std::string> values = RunProbe(
            c.commonProgramFiles ? std::optional<std::wstring>(common) : std::nullopt, StandIn(c.runtimePath));

        if (c.runtimePath != Runtime::None) {
            EXPECT_EQ("1", values["setpath"]);
        }
        EXPECT_EQ(c.loaded, values["loaded"]) << "every thread of the first use gets the same singleton";
        EXPECT_EQ(c.locale, values["locale"]);
        // The resources load either way.
        EXPECT_EQ("1", values["init"]);
        EXPECT_EQ("Custom: Family Safety", values["14049"]);
        EXPECT_EQ("1023", values["29001"]);
        EXPECT_EQ(c.record, TakeRecord()) << "built once, released at exit";
    }
}

}  // namespace
