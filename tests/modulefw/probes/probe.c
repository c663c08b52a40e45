/* A module DLL as the host's loader expects one: four exports, CreateObject answering one
   interface version. PROBE_WITHOUT_VERSION_NUM leaves the last export out. */
#include <stdint.h>

static int g_object = 42;

__declspec(dllexport) void* CreateObject(uint32_t version) { return version == 7u ? &g_object : 0; }

__declspec(dllexport) void ReleaseObject(void) {}

__declspec(dllexport) const char* GetVersionStr(void) { return "3.1.4.1"; }

#ifndef PROBE_WITHOUT_VERSION_NUM
__declspec(dllexport) uint32_t GetVersionNum(void) { return 3010401u; }
#endif
