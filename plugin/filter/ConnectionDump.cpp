#include "plugin/filter/ConnectionDump.h"

#include "Shared/NuvPaths.h"
#include "base/FileSystem.h"
#include "base/Format.h"
#include "plugin/filter/ScanAlgorithm.h"

#include <cstdarg>
#include <cstdint>

namespace {

Tessal::UniqueHandle CreateDumpFile(const std::wstring& path) {
    return Tessal::UniqueHandle(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void Append(const Tessal::UniqueHandle& file, const void* bytes, DWORD size) {
    if (!file || bytes == nullptr || size == 0) return;
    DWORD written = 0;
    ::WriteFile(file.Get(), bytes, size, &written, nullptr);
}

bool EnsureFolder(const std::wstring& folder) {
    return Tessal::CreateDirectoryPath(folder.c_str()) || Tessal::DirectoryExists(folder.c_str());
}

}  // namespace

bool CConnectionDump::Open(const void* handler, const SYSTEMTIME& now) {
    wchar_t install[MAX_PATH + 1] = {};
    if (!QueryNuvInstallDir(install, MAX_PATH)) return false;
    const std::wstring dumpFolder = std::wstring(install) + L"\\Dump";
    if (!EnsureFolder(dumpFolder)) return false;
    const std::wstring dayFolder = Tessal::Format(L"%s\\%04d-%02d-%02d", dumpFolder.c_str(), now.wYear, now.wMonth, now.wDay);
    if (!EnsureFolder(dayFolder)) return false;
    m_baseName = Tessal::Format(L"%s\\%02d-%02d-%02d_%03d.%X.%d", dayFolder.c_str(), now.wHour, now.wMinute, now.wSecond,
                                now.wMilliseconds, static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handler)), 1401450);
    // Named after the first algorithm of each direction's buffer.
    const wchar_t* const inbound = GetScanAlgorithmName(kScanInboundHttpResponse);
    const wchar_t* const outbound = GetScanAlgorithmName(kScanOutboundHttpRequest);
    m_data[kResponseIn] = CreateDumpFile(Tessal::Format(L"%s.%s.in.log", m_baseName.c_str(), inbound));
    m_data[kResponseOut] = CreateDumpFile(Tessal::Format(L"%s.%s.out.log", m_baseName.c_str(), inbound));
    m_data[kRequestIn] = CreateDumpFile(Tessal::Format(L"%s.%s.in.log", m_baseName.c_str(), outbound));
    m_data[kRequestOut] = CreateDumpFile(Tessal::Format(L"%s.%s.out.log", m_baseName.c_str(), outbound));
    m_summary = CreateDumpFile(Tessal::Format(L"%s.Summary.log", m_baseName.c_str()));
    return true;
}

void CConnectionDump::Close() {
    for (Tessal::UniqueHandle& file : m_data) file.Reset();
    if (m_summary) {
        Print("Destroying Handler\r\n");
        m_summary.Reset();
    }
}

void CConnectionDump::Write(const void* bytes, DWORD size, bool inbound, bool received) {
    const int index = inbound ? (received ? kResponseIn : kResponseOut) : (received ? kRequestIn : kRequestOut);
    Append(m_data[index], bytes, size);
}

void CConnectionDump::Print(const char* format, ...) {
    if (!m_summary) return;
    SYSTEMTIME utc = {};
    ::GetSystemTime(&utc);
    va_list arguments;
    va_start(arguments, format);
    const std::string line = Tessal::Format("%2d:%02d:%02d.%03d - ", utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds) +
                             Tessal::FormatV(format, arguments);
    va_end(arguments);
    Tessal::CAutoLock lock(m_lock);
    Append(m_summary, line.data(), static_cast<DWORD>(line.size()));
}

const char* CConnectionDump::VerdictName(DWORD verdict) noexcept {
    switch (verdict) {
        case 0: return "OK";
        case 1: return "FAIL";
        case 2: return "BYPASS";
        case 3: return "DEFER";
        case 4: return "DROP";
        default: return "unknown";
    }
}

const char* CConnectionDump::AgeGroupName(LONG ageGroup) noexcept {
    static const char* const kNames[] = {"None", "Young Child", "Child", "Young Teen", "Old Teen", "Adult"};
    return ageGroup >= 0 && ageGroup <= 5 ? kNames[ageGroup] : "None";
}
