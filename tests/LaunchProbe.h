// The conversation between the launch tests and the launch probe service, through the
// registry of the prefix. The test writes a request under kRequestKey and sends kProbeControl;
// the probe carries it out on a thread of its own and writes the results under
// kRequestKey\Result, the value "Sequence" last, so that a reader who sees the request's
// sequence number there sees every other result value too.
#pragma once

#include <windows.h>

namespace launchprobe {

constexpr const wchar_t* kServiceName = L"FnKeyLaunchProbe";
constexpr const wchar_t* kExecutable = L"LaunchProbeService.exe";
constexpr unsigned long kProbeControl = 200;

constexpr const wchar_t* kRequestKey = L"Software\\Osmira\\TestRecords\\LaunchProbe";
constexpr const wchar_t* kResultKey = L"Software\\Osmira\\TestRecords\\LaunchProbe\\Result";

// Request values.
constexpr const wchar_t* kWay = L"Way";             // DWORD, one of the Way values below
constexpr const wchar_t* kProgram = L"Program";     // REG_SZ; absent: a null program path
constexpr const wchar_t* kArguments = L"Arguments"; // REG_SZ; absent: a null argument string
constexpr const wchar_t* kShow = L"Show";           // DWORD show flag of the elevated ways
constexpr const wchar_t* kRepeat = L"Repeat";       // DWORD number of launches, 1 when absent
constexpr const wchar_t* kMode = L"Mode";           // DWORD, one of the Mode values below
constexpr const wchar_t* kLogFolder = L"LogFolder"; // REG_SZ; present: the probe logs there
constexpr const wchar_t* kSequence = L"Sequence";   // DWORD, echoed when the request is done

enum Way : unsigned long { kUserSession = 1, kElevatedSession = 2, kStartElevated = 3 };

// What the probe's observer does after recording a call of CreateProcessAsUserW.
enum Mode : unsigned long {
    kRealCall = 0,    // hands it on to the platform
    kFakeSuccess = 1, // starts nothing, answers TRUE with fresh handles for the caller to close
    kFakeFailure = 2, // starts nothing, answers FALSE with ERROR_ACCESS_DENIED
};

// Result values (under kResultKey): DWORDs "Launched" (launches that returned TRUE),
// "LastResult", "Calls" (calls of CreateProcessAsUserW), "HandlesBefore" and "HandlesAfter"
// (CountOpenHandles of the probe around the repeated launches, after a warm-up),
// "Milliseconds" (time of the repeated launches), and "Sequence". One subkey per call, for
// the first kRecordedCalls calls: "Call0", "Call1", ... with the values below.
constexpr unsigned kRecordedCalls = 4;
constexpr unsigned kWarmUpLaunches = 5;
// DWORD flags: "TokenIsNull", "ApplicationNameIsNull", "CommandLineIsNull", "ProcessAttributesIsNull",
// "ThreadAttributesIsNull", "InheritHandles", "EnvironmentIsNull", "CurrentDirectoryIsNull",
// "DesktopIsNull"; DWORDs "CreationFlags", "StartupSize", "StartupFlags", "ShowWindow",
// "ChildProcessId" (0 unless the platform started one); REG_SZ "ApplicationName",
// "CommandLine", "Desktop" (absent when null); "EnvironmentHasUserName" (the block
// carries a USERNAME variable) and "EnvironmentHasServiceMark" (the block carries the
// variable below, which the probe sets in its own environment only).
constexpr const wchar_t* kServiceMarkName = L"FNKEY_LAUNCH_PROBE_MARK";
constexpr const wchar_t* kServiceMarkValue = L"service";
constexpr const wchar_t* kServiceMarkAssignment = L"FNKEY_LAUNCH_PROBE_MARK=service";

// The handles this process has open. Wine 8 answers GetProcessHandleCount with 0 whatever is
// open, so the count asks the handle table about every handle value in turn instead; the
// values are multiples of 4, and a process of this size stays far below the limit scanned.
inline DWORD CountOpenHandles()
{
    constexpr ULONG_PTR kHighestScanned = 0x10000;
    DWORD count = 0;
    for (ULONG_PTR value = 4; value < kHighestScanned; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

} // namespace launchprobe
