#pragma once
// A VARIANT written out as text, so that a test can compare the buttons an alert carried with
// one string (the format is described with QvAlertCall in AlertControl.idl).

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace AlertStandIn {

// Throws std::bad_alloc or NuvCom::CHResultError.
std::wstring DescribeVariant(const VARIANT& value);

}  // namespace AlertStandIn
