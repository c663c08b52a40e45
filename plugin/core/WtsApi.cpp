#include "plugin/core/WtsApi.h"

#include <atomic>

namespace {

constexpr const wchar_t* kWtsLibrary = L"wtsapi32.dll";

using EnumerateSessionsFn = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*);
using QuerySessionInformationFn = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
using QueryUserTokenFn = BOOL(WINAPI*)(ULONG, PHANDLE);
using FreeMemoryFn = VOID(WINAPI*)(PVOID);

template <class Function>
Function Bind(HMODULE library, const char* name) noexcept {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}

// Frees what a WTS call returned with that library's WTSFreeMemory (when it exports one).
class CWtsMemory {
public:
    explicit CWtsMemory(FreeMemoryFn free) noexcept : m_free(free) {}
    ~CWtsMemory() {
        if (m_memory != nullptr && m_free != nullptr) m_free(m_memory);
    }
    CWtsMemory(const CWtsMemory&) = delete;
    CWtsMemory& operator=(const CWtsMemory&) = delete;

    template <class T>
    T** Put() noexcept {
        return reinterpret_cast<T**>(&m_memory);
    }
    template <class T>
    T* Get() const noexcept {
        return static_cast<T*>(m_memory);
    }

private:
    FreeMemoryFn m_free;
    void* m_memory = nullptr;
};

class CRealWtsApi final : public IWtsApi {
public:
    WtsEnumerateResult EnumerateSessions() override {
        WtsEnumerateResult result;
        Tessal::UniqueHModule library(::LoadLibraryW(kWtsLibrary));
        if (!library) {
            result.status = WtsEnumerateStatus::kLibraryNotLoaded;
            return result;
        }
        const auto enumerate = Bind<EnumerateSessionsFn>(library.Get(), "WTSEnumerateSessionsW");
        if (enumerate == nullptr) {
            result.status = WtsEnumerateStatus::kExportMissing;
            return result;
        }
        CWtsMemory sessions(Bind<FreeMemoryFn>(library.Get(), "WTSFreeMemory"));
        DWORD count = 0;
        if (!enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, sessions.Put<WTS_SESSION_INFOW>(), &count)) {
            result.status = WtsEnumerateStatus::kCallFailed;
            result.error = ::GetLastError();
            return result;
        }
        result.status = WtsEnumerateStatus::kEnumerated;
        const WTS_SESSION_INFOW* const info = sessions.Get<WTS_SESSION_INFOW>();
        if (info != nullptr) {
            result.sessions.reserve(count);
            for (DWORD i = 0; i < count; ++i) result.sessions.push_back({info[i].SessionId, info[i].State});
        }
        return result;
    }

    bool QuerySessionUserName(DWORD sessionId, std::wstring& userName) override {
        Tessal::UniqueHModule library(SystemLibrary());
        if (!library) return false;
        const auto query = Bind<QuerySessionInformationFn>(library.Get(), "WTSQuerySessionInformationW");
        CWtsMemory text(Bind<FreeMemoryFn>(library.Get(), "WTSFreeMemory"));
        DWORD bytes = 0;
        if (query == nullptr ||
            !query(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSUserName, text.Put<wchar_t>(), &bytes)) {
            return false;
        }
        userName.assign(text.Get<wchar_t>() != nullptr ? text.Get<wchar_t>() : L"");
        return true;
    }

    bool QueryUserToken(DWORD sessionId, Tessal::UniqueHandle& token) override {
        Tessal::UniqueHModule library(SystemLibrary());
        if (!library) return false;
        const auto query = Bind<QueryUserTokenFn>(library.Get(), "WTSQueryUserToken");
        return query != nullptr && query(sessionId, token.Put()) && token.IsValid();
    }

private:
    static HMODULE SystemLibrary() noexcept {
        return ::LoadLibraryExW(kWtsLibrary, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
};

CRealWtsApi g_realWtsApi;
std::atomic<IWtsApi*> g_wtsApi{nullptr};

}  // namespace

IWtsApi& GetWtsApi() noexcept {
    IWtsApi* const api = g_wtsApi.load();
    return api != nullptr ? *api : g_realWtsApi;
}

IWtsApi* SetWtsApi(IWtsApi* api) noexcept { return g_wtsApi.exchange(api); }
