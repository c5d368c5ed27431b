// Finding, counting and terminating processes by executable file name. Every operation
// takes a fresh Tool Help snapshot, looks at the processes of every session and compares
// names without regard to letter case. None keeps state or takes a lock.
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

// Ids of the processes whose file name equals the name as a whole, in snapshot order.
// Empty when none runs, when the snapshot fails, or for a null name.
std::vector<DWORD> FindRunningProcess(const wchar_t* processName);

// Terminates (exit code 0) every process whose file name equals the name as a whole.
// A process that cannot be opened for termination is passed over.
void KillProcessesByName(const wchar_t* processName);

// Terminates every listed process except those created at the newest creation time among
// them, and only those carrying the newest one's executable file name. Ids whose creation time
// or image cannot be read are left alone; each process ends through the handle its times were
// read from.
void KillProcessesExceptNewest(const std::vector<DWORD>& processIds);

// Terminates every process whose file name matches the name over its first 11 characters
// (so "FnKeyAgent.exe" also matches "FnKeyAgent.old.exe"), in every session. TRUE when at
// least one matching process could be opened for termination. A null name matches nothing.
BOOL IsExistHotkeyUtilityProcessAndKill(const wchar_t* processName);

// The console session's id and the name of the user logged on there; TRUE when the name was
// read. Either output may be null.
BOOL GetCurrentUserNameAndSessionId(DWORD* sessionId, std::wstring* userName);

// Opens the process with this id and terminates it (exit code 0) through that handle, but only when
// the image behind the handle has a file name matching the name over compareLength characters
// (letter case ignored): an id taken from a snapshot may belong to another program by now. TRUE when
// opened and matching, whatever the termination gave (that goes to *terminated, which may be null).
BOOL TerminateProcessNamed(DWORD processId, const wchar_t* name, size_t compareLength, BOOL* terminated = nullptr);

// Whether a process with exactly this file name runs in any session.
BOOL ProgressIsRunning(const wchar_t* processName);

// The part of KillProcessesExceptNewest that does not touch the platform.
namespace processchoice {

struct ProcessCreation {
    DWORD processId;
    uint64_t creationTime; // FILETIME read as one number, 100 ns units since 1601
    std::wstring fileName = {}; // of the image
};

// Given the readable creation times in the order the ids were listed, the ids to terminate,
// in ascending order: every distinct id whose creation time differs from the newest one and
// whose file name is the newest one's (letter case ignored). When an id occurs more than once,
// its first record counts.
std::vector<DWORD> ChooseProcessesToTerminate(const std::vector<ProcessCreation>& records);

} // namespace processchoice
