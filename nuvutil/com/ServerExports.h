#pragma once
// The four exports of an in-process server whose table says it all, at namespace scope of one
// source file (the .def file lists them):
//
//     NUVCOM_SERVER_EXPORTS(kServer)
//
// A server that adds to an export (a gate, logging, keys of its own) writes that one with the same
// calls: NuvCom::GetClassObject, CModule::CanUnloadNow, RegisterServer, UnregisterServer.

#include "nuvutil/com/ClassFactory.h"
#include "nuvutil/com/Module.h"
#include "nuvutil/com/Registration.h"

#include <olectl.h>

#define NUVCOM_SERVER_EXPORTS(server)                                                 \
    STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {               \
        return ::NuvCom::GetClassObject((server), clsid, riid, ppv);                  \
    }                                                                                 \
    STDAPI DllCanUnloadNow() { return ::NuvCom::CModule::CanUnloadNow(); }            \
    STDAPI DllRegisterServer() { return ::NuvCom::RegisterServer((server)); }         \
    STDAPI DllUnregisterServer() { return ::NuvCom::UnregisterServer((server)); }
