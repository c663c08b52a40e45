// A module's process logger end to end: copies of the probe DLL, each a fresh module with its own
// logging library, are loaded after "Logging Mechanism" has been set. Serialised with the other
// programs that write that value (ctest RESOURCE_LOCK OberixLoggingKey); the value is put back.

#include "LogProbe.h"
#include "LoggingTestSupport.h"

#include "base/FileSystem.h"
#include "base/Format.h"
#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using NuvTest::ReadLogText;
using NuvTest::ScopedLoggingMechanism;
using NuvTest::ScratchFolder;
using NuvTest::SplitLines;

std::wstring ProgramFolder() {
    std::wstring folder;
    std::wstring name;
    Tessal::GetModuleFolderAndName(nullptr, folder, false, name);
    return folder;
}

struct Probe {
    Tessal::UniqueHModule module;
    ProbeSetupFn Setup = nullptr;
    ProbeConfigureFn Configure = nullptr;
    ProbeLoggerKindFn LoggerKind = nullptr;
    ProbeIsLevelEnabledFn IsLevelEnabled = nullptr;
    ProbeLogFn Log = nullptr;
    ProbeLogFormatFn LogFormat = nullptr;
    ProbeManagerLogFn ManagerLog = nullptr;
    ProbeBaseLogFn BaseLog = nullptr;
    ProbeEventCountFn EventCount = nullptr;
    ProbeGetEventFn GetEvent = nullptr;

    std::vector<ProbeEvent> Events() const {
        std::vector<ProbeEvent> events(EventCount());
        for (DWORD i = 0; i < events.size(); ++i) GetEvent(i, &events[i]);
        return events;
    }
};

template <class Fn>
void Resolve(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    ASSERT_NE(nullptr, fn) << name;
}

class LoggingModule : public ::testing::Test {
protected:
    LoggingModule() : scratch_(L"module") {}

    // A fresh copy of the probe DLL named `name` (in its own sub-folder when given).
    std::unique_ptr<Probe> Load(const std::wstring& name, bool captureEtw = true, const std::wstring& subFolder = L"m") {
        const std::wstring folder = scratch_ / (L"dlls\\" + subFolder);
        Tessal::CreateDirectoryPath(folder.c_str());
        const std::wstring path = folder + L"\\" + name + L".dll";
        EXPECT_TRUE(::CopyFileW((ProgramFolder() + L"\\logprobe.dll").c_str(), path.c_str(), FALSE));
        auto probe = std::make_unique<Probe>();
        probe->module.Reset(::LoadLibraryW(path.c_str()));
        EXPECT_TRUE(probe->module.IsValid()) << ::GetLastError();
        if (!probe->module) return nullptr;
        const HMODULE m = probe->module.Get();
        Resolve(m, "Probe_Setup", probe->Setup);
        Resolve(m, "Probe_Configure", probe->Configure);
        Resolve(m, "Probe_LoggerKind", probe->LoggerKind);
        Resolve(m, "Probe_IsLevelEnabled", probe->IsLevelEnabled);
        Resolve(m, "Probe_Log", probe->Log);
        Resolve(m, "Probe_LogFormat", probe->LogFormat);
        Resolve(m, "Probe_ManagerLog", probe->ManagerLog);
        Resolve(m, "Probe_BaseLog", probe->BaseLog);
        Resolve(m, "Probe_EventCount", probe->EventCount);
        Resolve(m, "Probe_GetEvent", probe->GetEvent);
        if (::testing::Test::HasFatalFailure()) return nullptr;
        probe->Setup(scratch_.Path().c_str(), captureEtw ? TRUE : FALSE);
        return probe;
    }

    std::wstring LogFile(const std::wstring& component, const std::wstring& module, DWORD index = 0) const {
        return Tessal::Format(L"%s\\Oberix\\QVLOGS\\%s\\%s\\%s%03lu.log", scratch_.Path().c_str(), component.c_str(),
                              module.c_str(), module.c_str(), index);
    }

    ScopedLoggingMechanism mechanism_;
    ScratchFolder scratch_;
};

TEST_F(LoggingModule, TheRegistryChoosesTheLogger) {
    const int kMissing = -1;
    const struct {
        int mechanism;
        DWORD forceFile;
        int kind;
        bool captureEtw;
    } cases[] = {
        {1, 0, kProbeFileLogger, true},
        {0, 0, kProbeEtwLogger, true},
        {2, 0, kProbeEtwLogger, false},  // Wine's own ETW stubs: registration works, events go nowhere
        {kMissing, 0, kProbeEtwLogger, true},
        {0, 1, kProbeFileLogger, true},  // forced file logging reads no registry
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mechanism " << c.mechanism << " forced " << c.forceFile);
        if (c.mechanism == kMissing) {
            ASSERT_TRUE(mechanism_.RemoveValue());
        } else {
            ASSERT_TRUE(mechanism_.Set(static_cast<DWORD>(c.mechanism)));
        }
        const std::wstring name = Tessal::Format(L"probe_choice%d", n);
        const std::wstring component = Tessal::Format(L"Choice%d", n++);
        std::unique_ptr<Probe> probe = Load(name, c.captureEtw);
        ASSERT_TRUE(probe);
        probe->Configure(component.c_str(), c.forceFile);

        EXPECT_EQ(c.kind, probe->LoggerKind());
        EXPECT_EQ(0u, probe->LogFormat(3, L"chosen"));
        if (c.kind == kProbeFileLogger) {
            EXPECT_NE(std::wstring::npos, ReadLogText(LogFile(component, name)).find(L"$  chosen\r\n"));
        } else {
            EXPECT_FALSE(Tessal::DirectoryExists((scratch_.Path() + L"\\Oberix\\QVLOGS\\" + component).c_str()));
            if (c.captureEtw) {
                const std::vector<ProbeEvent> events = probe->Events();
                ASSERT_EQ(1u, events.size());
                EXPECT_STREQ("chosen", events[0].text);
            }
        }
    }
}

TEST_F(LoggingModule, MissingKeyChoosesEtw) {
    ASSERT_TRUE(mechanism_.RemoveValue());
    if (!mechanism_.RemoveKeyIfOnlyValue()) GTEST_SKIP() << "the Logging key holds more than this value";
    std::unique_ptr<Probe> probe = Load(L"probe_nokey");
    ASSERT_TRUE(probe);
    EXPECT_EQ(kProbeEtwLogger, probe->LoggerKind());
}

TEST_F(LoggingModule, FileLoggerWritesComponentAndBaseLibraryMessages) {
    ASSERT_TRUE(mechanism_.Set(1));
    const std::wstring name = L"probe_file";
    const std::wstring component = L"FileEnd";
    const std::wstring folder = scratch_.Path() + L"\\Oberix\\QVLOGS\\" + component + L"\\" + name;
    ASSERT_TRUE(Tessal::CreateDirectoryPath(folder.c_str()));
    ASSERT_TRUE(NuvTest::WriteIniInt(folder + L"\\log.ini", L"Options", 0x28));  // source and function
    std::unique_ptr<Probe> probe = Load(name);
    ASSERT_TRUE(probe);
    probe->Configure(component.c_str(), 0);

    EXPECT_FALSE(probe->IsLevelEnabled(1));
    EXPECT_TRUE(probe->IsLevelEnabled(3));
    probe->Log(1, L"filtered by the caller's level test");
    probe->Log(3, L"component line");
    probe->BaseLog(0, L"base normal");  // the bridge writes every base-library message
    probe->BaseLog(2, L"base error");
    probe->BaseLog(7, L"base other");
    EXPECT_EQ(0u, probe->LogFormat(3, std::wstring(4161, L'a').c_str()));
    EXPECT_EQ(0u, probe->LogFormat(3, std::wstring(4160, L'b').c_str()));

    bool bom = false;
    const std::vector<std::wstring> lines = SplitLines(ReadLogText(LogFile(component, name), &bom));
    EXPECT_TRUE(bom);
    ASSERT_EQ(6u, lines.size());
    const std::wstring nuvLogPrefix = L" -- (Information)$ [            LogProbe:";
    EXPECT_NE(std::wstring::npos, lines[0].find(nuvLogPrefix)) << testing::PrintToString(lines[0]);
    // Function names are right-aligned in 40 characters.
    EXPECT_NE(std::wstring::npos, lines[0].find(L"[" + std::wstring(31, L' ') + L"Probe_Log()]$ component line\r\n"))
        << testing::PrintToString(lines[0]);
    const std::wstring baseFunction = L"[" + std::wstring(27, L' ') + L"Probe_BaseLog()]$ ";
    EXPECT_NE(std::wstring::npos, lines[1].find(L" -- (Normal)$ ")) << testing::PrintToString(lines[1]);
    EXPECT_NE(std::wstring::npos, lines[1].find(baseFunction + L"base normal\r\n"));
    EXPECT_NE(std::wstring::npos, lines[2].find(L" -- (Error)$ "));
    EXPECT_NE(std::wstring::npos, lines[2].find(baseFunction + L"base error\r\n"));
    EXPECT_NE(std::wstring::npos, lines[3].find(L" -- (Warning)$ "));
    // Cut before the file logger: 4161 characters become 2080, 4160 pass whole.
    EXPECT_NE(std::wstring::npos, lines[4].find(L"()]$ " + std::wstring(2080, L'a') + L"\r\n"));
    EXPECT_EQ(std::wstring::npos, lines[4].find(std::wstring(2081, L'a')));
    EXPECT_NE(std::wstring::npos, lines[5].find(L"()]$ " + std::wstring(4160, L'b') + L"\r\n"));
}

TEST_F(LoggingModule, EtwLoggerSendsComponentAndBaseLibraryMessages) {
    ASSERT_TRUE(mechanism_.Set(0));
    std::unique_ptr<Probe> probe = Load(L"probe_etw");
    ASSERT_TRUE(probe);
    probe->Configure(L"EtwEnd", 0);

    EXPECT_TRUE(probe->IsLevelEnabled(3));
    EXPECT_FALSE(probe->IsLevelEnabled(2));
    probe->Log(4, L"etw text");
    probe->Log(6, L"six");
    probe->BaseLog(2, L"base error");
    probe->BaseLog(0, L"base normal");  // level 1: below the ETW logger's severity
    EXPECT_EQ(0u, probe->LogFormat(3, std::wstring(4161, L'c').c_str()));

    const std::vector<ProbeEvent> events = probe->Events();
    ASSERT_EQ(4u, events.size());
    EXPECT_EQ(4, events[0].level);
    EXPECT_STREQ("etw text", events[0].text);
    EXPECT_STREQ(L"LogProbe", events[0].sourceFile);
    EXPECT_STREQ(L"Probe_Log", events[0].function);
    EXPECT_STREQ(L"EtwEnd", events[0].component);
    EXPECT_STREQ(L"probe_etw.dll", events[0].moduleFile);
    EXPECT_STREQ(L"7.1 beta", events[0].moduleVersion);  // not four numbers: taken as found
    EXPECT_EQ(3, events[1].level);
    EXPECT_EQ(4, events[2].level);
    EXPECT_STREQ("base error", events[2].text);
    EXPECT_STREQ(L"Probe_BaseLog", events[2].function);
    // The ETW logger cuts on its own: 2079 characters and the terminator.
    EXPECT_EQ(2080u, events[3].textBytes);
    EXPECT_EQ(std::string(2079, 'c'), std::string(events[3].text, 2079));
    EXPECT_EQ('\0', events[3].text[2079]);
}

TEST_F(LoggingModule, EmptyComponentNameLeavesTheModuleWithoutLogger) {
    ASSERT_TRUE(mechanism_.Set(1));
    std::unique_ptr<Probe> probe = Load(L"probe_empty");
    ASSERT_TRUE(probe);
    probe->Configure(L"", 0);
    EXPECT_EQ(kProbeNoLogger, probe->LoggerKind());
    for (DWORD level = 1; level <= 6; ++level) EXPECT_FALSE(probe->IsLevelEnabled(level)) << level;
    EXPECT_EQ(1627u, probe->ManagerLog(3, L"nowhere"));
    EXPECT_EQ(1627u, probe->LogFormat(3, L"nowhere"));
    probe->Log(3, L"nowhere");
    probe->BaseLog(2, L"nowhere");
    EXPECT_FALSE(Tessal::DirectoryExists((scratch_.Path() + L"\\Oberix").c_str()));
}

TEST_F(LoggingModule, ConfiguringAfterTheFirstLogCallChangesNothing) {
    ASSERT_TRUE(mechanism_.Set(1));
    std::unique_ptr<Probe> probe = Load(L"probe_late");
    ASSERT_TRUE(probe);
    probe->Configure(L"First", 0);
    probe->Log(3, L"one");
    probe->Configure(L"Second", 0);
    probe->Log(3, L"two");
    EXPECT_EQ(2u, SplitLines(ReadLogText(LogFile(L"First", L"probe_late"))).size());
    EXPECT_FALSE(Tessal::DirectoryExists((scratch_.Path() + L"\\Oberix\\QVLOGS\\Second").c_str()));
}

TEST_F(LoggingModule, ModuleUnloadsAndANewCopyLogsAgain) {
    ASSERT_TRUE(mechanism_.Set(1));
    for (int round = 0; round < 2; ++round) {
        std::unique_ptr<Probe> probe = Load(L"probe_unload", true, Tessal::Format(L"round%d", round));
        ASSERT_TRUE(probe);
        probe->Configure(L"Unload", 0);
        probe->Log(3, L"line");
        probe->BaseLog(2, L"base");
    }  // unloaded: its exit code took its bridge and logger down
    EXPECT_EQ(4u, SplitLines(ReadLogText(LogFile(L"Unload", L"probe_unload"))).size());
}

// Two modules of the same name in different folders share one log folder. Only the folder's named
// mutex keeps their writers apart: no line is lost or torn, also across a rotation.
TEST_F(LoggingModule, TwoModuleInstancesShareOneLogFolder) {
    ASSERT_TRUE(mechanism_.Set(1));
    std::unique_ptr<Probe> first = Load(L"probe_shared", true, L"a");
    std::unique_ptr<Probe> second = Load(L"probe_shared", true, L"b");
    ASSERT_TRUE(first && second);
    ASSERT_NE(first->module.Get(), second->module.Get());
    first->Configure(L"Shared", 0);
    second->Configure(L"Shared", 0);

    constexpr unsigned kThreadsPerModule = 4;
    constexpr unsigned kLines = 150;
    const std::wstring filler(100, L'z');
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 2 * kThreadsPerModule; ++t) {
        Probe* probe = t < kThreadsPerModule ? first.get() : second.get();
        threads.emplace_back([probe, t, &filler] {
            for (unsigned m = 0; m < kLines; ++m) {
                probe->Log(3, Tessal::Format(L"T%02u L%04u %s END", t, m, filler.c_str()).c_str());
            }
        });
    }
    for (auto& thread : threads) thread.join();

    std::set<std::pair<unsigned, unsigned>> seen;
    unsigned files = 0;
    for (DWORD index = 0; index < 3; ++index) {
        const std::wstring text = ReadLogText(LogFile(L"Shared", L"probe_shared", index));
        if (text.empty()) continue;
        ++files;
        for (const std::wstring& line : SplitLines(text)) {
            unsigned t = 0;
            unsigned m = 0;
            const std::size_t at = line.find(L"$  T");
            ASSERT_NE(std::wstring::npos, at) << "torn line: " << testing::PrintToString(line);
            ASSERT_EQ(2, std::swscanf(line.c_str() + at + 3, L"T%u L%u", &t, &m));
            EXPECT_EQ(Tessal::Format(L"$  T%02u L%04u %s END\r\n", t, m, filler.c_str()), line.substr(at));
            EXPECT_TRUE(seen.insert({t, m}).second) << "twice: " << t << " " << m;
        }
    }
    EXPECT_EQ(2 * kThreadsPerModule * kLines, seen.size());
    EXPECT_EQ(2u, files);
}

}  // namespace
