#include "process/ProcessWalk.h"

#include "win/Owners.h"

ProcessWalk WalkProcesses(const std::function<bool(const PROCESSENTRY32W&)>& visit)
{
    win::UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return ProcessWalk::NoSnapshot;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry; // 568 for the wide entry
    if (!::Process32FirstW(snapshot.get(), &entry)) return ProcessWalk::NoFirstEntry;
    do {
        if (!visit(entry)) break;
    } while (::Process32NextW(snapshot.get(), &entry));
    return ProcessWalk::Completed;
}

BOOL SetDebugPrivilege(HANDLE token, DWORD attributes)
{
    LUID luid = {};
    if (!::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid)) return FALSE;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = attributes;
    return ::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
}
