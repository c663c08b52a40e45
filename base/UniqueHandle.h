#pragma once
// One owner per Win32 resource, released by its destructor.

#include <windows.h>

#include <utility>

namespace Tessal {

// Traits: `using Type = ...; static Type Invalid(); static bool IsValid(Type); static void Close(Type);`
template <class Traits>
class UniqueAny {
public:
    using Type = typename Traits::Type;

    UniqueAny() noexcept : m_value(Traits::Invalid()) {}
    explicit UniqueAny(Type value) noexcept : m_value(value) {}
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : m_value(other.Take()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) Reset(other.Take());
        return *this;
    }
    ~UniqueAny() { Reset(); }

    bool IsValid() const noexcept { return Traits::IsValid(m_value); }
    explicit operator bool() const noexcept { return IsValid(); }
    Type Get() const noexcept { return m_value; }

    // Closing keeps the caller's last error: the reset usually sits between a failing call
    // and the GetLastError that reports it.
    void Reset(Type value = Traits::Invalid()) noexcept {
        if (Traits::IsValid(m_value)) {
            const DWORD lastError = ::GetLastError();
            Traits::Close(m_value);
            ::SetLastError(lastError);
        }
        m_value = value;
    }

    [[nodiscard]] Type Take() noexcept { return std::exchange(m_value, Traits::Invalid()); }

    // For out-parameters of creating calls; releases what was held first.
    Type* Put() noexcept {
        Reset();
        return &m_value;
    }

private:
    Type m_value;
};

namespace handle_traits {

struct Kernel {  // NULL and INVALID_HANDLE_VALUE both mean "none"
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};

struct Find {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};

struct RegistryKey {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::RegCloseKey(h); }
};

struct Library {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { ::FreeLibrary(h); }
};

struct CoTaskMem {
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static void Close(Type p);  // CoTaskMemFree, defined out of line to keep ole32 out of this header
};

struct LocalMem {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static void Close(Type p) { ::LocalFree(p); }
};

struct Sid {  // from AllocateAndInitializeSid
    using Type = PSID;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type sid) { return sid != nullptr; }
    static void Close(Type sid) { ::FreeSid(sid); }
};

}  // namespace handle_traits

using UniqueHandle = UniqueAny<handle_traits::Kernel>;
using UniqueFindHandle = UniqueAny<handle_traits::Find>;
using UniqueHKey = UniqueAny<handle_traits::RegistryKey>;
using UniqueHModule = UniqueAny<handle_traits::Library>;
using UniqueCoTaskMem = UniqueAny<handle_traits::CoTaskMem>;
using UniqueLocalMem = UniqueAny<handle_traits::LocalMem>;
using UniqueSid = UniqueAny<handle_traits::Sid>;

}  // namespace Tessal
