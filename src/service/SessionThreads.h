// What the service does when the console session changes: relaunch the companions after a
// connect, a logon or an unlock, and end them on a disconnect. Each thread is detached and ends
// by itself; the waits that watch the quit event end it early when the service stops.
#pragma once

#include <windows.h>

DWORD WINAPI Thread_HotkeyUtilityProcessKillAndCreate(LPVOID);   // console connect, logon
DWORD WINAPI _Thread_HotkeyUtilityProcessCheckAndCreate(LPVOID); // unlock, supervision
DWORD WINAPI _Thread_HotkeyUtilityProcessAndKill(LPVOID);        // console disconnect
