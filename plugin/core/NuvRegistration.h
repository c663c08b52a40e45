#pragma once
// The plug-in's COM registration (class, ProgIDs, AppID and the AppID's pseudo class entry under
// HKEY_CLASSES_ROOT) and its entry in the proxy host's plug-in list.

#include <windows.h>

// Writes the AppID and the class keys for the DLL at `modulePath`; what was written is removed
// again on failure.
HRESULT RegisterNuvServer(const wchar_t* modulePath) noexcept;
// Removes those keys; a key already gone counts as removed.
HRESULT UnregisterNuvServer() noexcept;

// Adds or removes HKLM\Software\Oberix\QvProxy\Plugins\{CLSID} (Name "NUV", LateInit 0,
// Protocols 1). S_OK or E_FAIL (logged).
HRESULT registerWithQvProxy(bool add) noexcept;
