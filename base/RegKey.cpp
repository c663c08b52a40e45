#include "base/RegKey.h"

#include "base/Advapi32Loader.h"
#include "base/UniqueHandle.h"

#include <aclapi.h>
#include <objbase.h>
#include <shlwapi.h>

#include <algorithm>
#include <climits>
#include <cwchar>
#include <memory>
#include <new>
#include <utility>

namespace Tessal {
namespace internal {

namespace {

constexpr REGSAM kViewMask = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr DWORD kSubKeyNameChars = 256;

using RegDeleteKeyExWFunction = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// Older systems lack RegDeleteKeyExW; look it up once per process.
RegDeleteKeyExWFunction RegDeleteKeyExWIfExported() {
    static const RegDeleteKeyExWFunction function = []() -> RegDeleteKeyExWFunction {
        const HMODULE advapi = ::GetModuleHandleW(L"Advapi32.dll");
        if (advapi == nullptr) return nullptr;
        return reinterpret_cast<RegDeleteKeyExWFunction>(
            reinterpret_cast<void*>(::GetProcAddress(advapi, "RegDeleteKeyExW")));
    }();
    return function;
}

ULONG CharsToBytes(ULONG chars) noexcept { return chars > ULONG_MAX / 2 ? ULONG_MAX - 1 : chars * 2; }

// A security call that reported failure by FALSE. Never answer 0 for it, even if the call
// forgot to set the last error.
LONG LastErrorOfFailedCall() noexcept {
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? static_cast<LONG>(error) : ERROR_INVALID_FUNCTION;
}


// Merges a full-access grant for `everyone` into the key's own DACL and writes it back.
LONG MergeGrantIntoKey(CAdvapi32Loader& security, HKEY key, PSID everyone) {
    DWORD size = 0;
    LONG result = security.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (result != ERROR_INSUFFICIENT_BUFFER) return result;
    if (size == 0) return ERROR_BAD_LENGTH;

    const UniqueLocalMem current(::LocalAlloc(LPTR, size));
    if (!current) return ERROR_OUTOFMEMORY;
    if (!security.InitializeSecurityDescriptor(current.Get(), SECURITY_DESCRIPTOR_REVISION)) {
        return LastErrorOfFailedCall();
    }
    result = security.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, current.Get(), &size);
    if (result != ERROR_SUCCESS) return result;
    BOOL daclPresent = FALSE;
    BOOL daclDefaulted = FALSE;
    PACL dacl = nullptr;
    if (!security.GetSecurityDescriptorDacl(current.Get(), &daclPresent, &dacl, &daclDefaulted)) {
        return LastErrorOfFailedCall();
    }

    EXPLICIT_ACCESS_W grant = {};
    grant.grfAccessPermissions = GENERIC_ALL;
    grant.grfAccessMode = GRANT_ACCESS;
    grant.grfInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    grant.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    grant.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    grant.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    PACL mergedAcl = nullptr;
    const DWORD merged = security.SetEntriesInAclW(1, &grant, daclPresent ? dacl : nullptr, &mergedAcl);
    const UniqueLocalMem mergedAclOwner(mergedAcl);
    if (merged != ERROR_SUCCESS) return static_cast<LONG>(merged);

    const UniqueLocalMem updated(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!updated) return ERROR_NOT_ENOUGH_MEMORY;
    if (!security.InitializeSecurityDescriptor(updated.Get(), SECURITY_DESCRIPTOR_REVISION) ||
        !security.SetSecurityDescriptorDacl(updated.Get(), TRUE, mergedAcl, FALSE)) {
        return LastErrorOfFailedCall();
    }
    return ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, updated.Get());
}

// Each subkey gets the grant merged into its own DACL: a parent's descriptor written over a
// subkey would throw away whatever the subkey granted on its own.
LONG GrantToTree(CAdvapi32Loader& security, HKEY key, REGSAM viewBits, PSID everyone, bool recursive) {
    const LONG result = MergeGrantIntoKey(security, key, everyone);
    if (!recursive || result != ERROR_SUCCESS) return result;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kSubKeyNameChars] = {};
        DWORD length = kSubKeyNameChars;
        const LONG enumerated = ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (enumerated == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (enumerated != ERROR_SUCCESS) return enumerated;
        UniqueHKey subKey;
        if (::RegOpenKeyExW(key, name, 0, KEY_ALL_ACCESS | viewBits, subKey.Put()) != ERROR_SUCCESS) continue;
        const LONG subResult = GrantToTree(security, subKey.Get(), viewBits, everyone, true);
        if (subResult != ERROR_SUCCESS) return subResult;
    }
}

}  // namespace

CRegKeyImpl::~CRegKeyImpl() { Close(); }

LONG CRegKeyImpl::QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size) {
    return ::RegQueryValueExW(m_key, name, nullptr, type, static_cast<LPBYTE>(data), size);
}

LONG CRegKeyImpl::SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size) {
    if (data == nullptr || size == 0) return ERROR_INVALID_PARAMETER;
    return ::RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), size);
}

LONG CRegKeyImpl::SetGUIDValue(LPCWSTR name, REFGUID value) {
    wchar_t text[64] = {};
    ::StringFromGUID2(value, text, 64);
    return SetStringValue(name, text, REG_SZ);
}

LONG CRegKeyImpl::SetBinaryValue(LPCWSTR name, const void* data, ULONG size) {
    return SetValue(name, REG_BINARY, data, size);
}

LONG CRegKeyImpl::SetDWORDValue(LPCWSTR name, DWORD value) { return SetValue(name, REG_DWORD, &value, sizeof(value)); }

LONG CRegKeyImpl::SetQWORDValue(LPCWSTR name, ULONGLONG value) {
    return SetValue(name, REG_QWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type) {
    if (text == nullptr) return ERROR_INVALID_DATA;
    return SetValue(name, type, text, static_cast<ULONG>((std::wcslen(text) + 1) * sizeof(wchar_t)));
}

LONG CRegKeyImpl::SetMultiStringValue(LPCWSTR name, LPCWSTR multiString) {
    if (multiString == nullptr) return ERROR_INVALID_DATA;
    std::size_t bytes = 0;
    for (LPCWSTR part = multiString;;) {
        const std::size_t length = std::wcslen(part);
        bytes += (length + 1) * sizeof(wchar_t);
        if (length == 0) break;
        part += length + 1;
    }
    return SetValue(name, REG_MULTI_SZ, multiString, static_cast<ULONG>(bytes));
}

LONG CRegKeyImpl::QueryGUIDValue(LPCWSTR name, GUID& value) {
    value = GUID_NULL;
    wchar_t text[64] = {};
    ULONG chars = 64;
    const LONG result = QueryStringBuffer(name, text, &chars);
    if (result != ERROR_SUCCESS) return result;
    // Without the brace CLSIDFromString would also take a ProgID and look it up.
    GUID parsed = GUID_NULL;
    if (text[0] != L'{' || FAILED(::CLSIDFromString(text, &parsed))) return ERROR_INVALID_DATA;
    value = parsed;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryBinaryValue(LPCWSTR name, void* data, ULONG* size) {
    if (m_key == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    const LONG result = QueryValue(name, &type, data, size);
    if (result != ERROR_SUCCESS) return result;
    return type == REG_BINARY ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

// A REG_DWORD may hold fewer than 4 bytes (RegSetValueExW takes any size, and some systems'
// registries return the short data as it is): only exactly 4 (or 8 for REG_QWORD) bytes count.
template <class Value>
LONG CRegKeyImpl::QueryFixedSizeValue(LPCWSTR name, DWORD expectedType, Value& value) {
    if (m_key == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    Value data = 0;
    ULONG size = sizeof(data);
    const LONG result = QueryValue(name, &type, &data, &size);
    if (result != ERROR_SUCCESS) return result;
    if (type != expectedType || size != sizeof(data)) return ERROR_INVALID_DATA;
    value = data;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryDWORDValue(LPCWSTR name, DWORD& value) { return QueryFixedSizeValue(name, REG_DWORD, value); }

LONG CRegKeyImpl::QueryQWORDValue(LPCWSTR name, ULONGLONG& value) {
    return QueryFixedSizeValue(name, REG_QWORD, value);
}

LONG CRegKeyImpl::QueryStringValue(LPCWSTR name, std::wstring& value) {
    ULONG chars = 0;
    LONG result = QueryStringBuffer(name, nullptr, &chars);
    if (result != ERROR_SUCCESS) return result;
    // One character more than asked: an odd byte count then fails its check (13) instead of
    // looking too large for the buffer sized from it (234).
    chars += 1;
    const std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[chars]);
    if (!buffer) return ERROR_OUTOFMEMORY;
    const ULONG capacity = chars;
    result = QueryStringBuffer(name, buffer.get(), &chars);
    if (result != ERROR_SUCCESS) return result;
    value.assign(buffer.get(), std::find(buffer.get(), buffer.get() + capacity, L'\0'));
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryStringBuffer(LPCWSTR name, LPWSTR buffer, ULONG* chars) {
    if (m_key == nullptr || chars == nullptr) return ERROR_INVALID_PARAMETER;
    const ULONG capacity = *chars;
    ULONG bytes = CharsToBytes(capacity);
    *chars = 0;
    DWORD type = REG_NONE;
    const LONG result = QueryValue(name, &type, buffer, &bytes);
    if (result != ERROR_SUCCESS) return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    if (buffer != nullptr) {
        if (bytes == 0) {
            if (capacity > 0) buffer[0] = L'\0';
        } else if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0') {
            return ERROR_INVALID_DATA;
        }
    }
    *chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars) {
    if (chars == nullptr) return ERROR_INVALID_PARAMETER;
    if (buffer != nullptr && *chars < 2) return ERROR_INSUFFICIENT_BUFFER;
    if (m_key == nullptr) return ERROR_INVALID_PARAMETER;
    ULONG bytes = CharsToBytes(*chars);
    *chars = 0;
    DWORD type = REG_NONE;
    const LONG result = QueryValue(name, &type, buffer, &bytes);
    if (result != ERROR_SUCCESS) return result;
    if (type != REG_MULTI_SZ) return ERROR_INVALID_DATA;
    if (buffer != nullptr) {
        const ULONG count = bytes / sizeof(wchar_t);
        if (bytes % sizeof(wchar_t) != 0 || bytes < sizeof(wchar_t) || buffer[count - 1] != L'\0' ||
            (count >= 2 && buffer[count - 2] != L'\0')) {
            return ERROR_INVALID_DATA;
        }
    }
    *chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD size) {
    if (m_key == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegGetKeySecurity(m_key, information, descriptor, size);
}

LONG CRegKeyImpl::SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
    if (m_key == nullptr || descriptor == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegSetKeySecurity(m_key, information, descriptor);
}

LONG CRegKeyImpl::Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass, DWORD options, REGSAM access,
                         LPSECURITY_ATTRIBUTES attributes, LPDWORD disposition) {
    UniqueHKey created;
    DWORD createdDisposition = 0;
    const LONG result = ::RegCreateKeyExW(parent, subKey, 0, keyClass, options, access, attributes, created.Put(),
                                          &createdDisposition);
    if (disposition != nullptr) *disposition = result == ERROR_SUCCESS ? createdDisposition : 0;
    if (result != ERROR_SUCCESS) return result;
    // The old key goes only now: `parent` may be the very key held so far.
    const LONG closed = Close();
    m_key = created.Take();
    m_viewBits = access & kViewMask;
    m_deleteOnClose = false;
    return closed;
}

LONG CRegKeyImpl::Open(HKEY parent, LPCWSTR subKey, REGSAM access) {
    UniqueHKey opened;
    const LONG result = ::RegOpenKeyExW(parent, subKey, 0, access, opened.Put());
    if (result != ERROR_SUCCESS) return result;
    const LONG closed = Close();
    m_key = opened.Take();
    m_viewBits = access & kViewMask;
    m_deleteOnClose = false;
    return closed;
}

LONG CRegKeyImpl::Close() {
    if (m_key == nullptr) {
        m_viewBits = 0;
        return ERROR_SUCCESS;
    }
    if (m_deleteOnClose) {
        ::SHDeleteKeyW(m_key, L"");
        // Wine's SHDeleteKeyW empties the key but leaves it; on Windows this finds it gone.
        ::RegDeleteKeyW(m_key, L"");
        m_deleteOnClose = false;
    }
    const LONG result = ::RegCloseKey(m_key);
    m_key = nullptr;
    m_viewBits = 0;
    return result;
}

LONG CRegKeyImpl::Flush() {
    if (m_key == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegFlushKey(m_key);
}

HKEY CRegKeyImpl::Detach() {
    const HKEY key = m_key;
    m_key = nullptr;
    m_viewBits = 0;
    m_deleteOnClose = false;
    return key;
}

void CRegKeyImpl::Attach(HKEY key) {
    m_key = key;
    m_viewBits = 0;
    m_deleteOnClose = false;
}

LONG CRegKeyImpl::EnumKey(DWORD index, LPWSTR name, LPDWORD nameLength, FILETIME* lastWriteTime) {
    if (m_key == nullptr) return ERROR_INVALID_PARAMETER;
    FILETIME unused = {};
    return ::RegEnumKeyExW(m_key, index, name, nameLength, nullptr, nullptr, nullptr,
                           lastWriteTime != nullptr ? lastWriteTime : &unused);
}

LONG CRegKeyImpl::NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous) {
    if (m_key == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegNotifyChangeKeyValue(m_key, watchSubtree, notifyFilter, event, asynchronous);
}

LONG CRegKeyImpl::DeleteSubKey(LPCWSTR subKey) {
    if (m_key == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
    const RegDeleteKeyExWFunction deleteKeyEx = RegDeleteKeyExWIfExported();
    if (deleteKeyEx != nullptr) return deleteKeyEx(m_key, subKey, m_viewBits, 0);
    return ::RegDeleteKeyW(m_key, subKey);
}

LONG CRegKeyImpl::RecurseDeleteKey(LPCWSTR subKey) {
    // A null name would open the held key itself and empty it before DeleteSubKey refused.
    if (m_key == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
    CRegKeyImpl tree;
    LONG result = tree.Open(m_key, subKey, m_viewBits | KEY_READ | KEY_WRITE);
    if (result != ERROR_SUCCESS) return result;
    for (;;) {
        // Always index 0: the child just deleted is gone.
        wchar_t child[kSubKeyNameChars];
        DWORD length = kSubKeyNameChars;
        FILETIME unused = {};
        if (::RegEnumKeyExW(tree.GetHandle(), 0, child, &length, nullptr, nullptr, nullptr, &unused) !=
            ERROR_SUCCESS) {
            break;
        }
        result = tree.RecurseDeleteKey(child);
        if (result != ERROR_SUCCESS) return result;
    }
    tree.Close();
    return DeleteSubKey(subKey);
}

LONG CRegKeyImpl::DeleteValue(LPCWSTR name) {
    if (m_key == nullptr || name == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegDeleteValueW(m_key, name);
}

LONG CRegKeyImpl::GrantEveryoneFullAccess(bool recursive) {
    if (m_key == nullptr) return ERROR_INVALID_PARAMETER;
    CAdvapi32Loader security;
    if (!security.IsNT()) return ERROR_SUCCESS;
    if (!security.Load()) return ERROR_FILE_NOT_FOUND;

    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    UniqueSid everyone;
    if (!security.AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                           everyone.Put())) {
        return LastErrorOfFailedCall();
    }
    return GrantToTree(security, m_key, m_viewBits, everyone.Get(), recursive);
}

void CRegKeyImpl::SetDeleteOnClose(bool deleteOnClose) { m_deleteOnClose = deleteOnClose; }

bool CRegKeyImpl::IsDeleteOnClose() const { return m_deleteOnClose; }

}  // namespace internal

CRegKey::CRegKey() : m_impl(std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl)
    : m_impl(impl ? std::move(impl) : std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::~CRegKey() { m_impl->Close(); }

LONG CRegKey::QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size) {
    return m_impl->QueryValue(name, type, data, size);
}
LONG CRegKey::SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size) {
    return m_impl->SetValue(name, type, data, size);
}
LONG CRegKey::SetGUIDValue(LPCWSTR name, REFGUID value) { return m_impl->SetGUIDValue(name, value); }
LONG CRegKey::SetBinaryValue(LPCWSTR name, const void* data, ULONG size) {
    return m_impl->SetBinaryValue(name, data, size);
}
LONG CRegKey::SetDWORDValue(LPCWSTR name, DWORD value) { return m_impl->SetDWORDValue(name, value); }
LONG CRegKey::SetQWORDValue(LPCWSTR name, ULONGLONG value) { return m_impl->SetQWORDValue(name, value); }
LONG CRegKey::SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type) {
    return m_impl->SetStringValue(name, text, type);
}
LONG CRegKey::SetMultiStringValue(LPCWSTR name, LPCWSTR multiString) {
    return m_impl->SetMultiStringValue(name, multiString);
}
LONG CRegKey::QueryGUIDValue(LPCWSTR name, GUID& value) { return m_impl->QueryGUIDValue(name, value); }
LONG CRegKey::QueryBinaryValue(LPCWSTR name, void* data, ULONG* size) {
    return m_impl->QueryBinaryValue(name, data, size);
}
LONG CRegKey::QueryDWORDValue(LPCWSTR name, DWORD& value) { return m_impl->QueryDWORDValue(name, value); }
LONG CRegKey::QueryQWORDValue(LPCWSTR name, ULONGLONG& value) { return m_impl->QueryQWORDValue(name, value); }
LONG CRegKey::QueryStringValue(LPCWSTR name, std::wstring& value) { return m_impl->QueryStringValue(name, value); }
LONG CRegKey::QueryStringBuffer(LPCWSTR name, LPWSTR buffer, ULONG* chars) {
    return m_impl->QueryStringBuffer(name, buffer, chars);
}
LONG CRegKey::QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars) {
    return m_impl->QueryMultiStringValue(name, buffer, chars);
}
LONG CRegKey::GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD size) {
    return m_impl->GetKeySecurity(information, descriptor, size);
}
LONG CRegKey::SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
    return m_impl->SetKeySecurity(information, descriptor);
}
LONG CRegKey::Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES attributes, LPDWORD disposition) {
    return m_impl->Create(parent, subKey, keyClass, options, access, attributes, disposition);
}
LONG CRegKey::Open(HKEY parent, LPCWSTR subKey, REGSAM access) { return m_impl->Open(parent, subKey, access); }
LONG CRegKey::Flush() { return m_impl->Flush(); }
LONG CRegKey::EnumKey(DWORD index, LPWSTR name, LPDWORD nameLength, FILETIME* lastWriteTime) {
    return m_impl->EnumKey(index, name, nameLength, lastWriteTime);
}
LONG CRegKey::NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous) {
    return m_impl->NotifyChangeKeyValue(watchSubtree, notifyFilter, event, asynchronous);
}
LONG CRegKey::DeleteSubKey(LPCWSTR subKey) { return m_impl->DeleteSubKey(subKey); }
LONG CRegKey::RecurseDeleteKey(LPCWSTR subKey) { return m_impl->RecurseDeleteKey(subKey); }
LONG CRegKey::DeleteValue(LPCWSTR name) { return m_impl->DeleteValue(name); }
LONG CRegKey::GrantEveryoneFullAccess(bool recursive) { return m_impl->GrantEveryoneFullAccess(recursive); }

}  // namespace Tessal
