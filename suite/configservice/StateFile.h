#pragma once
// The service's stored state, for processes the tests cannot reach in: when the environment
// variable QvPSConfig_STATE names a file, the service starts with the users, settings and sign-ins
// it lists. One entry a line, fields separated by single blanks; '#' starts a comment:
//
//   user <id> <Windows account name>
//   setting <user id> <setting id> bool|int|text <value>     (text: the rest of the line)
//   product <setting id> bool|int|text <value>
//   signin <Windows session id> <user id>
//   fault <call name>                                       (every such call raises an access violation)
//
// QvPSConfig_UNAVAILABLE=1 makes the service's class unavailable, as when it is not installed.

namespace QvConfigStandIn {

class CConfigService;

constexpr const wchar_t* kStateFileVariable = L"QvPSConfig_STATE";
constexpr const wchar_t* kUnavailableVariable = L"QvPSConfig_UNAVAILABLE";

// Applies the file named by the variable; a line it cannot use is skipped.
void LoadStateFile(CConfigService& service);
bool IsServiceUnavailable();

}  // namespace QvConfigStandIn
