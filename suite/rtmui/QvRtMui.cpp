// Stand-in for the suite's MUI runtime: every export does what the plain Windows loader does
// (no language selection; the mapped locale is fixed) and writes its call to the record file a
// test names (QvRtMuiStandIn.h).

#include "base/TextConversion.h"
#include "suite/rtmui/QvRtMuiStandIn.h"

#include "base/UniqueHandle.h"

#include <windows.h>

#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

std::string Utf8(const std::wstring& text) { return Tessal::ToUtf8(text); }

// The record keeps the last error of the call it follows: callers read it after our return.
class Line {
public:
    explicit Line(const char* name) : m_text(name) {}
    Line& operator<<(const std::string& field) {
        m_text += '|';
        m_text += field;
        return *this;
    }
    Line& operator<<(const wchar_t* text) { return *this << (text != nullptr ? Utf8(text) : std::string("(null)")); }
    Line& operator<<(unsigned long value) { return *this << std::to_string(value); }
    Line& operator<<(unsigned value) { return *this << std::to_string(value); }
    Line& operator<<(int value) { return *this << std::to_string(value); }

    // One write per line, so that concurrent callers do not interleave.
    ~Line() {
        const DWORD lastError = ::GetLastError();
        const std::wstring path = Environment(QVRTMUI_RECORD_VARIABLE);
        if (!path.empty()) {
            Tessal::UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file) {
                const std::string text = m_text + "\r\n";
                DWORD written = 0;
                ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            }
        }
        ::SetLastError(lastError);
    }

private:
    std::string m_text;
};

std::string ModuleName(HMODULE module) {
    if (module == nullptr) return "(null)";
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "?";
    const std::wstring text(path, length);
    return Utf8(text.substr(text.find_last_of(L'\\') + 1));
}

std::string ResourceName(LPCWSTR name) {
    if (IS_INTRESOURCE(name)) return "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name));
    return Utf8(name);
}

}  // namespace

extern "C" {

ULONG WINAPI DllAddRef() {
    Line("DllAddRef");
    return 1;
}

ULONG WINAPI DllRelease() {
    Line("DllRelease");
    return 0;
}

LCID WINAPI RtMUIGetMappedLocale() {
    Line("RtMUIGetMappedLocale");
    return QVRTMUI_STANDIN_LOCALE;
}

HMODULE WINAPI RtMUILoadLibrary(LPCWSTR path, DWORD reserved) {
    const HMODULE module = ::LoadLibraryW(path);
    Line("RtMUILoadLibrary") << path << reserved;
    return module;
}

HMODULE WINAPI RtMUILoadLibraryEx(LPCWSTR path, HANDLE file, DWORD flags, DWORD reserved) {
    const HMODULE module = ::LoadLibraryExW(path, file, flags);
    Line("RtMUILoadLibraryEx") << path << (file != nullptr ? "file" : "(null)") << flags << reserved;
    return module;
}

HMODULE WINAPI RtMUILoadLibraryImpl(LPCWSTR path, HANDLE file, DWORD flags, DWORD extra, DWORD reserved) {
    const HMODULE module = ::LoadLibraryExW(path, file, flags);
    Line("RtMUILoadLibraryImpl") << path << (file != nullptr ? "file" : "(null)") << flags << extra << reserved;
    return module;
}

int WINAPI RtMUILoadString(HMODULE module, UINT id, LPWSTR buffer, int capacity, DWORD reserved) {
    const int length = ::LoadStringW(module, id, buffer, capacity);
    Line("RtMUILoadString") << ModuleName(module) << id << capacity << reserved;
    return length;
}

int WINAPI RtMUILoadStringEx(HMODULE module, UINT id, LPWSTR buffer, int capacity, DWORD extra, DWORD reserved) {
    const int length = ::LoadStringW(module, id, buffer, capacity);
    Line("RtMUILoadStringEx") << ModuleName(module) << id << capacity << extra << reserved;
    return length;
}

HRSRC WINAPI RtMUIFindResource(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD reserved) {
    const HRSRC resource = ::FindResourceW(module, name, type);
    Line("RtMUIFindResource") << ModuleName(module) << ResourceName(name) << ResourceName(type) << reserved;
    return resource;
}

HRSRC WINAPI RtMUIFindResourceEx(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD extra, DWORD reserved) {
    const HRSRC resource = ::FindResourceW(module, name, type);
    Line("RtMUIFindResourceEx") << ModuleName(module) << ResourceName(name) << ResourceName(type) << extra << reserved;
    return resource;
}

HANDLE WINAPI RtMUILoadImage(HINSTANCE module, LPCWSTR name, UINT type, int cx, int cy, UINT flags, DWORD reserved) {
    const HANDLE image = ::LoadImageW(module, name, type, cx, cy, flags);
    Line("RtMUILoadImage") << ModuleName(module) << ResourceName(name) << type << cx << cy << flags << reserved;
    return image;
}

HANDLE WINAPI RtMUILoadImageEx(HINSTANCE module, LPCWSTR name, UINT type, int cx, int cy, UINT flags, DWORD extra,
                               DWORD reserved) {
    const HANDLE image = ::LoadImageW(module, name, type, cx, cy, flags);
    Line("RtMUILoadImageEx") << ModuleName(module) << ResourceName(name) << type << cx << cy << flags << extra
                             << reserved;
    return image;
}

HBITMAP WINAPI RtMUILoadBitmap(HINSTANCE module, LPCWSTR name, DWORD reserved) {
    const HBITMAP bitmap = ::LoadBitmapW(module, name);
    Line("RtMUILoadBitmap") << ModuleName(module) << ResourceName(name) << reserved;
    return bitmap;
}

HBITMAP WINAPI RtMUILoadBitmapEx(HINSTANCE module, LPCWSTR name, DWORD extra, DWORD reserved) {
    const HBITMAP bitmap = ::LoadBitmapW(module, name);
    Line("RtMUILoadBitmapEx") << ModuleName(module) << ResourceName(name) << extra << reserved;
    return bitmap;
}

HICON WINAPI RtMUILoadIcon(HINSTANCE module, LPCWSTR name, DWORD reserved) {
    const HICON icon = ::LoadIconW(module, name);
    Line("RtMUILoadIcon") << ModuleName(module) << ResourceName(name) << reserved;
    return icon;
}

HICON WINAPI RtMUILoadIconEx(HINSTANCE module, LPCWSTR name, DWORD extra, DWORD reserved) {
    const HICON icon = ::LoadIconW(module, name);
    Line("RtMUILoadIconEx") << ModuleName(module) << ResourceName(name) << extra << reserved;
    return icon;
}

}  // extern "C"
