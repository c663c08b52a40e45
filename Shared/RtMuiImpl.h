#pragma once
// The process's binding of the MUI runtime "QvRtMui.dll" behind the free RtMui* functions
// (Shared/RtMui.h). Constructing one looks the runtime up: the path given to RtMuiSetPath, else
// "<CommonProgramFiles>\Oberix\Platform\QvRtMui.dll". When it is missing or lacks any of its
// fourteen exports, every operation falls back to the plain Windows loader.

#include "base/DllWrapperBase.h"
#include "suite/interfaces/QvRtMui.h"

#include <windows.h>

// The runtime's operations as the plug-in calls them; `extra` != 0 selects the "Ex" export.
class RtMuiDllInterface {
public:
    virtual DWORD GetMappedLocale() = 0;
    virtual HMODULE LoadLibraryW(const wchar_t* path) = 0;
    virtual HMODULE LoadLibraryExW(const wchar_t* path, HANDLE file, DWORD flags) = 0;
    virtual int LoadStringW(HMODULE module, UINT id, wchar_t* buffer, int capacity, DWORD extra) = 0;
    virtual HRSRC FindResourceW(HMODULE module, const wchar_t* name, const wchar_t* type, DWORD extra) = 0;
    virtual HANDLE LoadImageW(HINSTANCE module, const wchar_t* name, UINT type, int cx, int cy, UINT flags,
                              DWORD extra) = 0;
    virtual HBITMAP LoadBitmapW(HINSTANCE module, const wchar_t* name, DWORD extra) = 0;
    virtual HICON LoadIconW(HINSTANCE module, const wchar_t* name, DWORD extra) = 0;

protected:
    ~RtMuiDllInterface() = default;
};

class RtMuiImpl final : public RtMuiDllInterface, public Tessal::CDllWrapperBase {
public:
    // The process's one, built at the first call (concurrent first calls build it once) and
    // destroyed when this module unloads; null when it could not be built or after that.
    static RtMuiImpl* Instance() noexcept;

    // Binds the runtime now. The singleton is one of these; tests build their own.
    RtMuiImpl() noexcept;

    // 0 when the runtime is loaded and used; else the Win32 error that ruled it out.
    DWORD GetLoadResult() const noexcept { return m_loadResult; }

    DWORD GetMappedLocale() override;
    HMODULE LoadLibraryW(const wchar_t* path) override;
    HMODULE LoadLibraryExW(const wchar_t* path, HANDLE file, DWORD flags) override;
    int LoadStringW(HMODULE module, UINT id, wchar_t* buffer, int capacity, DWORD extra) override;
    HRSRC FindResourceW(HMODULE module, const wchar_t* name, const wchar_t* type, DWORD extra) override;
    HANDLE LoadImageW(HINSTANCE module, const wchar_t* name, UINT type, int cx, int cy, UINT flags,
                      DWORD extra) override;
    HBITMAP LoadBitmapW(HINSTANCE module, const wchar_t* name, DWORD extra) override;
    HICON LoadIconW(HINSTANCE module, const wchar_t* name, DWORD extra) override;

private:
    DWORD Bind(const wchar_t* path) noexcept;
    bool UsesRuntime() const noexcept { return m_loadResult == ERROR_SUCCESS; }

    PFN_RtMUIGetMappedLocale m_getMappedLocale = nullptr;
    PFN_RtMUILoadLibrary m_loadLibrary = nullptr;
    PFN_RtMUILoadLibraryEx m_loadLibraryEx = nullptr;
    PFN_RtMUILoadLibraryImpl m_loadLibraryImpl = nullptr;
    PFN_RtMUILoadString m_loadString = nullptr;
    PFN_RtMUILoadStringEx m_loadStringEx = nullptr;
    PFN_RtMUIFindResource m_findResource = nullptr;
    PFN_RtMUIFindResourceEx m_findResourceEx = nullptr;
    PFN_RtMUILoadImage m_loadImage = nullptr;
    PFN_RtMUILoadImageEx m_loadImageEx = nullptr;
    PFN_RtMUILoadBitmap m_loadBitmap = nullptr;
    PFN_RtMUILoadBitmapEx m_loadBitmapEx = nullptr;
    PFN_RtMUILoadIcon m_loadIcon = nullptr;
    PFN_RtMUILoadIconEx m_loadIconEx = nullptr;
    DWORD m_loadResult = ERROR_SUCCESS;
};
