#include "nuvutil/com/ComBoundary.h"

#include "base/Logging/Logger.h"
#include "nuvutil/com/HResultError.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <system_error>

namespace NuvCom {

namespace {

HRESULT Logged(const wchar_t* where, HRESULT hr, const char* what) noexcept {
    TESSAL_LOG(Tessal::LOG_TYPE_ERROR, L"%s: exception \"%hs\" returned as 0x%08lX", where ? where : L"?",
               what ? what : "", static_cast<unsigned long>(hr));
    return hr;
}

}  // namespace

HRESULT HResultFromCurrentException(const wchar_t* where) noexcept {
    if (!std::current_exception()) {
        return Logged(where, E_UNEXPECTED, "no exception in flight");
    }
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        return Logged(where, E_OUTOFMEMORY, e.what());
    } catch (const CHResultError& e) {
        // A success code here would report a failed call as done.
        return Logged(where, FAILED(e.HResult()) ? e.HResult() : E_FAIL, e.what());
    } catch (const std::system_error& e) {
        const int code = e.code().value();
        const bool win32 = e.code().category() == std::system_category() && code != 0;
        return Logged(where, win32 ? HRESULT_FROM_WIN32(static_cast<DWORD>(code)) : E_FAIL, e.what());
    } catch (const std::invalid_argument& e) {
        return Logged(where, E_INVALIDARG, e.what());
    } catch (const std::exception& e) {
        return Logged(where, E_FAIL, e.what());
    } catch (...) {
        return Logged(where, E_UNEXPECTED, "unknown exception");
    }
}

const char* CurrentExceptionText() noexcept {
    if (!std::current_exception()) return "no exception in flight";
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();  // the object outlives this block: the caller's catch still holds it
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace NuvCom
