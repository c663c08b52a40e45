#pragma once
// Every COM method, exported function and callback of a COM server turns C++ exceptions into an
// HRESULT here; nothing crosses the boundary.
//
//     STDMETHODIMP CThing::Do(BSTR text) {
//         return NuvCom::ComBoundary(L"CThing::Do", [&] { ...; return S_OK; });
//     }

#include <windows.h>

#include <utility>

namespace NuvCom {

// Call only inside a catch block (E_UNEXPECTED otherwise). Logs what was caught with `where`.
//   std::bad_alloc          -> E_OUTOFMEMORY
//   CHResultError           -> its HRESULT (E_FAIL if it carries a success code)
//   std::system_error       -> HRESULT_FROM_WIN32(code) for the system category, else E_FAIL
//   std::invalid_argument   -> E_INVALIDARG
//   other std::exception    -> E_FAIL
//   anything else           -> E_UNEXPECTED
HRESULT HResultFromCurrentException(const wchar_t* where) noexcept;

// Call only inside a catch block: the text of the exception in flight, for a log line (what() of a
// standard exception, "unknown exception" for anything else). Valid while that catch block runs.
const char* CurrentExceptionText() noexcept;

template <class Body>
HRESULT ComBoundary(const wchar_t* where, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return HResultFromCurrentException(where);
    }
}

}  // namespace NuvCom
