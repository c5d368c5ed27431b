#include "process/ProcessToolkit.h"

#include "log/UtilityLog.h"
#include "win/Owners.h"

#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cwchar>
#include <map>

namespace {

// Names longer than this are compared only over their first characters, so that renamed
// copies of a companion ("FnKeyAgent.old.exe") are caught as well.
constexpr size_t kHotkeyNameCompareLength = 11;

PROCESSENTRY32W EmptyEntry()
{
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry; // 568 for the wide entry
    return entry;
}

// Opens the snapshot and reads its first entry; logs the operation's own failure texts.
// Returns an empty owner when the walk cannot begin.
win::UniqueSnapshot BeginWalk(PROCESSENTRY32W& entry, const wchar_t* snapshotFailure, const wchar_t* firstFailure)
{
    win::UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        WriteLog(snapshotFailure);
        return {};
    }
    entry = EmptyEntry();
    if (!::Process32FirstW(snapshot.get(), &entry)) {
        WriteLog(firstFailure);
        return {};
    }
    return snapshot;
}

bool SameName(const PROCESSENTRY32W& entry, const wchar_t* name)
{
    return _wcsicmp(entry.szExeFile, name) == 0;
}

void TerminateById(DWORD processId)
{
    win::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (process) ::TerminateProcess(process.get(), 0);
}

// One privilege of the service's own token, switched on or off; failures only mean that
// the privilege stays as it was.
void SetDebugPrivilege(HANDLE token, DWORD attributes)
{
    LUID luid = {};
    if (!::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid)) return;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = attributes;
    ::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
}

} // namespace

std::vector<DWORD> FindRunningProcess(const wchar_t* processName)
{
    std::vector<DWORD> ids;
    if (processName == nullptr) return ids;
    PROCESSENTRY32W entry;
    win::UniqueSnapshot snapshot = BeginWalk(entry, L"FindRunningProcess::CreateToolhelp32Snapshot failed",
                                             L"FindRunningProcess::Process32First failed");
    if (!snapshot) return ids;
    do {
        if (SameName(entry, processName)) ids.push_back(entry.th32ProcessID);
    } while (::Process32NextW(snapshot.get(), &entry));
    return ids;
}

void KillProcessesByName(const wchar_t* processName)
{
    if (processName == nullptr) return;
    PROCESSENTRY32W entry;
    win::UniqueSnapshot snapshot = BeginWalk(entry, L"KillProcessesByName::CreateToolhelp32Snapshot failed",
                                             L"KillProcessesByName::Process32First failed");
    if (!snapshot) return;
    do {
        if (SameName(entry, processName)) TerminateById(entry.th32ProcessID);
    } while (::Process32NextW(snapshot.get(), &entry));
}

namespace processchoice {

std::vector<DWORD> ChooseProcessesToTerminate(const std::vector<ProcessCreation>& records)
{
    uint64_t newest = 0;
    std::map<DWORD, uint64_t> creationById; // ascending ids: the order of the terminations
    for (const ProcessCreation& record : records) {
        if (record.creationTime > newest) newest = record.creationTime;
        creationById.emplace(record.processId, record.creationTime);
    }
    std::vector<DWORD> doomed;
    for (const auto& [processId, creationTime] : creationById) {
        if (creationTime != newest) doomed.push_back(processId);
    }
    return doomed;
}

} // namespace processchoice

void KillProcessesExceptNewest(const std::vector<DWORD>& processIds)
{
    std::vector<processchoice::ProcessCreation> records;
    records.reserve(processIds.size());
    for (DWORD processId : processIds) {
        win::UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
        if (!process) continue;
        FILETIME creation = {}, exit = {}, kernel = {}, user = {};
        if (!::GetProcessTimes(process.get(), &creation, &exit, &kernel, &user)) continue;
        const uint64_t creationTime =
            (static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
        records.push_back({processId, creationTime});
    }
    for (DWORD processId : processchoice::ChooseProcessesToTerminate(records)) TerminateById(processId);
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
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    const BOOL read = ::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, consoleSession, WTSUserName,
                                                    &buffer, &bytes);
    if (buffer != nullptr) {
        if (userName != nullptr) *userName = buffer;
        ::WTSFreeMemory(buffer);
    }
    return read;
}

BOOL IsExistHotkeyUtilityProcessAndKill(const wchar_t* processName)
{
    if (processName == nullptr) return FALSE;
    BOOL result = FALSE;
    win::UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    WriteLog(L"IsExistHotkeyUtilityProcessAndKill initStatus:[%d] ProcessName:%s,line:%d ", 1, processName, __LINE__);
    if (!snapshot) return FALSE;
    PROCESSENTRY32W entry = EmptyEntry();
    if (!::Process32FirstW(snapshot.get(), &entry)) return FALSE;
    do {
        if (_wcsnicmp(entry.szExeFile, processName, kHotkeyNameCompareLength) != 0) continue;
        DWORD processSession = 0xFFFFFFFF;
        if (!::ProcessIdToSessionId(entry.th32ProcessID, &processSession)) continue;

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
        win::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
        if (process) {
            terminated = ::TerminateProcess(process.get(), 0);
            process.reset();
            result = TRUE;
        }
        WriteLog(L"TerminateProcess ret:[%d] error :%d , sessionid=%d", terminated, ::GetLastError(), processSession);

        if (token) SetDebugPrivilege(token.get(), 0);
    } while (::Process32NextW(snapshot.get(), &entry));
    return result;
}

BOOL ProgressIsRunning(const wchar_t* processName)
{
    if (processName == nullptr) return FALSE;
    PROCESSENTRY32W entry;
    win::UniqueSnapshot snapshot = BeginWalk(entry, L"ProgressRunning::CreateToolhelp32Snapshot failed",
                                             L"ProgressRunning::Process32First failed");
    if (!snapshot) return FALSE;
    do {
        if (SameName(entry, processName)) return TRUE;
    } while (::Process32NextW(snapshot.get(), &entry));
    return FALSE;
}
