#pragma once
// The exception that carries an HRESULT through C++ code up to the COM boundary.

#include <windows.h>

#include <stdexcept>

namespace NuvCom {

class CHResultError : public std::runtime_error {
public:
    // `what` names the failing call (narrow, like every std::exception text).
    CHResultError(HRESULT hr, const char* what) : std::runtime_error(what), m_hr(hr) {}

    HRESULT HResult() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

inline void ThrowIfFailed(HRESULT hr, const char* what) {
    if (FAILED(hr)) {
        throw CHResultError(hr, what);
    }
}

// For a failed Win32 call: the thread's last error as an HRESULT (E_FAIL when none was set).
[[noreturn]] inline void ThrowLastError(const char* what) {
    const DWORD error = ::GetLastError();
    throw CHResultError(error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error), what);
}

}  // namespace NuvCom
