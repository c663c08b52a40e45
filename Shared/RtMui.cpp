#include "Shared/RtMui.h"

#include "Shared/RtMuiImpl.h"
#include "base/Sync.h"

#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>
#include <utility>

namespace {

constexpr DWORD kFallbackLocale = 1033;
constexpr std::size_t kMaxPathChars = 260;

// Set before the runtime's first use; read once, when the singleton is built.
Tessal::CSRWLock g_runtimePathLock;
wchar_t g_runtimePath[kMaxPathChars + 1] = {};

std::wstring RuntimePath() {
    Tessal::CSharedLock lock(g_runtimePathLock);
    return g_runtimePath;
}

// What every operation does while the runtime is not used.
class PlainLoader final : public RtMuiDllInterface {
public:
    DWORD GetMappedLocale() override { return kFallbackLocale; }
    HMODULE LoadLibraryW(const wchar_t* path) override { return ::LoadLibraryW(path); }
    HMODULE LoadLibraryExW(const wchar_t* path, HANDLE file, DWORD flags) override {
        return ::LoadLibraryExW(path, file, flags);
    }
    int LoadStringW(HMODULE module, UINT id, wchar_t* buffer, int capacity, DWORD) override {
        return ::LoadStringW(module, id, buffer, capacity);
    }
    HRSRC FindResourceW(HMODULE module, const wchar_t* name, const wchar_t* type, DWORD) override {
        return ::FindResourceW(module, name, type);
    }
    HANDLE LoadImageW(HINSTANCE module, const wchar_t* name, UINT type, int cx, int cy, UINT flags, DWORD) override {
        return ::LoadImageW(module, name, type, cx, cy, flags);
    }
    HBITMAP LoadBitmapW(HINSTANCE module, const wchar_t* name, DWORD) override { return ::LoadBitmapW(module, name); }
    HICON LoadIconW(HINSTANCE module, const wchar_t* name, DWORD) override { return ::LoadIconW(module, name); }
};

PlainLoader g_plainLoader;

std::once_flag g_instanceOnce;
RtMuiImpl* g_instance = nullptr;

void DestroyInstance() { delete std::exchange(g_instance, nullptr); }

// The singleton, or the plain loader when there is none (not built, or already destroyed).
RtMuiDllInterface& Loader() noexcept {
    if (RtMuiImpl* const instance = RtMuiImpl::Instance()) return *instance;
    return g_plainLoader;
}

template <class Function>
bool BindExport(FARPROC address, Function& slot) noexcept {
    slot = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
    return address != nullptr;
}

}  // namespace

RtMuiImpl* RtMuiImpl::Instance() noexcept {
    try {
        std::call_once(g_instanceOnce, [] {
            g_instance = new (std::nothrow) RtMuiImpl();
            if (g_instance != nullptr) std::atexit(DestroyInstance);
        });
    } catch (...) {
        return nullptr;  // the once-flag was not set: the next call tries again
    }
    return g_instance;
}

RtMuiImpl::RtMuiImpl() noexcept {
    try {
        const std::wstring runtimePath = RuntimePath();
        if (!runtimePath.empty()) {
            m_loadResult = Bind(runtimePath.c_str());
            return;
        }

        wchar_t folder[kMaxPathChars + 1] = {};
        const DWORD length = ::GetEnvironmentVariableW(L"CommonProgramFiles", folder, kMaxPathChars + 1);
        if (length == 0) {
            // An empty variable leaves no error behind; 0 must not read as "loaded".
            const DWORD error = ::GetLastError();
            m_loadResult = error != ERROR_SUCCESS ? error : ERROR_ENVVAR_NOT_FOUND;
            return;
        }
        if (length > kMaxPathChars) {
            m_loadResult = ERROR_FILENAME_EXCED_RANGE;
            return;
        }
        const std::wstring platformPath = std::wstring(folder, length) + L"\\Oberix\\Platform\\QvRtMui.dll";
        m_loadResult = Bind(platformPath.c_str());
        if (m_loadResult != ERROR_SUCCESS) m_loadResult = Bind(L"QvRtMui.dll");
    } catch (const std::bad_alloc&) {
        m_loadResult = ERROR_OUTOFMEMORY;
    }
}

DWORD RtMuiImpl::Bind(const wchar_t* path) noexcept {
    const DWORD loaded = Load(path);
    if (loaded != ERROR_SUCCESS) return loaded;
    const bool bound = BindExport(GetExport("RtMUIGetMappedLocale"), m_getMappedLocale) &&
                       BindExport(GetExport("RtMUILoadLibrary"), m_loadLibrary) &&
                       BindExport(GetExport("RtMUILoadLibraryEx"), m_loadLibraryEx) &&
                       BindExport(GetExport("RtMUILoadLibraryImpl"), m_loadLibraryImpl) &&
                       BindExport(GetExport("RtMUILoadString"), m_loadString) &&
                       BindExport(GetExport("RtMUILoadStringEx"), m_loadStringEx) &&
                       BindExport(GetExport("RtMUIFindResource"), m_findResource) &&
                       BindExport(GetExport("RtMUIFindResourceEx"), m_findResourceEx) &&
                       BindExport(GetExport("RtMUILoadImage"), m_loadImage) &&
                       BindExport(GetExport("RtMUILoadImageEx"), m_loadImageEx) &&
                       BindExport(GetExport("RtMUILoadBitmap"), m_loadBitmap) &&
                       BindExport(GetExport("RtMUILoadBitmapEx"), m_loadBitmapEx) &&
                       BindExport(GetExport("RtMUILoadIcon"), m_loadIcon) &&
                       BindExport(GetExport("RtMUILoadIconEx"), m_loadIconEx);
    if (bound) return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_PROC_NOT_FOUND;
}

DWORD RtMuiImpl::GetMappedLocale() {
    if (!UsesRuntime()) return g_plainLoader.GetMappedLocale();
    return m_getMappedLocale != nullptr ? m_getMappedLocale() : 0;
}

HMODULE RtMuiImpl::LoadLibraryW(const wchar_t* path) {
    if (!UsesRuntime()) return g_plainLoader.LoadLibraryW(path);
    return m_loadLibrary != nullptr ? m_loadLibrary(path, 0) : nullptr;
}

HMODULE RtMuiImpl::LoadLibraryExW(const wchar_t* path, HANDLE file, DWORD flags) {
    if (!UsesRuntime()) return g_plainLoader.LoadLibraryExW(path, file, flags);
    return m_loadLibraryEx != nullptr ? m_loadLibraryEx(path, file, flags, 0) : nullptr;
}

int RtMuiImpl::LoadStringW(HMODULE module, UINT id, wchar_t* buffer, int capacity, DWORD extra) {
    if (!UsesRuntime()) return g_plainLoader.LoadStringW(module, id, buffer, capacity, extra);
    if (extra != 0) return m_loadStringEx != nullptr ? m_loadStringEx(module, id, buffer, capacity, extra, 0) : 0;
    return m_loadString != nullptr ? m_loadString(module, id, buffer, capacity, 0) : 0;
}

HRSRC RtMuiImpl::FindResourceW(HMODULE module, const wchar_t* name, const wchar_t* type, DWORD extra) {
    if (!UsesRuntime()) return g_plainLoader.FindResourceW(module, name, type, extra);
    if (extra != 0) return m_findResourceEx != nullptr ? m_findResourceEx(module, name, type, extra, 0) : nullptr;
    return m_findResource != nullptr ? m_findResource(module, name, type, 0) : nullptr;
}

HANDLE RtMuiImpl::LoadImageW(HINSTANCE module, const wchar_t* name, UINT type, int cx, int cy, UINT flags,
                             DWORD extra) {
    if (!UsesRuntime()) return g_plainLoader.LoadImageW(module, name, type, cx, cy, flags, extra);
    if (extra != 0) {
        return m_loadImageEx != nullptr ? m_loadImageEx(module, name, type, cx, cy, flags, extra, 0) : nullptr;
    }
    return m_loadImage != nullptr ? m_loadImage(module, name, type, cx, cy, flags, 0) : nullptr;
}

HBITMAP RtMuiImpl::LoadBitmapW(HINSTANCE module, const wchar_t* name, DWORD extra) {
    if (!UsesRuntime()) return g_plainLoader.LoadBitmapW(module, name, extra);
    if (extra != 0) return m_loadBitmapEx != nullptr ? m_loadBitmapEx(module, name, extra, 0) : nullptr;
    return m_loadBitmap != nullptr ? m_loadBitmap(module, name, 0) : nullptr;
}

HICON RtMuiImpl::LoadIconW(HINSTANCE module, const wchar_t* name, DWORD extra) {
    if (!UsesRuntime()) return g_plainLoader.LoadIconW(module, name, extra);
    if (extra != 0) return m_loadIconEx != nullptr ? m_loadIconEx(module, name, extra, 0) : nullptr;
    return m_loadIcon != nullptr ? m_loadIcon(module, name, 0) : nullptr;
}

DWORD RtMuiGetMappedLocale() { return Loader().GetMappedLocale(); }

HMODULE RtMuiLoadLibrary(const wchar_t* path) { return Loader().LoadLibraryW(path); }

HMODULE RtMuiLoadLibraryEx(const wchar_t* path, HANDLE file, DWORD flags) {
    return Loader().LoadLibraryExW(path, file, flags);
}

int RtMuiLoadString(HMODULE module, UINT id, wchar_t* buffer, int capacity, DWORD extra) {
    return Loader().LoadStringW(module, id, buffer, capacity, extra);
}

HRSRC RtMuiFindResource(HMODULE module, const wchar_t* name, const wchar_t* type, DWORD extra) {
    return Loader().FindResourceW(module, name, type, extra);
}

HANDLE RtMuiLoadImage(HINSTANCE module, const wchar_t* name, UINT type, int cx, int cy, UINT flags, DWORD extra) {
    return Loader().LoadImageW(module, name, type, cx, cy, flags, extra);
}

HBITMAP RtMuiLoadBitmap(HINSTANCE module, const wchar_t* name, DWORD extra) {
    return Loader().LoadBitmapW(module, name, extra);
}

HICON RtMuiLoadIcon(HINSTANCE module, const wchar_t* name, DWORD extra) {
    return Loader().LoadIconW(module, name, extra);
}

bool RtMuiSetPath(const wchar_t* path) {
    if (path == nullptr) return false;
    Tessal::CExclusiveLock lock(g_runtimePathLock);
    const std::size_t length = ::wcsnlen(path, kMaxPathChars);
    std::wmemcpy(g_runtimePath, path, length);
    g_runtimePath[length] = L'\0';
    return true;
}

bool RtMuiIsLoaded() {
    const RtMuiImpl* const instance = RtMuiImpl::Instance();
    return instance != nullptr && instance->GetLoadResult() == ERROR_SUCCESS;
}
