#include "Shared/NuvResLoader.h"
#include "Shared/ProductKey.h"

#include "Shared/RtMui.h"
#include "base/RegKey.h"
#include "logging/Logging.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr const wchar_t* kInstallDirValue = L"Install Dir";
constexpr const wchar_t* kResourceDll = L"NuvRes2.dll";
constexpr const wchar_t* kCustomResourceDll = L"nuvuc.dll";

// LoadString reports a cut text only by filling the buffer: the buffer grows in these steps up
// to the limit, so that strings of up to kMaxStringCapacity - 2 characters load.
constexpr int kStringCapacityStep = 1024;
constexpr int kMaxStringCapacity = 10240;

}  // namespace

CNuvResLoader::~CNuvResLoader() {
    m_resourceModule.Reset();
    m_customModule.Reset();
}

BOOL CNuvResLoader::Init() {
    if (m_resourceModule) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::Init resource file already loaded");
        return FALSE;
    }
    if (m_customModule) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::Init custom resource file already loaded");
        return FALSE;
    }
    try {
        std::wstring folder;
        if (!_GetNuvPath(folder, true)) return FALSE;

        const std::wstring resourcePath = folder + kResourceDll;
        m_resourceModule.Reset(RtMuiLoadLibrary(resourcePath.c_str()));
        if (!m_resourceModule) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::Init RtMUILoadLibrary failed for nuvres:%s",
                    resourcePath.c_str());
            return FALSE;
        }

        const std::wstring customPath = folder + kCustomResourceDll;
        m_customModule.Reset(RtMuiLoadLibrary(customPath.c_str()));
        if (!m_customModule) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::Init RtMUILoadLibrary failed for nuv custom res:%s",
                    customPath.c_str());
        }
        return TRUE;
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
}

bool CNuvResLoader::_GetNuvPath(std::wstring& path, bool withSeparator) {
    Tessal::CRegKey key;
    LONG result = key.Open(HKEY_LOCAL_MACHINE, kNuvProductKey, KEY_READ);
    if (result != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::_GetNuvPath CRegKey::Open failed:%u", result);
        return false;
    }

    // QueryStringBuffer refuses any type but REG_SZ and REG_EXPAND_SZ (13), and on the read also
    // an odd byte count or a missing terminator.
    ULONG chars = 0;
    result = key.QueryStringBuffer(kInstallDirValue, nullptr, &chars);
    if (result != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::_GetNuvPath CRegKey::QueryStringValue failed:%u", result);
        return false;
    }
    ULONG capacity = chars + 1;
    const std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[capacity]());
    if (!buffer) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::_GetNuvPath not enough memory for pszNuvDllPath:%u", capacity);
        return false;
    }
    result = key.QueryStringBuffer(kInstallDirValue, buffer.get(), &capacity);
    if (result != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::_GetNuvPath CRegKey::QueryStringValue for Install Dir failed:%u",
                result);
        return false;
    }
    path.assign(buffer.get());
    if (withSeparator) path += L'\\';
    return true;
}

HGLOBAL CNuvResLoader::_LoadResource(const wchar_t* name, const wchar_t* type, DWORD* size) {
    if (name == nullptr || type == nullptr || size == nullptr || !m_resourceModule) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::_LoadResource invalid arg");
        return nullptr;
    }
    HMODULE module = m_resourceModule.Get();
    HRSRC resource = nullptr;
    if (m_customModule && (resource = RtMuiFindResource(m_customModule.Get(), name, type, 0)) != nullptr) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"CNuvResLoader::_LoadResource resource found in custom dll");
        module = m_customModule.Get();
    } else {
        NUV_LOG(ETWLogging::LOG_NORMAL,
                L"CNuvResLoader::_LoadResource resource not found in custom dll attempting nuvres dll");
        resource = RtMuiFindResource(module, name, type, 0);
    }
    if (resource == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::_LoadResource failed to find resource, GetLastError:%u",
                ::GetLastError());
        return nullptr;
    }
    *size = ::SizeofResource(module, resource);
    return ::LoadResource(module, resource);
}

int CNuvResLoader::_LoadString(UINT id, wchar_t* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0 || !m_resourceModule) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::_LoadString invalid arg");
        return 0;
    }
    if (m_customModule) {
        const int custom = RtMuiLoadString(m_customModule.Get(), id, buffer, capacity, 0);
        if (custom > 0) {
            NUV_LOG(ETWLogging::LOG_NORMAL, L"CNuvResLoader::_LoadString successfully loaded %u from custom dll", id);
            return custom;
        }
    }
    const int loaded = RtMuiLoadString(m_resourceModule.Get(), id, buffer, capacity, 0);
    if (loaded == 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::_LoadString LoadString failed for %u GetLastError:%u", id,
                ::GetLastError());
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"CNuvResLoader::_LoadString LoadString for %u from nuvres dll returned %d", id,
            loaded);
    return loaded;
}

BOOL CNuvResLoader::LoadStringW(UINT id, CSafeStringW& text) {
    try {
        text.Empty();
        if (!m_resourceModule) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::LoadString invalid module, was init called?");
            return FALSE;
        }
        for (int capacity = kStringCapacityStep;; capacity += kStringCapacityStep) {
            const std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[capacity]());
            if (!buffer) return FALSE;
            const int loaded = _LoadString(id, buffer.get(), capacity);
            if (loaded == 0) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::LoadString _LoadString failed for %u", id);
                return FALSE;
            }
            if (loaded != capacity - 1) {
                text.Assign(buffer.get());
                return TRUE;
            }
            if (capacity >= kMaxStringCapacity) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::LoadString Exceeded max allowable alloc block");
                return FALSE;
            }
        }
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
}

BOOL CNuvResLoader::ReplaceTokens(const wchar_t* type, const wchar_t* name, const NuvResToken* tokens, DWORD count,
                                  CSafeStringW& page) {
    try {
        DWORD size = 0;
        const HGLOBAL data = _LoadResource(name, type, &size);
        if (data == nullptr) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::ReplaceTokens _LoadResource failed");
            return FALSE;
        }
        const auto* const text = static_cast<const wchar_t*>(::LockResource(data));
        if (text == nullptr) return FALSE;
        // Exactly the resource's code units: the template carries no terminator of its own.
        page.Empty();
        page.Append(text, static_cast<int>(size / sizeof(wchar_t)));

        BOOL allLoaded = TRUE;
        for (DWORD i = 0; tokens != nullptr && i < count; ++i) {
            CSafeStringW value;
            if (LoadStringW(tokens[i].stringId, value)) {
                page.Replace(tokens[i].token, value.GetString());
            } else {
                allLoaded = FALSE;
            }
        }
        return allLoaded;
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
}

BOOL CNuvResLoader::LoadImageW(int id, const wchar_t* type, BYTE** bytes, DWORD* size) {
    if (type == nullptr || bytes == nullptr || size == nullptr) return FALSE;
    *bytes = nullptr;
    *size = 0;

    // The id comes from a URL: outside 1..65535 MAKEINTRESOURCE would make a text pointer of it.
    DWORD resourceSize = 0;
    const HGLOBAL data =
        id > 0 && id <= 0xFFFF ? _LoadResource(MAKEINTRESOURCEW(id), type, &resourceSize) : nullptr;
    const void* const locked = data != nullptr ? ::LockResource(data) : nullptr;
    if (resourceSize != 0 && locked != nullptr) {
        std::unique_ptr<BYTE[]> copy(new (std::nothrow) BYTE[resourceSize]);
        if (!copy) return FALSE;
        const errno_t copied = ::memcpy_s(copy.get(), resourceSize, locked, resourceSize);
        if (copied != 0) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to copy memory to ppImage (Err %d)\r\n", copied);
        }
        *bytes = copy.release();
        *size = resourceSize;
        return TRUE;
    }
    NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to load image from resource file: type=%s, ID=%d",
            IS_INTRESOURCE(type) ? L"" : type, id);
    return FALSE;
}
