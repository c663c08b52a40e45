#include "logging/FileLogging.h"

#include "LoggingTestSupport.h"

#include "base/FileSystem.h"
#include "base/Format.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using ETWLogging::CLogging;
using NuvTest::FakeEnvironment;
using NuvTest::ReadIniInt;
using NuvTest::ReadLogText;
using NuvTest::ScopedEnvironment;
using NuvTest::ScratchFolder;
using NuvTest::SplitLines;
using NuvTest::WriteFilledLog;
using NuvTest::WriteIniInt;

constexpr wchar_t kComponent[] = L"FileComp";
constexpr wchar_t kBaseName[] = L"logging_file_tests";  // this program's file name without extension
constexpr wchar_t kStamp[] = L"12/09/2026 03:53:53 PM$";

// Each test logs below its own scratch data root with a fixed clock.
class FileLogger : public ::testing::Test {
protected:
    FileLogger() : scratch_(L"file"), scope_(&environment_) { environment_.dataRoot = scratch_.Path(); }

    std::wstring LogRoot() const { return scratch_.Path() + L"\\Oberix\\QVLOGS"; }
    std::wstring Folder() const { return LogRoot() + L"\\" + kComponent + L"\\" + kBaseName; }
    std::wstring FolderIni() const { return Folder() + L"\\log.ini"; }
    std::wstring RootIni() const { return LogRoot() + L"\\log.ini"; }
    std::wstring LogFile(DWORD index) const {
        return Tessal::Format(L"%s\\%s%03lu.log", Folder().c_str(), kBaseName, index);
    }
    void MakeFolder() const { ASSERT_TRUE(Tessal::CreateDirectoryPath(Folder().c_str())); }

    DWORD Init(HMODULE module = ::GetModuleHandleW(nullptr), const wchar_t* component = kComponent) {
        return logger_.Initialize(component, module, nullptr, nullptr);
    }
    DWORD Log(DWORD level, const wchar_t* text) { return logger_.LogText(L"C:\\src\\a.cpp", L"NS::F", 7, level, text); }
    std::wstring LastLine(DWORD index = 0) const {
        const std::vector<std::wstring> lines = SplitLines(ReadLogText(LogFile(index)));
        return lines.empty() ? std::wstring() : lines.back();
    }

    FakeEnvironment environment_;
    ScratchFolder scratch_;
    ScopedEnvironment scope_;
    CLogging logger_;
};

TEST_F(FileLogger, FirstLineStartsFile000WithByteOrderMarkAndDefaults) {
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(Folder(), logger_.GetLogFolder());
    EXPECT_EQ(262144u, logger_.GetMaxSize());
    EXPECT_EQ(3u, logger_.GetMaxEntries());
    EXPECT_EQ(3u, logger_.GetSeverity());
    EXPECT_EQ(0x10u, logger_.GetOptions());
    EXPECT_FALSE(logger_.IsLevelEnabled(2));
    EXPECT_TRUE(logger_.IsLevelEnabled(3));

    ASSERT_EQ(0u, Log(3, L"hello"));
    ASSERT_EQ(0u, Log(4, L"second"));

    bool bom = false;
    const std::wstring text = ReadLogText(LogFile(0), &bom);
    EXPECT_TRUE(bom);
    // Options 0x10 with a module handle: the image name is not held, its space stays.
    EXPECT_EQ(std::wstring(kStamp) + L" -- (Information)$  hello\r\n" + kStamp + L" -- (Error)$  second\r\n", text);
}

TEST_F(FileLogger, WithoutModuleOrComponentTheExecutableNamesFolderAndLine) {
    ASSERT_EQ(0u, Init(nullptr, nullptr));
    const std::wstring folder = LogRoot() + L"\\" + kBaseName;
    EXPECT_EQ(folder, logger_.GetLogFolder());
    ASSERT_EQ(0u, Log(2, L"warned"));
    const std::wstring text = ReadLogText(folder + L"\\" + kBaseName + L"000.log");
    EXPECT_EQ(std::wstring(kStamp) + L" -- (Warning)$ [logging_file_te]$ warned\r\n", text);
}

TEST_F(FileLogger, FileSuffixJoinsTheFileName) {
    ASSERT_EQ(0u, logger_.Initialize(kComponent, ::GetModuleHandleW(nullptr), L"S1", nullptr));
    ASSERT_EQ(0u, Log(3, L"x"));
    EXPECT_TRUE(Tessal::FileExists((Folder() + L"\\" + kBaseName + L"_S1000.log").c_str()));
}

TEST_F(FileLogger, LevelNamesLineEndsAndRefusedLines) {
    ASSERT_EQ(0u, Init());
    const struct {
        DWORD level;
        const wchar_t* text;
        DWORD result;
        const wchar_t* line;  // after the time stamp; null: nothing written
    } cases[] = {
        {1, L"a", 0, L" -- (Normal)$  a\r\n"},
        {2, L"b", 0, L" -- (Warning)$  b\r\n"},
        {3, L"c", 0, L" -- (Information)$  c\r\n"},
        {4, L"d", 0, L" -- (Error)$  d\r\n"},
        {5, L"e", 0, L" -- (Critical)$  e\r\n"},
        {6, L"f", 0, L" -- (Information)$  f\r\n"},
        {3, L"ends with a line feed\n", 0, L" -- (Information)$  ends with a line feed\n"},
        {3, L"keeps\r\ninner breaks", 0, L" -- (Information)$  keeps\r\ninner breaks\r\n"},
        {0, L"no name", ERROR_INVALID_PARAMETER, nullptr},
        {7, L"no name", ERROR_INVALID_PARAMETER, nullptr},
        {3, L"", ERROR_INVALID_PARAMETER, nullptr},
        {3, nullptr, ERROR_INVALID_PARAMETER, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << c.level);
        const std::wstring before = ReadLogText(LogFile(0));
        EXPECT_EQ(c.result, Log(c.level, c.text));
        const std::wstring after = ReadLogText(LogFile(0));
        if (c.line == nullptr) {
            EXPECT_EQ(before, after);
        } else {
            EXPECT_EQ(before + kStamp + c.line, after);
        }
    }
}

TEST(FileLoggerTimestamp, TwelveHourClockWithFieldEnd) {
    const struct {
        WORD year, month, day, hour, minute, second;
        const wchar_t* expected;
    } cases[] = {
        {2026, 12, 9, 15, 53, 53, L"12/09/2026 03:53:53 PM$"},
        {2026, 12, 9, 0, 5, 7, L"12/09/2026 12:05:07 AM$"},
        {2026, 12, 9, 12, 0, 0, L"12/09/2026 12:00:00 PM$"},
        {2027, 1, 5, 1, 2, 3, L"01/05/2027 01:02:03 AM$"},
        {2027, 1, 5, 11, 59, 59, L"01/05/2027 11:59:59 AM$"},
        {2027, 1, 5, 23, 59, 59, L"01/05/2027 11:59:59 PM$"},
    };
    for (const auto& c : cases) {
        SYSTEMTIME time = {};
        time.wYear = c.year;
        time.wMonth = c.month;
        time.wDay = c.day;
        time.wHour = c.hour;
        time.wMinute = c.minute;
        time.wSecond = c.second;
        EXPECT_EQ(c.expected, CLogging::FormatTimestamp(time));
    }
}

// Options come from the folder "log.ini"; each case re-initialises the logger with its own value.
TEST_F(FileLogger, OptionsSegmentsInOrderCutAndAligned) {
    MakeFolder();
    const std::wstring processThread =
        Tessal::Format(L"[PID:%5lu TID:%5lu]$", ::GetCurrentProcessId(), ::GetCurrentThreadId());
    const struct {
        DWORD options;
        bool withModule;
        const wchar_t* sourceFile;
        const wchar_t* function;
        int line;
        std::wstring expected;  // after "(Error)$"
    } cases[] = {
        {0x00, true, L"C:\\src\\Source.cpp", L"NS::Cls::Method", 42, L" text\r\n"},
        {0x3D, false, L"C:\\src\\Source.cpp", L"NS::Cls::Method", 42,
         L" [logging_file_te]$ " + processThread +
             L" [          Source.cpp:   42]$ [                         NS::Cls::Method()]$ text\r\n"},
        {0x3C, true, L"C:\\src\\Source.cpp", L"NS::Cls::Method", 42,
         L"  " + processThread + L" [          Source.cpp:   42]$ [                         NS::Cls::Method()]$ text\r\n"},
        {0x28, true, L"C:\\very\\deep\\AVeryLongSourceFileName.cpp", L"Outer::Inner::AVeryLongMethodNameThatKeepsGoingOn",
         123456, L" [AVeryLongSourceFileN:123456]$ [Outer::Inner::AVeryLongMethodNameThatKee()]$ text\r\n"},
        {0x08, true, L"NoFolder.h", L"", 7, L" [          NoFolder.h:    7]$ text\r\n"},
        {0x28, true, L"", L"", 7, L"   text\r\n"},  // missing values leave their spaces
        {0x28, true, nullptr, nullptr, 7, L"   text\r\n"},
        {0x42, true, L"C:\\src\\Source.cpp", L"NS::Cls::Method", 42, L" text\r\n"},  // bits without meaning
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "options " << c.options);
        logger_.Uninitialize();
        ASSERT_TRUE(WriteIniInt(FolderIni(), L"Options", static_cast<int>(c.options)));
        ASSERT_EQ(0u, Init(c.withModule ? ::GetModuleHandleW(nullptr) : nullptr));
        ASSERT_EQ(c.options, logger_.GetOptions());
        ASSERT_EQ(0u, logger_.LogText(c.sourceFile, c.function, c.line, 4, L"text"));
        EXPECT_EQ(std::wstring(kStamp) + L" -- (Error)$" + c.expected, LastLine());
    }
}

TEST_F(FileLogger, RotatesWhenTheFileHasReachedMaxSize) {
    const struct {
        DWORD existingSize;
        DWORD expectedFile;
        bool indexWritten;
    } cases[] = {
        {262144, 1, true},   // exactly MaxSize: the next index starts
        {262143, 0, false},  // one byte less: appended
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.existingSize);
        ScratchFolder scratch(L"rotate");
        environment_.dataRoot = scratch.Path();
        CLogging logger;
        ASSERT_EQ(0u, logger.Initialize(kComponent, ::GetModuleHandleW(nullptr), nullptr, nullptr));
        const std::wstring folder = scratch.Path() + L"\\Oberix\\QVLOGS\\" + kComponent + L"\\" + kBaseName;
        ASSERT_TRUE(Tessal::CreateDirectoryPath(folder.c_str()));
        const std::wstring file0 = folder + L"\\" + kBaseName + L"000.log";
        const std::wstring file1 = folder + L"\\" + kBaseName + L"001.log";
        WriteFilledLog(file0, c.existingSize);

        ASSERT_EQ(0u, logger.LogText(L"f.cpp", L"F", 1, 3, L"rotated?"));

        const std::wstring line = std::wstring(kStamp) + L" -- (Information)$  rotated?\r\n";
        if (c.expectedFile == 1) {
            bool bom = false;
            EXPECT_EQ(line, ReadLogText(file1, &bom));
            EXPECT_TRUE(bom);
            EXPECT_EQ(c.existingSize, NuvTest::ReadBytes(file0).size());
        } else {
            EXPECT_FALSE(Tessal::FileExists(file1.c_str()));
            // Appended after the odd-sized content: compare the bytes.
            const std::vector<BYTE> bytes = NuvTest::ReadBytes(file0);
            ASSERT_EQ(c.existingSize + line.size() * sizeof(wchar_t), bytes.size());
            EXPECT_EQ(0, std::memcmp(bytes.data() + c.existingSize, line.data(), line.size() * sizeof(wchar_t)));
        }
        int index = -1;
        EXPECT_EQ(c.indexWritten, ReadIniInt(folder + L"\\log.ini", L"LastLogIdx", index));
        if (c.indexWritten) {
            EXPECT_EQ(1, index);
        }
    }
}

TEST_F(FileLogger, LastLogIndexWrapsAtMaxEntries) {
    const struct {
        int lastIndex;
        int fullFile;  // -1: none pre-filled
        DWORD expectedFile;
        int expectedIndex;
    } cases[] = {
        {5, -1, 0, 0},  // beyond MaxEntries 3: file 000 is started anew
        {2, 2, 0, 0},   // the last file is full: wrap to 000, replacing it
        {1, 1, 2, 2},
        {1, -1, 1, 1},  // no file yet at the index: created, the index stays
    };
    MakeFolder();
    ASSERT_EQ(0u, Init());
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "LastLogIdx " << c.lastIndex);
        for (DWORD i = 0; i < 3; ++i) ::DeleteFileW(LogFile(i).c_str());
        WriteFilledLog(LogFile(0), 100);  // an old small file 000
        if (c.fullFile >= 0) WriteFilledLog(LogFile(static_cast<DWORD>(c.fullFile)), 262144);
        ASSERT_TRUE(WriteIniInt(FolderIni(), L"LastLogIdx", c.lastIndex));

        ASSERT_EQ(0u, Log(3, L"wrapped"));

        EXPECT_EQ(std::wstring(kStamp) + L" -- (Information)$  wrapped\r\n", ReadLogText(LogFile(c.expectedFile)));
        int index = -1;
        ASSERT_TRUE(ReadIniInt(FolderIni(), L"LastLogIdx", index));
        EXPECT_EQ(c.expectedIndex, index);
    }
}

// Without a writable LastLogIdx the logger keeps the index itself: the file it rotated to is
// appended to, not started again for every line.
TEST_F(FileLogger, UnwritableLastLogIndexDoesNotRestartTheNextFile) {
    MakeFolder();
    ASSERT_TRUE(::CreateDirectoryW(FolderIni().c_str(), nullptr));  // "log.ini" that cannot be written
    WriteFilledLog(LogFile(0), 262144);
    ASSERT_EQ(0u, Init());

    ASSERT_EQ(0u, Log(3, L"first"));
    ASSERT_EQ(0u, Log(3, L"second"));

    EXPECT_EQ(std::wstring(kStamp) + L" -- (Information)$  first\r\n" + kStamp + L" -- (Information)$  second\r\n",
              ReadLogText(LogFile(1)));
}

TEST_F(FileLogger, SettingsFromBothIniFilesInvalidOnesRewritten) {
    using Getter = std::function<DWORD(CLogging&)>;
    const Getter maxSize = [](CLogging& l) { return l.GetMaxSize(); };
    const Getter maxEntries = [](CLogging& l) { return l.GetMaxEntries(); };
    const Getter severity = [](CLogging& l) { return l.GetSeverity(); };
    const Getter options = [](CLogging& l) { return l.GetOptions(); };
    const Getter enable = [](CLogging& l) { return static_cast<DWORD>(l.IsEnabled()); };
    const int kNone = -12345;
    const struct {
        const wchar_t* key;
        int folderValue;  // kNone: not in the file
        int rootValue;
        DWORD applied;
        int folderAfter;
        int rootAfter;
        const Getter& get;
    } cases[] = {
        {L"MaxSize", 100, kNone, 262144, 262144, kNone, maxSize},
        {L"MaxSize", 100, 524288, 524288, 262144, 524288, maxSize},  // the folder value is reset, the root wins now
        {L"MaxSize", 1048576, 524288, 1048576, 1048576, 524288, maxSize},
        {L"MaxSize", kNone, 20000000, 262144, kNone, 262144, maxSize},
        {L"MaxSize", -1, kNone, 262144, 262144, kNone, maxSize},
        {L"MaxEntries", 1, kNone, 3, 3, kNone, maxEntries},
        {L"MaxEntries", 100, kNone, 100, 100, kNone, maxEntries},
        {L"MaxEntries", 101, kNone, 3, 3, kNone, maxEntries},
        {L"Severity", 7, kNone, 3, 3, kNone, severity},
        {L"Severity", 0, kNone, 0, 0, kNone, severity},
        {L"Severity", kNone, 5, 5, kNone, 5, severity},
        {L"Options", 0x24, kNone, 0x24, 0x24, kNone, options},
        {L"Enable", 0, kNone, 0, 0, kNone, enable},
        {L"Enable", kNone, 7, 1, kNone, 7, enable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        ScratchFolder scratch(L"settings");
        environment_.dataRoot = scratch.Path();
        const std::wstring root = scratch.Path() + L"\\Oberix\\QVLOGS";
        const std::wstring folder = root + L"\\" + kComponent + L"\\" + kBaseName;
        ASSERT_TRUE(Tessal::CreateDirectoryPath(folder.c_str()));
        if (c.folderValue != kNone) {
            ASSERT_TRUE(WriteIniInt(folder + L"\\log.ini", c.key, c.folderValue));
        }
        if (c.rootValue != kNone) {
            ASSERT_TRUE(WriteIniInt(root + L"\\log.ini", c.key, c.rootValue));
        }

        CLogging logger;
        ASSERT_EQ(0u, logger.Initialize(kComponent, ::GetModuleHandleW(nullptr), nullptr, nullptr));

        EXPECT_EQ(c.applied, c.get(logger));
        int value = 0;
        if (c.folderAfter != kNone) {
            ASSERT_TRUE(ReadIniInt(folder + L"\\log.ini", c.key, value));
            EXPECT_EQ(c.folderAfter, value);
        }
        if (c.rootAfter != kNone) {
            ASSERT_TRUE(ReadIniInt(root + L"\\log.ini", c.key, value));
            EXPECT_EQ(c.rootAfter, value);
        }
    }
}

TEST_F(FileLogger, SeverityZeroLetsEveryLevelThrough) {
    MakeFolder();
    ASSERT_TRUE(WriteIniInt(FolderIni(), L"Severity", 0));
    ASSERT_EQ(0u, Init());
    for (DWORD level = 0; level <= 6; ++level) EXPECT_TRUE(logger_.IsLevelEnabled(level)) << level;
}

TEST_F(FileLogger, FolderThatCannotBeCreatedDisablesTheLogger) {
    // A file where a folder of the log path would go: above the log folder, or the log folder itself.
    for (const std::wstring& file : {scratch_ / L"Oberix", Folder()}) {
        SCOPED_TRACE(file);
        CLogging logger;
        Tessal::CreateDirectoryPath(file.substr(0, file.rfind(L'\\')).c_str());
        NuvTest::WriteFilledLog(file, 4);
        ASSERT_EQ(0u, logger.Initialize(kComponent, ::GetModuleHandleW(nullptr), nullptr, nullptr));
        EXPECT_TRUE(logger.IsLevelEnabled(3));

        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), logger.LogText(L"a.cpp", L"F", 7, 3, L"lost"));
        EXPECT_FALSE(logger.IsEnabled());
        for (DWORD level = 1; level <= 6; ++level) EXPECT_FALSE(logger.IsLevelEnabled(level)) << level;

        ::DeleteFileW(file.c_str());
        // Decided once.
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), logger.LogText(L"a.cpp", L"F", 7, 3, L"still lost"));
    }
}

TEST_F(FileLogger, InitializeAndUninitializeResults) {
    EXPECT_EQ(20002u, logger_.Uninitialize());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Init(nullptr, L""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              logger_.Initialize(kComponent, nullptr, L"", nullptr));
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(20001u, Init());
    EXPECT_EQ(0u, logger_.Uninitialize());
    EXPECT_TRUE(logger_.GetLogFolder().empty());
    EXPECT_EQ(20002u, logger_.Uninitialize());
    ASSERT_EQ(0u, Init());
    EXPECT_EQ(0u, Log(3, L"again"));
}

TEST_F(FileLogger, DataRootFailures) {
    environment_.folderResult = E_FAIL;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Init());
    EXPECT_TRUE(logger_.GetLogFolder().empty());

    environment_.folderResult = S_OK;
    environment_.dataRoot = L"C:\\" + std::wstring(300, L'a');
    EXPECT_EQ(80u, Init());  // a cut path is refused

    wchar_t small[8];
    EXPECT_EQ(80u, logger_.GetLogRoot(small, ARRAYSIZE(small)));
    EXPECT_EQ(L"C:\\aaaa", std::wstring(small));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), logger_.GetLogRoot(nullptr, 8));
}

TEST_F(FileLogger, SettersClampAndSeverityIsExchangedProcessWide) {
    const std::pair<DWORD, DWORD> sizes[] = {{0, 262144}, {262145, 262145}, {10485760, 10485760}, {10485761, 10485760}};
    for (const auto& s : sizes) {
        logger_.SetMaxSize(s.first);
        EXPECT_EQ(s.second, logger_.GetMaxSize()) << s.first;
    }
    const std::pair<DWORD, DWORD> entries[] = {{0, 2}, {1, 2}, {2, 2}, {50, 50}, {100, 100}, {101, 100}};
    for (const auto& e : entries) {
        logger_.SetMaxEntries(e.first);
        EXPECT_EQ(e.second, logger_.GetMaxEntries()) << e.first;
    }
    CLogging other;
    logger_.SetSeverity(4);
    EXPECT_EQ(4u, other.SetSeverity(0));  // the previous value of the module's shared severity
    EXPECT_EQ(1u, other.GetSeverity());
    EXPECT_EQ(1u, logger_.SetSeverity(9));
    EXPECT_EQ(6u, logger_.GetSeverity());
    logger_.SetSeverity(3);

    logger_.SetEnabled(0x100);  // only the low byte counts
    EXPECT_FALSE(logger_.IsEnabled());
    logger_.SetEnabled(1);
    EXPECT_TRUE(logger_.IsEnabled());
}

TEST_F(FileLogger, FormattedLoggingObeysEnableAndSeverityFixedLevelsDoNot) {
    ASSERT_EQ(0u, Init());
    logger_.SetSeverity(5);
    logger_.LogFormatted(4, L"f.cpp", L"F", 1, L"%s %d", L"below severity", 1);
    logger_.LogFormatted(5, L"f.cpp", L"F", 1, L"%s %d", L"at severity", 2);
    logger_.SetEnabled(0);
    logger_.LogFormatted(6, L"f.cpp", L"F", 1, L"%s", L"disabled");
    EXPECT_EQ(0u, logger_.LogNormal(L"f.cpp", L"F", 1, L"%s", L"normal"));
    EXPECT_EQ(0u, logger_.LogError(L"f.cpp", L"F", 1, L"%hs", "error"));
    const std::wstring longText(5000, L'y');
    EXPECT_EQ(0u, logger_.LogWarning(L"f.cpp", L"F", 1, L"%s", longText.c_str()));
    logger_.SetSeverity(3);

    const std::vector<std::wstring> lines = SplitLines(ReadLogText(LogFile(0)));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(std::wstring(kStamp) + L" -- (Critical)$  at severity 2\r\n", lines[0]);
    EXPECT_EQ(std::wstring(kStamp) + L" -- (Normal)$  normal\r\n", lines[1]);
    EXPECT_EQ(std::wstring(kStamp) + L" -- (Error)$  error\r\n", lines[2]);
    EXPECT_EQ(std::wstring(kStamp) + L" -- (Warning)$  " + std::wstring(4159, L'y') + L"\r\n", lines[3]);
}

// Writers on many threads share one logger: every line arrives once and whole, also across the
// rotation to the next file.
TEST_F(FileLogger, ConcurrentWritersLoseAndTearNoLine) {
    environment_.fixedClock = false;
    ASSERT_EQ(0u, Init());
    constexpr unsigned kThreads = 8;
    constexpr unsigned kLines = 150;
    const std::wstring filler(100, L'x');
    std::vector<std::thread> threads;
    std::vector<DWORD> failures(kThreads, 0);
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned m = 0; m < kLines; ++m) {
                const std::wstring text = Tessal::Format(L"T%02u L%04u %s END", t, m, filler.c_str());
                if (logger_.LogText(L"f.cpp", L"F", 1, 3, text.c_str()) != 0) ++failures[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (unsigned t = 0; t < kThreads; ++t) EXPECT_EQ(0u, failures[t]) << t;

    std::set<std::pair<unsigned, unsigned>> seen;
    unsigned files = 0;
    for (DWORD index = 0; index < 3; ++index) {
        bool bom = false;
        const std::wstring text = ReadLogText(LogFile(index), &bom);
        if (text.empty()) continue;
        ++files;
        EXPECT_TRUE(bom);
        for (const std::wstring& line : SplitLines(text)) {
            unsigned t = 0;
            unsigned m = 0;
            const std::size_t at = line.find(L"$  T");
            ASSERT_NE(std::wstring::npos, at) << "torn line: " << testing::PrintToString(line);
            ASSERT_EQ(2, std::swscanf(line.c_str() + at + 3, L"T%u L%u", &t, &m));
            EXPECT_EQ(Tessal::Format(L" -- (Information)$  T%02u L%04u %s END\r\n", t, m, filler.c_str()),
                      line.substr(line.find(L"$ -- ") + 1));
            EXPECT_TRUE(seen.insert({t, m}).second) << "twice: " << t << " " << m;
        }
    }
    EXPECT_EQ(kThreads * kLines, seen.size());
    EXPECT_EQ(2u, files);  // about 360 KB: one rotation
}

}  // namespace
