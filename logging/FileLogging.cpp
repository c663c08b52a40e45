#include "logging/FileLogging.h"

#include "logging/LoggingSeams.h"

#include "base/FileSystem.h"
#include "base/Format.h"
#include "base/ObfuscatedIniReader.h"

#include <sddl.h>

#include <cwchar>
#include <new>

namespace ETWLogging {
namespace {

constexpr wchar_t kConfigSection[] = L"Config";
constexpr wchar_t kIniFileName[] = L"log.ini";
constexpr DWORD kFieldChars = 260;
constexpr DWORD kLogFileAttributes = FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE;  // 0xA0
// Any process may wait for the folder mutex, whoever created it first (a service or a user's process).
constexpr wchar_t kFolderMutexSddl[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;WD)";

bool IsEmpty(const wchar_t* s) { return s == nullptr || s[0] == 0; }

bool FileOrFolderExists(const std::wstring& path) {
    return !path.empty() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring WithoutExtension(const std::wstring& name) {
    const std::size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

// Cut to `width` characters and right-aligned in that width.
std::wstring PadField(const wchar_t* value, DWORD width) {
    wchar_t field[kFieldChars];
    const std::size_t length = std::wcslen(value);
    const std::size_t kept = length < width ? length : width;
    std::wmemcpy(field, value, kept);
    field[kept] = 0;
    wchar_t format[32];
    Tessal::FormatTo(format, ARRAYSIZE(format), L"%%%lus", static_cast<unsigned long>(width));
    return Tessal::Format(format, field);
}

const wchar_t* AfterLastBackslash(const wchar_t* path) {
    const wchar_t* slash = std::wcsrchr(path, L'\\');
    return slash != nullptr ? slash + 1 : path;
}

// One mutex name per log folder, whatever the case of its path.
std::wstring FolderMutexName(const wchar_t* scope, const std::wstring& folder) {
    std::wstring upper(folder);
    if (!upper.empty()) {
        ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, folder.c_str(), static_cast<int>(folder.size()),
                        &upper[0], static_cast<int>(upper.size()), nullptr, nullptr, 0);
    }
    unsigned long long hash = 14695981039346656037ULL;  // FNV-1a
    for (wchar_t c : upper) {
        hash ^= static_cast<unsigned short>(c);
        hash *= 1099511628211ULL;
    }
    return Tessal::Format(L"%s\\Oberix.QVLOGS.%016I64X", scope, hash);
}

HANDLE CreateOrOpenMutex(const std::wstring& name) {
    Tessal::UniqueLocalMem descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderMutexSddl, SDDL_REVISION_1,
                                                                reinterpret_cast<PSECURITY_DESCRIPTOR*>(
                                                                    descriptor.Put()),
                                                                nullptr)) {
        attributes.lpSecurityDescriptor = descriptor.Get();
    }
    HANDLE mutex = ::CreateMutexW(&attributes, FALSE, name.c_str());
    if (mutex == nullptr) mutex = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    return mutex;
}

}  // namespace

class CLogging::Guard {
public:
    explicit Guard(CLogging& logger) noexcept : m_logger(logger) {
        m_logger.m_lock.Enter();
        m_entered = !m_logger.m_busy;
        m_logger.m_busy = true;
    }
    ~Guard() {
        if (m_entered) m_logger.m_busy = false;
        m_logger.m_lock.Leave();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    explicit operator bool() const noexcept { return m_entered; }

private:
    CLogging& m_logger;
    bool m_entered = false;
};

CLogging::CLogging() : m_lock(4000) {}

CLogging::~CLogging() { Reset(); }

void CLogging::Reset() noexcept {
    m_initialized = 0;
    m_componentName.clear();
    m_hasComponentName = false;
    m_baseName.clear();
    m_processImageName.clear();
    m_processId = 0;
    m_fileSuffix.clear();
    m_hasFileSuffix = false;
    m_logFolder.clear();
    m_file.Reset();
    m_refCount = 0;
    ReleaseFolderMutex();
    m_folderMutex.Reset();
    m_maxSize = kDefaultMaxSize;
    m_maxEntries = kDefaultMaxEntries;
    m_severity = kDefaultSeverity;
    m_options = kDefaultOptions;
    m_rootIniPath.clear();
    m_folderIniPath.clear();
    m_enable = 1;
    m_folderCheck = FolderCheck::CheckAndCreate;
    m_lastLogIndex = 0;
    m_lastLogIndexUnsaved = false;
}

DWORD CLogging::Initialize(const wchar_t* componentName, HMODULE module, const wchar_t* fileSuffix,
                           LoggingConfigListenerIf* /*listener*/) {
    Guard guard(*this);
    if (!guard) return ERROR_BUSY;
    if (m_initialized != 0) return LOG_ALREADY_INITIALIZED;
    m_initialized = 0;
    if ((componentName != nullptr && componentName[0] == 0) || (fileSuffix != nullptr && fileSuffix[0] == 0)) {
        return ERROR_INVALID_PARAMETER;
    }

    DWORD result = ERROR_SUCCESS;
    try {
        if (componentName != nullptr) {
            m_componentName = componentName;
            m_hasComponentName = true;
        }
        std::wstring folder;
        std::wstring name;
        if (!Tessal::GetModuleFolderAndName(nullptr, folder, false, name)) {
            result = ERROR_OUTOFMEMORY;
        } else {
            m_processImageName = name;
            m_baseName = WithoutExtension(name);
            if (module != nullptr && Tessal::GetModuleFolderAndName(module, folder, false, name)) {
                m_processImageName.clear();
                m_baseName = WithoutExtension(name);
            }
            if (fileSuffix != nullptr) {
                m_fileSuffix = fileSuffix;
                m_hasFileSuffix = true;
            }
            result = BuildPaths();
        }
    } catch (const std::bad_alloc&) {
        result = ERROR_OUTOFMEMORY;
    }
    if (result != ERROR_SUCCESS) {
        Reset();
        return result;
    }

    OpenFolderMutex();
    WaitFolderMutex();
    try {
        ReadSettings();
    } catch (const std::bad_alloc&) {
        // The defaults stay.
    }
    ReleaseFolderMutex();

    m_processId = ::GetCurrentProcessId();
    m_initialized = 1;
    return ERROR_SUCCESS;
}

DWORD CLogging::Start() { return ERROR_SUCCESS; }

void CLogging::GetLogName(std::wstring& /*name*/) {}

void CLogging::GetComponentName(std::wstring& /*name*/) {}

DWORD CLogging::Uninitialize() {
    Guard guard(*this);
    if (!guard) return ERROR_BUSY;
    if (m_initialized == 0) return LOG_NOT_INITIALIZED;
    Reset();
    return ERROR_SUCCESS;
}

void CLogging::SetEnabled(DWORD enable) { m_enable = (enable & 0xFF) != 0 ? 1 : 0; }

bool CLogging::IsEnabled() { return m_enable == 1; }

void CLogging::LogFormatted(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                            const wchar_t* format, ...) {
    if (m_enable == 0 || level < m_severity) return;
    wchar_t text[kFixedLevelBufferChars];
    va_list args;
    va_start(args, format);
    Tessal::FormatToV(text, kFixedLevelBufferChars, format, args);
    va_end(args);
    LogText(sourceFile, function, line, level, text);
}

bool CLogging::IsLevelEnabled(DWORD level) { return level >= m_severity; }

void CLogging::SetMaxEntries(DWORD count) {
    m_maxEntries = count < kMinMaxEntries ? kMinMaxEntries : (count > kMaxMaxEntries ? kMaxMaxEntries : count);
}

DWORD CLogging::GetMaxEntries() { return m_maxEntries; }

void CLogging::SetMaxSize(DWORD bytes) {
    m_maxSize = bytes < kDefaultMaxSize ? kDefaultMaxSize : (bytes > kMaxMaxSize ? kMaxMaxSize : bytes);
}

DWORD CLogging::GetMaxSize() { return m_maxSize; }

DWORD CLogging::SetSeverity(DWORD level) {
    const DWORD severity = internal::ClampSeverity(level);
    m_severity = severity;
    return internal::ExchangeProcessSeverity(severity);
}

DWORD CLogging::GetSeverity() { return m_severity; }

LONG CLogging::AddRef() { return ++m_refCount; }

LONG CLogging::Release() {
    const LONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
}

DWORD CLogging::GetLogRoot(wchar_t* buffer, DWORD capacity) {
    if (buffer == nullptr || capacity == 0) return ERROR_INVALID_PARAMETER;
    std::wstring path;
    if (FAILED(GetLoggingEnvironment().GetProgramDataFolder(path))) return ERROR_INVALID_PARAMETER;
    if (path.size() >= capacity) {
        std::wmemcpy(buffer, path.c_str(), capacity - 1);
        buffer[capacity - 1] = 0;
        return ERROR_FILE_EXISTS;  // 80: the caller treats a cut path as a failure
    }
    std::wmemcpy(buffer, path.c_str(), path.size() + 1);
    return ERROR_SUCCESS;
}

DWORD CLogging::BuildPaths() {
    if (m_baseName.empty()) return ERROR_INVALID_PARAMETER;
    wchar_t root[kFieldChars];
    const DWORD result = GetLogRoot(root, kFieldChars);
    if (result != ERROR_SUCCESS) return result;
    const std::wstring logRoot = std::wstring(root) + L"\\Oberix\\" + L"QVLOGS" + L"\\";
    m_logFolder = m_hasComponentName ? logRoot + m_componentName + L"\\" + m_baseName : logRoot + m_baseName;
    m_folderIniPath = m_logFolder + L"\\" + kIniFileName;
    m_rootIniPath = logRoot + kIniFileName;
    return ERROR_SUCCESS;
}

DWORD CLogging::ReadSettings() {
    if (m_folderIniPath.empty() || m_rootIniPath.empty()) return ERROR_INVALID_PARAMETER;
    if (!FileOrFolderExists(m_folderIniPath) && !FileOrFolderExists(m_rootIniPath)) return ERROR_SUCCESS;

    Tessal::CObfuscatedIniReader folderReader;
    Tessal::CObfuscatedIniReader rootReader;
    folderReader.Load(m_folderIniPath);
    rootReader.Load(m_rootIniPath);

    int value = 0;
    if (ReadSetting(folderReader, rootReader, L"Enable", 1, value)) m_enable = value != 0 ? 1 : 0;
    if (ReadSetting(folderReader, rootReader, L"MaxSize", kDefaultMaxSize, value)) {
        SetMaxSize(static_cast<DWORD>(value));
    }
    if (ReadSetting(folderReader, rootReader, L"MaxEntries", kDefaultMaxEntries, value)) {
        SetMaxEntries(static_cast<DWORD>(value));
    }
    if (ReadSetting(folderReader, rootReader, L"Severity", kDefaultSeverity, value)) {
        m_severity = static_cast<DWORD>(value);
    }
    if (ReadSetting(folderReader, rootReader, L"Options", kDefaultOptions, value)) {
        m_options = static_cast<DWORD>(value);
    }
    return ERROR_SUCCESS;
}

bool CLogging::ReadSetting(Tessal::CObfuscatedIniReader& folderReader, Tessal::CObfuscatedIniReader& rootReader,
                           const wchar_t* key, int defaultValue, int& value) {
    if (IsEmpty(key)) return false;
    int found = 0;
    if (folderReader.GetValue(kConfigSection, key, found)) {
        if (IsValidSetting(key, found)) {
            value = found;
            return true;
        }
        if (!folderReader.WriteIntValue(kConfigSection, key, defaultValue)) return false;
    }
    if (rootReader.GetValue(kConfigSection, key, found)) {
        if (IsValidSetting(key, found)) {
            value = found;
            return true;
        }
        if (!rootReader.WriteIntValue(kConfigSection, key, defaultValue)) return false;
    }
    value = defaultValue;
    return true;
}

bool CLogging::IsValidSetting(const wchar_t* key, int value) {
    if (IsEmpty(key)) return false;
    // The fields are unsigned: a negative value is far out of every range.
    const DWORD number = static_cast<DWORD>(value);
    if (::_wcsicmp(key, L"MaxSize") == 0) return number >= kDefaultMaxSize && number <= kMaxMaxSize;
    if (::_wcsicmp(key, L"MaxEntries") == 0) return number >= kMinMaxEntries && number <= kMaxMaxEntries;
    if (::_wcsicmp(key, L"Severity") == 0) return number < 7;
    return true;
}

DWORD CLogging::ReadLastLogIndex() {
    if (m_lastLogIndexUnsaved) return m_lastLogIndex;
    if (!FileOrFolderExists(m_folderIniPath)) return 0;
    Tessal::CObfuscatedIniReader reader;
    reader.Load(m_folderIniPath);
    int index = 0;
    if (!reader.GetValue(kConfigSection, L"LastLogIdx", index)) return 0;
    return static_cast<DWORD>(index);
}

DWORD CLogging::WriteLastLogIndex(DWORD index) {
    m_lastLogIndex = index;
    m_lastLogIndexUnsaved = true;
    if (m_folderIniPath.empty()) return ERROR_INVALID_PARAMETER;
    Tessal::CObfuscatedIniReader reader;
    reader.Load(m_folderIniPath);
    if (!reader.WriteIntValue(kConfigSection, L"LastLogIdx", static_cast<int>(index))) {
        return ERROR_INVALID_PARAMETER;
    }
    m_lastLogIndexUnsaved = false;
    return ERROR_SUCCESS;
}

bool CLogging::CheckFolder() {
    switch (m_folderCheck) {
        case FolderCheck::AlwaysTrue: return true;
        case FolderCheck::AlwaysFalse: return false;
        case FolderCheck::CheckAndCreate: break;
    }
    if (!m_logFolder.empty() && Tessal::CreateDirectoryPath(m_logFolder.c_str())) {
        m_folderCheck = FolderCheck::AlwaysTrue;
        return true;
    }
    // Callers stop formatting: every level test fails from now on.
    m_enable = 0;
    m_severity = kDisabledSeverity;
    m_folderCheck = FolderCheck::AlwaysFalse;
    return false;
}

DWORD CLogging::OpenFile(const std::wstring& path, bool createNew) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, createNew ? CREATE_ALWAYS : OPEN_EXISTING, kLogFileAttributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
    m_file.Reset(file);
    if (createNew) {
        static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
        DWORD written = 0;
        if (!::WriteFile(m_file.Get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr)) {
            const DWORD error = ::GetLastError();
            m_file.Reset();
            return error;
        }
    } else if (::SetFilePointer(m_file.Get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
               ::GetLastError() != NO_ERROR) {
        const DWORD error = ::GetLastError();
        m_file.Reset();
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD CLogging::OpenLogFile() {
    if (m_logFolder.empty() || m_baseName.empty() || (m_hasFileSuffix && m_fileSuffix.empty())) {
        return ERROR_INVALID_PARAMETER;
    }
    if (m_file) return ERROR_ALREADY_EXISTS;

    const DWORD index = ReadLastLogIndex();
    std::wstring stem = m_logFolder + L"\\" + m_baseName;
    if (m_hasFileSuffix) stem += L"_" + m_fileSuffix;
    const auto fileName = [&stem](DWORD i) { return stem + Tessal::Format(L"%0.3lu", i) + L".log"; };

    if (index >= m_maxEntries) {
        const DWORD result = OpenFile(fileName(0), true);
        if (result == ERROR_SUCCESS) WriteLastLogIndex(0);
        return result;
    }

    const std::wstring path = fileName(index);
    WIN32_FIND_DATAW data;
    Tessal::UniqueFindHandle found(::FindFirstFileW(path.c_str(), &data));
    if (!found) return OpenFile(path, true);
    if (data.nFileSizeLow < m_maxSize) return OpenFile(path, false);

    const DWORD next = index + 1 < m_maxEntries ? index + 1 : 0;
    const DWORD result = OpenFile(fileName(next), true);
    if (result == ERROR_SUCCESS) WriteLastLogIndex(next);
    return result;
}

std::wstring CLogging::FormatTimestamp(const SYSTEMTIME& time) {
    WORD hour = time.wHour;
    const wchar_t* half = hour < 12 ? L"AM" : L"PM";
    if (hour == 0) hour = 12;
    else if (hour > 12) hour = static_cast<WORD>(hour - 12);
    return Tessal::Format(L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", time.wMonth, time.wDay, time.wYear, hour,
                          time.wMinute, time.wSecond, half);
}

DWORD CLogging::FormatLine(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD level,
                           const wchar_t* text, std::wstring& out) {
    const wchar_t* const levelName = LevelName(level);
    if (IsEmpty(text) || levelName == nullptr) return ERROR_INVALID_PARAMETER;
    try {
        SYSTEMTIME now = {};
        GetLoggingEnvironment().GetLocalTime(now);
        std::wstring result = Tessal::Format(L"%s -- (%s)$", FormatTimestamp(now).c_str(), levelName);
        if ((m_options & OPTION_IMAGE_NAME) != 0) {
            result += L' ';
            if (!m_processImageName.empty()) {
                result += Tessal::Format(L"[%s]$", PadField(m_processImageName.c_str(), 15).c_str());
            }
        }
        if ((m_options & OPTION_PROCESS_THREAD) != 0) {
            result += L' ';
            result += Tessal::Format(L"[PID:%5lu TID:%5lu]$", static_cast<unsigned long>(m_processId),
                                     static_cast<unsigned long>(::GetCurrentThreadId()));
        }
        if ((m_options & OPTION_SOURCE_LINE) != 0) {
            result += L' ';
            if (!IsEmpty(sourceFile)) {
                result += Tessal::Format(L"[%s:%5d]$", PadField(AfterLastBackslash(sourceFile), 20).c_str(), line);
            }
        }
        if ((m_options & OPTION_FUNCTION) != 0) {
            result += L' ';
            if (!IsEmpty(function)) result += Tessal::Format(L"[%s()]$", PadField(function, 40).c_str());
        }
        result += L' ';
        result += text;
        if (result.back() != L'\n') result += L"\r\n";
        out.swap(result);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

DWORD CLogging::LogText(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD level,
                        const wchar_t* text) {
    Guard guard(*this);
    if (!guard) return ERROR_BUSY;
    try {
        if (!CheckFolder() || IsEmpty(text)) return ERROR_INVALID_PARAMETER;

        WaitFolderMutex();
        struct Finish {  // Always: close the file and let other processes in.
            CLogging& logger;
            ~Finish() {
                logger.m_file.Reset();
                logger.ReleaseFolderMutex();
            }
        } finish{*this};

        DWORD result = OpenLogFile();
        if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) return result;

        std::wstring formatted;
        result = FormatLine(sourceFile, function, line, level, text, formatted);
        if (result != ERROR_SUCCESS) return result;

        DWORD written = 0;
        const DWORD bytes = static_cast<DWORD>(formatted.size() * sizeof(wchar_t));
        if (!::WriteFile(m_file.Get(), formatted.data(), bytes, &written, nullptr)) return ::GetLastError();
        if ((m_options & OPTION_DEBUGGER) != 0 && !formatted.empty()) ::OutputDebugStringW(formatted.c_str());
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

void CLogging::OpenFolderMutex() {
    m_folderMutex.Reset();
    if (m_logFolder.empty()) return;
    try {
        m_folderMutex.Reset(CreateOrOpenMutex(FolderMutexName(L"Global", m_logFolder)));
        if (!m_folderMutex) m_folderMutex.Reset(CreateOrOpenMutex(FolderMutexName(L"Local", m_logFolder)));
    } catch (const std::bad_alloc&) {
        // Without it only this process's writers are serialised.
    }
}

void CLogging::WaitFolderMutex() noexcept {
    if (!m_folderMutex || m_holdsFolderMutex) return;
    const DWORD wait = ::WaitForSingleObject(m_folderMutex.Get(), kMutexWaitMs);
    // After the time-out the line is written anyway; an abandoned mutex is ours now.
    m_holdsFolderMutex = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

void CLogging::ReleaseFolderMutex() noexcept {
    if (m_holdsFolderMutex && m_folderMutex) ::ReleaseMutex(m_folderMutex.Get());
    m_holdsFolderMutex = false;
}

}  // namespace ETWLogging
