#include "process/ProcessToolkit.h"

#include "log/UtilityLog.h"
#include "process/ProcessWalk.h"
#include "win/Owners.h"

#include <wtsapi32.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <map>

std::atomic<OpenProcessFunction> g_openProcessToEnd{&::OpenProcess};

namespace {

// Names longer than this are compared only over their first characters, so that renamed
// copies of a program ("keyapp.exe.old") are caught as well.
constexpr size_t kHotkeyNameCompareLength = 11;
constexpr DWORD kImagePathChars = 32768;

// Walks the process list; logs the operation's own texts when the walk cannot begin.
bool Walk(const std::function<bool(const PROCESSENTRY32W&)>& visit, const wchar_t* snapshotFailure,
          const wchar_t* firstFailure)
{
    switch (WalkProcesses(visit)) {
    case ProcessWalk::NoSnapshot:
        WriteLog(snapshotFailure);
        return false;
    case ProcessWalk::NoFirstEntry:
        WriteLog(firstFailure);
        return false;
    default:
        return true;
    }
}

bool SameName(const wchar_t* fileName, const wchar_t* name, size_t length)
{
    return (length == kWholeName ? _wcsicmp(fileName, name) : _wcsnicmp(fileName, name, length)) == 0;
}

// The snapshot's side of the match; the image and the session are read from the process itself.
bool NameMatches(const PROCESSENTRY32W& entry, const ProcessTarget& target)
{
    return SameName(entry.szExeFile, target.fileName.c_str(), target.nameLength);
}

// The full image path and the session of an open process; false when either cannot be read.
bool ReadIdentity(HANDLE process, std::wstring* imagePath, DWORD* sessionId)
{
    std::wstring path(kImagePathChars, L'\0');
    DWORD length = kImagePathChars;
    if (!::QueryFullProcessImageNameW(process, 0, &path[0], &length)) return false;
    path.resize(length);
    *imagePath = std::move(path);
    return ::ProcessIdToSessionId(::GetProcessId(process), sessionId) != FALSE;
}

// Whether the process with this id is the target's now; for a file name alone the snapshot's name says all.
bool IsTargetNow(DWORD processId, const ProcessTarget& target)
{
    if (target.imagePath.empty() && !target.sessionId) return true;
    win::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    std::wstring image;
    DWORD session = 0;
    return process && ReadIdentity(process.get(), &image, &session) && processchoice::IsTarget(image, session, target);
}

enum class Opened { No, NotTarget, Target };

// Opens the process once, for its end, and judges the image and session behind that very handle: an id from a
// snapshot may belong to another program by now, so a kill ends a process only through this handle.
Opened OpenForEnd(DWORD processId, const ProcessTarget& target, win::UniqueHandle* process, std::wstring* image)
{
    process->reset(g_openProcessToEnd.load()(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!*process) return Opened::No;
    DWORD session = 0;
    const bool ours = ReadIdentity(process->get(), image, &session) && processchoice::IsTarget(*image, session, target);
    return ours ? Opened::Target : Opened::NotTarget;
}

} // namespace

namespace processchoice {

bool IsTarget(const std::wstring& imagePath, DWORD sessionId, const ProcessTarget& target)
{
    if (target.sessionId && *target.sessionId != sessionId) return false;
    if (!target.imagePath.empty()) {
        // As the platform compares paths: ordinal, letter case ignored, whatever the user's locale.
        return ::CompareStringOrdinal(imagePath.c_str(), static_cast<int>(imagePath.size()), target.imagePath.c_str(),
                                      static_cast<int>(target.imagePath.size()), TRUE) == CSTR_EQUAL;
    }
    const size_t slash = imagePath.find_last_of(L'\\');
    const wchar_t* fileName = imagePath.c_str() + (slash == std::wstring::npos ? 0 : slash + 1);
    return SameName(fileName, target.fileName.c_str(), target.nameLength);
}

std::vector<DWORD> ChooseProcessesToTerminate(const std::vector<ProcessCreation>& records, const ProcessTarget& target)
{
    std::map<DWORD, uint64_t> creationTimes; // ascending ids: the order of the terminations
    uint64_t newest = 0;
    for (const ProcessCreation& record : records) {
        if (!IsTarget(record.imagePath, record.sessionId, target)) continue;
        if (!creationTimes.emplace(record.processId, record.creationTime).second) continue;
        newest = std::max(newest, record.creationTime);
    }
    std::vector<DWORD> doomed;
    for (const auto& [processId, creationTime] : creationTimes) {
        if (creationTime != newest) doomed.push_back(processId);
    }
    return doomed;
}

} // namespace processchoice

std::vector<DWORD> FindRunningProcess(const wchar_t* processName)
{
    if (processName == nullptr) return {};
    return FindRunningProcess(ProcessTarget{processName});
}

std::vector<DWORD> FindRunningProcess(const ProcessTarget& target)
{
    std::vector<DWORD> ids;
    Walk(
        [&](const PROCESSENTRY32W& entry) {
            if (NameMatches(entry, target) && IsTargetNow(entry.th32ProcessID, target)) {
                ids.push_back(entry.th32ProcessID);
            }
            return true;
        },
        L"FindRunningProcess::CreateToolhelp32Snapshot failed", L"FindRunningProcess::Process32First failed");
    return ids;
}

void KillProcessesByName(const wchar_t* processName)
{
    if (processName != nullptr) KillProcessesByName(ProcessTarget{processName});
}

void KillProcessesByName(const ProcessTarget& target)
{
    Walk(
        [&](const PROCESSENTRY32W& entry) {
            if (!NameMatches(entry, target)) return true;
            win::UniqueHandle process;
            std::wstring image;
            if (OpenForEnd(entry.th32ProcessID, target, &process, &image) == Opened::Target) {
                ::TerminateProcess(process.get(), 0);
            }
            return true;
        },
        L"KillProcessesByName::CreateToolhelp32Snapshot failed", L"KillProcessesByName::Process32First failed");
}

void KillProcessesExceptNewest(const std::vector<DWORD>& processIds, const ProcessTarget& target)
{
    std::vector<processchoice::ProcessCreation> records;
    // Held from the reading of the image and times to the termination: the process judged is the one that ends,
    // even if its id has been reused since the caller's snapshot.
    std::map<DWORD, win::UniqueHandle> processes;
    for (DWORD processId : processIds) {
        if (processes.count(processId) != 0) continue;
        win::UniqueHandle process(
            g_openProcessToEnd.load()(PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, processId));
        processchoice::ProcessCreation record{processId, 0};
        FILETIME creation = {}, exit = {}, kernel = {}, user = {};
        if (!process || !ReadIdentity(process.get(), &record.imagePath, &record.sessionId) ||
            !::GetProcessTimes(process.get(), &creation, &exit, &kernel, &user)) {
            continue;
        }
        record.creationTime = (static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
        records.push_back(std::move(record));
        processes.emplace(processId, std::move(process));
    }
    for (DWORD processId : processchoice::ChooseProcessesToTerminate(records, target)) {
        ::TerminateProcess(processes.at(processId).get(), 0);
    }
}

BOOL GetCurrentUserNameAndSessionId(DWORD* sessionId, std::wstring* userName)
{
    const DWORD consoleSession = ::WTSGetActiveConsoleSessionId();
    if (sessionId != nullptr) *sessionId = consoleSession;
    if (consoleSession == 0xFFFFFFFF) {
        WriteLog(L"GetCurrentUserNameAndSessionId WTSGetActiveConsoleSessionId() return fail, error: 0x%x\n",
                 consoleSession);
        return FALSE;
    }
    win::UniqueWtsMemory buffer;
    DWORD bytes = 0;
    const BOOL read = ::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, consoleSession, WTSUserName,
                                                    reinterpret_cast<LPWSTR*>(buffer.put()), &bytes);
    if (buffer && userName != nullptr) *userName = static_cast<const wchar_t*>(buffer.get());
    return read;
}

BOOL IsExistHotkeyUtilityProcessAndKill(const wchar_t* processName)
{
    if (processName == nullptr) return FALSE;
    return IsExistHotkeyUtilityProcessAndKill(ProcessTarget{processName, {}, {}, kHotkeyNameCompareLength});
}

BOOL IsExistHotkeyUtilityProcessAndKill(const ProcessTarget& target)
{
    BOOL result = FALSE;
    WriteLog(L"IsExistHotkeyUtilityProcessAndKill initStatus:[%d] ProcessName:%s,line:%d ", 1, target.fileName.c_str(),
             __LINE__);
    WalkProcesses([&](const PROCESSENTRY32W& entry) {
        if (!NameMatches(entry, target)) return true;
        DWORD processSession = 0xFFFFFFFF;
        if (!::ProcessIdToSessionId(entry.th32ProcessID, &processSession)) return true;

        win::UniqueToken token;
        if (::OpenProcessToken(::GetCurrentProcess(),
                               TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY |
                                   TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_SESSIONID,
                               token.put())) {
            SetDebugPrivilege(token.get(), SE_PRIVILEGE_ENABLED);
        }
        win::UniqueHandle process;
        std::wstring image;
        if (OpenForEnd(entry.th32ProcessID, target, &process, &image) == Opened::NotTarget) {
            // Departs from ending every process of the name: anyone can start a program of that name anywhere.
            WriteLog(L"IsExistHotkeyUtilityProcessAndKill left process %u running: %s is not the package's",
                     entry.th32ProcessID, image.c_str());
        } else {
            std::wstring userName;
            const BOOL sessionRead = GetCurrentUserNameAndSessionId(nullptr, &userName);
            WriteLog(L"IsExistUtilityProcess GetSession:[%d]  The \"%s\" process is exist[%d]. Its session id is %u\n",
                     sessionRead, target.fileName.c_str(), 1, processSession);
            const BOOL terminated = process ? ::TerminateProcess(process.get(), 0) : FALSE;
            if (process) result = TRUE;
            WriteLog(L"TerminateProcess ret:[%d] error :%d , sessionid=%d", terminated, ::GetLastError(),
                     processSession);
        }
        if (token) SetDebugPrivilege(token.get(), 0);
        return true;
    });
    return result;
}

BOOL ProgressIsRunning(const wchar_t* processName)
{
    if (processName == nullptr) return FALSE;
    BOOL running = FALSE;
    Walk(
        [&](const PROCESSENTRY32W& entry) {
            running = _wcsicmp(entry.szExeFile, processName) == 0;
            return !running;
        },
        L"ProgressRunning::CreateToolhelp32Snapshot failed", L"ProgressRunning::Process32First failed");
    return running;
}

bool TargetIsRunning(const ProcessTarget& target)
{
    bool running = false;
    WalkProcesses([&](const PROCESSENTRY32W& entry) {
        running = NameMatches(entry, target) && IsTargetNow(entry.th32ProcessID, target);
        return !running;
    });
    return running;
}
