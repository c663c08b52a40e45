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
//
// For a process the test cannot reach in at all (the proxy host with the plug-in), the variable
// QvPSConfig_COMMANDS names a file the service watches: every complete line appended to it is
// applied as a state line, and "event changed" fires OnConfigChanged to the subscribers, as the
// real service does after its settings were edited.

#include <windows.h>

namespace QvConfigStandIn {

class CConfigService;

constexpr const wchar_t* kStateFileVariable = L"QvPSConfig_STATE";
constexpr const wchar_t* kUnavailableVariable = L"QvPSConfig_UNAVAILABLE";
constexpr const wchar_t* kCommandFileVariable = L"QvPSConfig_COMMANDS";
// _IQvPSConfigEvents::OnConfigChanged.
constexpr LONG kOnConfigChangedDispId = 1;

// Applies the file named by the variable; a line it cannot use is skipped.
void LoadStateFile(CConfigService& service);
// Starts watching the command file when the variable names one (a thread of the process's life).
void WatchCommandFile(CConfigService& service);
bool IsServiceUnavailable();

}  // namespace QvConfigStandIn
