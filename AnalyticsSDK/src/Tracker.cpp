#include "AnalyticsAPI/Analytics.h"

#include "logging/Logging.h"

#include <windows.h>

#include <cstdio>
#include <ctime>

namespace Korin {
namespace Analytics {
namespace internal {

class CTracker::_Impl {
public:
    explicit _Impl(const wchar_t* type) : m_type(type) {}
    virtual ~_Impl() = default;

    void Set(const std::wstring& name, const std::wstring& value) {
        if (!name.empty()) m_record[name] = value;
    }
    void Send();

    std::wstring m_type;
    Record m_record;
};

bool IsReservedName(const wchar_t* name) noexcept {
    return name != nullptr && name[0] == L'_' && name[1] == L'_';
}

void LogNullName(const wchar_t* function) {
    ETWLogging::LogMessage(ETWLogging::LOG_WARNING, L"analyticssdk\\include\\AnalyticsAPI/internal/Tracker", function,
                           __LINE__, L"Adding dimension with a [null] name - ignored.");
}

void LogReservedName(const wchar_t* function, const wchar_t* name, const wchar_t* value) {
    ETWLogging::LogMessage(ETWLogging::LOG_WARNING, L"analyticssdk\\include\\AnalyticsAPI/internal/Tracker", function,
                           __LINE__, L"Illegal request to add private dimension ('%s ='%s') - Ignored", name, value);
}

void CTracker::_Impl::Send() {
    Set(L"__track.api.version", L"1.2.0");
    Set(L"Tracker.Type", m_type);
    const std::time_t seconds = std::time(nullptr);
    std::tm utc = {};
    if (seconds >= 0 && gmtime_s(&utc, &seconds) == 0) {
        // By hand: the C runtime's wcsftime writes nothing for %T and %Z.
        wchar_t text[50];
        std::swprintf(text, 50, L"%04d-%02d-%02d %02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                      utc.tm_hour, utc.tm_min, utc.tm_sec);
        Set(L"__record.created", text);
    } else {
        Set(L"__record.created.raw", std::to_wstring(static_cast<long long>(seconds)));
    }
    LARGE_INTEGER counter, frequency;
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    Set(L"__record.created.seconds", std::to_wstring(frequency.QuadPart != 0 ? counter.QuadPart / frequency.QuadPart : 0));
    CSDKConnector connector;
    connector.Connect();
    connector.Send(m_record);
    connector.Disconnect();
}

CTracker::CTracker(const wchar_t* trackerType) : m_impl(std::make_unique<_Impl>(trackerType)) {}
CTracker::~CTracker() = default;
CTracker::CTracker(CTracker&&) noexcept = default;
CTracker& CTracker::operator=(CTracker&&) noexcept = default;

void CTracker::Send() {
    if (!m_impl) return;
    try {
        m_impl->Send();
    } catch (...) {
        // Analytics never fails product code.
    }
}

void CTracker::Set(const std::wstring& name, const std::wstring& value) {
    if (m_impl) m_impl->Set(name, value);
}

const Record& CTracker::GetRecord() const {
    static const Record kEmpty;
    return m_impl ? m_impl->m_record : kEmpty;
}

}  // namespace internal

namespace v1 {

CEvent CTrack::Event(const wchar_t* uniqueIdentifier) {
    CEvent event;
    if (uniqueIdentifier != nullptr) event.Set(L"UniqueIdentifier", uniqueIdentifier);
    return event;
}

CScreen CTrack::Screen(const wchar_t* uniqueIdentifier) {
    CScreen screen;
    if (uniqueIdentifier != nullptr) screen.Set(L"UniqueIdentifier", uniqueIdentifier);
    return screen;
}

}  // namespace v1
}  // namespace Analytics
}  // namespace Korin
