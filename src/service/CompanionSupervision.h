// The package's companions: their names, the routines that validate and start them in the
// console user's session, and the threads that watch them for about 30 seconds after a
// start-up launch. Every start is preceded by the validation library's verdict on the file.
#pragma once

#include "process/ProcessToolkit.h"

#include <windows.h>
#include <atomic>
#include <mutex>
#include <string>

constexpr wchar_t kAgentName[] = L"FnKeyAgent.exe";    // the hotkey agent, kept to one instance
constexpr wchar_t kLockOsdName[] = L"FnKeyLockOsd.exe"; // the lock indicator; carries out the action switches
constexpr wchar_t kPackagedAppName[] = L"keyapp.exe";   // only ever terminated

// Serialises start-up launches, their closing pause included. Never destroyed: a detached
// launch may still run while the process exits.
extern std::mutex& g_launchMutex;
// 1 while _ThreadCheckRunningUtility keeps the agent to one instance.
extern std::atomic<LONG> g_nCheckRunning;

// The service's own directory with its trailing backslash; FALSE (and empty) when the
// service's image path cannot be read.
BOOL GetServiceDirectory(std::wstring* directory);

enum class CompanionSessions { Console, Any };
// The package's own copy of a companion: its file in the service's directory, running in the console session or any.
ProcessTarget CompanionTarget(const wchar_t* name, CompanionSessions sessions = CompanionSessions::Console);

// Start-up form: both companions, the lock indicator elevated and hidden, the agent with the
// user's own token; starts the agent's supervision unless it runs. TRUE when both files were
// accepted and at least one companion started. The return code is set to 0.
BOOL LaunchFnKeyAgentProcess(DWORD* returnCode);
// Switch form: the lock indicator, elevated and hidden, with the switch as its whole command
// line. TRUE when it started. The return code is set to 0.
BOOL LaunchFnKeyAgentProcess(const wchar_t* switchText, DWORD* returnCode);
// The named companion from the service's directory with the user's own token and the switch as
// its argument string. TRUE when it started. The return code is set to 0.
BOOL LaunchUserProcess(DWORD* returnCode, const wchar_t* programName, const wchar_t* switchText);

// Thread procedures; each ends by itself.
DWORD WINAPI _ThreadCheckRunningAndLaunch(LPVOID);
DWORD WINAPI _ThreadCheckRunningUtility(LPVOID);
DWORD WINAPI ThreadRunScreenSnipping(LPVOID);
DWORD WINAPI ThreadMETRICS_ON(LPVOID);
DWORD WINAPI ThreadMETRICS_OFF(LPVOID);
