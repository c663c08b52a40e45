#pragma once
// The product's resource DLLs: "NuvRes2.dll" in the install folder, whose entries the custom
// "nuvuc.dll" beside it may override one by one, both loaded through the MUI runtime wrapper. A
// loader lives for one use (one block page, one image): the DLLs are loaded by Init and freed
// with the object. Results are 1 or 0; every failure is logged and nothing throws.

#include "base/UniqueHandle.h"
#include "nuvutil/SafeString.h"

#include <windows.h>

#include <string>

// A token of a text resource and the id of the string that replaces it.
struct NuvResToken {
    const wchar_t* token;
    UINT stringId;
};

class CNuvResLoader {
public:
    CNuvResLoader() noexcept = default;
    // Frees the resource DLL, then the custom one.
    virtual ~CNuvResLoader();
    CNuvResLoader(const CNuvResLoader&) = delete;
    CNuvResLoader& operator=(const CNuvResLoader&) = delete;

    // Loads both DLLs from the install folder; 1 when "NuvRes2.dll" loaded ("nuvuc.dll" may be
    // missing). 0 when it is already loaded: a failed Init may be called again.
    BOOL Init();

    // The string of the id, from "nuvuc.dll" when it has it; strings of up to 10238 characters.
    // The text is empty when the string does not load.
    BOOL LoadStringW(UINT id, CSafeStringW& text);

    // A copy of the resource (type, id) in a new BYTE array the caller frees with delete[].
    BOOL LoadImageW(int id, const wchar_t* type, BYTE** bytes, DWORD* size);

    // The UTF-16 text resource (type, name) with every occurrence of each token replaced by its
    // string, in array order. A string that does not load leaves its token and gives 0; the other
    // tokens are still replaced.
    BOOL ReplaceTokens(const wchar_t* type, const wchar_t* name, const NuvResToken* tokens, DWORD count,
                       CSafeStringW& page);

protected:
    // The "Install Dir" value, not expanded, with a trailing "\" when asked.
    bool _GetNuvPath(std::wstring& path, bool withSeparator);
    // The resource's data from the custom DLL when it has it, else from the resource DLL.
    HGLOBAL _LoadResource(const wchar_t* name, const wchar_t* type, DWORD* size);
    // Characters copied (LoadString's count), from the custom DLL when it has the string.
    int _LoadString(UINT id, wchar_t* buffer, int capacity);

private:
    Tessal::UniqueHModule m_resourceModule;  // "NuvRes2.dll"
    Tessal::UniqueHModule m_customModule;    // "nuvuc.dll", empty when absent
};
