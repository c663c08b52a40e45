#pragma once
// Registry key object: a thin facade over a shared implementation that owns one key handle. A
// derived facade installs another implementation to change how values are stored (scrambled
// values override only QueryValue and SetValue; every typed operation goes through those two).
// Every operation returns a Win32 code (0 success) and throws nothing but allocation failures.

#include <windows.h>

#include <memory>
#include <string>

namespace Tessal {
namespace internal {

class CRegKeyImpl {
public:
    CRegKeyImpl() noexcept = default;
    virtual ~CRegKeyImpl();
    CRegKeyImpl(const CRegKeyImpl&) = delete;
    CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;

    // Raw value access: the two operations a derived implementation replaces.
    virtual LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size);
    virtual LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size);

    virtual LONG SetGUIDValue(LPCWSTR name, REFGUID value);
    virtual LONG SetBinaryValue(LPCWSTR name, const void* data, ULONG size);
    virtual LONG SetDWORDValue(LPCWSTR name, DWORD value);
    virtual LONG SetQWORDValue(LPCWSTR name, ULONGLONG value);
    virtual LONG SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type = REG_SZ);
    virtual LONG SetMultiStringValue(LPCWSTR name, LPCWSTR multiString);
    virtual LONG QueryGUIDValue(LPCWSTR name, GUID& value);
    virtual LONG QueryBinaryValue(LPCWSTR name, void* data, ULONG* size);
    virtual LONG QueryDWORDValue(LPCWSTR name, DWORD& value);
    virtual LONG QueryQWORDValue(LPCWSTR name, ULONGLONG& value);
    virtual LONG QueryStringValue(LPCWSTR name, std::wstring& value);
    virtual LONG QueryStringBuffer(LPCWSTR name, LPWSTR buffer, ULONG* chars);
    virtual LONG QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars);
    virtual LONG GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD size);
    virtual LONG SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    virtual LONG Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass = nullptr, DWORD options = REG_OPTION_NON_VOLATILE,
                        REGSAM access = KEY_READ | KEY_WRITE, LPSECURITY_ATTRIBUTES attributes = nullptr,
                        LPDWORD disposition = nullptr);
    virtual LONG Open(HKEY parent, LPCWSTR subKey, REGSAM access = KEY_READ | KEY_WRITE);
    virtual LONG Close();
    virtual LONG Flush();
    virtual HKEY Detach();
    virtual void Attach(HKEY key);
    virtual LONG EnumKey(DWORD index, LPWSTR name, LPDWORD nameLength, FILETIME* lastWriteTime = nullptr);
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous = TRUE);
    virtual LONG DeleteSubKey(LPCWSTR subKey);
    virtual LONG RecurseDeleteKey(LPCWSTR subKey);
    virtual LONG DeleteValue(LPCWSTR name);
    virtual LONG GrantEveryoneFullAccess(bool recursive);
    virtual void SetDeleteOnClose(bool deleteOnClose);
    virtual bool IsDeleteOnClose() const;

    HKEY GetHandle() const noexcept { return m_key; }
    REGSAM GetViewBits() const noexcept { return m_viewBits; }

private:
    // Typed reads of values that must be exactly sizeof(Value) bytes of the given type.
    template <class Value>
    LONG QueryFixedSizeValue(LPCWSTR name, DWORD expectedType, Value& value);

    HKEY m_key = nullptr;
    REGSAM m_viewBits = 0;  // KEY_WOW64_64KEY | KEY_WOW64_32KEY bits the key was opened with
    bool m_deleteOnClose = false;
};

}  // namespace internal

class CRegKey {
public:
    CRegKey();
    // Uses the given implementation; an empty pointer gets a plain one.
    explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl);
    virtual ~CRegKey();
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    operator HKEY() const noexcept { return m_impl->GetHandle(); }
    void Attach(HKEY key) { m_impl->Attach(key); }
    HKEY Detach() { return m_impl->Detach(); }
    LONG Close() { return m_impl->Close(); }

    // Delete-on-close and other implementation-only operations.
    internal::CRegKeyImpl& GetImpl() const noexcept { return *m_impl; }

    virtual LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size);
    virtual LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size);
    virtual LONG SetGUIDValue(LPCWSTR name, REFGUID value);
    virtual LONG SetBinaryValue(LPCWSTR name, const void* data, ULONG size);
    virtual LONG SetDWORDValue(LPCWSTR name, DWORD value);
    virtual LONG SetQWORDValue(LPCWSTR name, ULONGLONG value);
    virtual LONG SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type = REG_SZ);
    virtual LONG SetMultiStringValue(LPCWSTR name, LPCWSTR multiString);
    virtual LONG QueryGUIDValue(LPCWSTR name, GUID& value);
    virtual LONG QueryBinaryValue(LPCWSTR name, void* data, ULONG* size);
    virtual LONG QueryDWORDValue(LPCWSTR name, DWORD& value);
    virtual LONG QueryQWORDValue(LPCWSTR name, ULONGLONG& value);
    virtual LONG QueryStringValue(LPCWSTR name, std::wstring& value);
    virtual LONG QueryStringBuffer(LPCWSTR name, LPWSTR buffer, ULONG* chars);
    virtual LONG QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars);
    virtual LONG GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD size);
    virtual LONG SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    virtual LONG Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass = nullptr, DWORD options = REG_OPTION_NON_VOLATILE,
                        REGSAM access = KEY_READ | KEY_WRITE, LPSECURITY_ATTRIBUTES attributes = nullptr,
                        LPDWORD disposition = nullptr);
    virtual LONG Open(HKEY parent, LPCWSTR subKey, REGSAM access = KEY_READ | KEY_WRITE);
    virtual LONG Flush();
    virtual LONG EnumKey(DWORD index, LPWSTR name, LPDWORD nameLength, FILETIME* lastWriteTime = nullptr);
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous = TRUE);
    virtual LONG DeleteSubKey(LPCWSTR subKey);
    virtual LONG RecurseDeleteKey(LPCWSTR subKey);
    virtual LONG DeleteValue(LPCWSTR name);
    virtual LONG GrantEveryoneFullAccess(bool recursive);

private:
    std::shared_ptr<internal::CRegKeyImpl> m_impl;
};

}  // namespace Tessal
