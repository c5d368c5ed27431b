// The one walk over the system's process list and the one switch of the debug privilege,
// shared by the toolkit, the launch ways and the service's quiet running checks.
#pragma once

#include <windows.h>
#include <tlhelp32.h>
#include <functional>

enum class ProcessWalk { Completed, NoSnapshot, NoFirstEntry };

// Calls visit for each process of one fresh snapshot, every session included, until it
// returns false. The callers log the two ways the walk cannot begin in their own words.
ProcessWalk WalkProcesses(const std::function<bool(const PROCESSENTRY32W&)>& visit);

// Switches SeDebugPrivilege of the token on (SE_PRIVILEGE_ENABLED) or off (0). FALSE when the
// privilege cannot be looked up or set; the token then stays as it was.
BOOL SetDebugPrivilege(HANDLE token, DWORD attributes);
