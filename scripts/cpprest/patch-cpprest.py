#!/usr/bin/env python3
"""Edits cpprestsdk 2.10.18 (Debian's orig tarball) so that it builds with MinGW-w64 g++.

Usage: patch-cpprest.py <source root holding Release/>

Every edit names the exact text it replaces and how often that text occurs; any difference
stops the build, so a new upstream version cannot be half-edited in silence.
"""
import pathlib
import sys

EDITS = []


def edit(path, old, new, count=1):
    EDITS.append((path, old, new, count))


# 1. MinGW's headers are lower case and Linux file names are case-sensitive.
edit("Release/src/pch/stdafx.h", "#include <SDKDDKVer.h>", "#include <sdkddkver.h>")
for path in ("Release/src/utilities/web_utilities.cpp",
             "Release/src/http/common/x509_cert_utilities.h",
             "Release/src/http/client/http_client_winhttp.cpp"):
    edit(path, "#include <Wincrypt.h>", "#include <wincrypt.h>")
edit("Release/src/http/client/http_client_winhttp.cpp",
     "#include <VersionHelpers.h>", "#include <versionhelpers.h>")

# 2. The Windows branch assumes MSVC: noexcept, _ASSERTE, __assume and _ReturnAddress.
edit("Release/include/cpprest/details/cpprest_compat.h",
     "#if _MSC_VER >= 1900\n#define CPPREST_NOEXCEPT noexcept",
     "#if _MSC_VER >= 1900 || defined(__GNUC__)\n#define CPPREST_NOEXCEPT noexcept")
edit("Release/include/cpprest/details/cpprest_compat.h",
     "#include <sal.h>\n",
     """#include <sal.h>

#if defined(__GNUC__)
#include <crtdbg.h>
#include <intrin.h>
#ifndef __assume
#define __assume(x)                                                                                                    \\
    do                                                                                                                 \\
    {                                                                                                                  \\
        if (!(x)) __builtin_unreachable();                                                                             \\
    } while (false)
#endif
// Declared by MinGW's intrin.h but defined nowhere.
#define _ReturnAddress() __builtin_return_address(0)
#endif // __GNUC__
""")

# 3. MinGW's C_ASSERT declares an extern array, which is illegal inside class templates.
#    Only this header gets a static_assert version; <ws2tcpip.h> and friends keep their own.
edit("Release/include/cpprest/details/SafeInt3.hpp",
     """#ifndef C_ASSERT
#define C_ASSERT_DEFINED_SAFEINT
#define C_ASSERT(e) typedef char __C_ASSERT__[(e) ? 1 : -1]
#endif
""",
     """#if defined(__MINGW32__)
#pragma push_macro("C_ASSERT")
#undef C_ASSERT
#define C_ASSERT(e) static_assert((e), #e)
#define C_ASSERT_PUSHED_SAFEINT
#elif !defined(C_ASSERT)
#define C_ASSERT_DEFINED_SAFEINT
#define C_ASSERT(e) typedef char __C_ASSERT__[(e) ? 1 : -1]
#endif
""")
edit("Release/include/cpprest/details/SafeInt3.hpp",
     """#ifdef C_ASSERT_DEFINED_SAFEINT
#undef C_ASSERT
#undef C_ASSERT_DEFINED_SAFEINT
#endif // C_ASSERT_DEFINED_SAFEINT
""",
     """#ifdef C_ASSERT_DEFINED_SAFEINT
#undef C_ASSERT
#undef C_ASSERT_DEFINED_SAFEINT
#endif // C_ASSERT_DEFINED_SAFEINT
#ifdef C_ASSERT_PUSHED_SAFEINT
#undef C_ASSERT
#pragma pop_macro("C_ASSERT")
#undef C_ASSERT_PUSHED_SAFEINT
#endif // C_ASSERT_PUSHED_SAFEINT
""")

# 4. GCC has no SEH; InitializeCriticalSection cannot fail since Vista anyway.
edit("Release/src/pplx/pplxwin.cpp",
     """    __try
    {
        ::InitializeCriticalSection(_cs);
    }
    __except (GetExceptionCode() == STATUS_NO_MEMORY ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH)
    {
        throw ::std::bad_alloc();
    }
""",
     """    ::InitializeCriticalSection(_cs);
""")

# 5. WININET_E_INCORRECT_HANDLE_STATE is missing from MinGW's headers; same code, WinHTTP's name.
edit("Release/src/http/client/http_client_winhttp.cpp",
     "errorCode == HRESULT_CODE(WININET_E_INCORRECT_HANDLE_STATE)",
     "errorCode == ERROR_WINHTTP_INCORRECT_HANDLE_STATE")

# 6. MinGW's msvcrt import library has no _wcstod_l. JSON number literals are ASCII.
edit("Release/src/json/json_parsing.cpp",
     """static double anystod(const wchar_t* str)
{
    return _wcstod_l(str, nullptr, utility::details::scoped_c_thread_locale::c_locale());
}
""",
     """static double anystod(const wchar_t* str)
{
    std::string narrow;
    for (; *str != L'\\0'; ++str)
    {
        narrow.push_back(*str < 0x80 ? static_cast<char>(*str) : '?');
    }
    return _strtod_l(narrow.c_str(), nullptr, utility::details::scoped_c_thread_locale::c_locale());
}
""")

# 7. No file streams (the win32 ones need MSVC); link names as MinGW spells them.
edit("Release/src/CMakeLists.txt",
     """elseif(CPPREST_FILEIO_IMPL STREQUAL "posix")
  target_sources(cpprest PRIVATE streams/fileio_posix.cpp)
else()""",
     """elseif(CPPREST_FILEIO_IMPL STREQUAL "posix")
  target_sources(cpprest PRIVATE streams/fileio_posix.cpp)
elseif(CPPREST_FILEIO_IMPL STREQUAL "none")
else()""")
edit("Release/src/CMakeLists.txt",
     """  target_link_libraries(cpprest PRIVATE
    Winhttp.lib
  )""",
     """  target_link_libraries(cpprest PRIVATE
    winhttp
  )""")

# 8. WinHttpSetTimeouts does not bound the wait for the response headers: under Wine a server
#    that accepts and never answers hangs the request forever unless this option is set too.
edit("Release/src/http/client/http_client_winhttp.cpp",
     """            if (!WinHttpSetTimeouts(m_hSession, milliseconds, milliseconds, milliseconds, milliseconds))
            {
                return GetLastError();
            }
""",
     """            if (!WinHttpSetTimeouts(m_hSession, milliseconds, milliseconds, milliseconds, milliseconds))
            {
                return GetLastError();
            }
            DWORD responseTimeout = static_cast<DWORD>(milliseconds);
            if (!WinHttpSetOption(m_hSession,
                                  WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT,
                                  &responseTimeout,
                                  sizeof(responseTimeout)))
            {
                return GetLastError();
            }
""")


def main(argv):
    if len(argv) != 2:
        sys.exit(f"usage: {argv[0]} <cpprestsdk source root>")
    root = pathlib.Path(argv[1])
    texts = {}
    for path, old, new, count in EDITS:
        if path not in texts:
            file = root / path
            if not file.is_file():
                sys.exit(f"patch-cpprest: {path} not found under {root}")
            texts[path] = file.read_text(encoding="utf-8")
        found = texts[path].count(old)
        if found != count:
            first_line = old.strip().splitlines()[0]
            sys.exit(f"patch-cpprest: {path}: expected {count} occurrence(s) of "
                     f"'{first_line}', found {found}")
        texts[path] = texts[path].replace(old, new)
    for path, text in texts.items():
        (root / path).write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main(sys.argv)
