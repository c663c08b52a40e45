#include "logging/ETWLogging.h"

#include "logging/ETWConfigurationListener.h"
#include "logging/LoggingSeams.h"

#include "base/FileSystem.h"
#include "base/Format.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

namespace ETWLogging {
namespace {

constexpr UCHAR kEventType = 1;
constexpr USHORT kEventVersion = 2;
constexpr ULONG kEventFlags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;  // 0x120000
constexpr TRACEHANDLE kInvalidTraceHandle = static_cast<TRACEHANDLE>(-1);

// Its address finds the module that holds the logging code.
const int g_moduleMarker = 0;

HMODULE ModuleOfThisCode() {
    MEMORY_BASIC_INFORMATION info = {};
    if (::VirtualQuery(&g_moduleMarker, &info, sizeof(info)) == 0) return nullptr;
    return static_cast<HMODULE>(info.AllocationBase);
}

}  // namespace

CETWLogging::CETWLogging() : m_lock(4000) {}

CETWLogging::~CETWLogging() {
    Stop();
    m_listener.reset();
}

const CETWLogging::ModuleImage& CETWLogging::GetModuleImage() {
    static const ModuleImage image = [] {
        ModuleImage result;
        const std::wstring path = Tessal::GetModuleFileNameString(ModuleOfThisCode());
        const std::size_t slash = path.rfind(L'\\');
        result.fileName = slash == std::wstring::npos ? path : path.substr(slash + 1);
        result.version = ReadModuleVersion(path);
        return result;
    }();
    return image;
}

std::wstring CETWLogging::ReadModuleVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<BYTE> data(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return {};

    struct Translation {
        WORD language;
        WORD codePage;
    };
    void* found = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &found, &length) ||
        length < sizeof(Translation)) {
        return {};
    }
    const Translation* const first = static_cast<const Translation*>(found);
    const std::wstring name = Tessal::Format(L"\\StringFileInfo\\%04x%04x\\FileVersion", first->language,
                                             first->codePage);
    if (!::VerQueryValueW(data.data(), name.c_str(), &found, &length) || length == 0) return {};
    const std::wstring version(static_cast<const wchar_t*>(found));

    unsigned int parts[4] = {};
    if (std::swscanf(version.c_str(), L"%u,%u,%u,%u", &parts[0], &parts[1], &parts[2], &parts[3]) == 4) {
        return Tessal::Format(L"%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
    }
    return version;
}

DWORD CETWLogging::Initialize(const wchar_t* componentName, HMODULE module, const wchar_t* fileSuffix,
                              LoggingConfigListenerIf* listener) {
    return InitializeEx(nullptr, componentName, module, fileSuffix, listener);
}

DWORD CETWLogging::InitializeEx(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module,
                                const wchar_t* fileSuffix, LoggingConfigListenerIf* listener) {
    if (m_registered != 0) return LOG_ALREADY_INITIALIZED;
    if ((componentName != nullptr && componentName[0] == 0) || (fileSuffix != nullptr && fileSuffix[0] == 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    try {
        m_componentName = componentName != nullptr ? componentName : L"";
        m_fileSuffix = fileSuffix != nullptr ? fileSuffix : L"";
        if (!m_properties.Load(applicationId)) return ERROR_INVALID_PARAMETER;

        GetModuleBaseName(m_processImageName, nullptr, false);
        GetModuleBaseName(m_moduleBaseName, module, true);
        BuildLogName();

        if (listener != nullptr) {
            m_listener.reset(listener);
        } else {
            m_listener.reset();
            auto own = std::make_unique<CETWConfigurationListener>(m_properties);
            own->SetLogger(this);
            m_listener = std::move(own);
        }
        m_listener->OnConfigChange(1, LOG_INFORMATION, 0);

        m_processId = ::GetCurrentProcessId();
        const ModuleImage& image = GetModuleImage();
        m_moduleFileName = image.fileName;
        m_moduleVersion = image.version;
        SetEventClass();
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

DWORD CETWLogging::Start() {
    if (m_registered != 0) return ERROR_SUCCESS;
    Tessal::CAutoLock lock(m_lock);
    if (m_registered != 0) return ERROR_SUCCESS;

    TRACE_GUID_REGISTRATION registration = {&m_eventClass, nullptr};
    TRACEHANDLE handle = 0;
    ETWApi& api = GetETWApi();
    const ULONG result = api.RegisterTraceGuids(&ControlCallback, this, &m_properties.GetProviderGuid(), 1,
                                                &registration, nullptr, nullptr, &handle);
    if (m_registrationHandle != 0) api.UnregisterTraceGuids(m_registrationHandle);
    m_registrationHandle = handle;
    // Set even after a failure: the failure is reported once, later messages go on unregistered.
    m_registered = 1;
    return result;
}

void CETWLogging::GetLogName(std::wstring& name) { name = m_logName; }

void CETWLogging::GetComponentName(std::wstring& name) { name = m_componentName; }

DWORD CETWLogging::Uninitialize() {
    if (m_registered == 0) return ERROR_SUCCESS;
    const ULONG result = Stop();
    if (result == ERROR_SUCCESS) m_registered = 0;
    return result;
}

void CETWLogging::SetEnabled(DWORD enable) { m_enabled = enable != 0 ? 1 : 0; }

bool CETWLogging::IsEnabled() { return m_enabled != 0; }

void CETWLogging::LogFormatted(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                               const wchar_t* format, ...) {
    if (m_enabled == 0 || !IsLevelEnabled(level) || format == nullptr || format[0] == 0) return;
    try {
        va_list args;
        va_start(args, format);
        const std::wstring text = Tessal::FormatV(format, args);
        va_end(args);
        LogTextEx(level, sourceFile, function, line, text.c_str());
    } catch (const std::bad_alloc&) {
        // Dropped.
    }
}

DWORD CETWLogging::LogText(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD level,
                           const wchar_t* text) {
    LogTextEx(level, sourceFile, function, line, text);
    return ERROR_SUCCESS;
}

bool CETWLogging::IsLevelEnabled(DWORD level) { return level >= m_severity || level == LOG_INFORMATION; }

void CETWLogging::SetMaxEntries(DWORD /*count*/) {}

DWORD CETWLogging::GetMaxEntries() { return 0; }

void CETWLogging::SetMaxSize(DWORD /*bytes*/) {}

DWORD CETWLogging::GetMaxSize() { return 0; }

DWORD CETWLogging::SetSeverity(DWORD level) {
    const DWORD severity = internal::ClampSeverity(level);
    m_severity = severity;
    return internal::ExchangeProcessSeverity(severity);
}

DWORD CETWLogging::GetSeverity() { return m_severity; }

LONG CETWLogging::AddRef() { return 0; }

LONG CETWLogging::Release() { return 0; }

DWORD CETWLogging::LogTextEx(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                             const wchar_t* text) {
    return LogFormatEx(level, sourceFile, function, line, L"%s", text);
}

DWORD CETWLogging::LogFormatEx(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                               const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const DWORD result = LogFormatV(level, sourceFile, function, line, format, args);
    va_end(args);
    return result;
}

DWORD CETWLogging::LogFormatV(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                              const wchar_t* format, va_list args) {
    if (format == nullptr) return ERROR_INVALID_PARAMETER;
    if (m_enabled == 0 || !IsLevelEnabled(level)) return ERROR_SUCCESS;

    wchar_t text[kTextBufferChars];
    std::size_t chars = 0;
    const int written = Tessal::FormatToV(text, kTextBufferChars, format, args);
    if (written >= 0) {
        chars = static_cast<std::size_t>(written);
    } else {
        if (Tessal::FormattedLengthV(format, args) < 0) return ERROR_INVALID_DATA;  // a format msvcrt refuses
        chars = kTextBufferChars;  // cut: the whole buffer, its terminating null included
    }

    try {
        // The UTF-8 text goes into the unused tail of the wide buffer when it fits there.
        const int bytes = chars == 0 ? 0
                                     : ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(chars), nullptr, 0,
                                                             nullptr, nullptr);
        const std::size_t tailBytes = (kTextBufferChars - chars) * sizeof(wchar_t);
        std::unique_ptr<char[]> heap;
        char* utf8 = reinterpret_cast<char*>(text + chars);
        if (static_cast<std::size_t>(bytes) > tailBytes) {
            heap.reset(new char[static_cast<std::size_t>(bytes)]);
            utf8 = heap.get();
        }
        if (bytes > 0) {
            ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(chars), utf8, bytes, nullptr, nullptr);
        }

        EventOrigin origin;
        FillRecord(sourceFile, function, line, origin);
        origin.textBytes = static_cast<std::uint64_t>(bytes);
        EventOriginBuffer record;
        record.Pack(origin);

        const DWORD mapped = MapLevel(level);
        ETWEventBlock event;
        std::memset(&event, 0, sizeof(event));
        event.header.Size = sizeof(event);
        event.header.Class.Type = kEventType;
        event.header.Class.Level = static_cast<UCHAR>(mapped >= 1 && mapped <= 5 ? mapped : LOG_INFORMATION);
        event.header.Class.Version = kEventVersion;
        event.header.Guid = m_eventClass;
        event.header.Flags = kEventFlags;
        event.fields[0].DataPtr = reinterpret_cast<ULONG64>(record.Data());
        event.fields[0].Length = static_cast<ULONG>(record.Size());
        event.fields[1].DataPtr = reinterpret_cast<ULONG64>(utf8);
        event.fields[1].Length = static_cast<ULONG>(bytes);
        // Failures are not reported: nobody may be listening.
        GetETWApi().TraceEvent(m_traceHandle, &event.header);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

bool CETWLogging::IsOwnTraceHandle(ULONG64 handle) { return handle == m_traceHandle; }

ULONG WINAPI CETWLogging::ControlCallback(WMIDPREQUESTCODE requestCode, void* context, ULONG* /*bufferSize*/,
                                          void* buffer) {
    CLoggingIf_ex* const logger = static_cast<CETWLogging*>(context);
    if (logger == nullptr) return ERROR_INVALID_PARAMETER;
    return logger->OnControl(requestCode, buffer);
}

ULONG CETWLogging::OnControl(ULONG requestCode, void* buffer) {
    // Runs on an ETW thread: nothing may escape.
    try {
        return HandleControl(requestCode, buffer);
    } catch (...) {
        return ERROR_OUTOFMEMORY;
    }
}

ULONG CETWLogging::HandleControl(ULONG requestCode, void* buffer) {
    ETWApi& api = GetETWApi();
    switch (requestCode) {
        case WMI_ENABLE_EVENTS: {
            ::SetLastError(ERROR_SUCCESS);
            const TRACEHANDLE handle = api.GetTraceLoggerHandle(buffer);
            if (handle == kInvalidTraceHandle) return ::GetLastError();
            const ULONG64 held = m_traceHandle;
            if (held != 0 && held != handle) return ERROR_SUCCESS;  // another session has the provider
            m_traceHandle = handle;
            if (m_listener) {
                const UCHAR level = api.GetTraceEnableLevel(handle);
                if (level == 0) return ::GetLastError();
                const ULONG flags = api.GetTraceEnableFlags(handle);
                m_listener->OnConfigChange(1, level, flags);
            }
            return ERROR_SUCCESS;
        }
        case WMI_DISABLE_EVENTS: {
            if (m_listener) m_listener->OnConfigChange(0, GetSeverity(), 0);
            const TRACEHANDLE handle = api.GetTraceLoggerHandle(buffer);
            if (handle != kInvalidTraceHandle && handle == m_traceHandle) m_traceHandle = 0;
            return ERROR_SUCCESS;
        }
        default: return ERROR_INVALID_PARAMETER;
    }
}

void CETWLogging::SetEventClass() { m_eventClass = kEventClassGuid; }

void CETWLogging::GetModuleBaseName(std::wstring& name, HMODULE module, bool stripExtension) {
    std::wstring folder;
    std::wstring file;
    if (!Tessal::GetModuleFolderAndName(module, folder, false, file)) {
        name.clear();
        return;
    }
    if (stripExtension) {
        const std::size_t dot = file.rfind(L'.');
        if (dot != std::wstring::npos) file.resize(dot);
    }
    name = file;
}

void CETWLogging::BuildLogName() {
    m_logName = m_componentName;
    if (!m_moduleBaseName.empty()) m_logName += L"\\" + m_moduleBaseName;
}

ULONG CETWLogging::UnregisterProvider() {
    Tessal::CAutoLock lock(m_lock);
    if (m_registrationHandle == 0) return ERROR_SUCCESS;
    const ULONG result = GetETWApi().UnregisterTraceGuids(m_registrationHandle);
    m_registrationHandle = 0;
    m_registered = 0;
    return result;
}

ULONG CETWLogging::Stop() {
    SetEnabled(0);
    return UnregisterProvider();
}

DWORD CETWLogging::MapLevel(DWORD level) { return level == LOG_INFORMATION_6 ? LOG_INFORMATION : level; }

void CETWLogging::FillRecord(const wchar_t* sourceFile, const wchar_t* function, int line, EventOrigin& record) {
    record.processId = m_processId;
    record.threadId = ::GetCurrentThreadId();
    record.sourceFile = sourceFile;
    record.function = function;
    record.line = static_cast<DWORD>(line);
    record.componentName = m_componentName.c_str();
    if (record.moduleFileName == nullptr) record.moduleFileName = m_moduleFileName.c_str();
    record.moduleVersion = m_moduleVersion.c_str();
    record.processImageName = m_processImageName.c_str();
}

}  // namespace ETWLogging
