// Finding, counting and terminating processes: by executable file name, or, for the package's own programs, by
// the full path of their image and their session. Each call takes a fresh Tool Help snapshot; none keeps state or
// takes a lock.
#pragma once

#include <windows.h>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A count of characters that compares whole names.
constexpr size_t kWholeName = static_cast<size_t>(-1);

// The processes an operation is after. A file name alone matches whoever runs a program of that name; an image path
// and a session narrow it to the one file and the one session that can only be the package's own.
struct ProcessTarget {
    std::wstring fileName;               // compared without regard to letter case over nameLength characters
    std::wstring imagePath = {};         // when set: the image's full path, compared as the platform compares paths
    std::optional<DWORD> sessionId = {}; // when set: the only session whose processes count
    size_t nameLength = kWholeName;      // when no image path is set
};

// Ids of the processes whose file name equals the name as a whole, in snapshot order; empty for none or a null name.
std::vector<DWORD> FindRunningProcess(const wchar_t* processName);
// Ids of the target's processes, in snapshot order; empty when none runs or the snapshot fails.
std::vector<DWORD> FindRunningProcess(const ProcessTarget& target);

// Terminates (exit code 0) every process whose file name equals the name as a whole; a null name matches nothing.
void KillProcessesByName(const wchar_t* processName);
// Terminates every process of the target, each through the handle its image and session were checked through.
void KillProcessesByName(const ProcessTarget& target);

// Terminates the listed processes of the target except those created at the newest time among them.
void KillProcessesExceptNewest(const std::vector<DWORD>& processIds, const ProcessTarget& target);

// Terminates, debug privilege on, every process whose file name matches over 11 characters; TRUE when one opened.
BOOL IsExistHotkeyUtilityProcessAndKill(const wchar_t* processName);
// Terminates every process of the target, debug privilege on; TRUE when at least one was opened and was the target's.
BOOL IsExistHotkeyUtilityProcessAndKill(const ProcessTarget& target);

// The console session's id and its user's name; TRUE when the name was read. Either output may be null.
BOOL GetCurrentUserNameAndSessionId(DWORD* sessionId, std::wstring* userName);

// Whether a process with exactly this file name runs in any session.
BOOL ProgressIsRunning(const wchar_t* processName);
// Whether a process of the target runs; quietly false when the snapshot cannot be taken.
bool TargetIsRunning(const ProcessTarget& target);

// The one open of a process that a kill may end: the platform's OpenProcess, where a test can put its own in front.
using OpenProcessFunction = HANDLE(WINAPI*)(DWORD access, BOOL inheritHandle, DWORD processId);
extern std::atomic<OpenProcessFunction> g_openProcessToEnd;

// The decisions of the operations above that do not touch the platform.
namespace processchoice {

// Whether a process with this image, running in this session, is one of the target's.
bool IsTarget(const std::wstring& imagePath, DWORD sessionId, const ProcessTarget& target);

struct ProcessCreation {
    DWORD processId;
    uint64_t creationTime;       // FILETIME read as one number, 100 ns units since 1601
    std::wstring imagePath = {}; // read through the handle the process would end through
    DWORD sessionId = 0;
};

// Ascending, once each: the target's processes not created at the newest time of the target's; first record counts.
std::vector<DWORD> ChooseProcessesToTerminate(const std::vector<ProcessCreation>& records, const ProcessTarget& target);

} // namespace processchoice
