#pragma once
// The file logger: rotating UTF-16 text files under <ProgramData>\Oberix\QVLOGS, limits, verbosity
// and line layout from two scrambled "log.ini" files. Every line opens the current file, appends
// and closes it again.

#include "logging/LoggingIf.h"

#include "base/Sync.h"
#include "base/UniqueHandle.h"

#include <atomic>
#include <string>

namespace Tessal {
class CObfuscatedIniReader;
}

namespace ETWLogging {

class CLogging : public CLoggingIf {
public:
    enum : DWORD {
        kDefaultMaxSize = 0x40000,
        kMaxMaxSize = 10485760,
        kDefaultMaxEntries = 3,
        kMinMaxEntries = 2,
        kMaxMaxEntries = 100,
        kDefaultSeverity = 3,
        kDefaultOptions = 0x10,
        kDisabledSeverity = 10000,
    };
    enum : DWORD {
        OPTION_DEBUGGER = 0x01,
        OPTION_PROCESS_THREAD = 0x04,
        OPTION_SOURCE_LINE = 0x08,
        OPTION_IMAGE_NAME = 0x10,
        OPTION_FUNCTION = 0x20,
    };
    // Cross-process wait for the log folder's mutex; the call goes on after it.
    static constexpr DWORD kMutexWaitMs = 7000;

    CLogging();
    ~CLogging() override;
    CLogging(const CLogging&) = delete;
    CLogging& operator=(const CLogging&) = delete;

    DWORD Initialize(const wchar_t* componentName, HMODULE module, const wchar_t* fileSuffix,
                     LoggingConfigListenerIf* listener) override;
    DWORD Start() override;
    void GetLogName(std::wstring& name) override;
    void GetComponentName(std::wstring& name) override;
    DWORD Uninitialize() override;
    void SetEnabled(DWORD enable) override;
    bool IsEnabled() override;
    void LogFormatted(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                      const wchar_t* format, ...) override;
    DWORD LogText(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD level,
                  const wchar_t* text) override;
    bool IsLevelEnabled(DWORD level) override;
    void SetMaxEntries(DWORD count) override;
    DWORD GetMaxEntries() override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    DWORD SetSeverity(DWORD level) override;
    DWORD GetSeverity() override;
    LONG AddRef() override;
    LONG Release() override;

    // The path of FOLDERID_ProgramData: 0, 80 when it had to be cut, 87 without buffer or folder.
    virtual DWORD GetLogRoot(wchar_t* buffer, DWORD capacity);

    // What Initialize found; for diagnostics and tests.
    const std::wstring& GetLogFolder() const noexcept { return m_logFolder; }
    const std::wstring& GetBaseName() const noexcept { return m_baseName; }
    DWORD GetOptions() const noexcept { return m_options; }

    // Builds one line (exposed for tests); 0, 87 or 14.
    DWORD FormatLine(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD level,
                     const wchar_t* text, std::wstring& out);
    static std::wstring FormatTimestamp(const SYSTEMTIME& time);

private:
    enum class FolderCheck { CheckAndCreate, AlwaysTrue, AlwaysFalse };

    // Scoped hold of the in-process lock plus the re-entrance mark (see Busy).
    class Guard;

    void Reset() noexcept;
    DWORD BuildPaths();
    DWORD ReadSettings();
    bool ReadSetting(Tessal::CObfuscatedIniReader& folderReader, Tessal::CObfuscatedIniReader& rootReader,
                     const wchar_t* key, int defaultValue, int& value);
    static bool IsValidSetting(const wchar_t* key, int value);
    DWORD ReadLastLogIndex();
    DWORD WriteLastLogIndex(DWORD index);
    bool CheckFolder();
    DWORD OpenLogFile();
    DWORD OpenFile(const std::wstring& path, bool createNew);
    void OpenFolderMutex();
    void WaitFolderMutex() noexcept;
    void ReleaseFolderMutex() noexcept;

    DWORD m_initialized = 0;
    std::wstring m_componentName;
    bool m_hasComponentName = false;
    std::wstring m_baseName;
    std::wstring m_processImageName;  // empty while a module name is known
    DWORD m_processId = 0;
    std::wstring m_fileSuffix;
    bool m_hasFileSuffix = false;
    std::wstring m_logFolder;
    Tessal::UniqueHandle m_file;
    std::atomic<LONG> m_refCount{0};
    Tessal::UniqueHandle m_folderMutex;  // named after the log folder, shared by every process
    bool m_holdsFolderMutex = false;
    DWORD m_maxSize = kDefaultMaxSize;
    DWORD m_maxEntries = kDefaultMaxEntries;
    std::atomic<DWORD> m_severity{kDefaultSeverity};  // read without the lock by level tests
    DWORD m_options = kDefaultOptions;
    std::wstring m_rootIniPath;
    std::wstring m_folderIniPath;
    std::atomic<DWORD> m_enable{1};
    FolderCheck m_folderCheck = FolderCheck::CheckAndCreate;
    // The index written last; used while writing LastLogIdx fails, so one unwritable "log.ini"
    // does not make every line recreate the next file.
    DWORD m_lastLogIndex = 0;
    bool m_lastLogIndexUnsaved = false;

    // Guards the open file handle and all state; recursive, so a message raised on this thread
    // while a line is written (the ini reader logs through the base library) is refused instead
    // of deadlocking or closing the handle under the outer call.
    Tessal::CCriticalSection m_lock;
    bool m_busy = false;
};

}  // namespace ETWLogging
