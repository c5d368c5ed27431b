#include "process/ProcessToolkit.h"

#include "log/UtilityLog.h"
#include "process/ProcessWalk.h"
#include "win/Owners.h"

#include <wtsapi32.h>

#include <cwchar>
#include <functional>
#include <map>

namespace {

// Names longer than this are compared only over their first characters, so that renamed
// copies of a companion ("FnKeyAgent.old.exe") are caught as well.
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

// A count that compares whole names.
constexpr size_t kWholeName = static_cast<size_t>(-1);

bool SameName(const PROCESSENTRY32W& entry, const wchar_t* name)
{
    return _wcsicmp(entry.szExeFile, name) == 0;
}

// The file name of the image behind an open process; empty when it cannot be read.
std::wstring ImageFileName(HANDLE process)
{
    std::wstring path(kImagePathChars, L'\0');
    DWORD length = kImagePathChars;
    if (!::QueryFullProcessImageNameW(process, 0, &path[0], &length)) return L"";
    path.resize(length);
    return path.substr(path.find_last_of(L'\\') + 1);
}

} // namespace

std::vector<DWORD> FindRunningProcess(const wchar_t* processName)
{
    std::vector<DWORD> ids;
    if (processName == nullptr) return ids;
    Walk(
        [&](const PROCESSENTRY32W& entry) {
            if (SameName(entry, processName)) ids.push_back(entry.th32ProcessID);
            return true;
        },
        L"FindRunningProcess::CreateToolhelp32Snapshot failed", L"FindRunningProcess::Process32First failed");
    return ids;
}

void KillProcessesByName(const wchar_t* processName)
{
    if (processName == nullptr) return;
    Walk(
        [&](const PROCESSENTRY32W& entry) {
            if (SameName(entry, processName)) TerminateProcessNamed(entry.th32ProcessID, processName, kWholeName);
            return true;
        },
        L"KillProcessesByName::CreateToolhelp32Snapshot failed", L"KillProcessesByName::Process32First failed");
}

namespace processchoice {

std::vector<DWORD> ChooseProcessesToTerminate(const std::vector<ProcessCreation>& records)
{
    const ProcessCreation* newest = nullptr;
    std::map<DWORD, const ProcessCreation*> byId; // ascending ids: the order of the terminations
    for (const ProcessCreation& record : records) {
        if (newest == nullptr || record.creationTime > newest->creationTime) newest = &record;
        byId.emplace(record.processId, &record);
    }
    std::vector<DWORD> doomed;
    for (const auto& [processId, record] : byId) {
        if (record->creationTime != newest->creationTime &&
            _wcsicmp(record->fileName.c_str(), newest->fileName.c_str()) == 0) {
            doomed.push_back(processId);
        }
    }
    return doomed;
}

} // namespace processchoice

void KillProcessesExceptNewest(const std::vector<DWORD>& processIds)
{
    std::vector<processchoice::ProcessCreation> records;
    // Held from the reading of the times to the termination: the process whose times were read is
    // the one that ends, even if its id has been reused since the caller's snapshot.
    std::map<DWORD, win::UniqueHandle> processes;
    for (DWORD processId : processIds) {
        win::UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, processId));
        if (!process) continue;
        FILETIME creation = {}, exit = {}, kernel = {}, user = {};
        const std::wstring fileName = ImageFileName(process.get());
        if (!::GetProcessTimes(process.get(), &creation, &exit, &kernel, &user) || fileName.empty()) continue;
        const uint64_t creationTime =
            (static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
        records.push_back({processId, creationTime, fileName});
        processes.emplace(processId, std::move(process));
    }
    for (DWORD processId : processchoice::ChooseProcessesToTerminate(records)) {
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
    BOOL result = FALSE;
    WriteLog(L"IsExistHotkeyUtilityProcessAndKill initStatus:[%d] ProcessName:%s,line:%d ", 1, processName, __LINE__);
    WalkProcesses([&](const PROCESSENTRY32W& entry) {
        if (_wcsnicmp(entry.szExeFile, processName, kHotkeyNameCompareLength) != 0) return true;
        DWORD processSession = 0xFFFFFFFF;
        if (!::ProcessIdToSessionId(entry.th32ProcessID, &processSession)) return true;

        std::wstring userName;
        const BOOL sessionRead = GetCurrentUserNameAndSessionId(nullptr, &userName);
        // Companions of every session go, not only those of the console user.
        WriteLog(L"IsExistUtilityProcess GetSession:[%d]  The \"%s\" process is exist[%d]. Its session id is %u\n",
                 sessionRead, processName, 1, processSession);

        win::UniqueToken token;
        if (::OpenProcessToken(::GetCurrentProcess(),
                               TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY |
                                   TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_SESSIONID,
                               token.put())) {
            SetDebugPrivilege(token.get(), SE_PRIVILEGE_ENABLED);
        }

        BOOL terminated = FALSE;
        if (TerminateProcessNamed(entry.th32ProcessID, processName, kHotkeyNameCompareLength, &terminated)) {
            result = TRUE;
        }
        WriteLog(L"TerminateProcess ret:[%d] error :%d , sessionid=%d", terminated, ::GetLastError(), processSession);

        if (token) SetDebugPrivilege(token.get(), 0);
        return true;
    });
    return result;
}

BOOL TerminateProcessNamed(DWORD processId, const wchar_t* name, size_t compareLength, BOOL* terminated)
{
    if (terminated != nullptr) *terminated = FALSE;
    win::UniqueHandle process(
        ::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return FALSE;
    if (_wcsnicmp(ImageFileName(process.get()).c_str(), name, compareLength) != 0) return FALSE;
    const BOOL ended = ::TerminateProcess(process.get(), 0);
    if (terminated != nullptr) *terminated = ended;
    return TRUE;
}

BOOL ProgressIsRunning(const wchar_t* processName)
{
    if (processName == nullptr) return FALSE;
    BOOL running = FALSE;
    Walk(
        [&](const PROCESSENTRY32W& entry) {
            running = SameName(entry, processName);
            return !running;
        },
        L"ProgressRunning::CreateToolhelp32Snapshot failed", L"ProgressRunning::Process32First failed");
    return running;
}
