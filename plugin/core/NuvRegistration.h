#pragma once
// The plug-in's entry in the proxy host's plug-in list. Its COM keys are described by the DLL's
// server table (nuv.cpp).

#include <windows.h>

// Adds or removes HKLM\Software\Oberix\QvProxy\Plugins\{CLSID} (Name "NUV", LateInit 0,
// Protocols 1). S_OK or E_FAIL (logged).
HRESULT registerWithQvProxy(bool add) noexcept;
