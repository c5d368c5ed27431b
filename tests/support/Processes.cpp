#include "support/Processes.h"

#include "win/Owners.h"

#include <tlhelp32.h>

namespace testsupport {
std::vector<DWORD> ProcessIds(const wchar_t* fileName)
{
    std::vector<DWORD> ids;
    const win::UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, fileName) == 0) ids.push_back(entry.th32ProcessID);
    }
    return ids;
}
bool BothCompanionsRun()
{
    return !ProcessIds(L"FnKeyAgent.exe").empty() && !ProcessIds(L"FnKeyLockOsd.exe").empty();
}
std::vector<DWORD> ThreadIds(DWORD processId)
{
    std::vector<DWORD> ids;
    const win::UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == processId) ids.push_back(entry.th32ThreadID);
    }
    return ids;
}
DWORD ThreadCount(DWORD processId)
{
    return DWORD(ThreadIds(processId).size());
}
// Under Wine GetProcessHandleCount of another process reads 0: this counts in the system's handle table.
DWORD HandleCount(DWORD processId)
{
    // The layout of SystemHandleInformation's entries.
    struct Entry {
        ULONG ownerProcessId;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = LONG(0xC0000004);
    const FARPROC address = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(address));
    if (query == nullptr) return 0;
    std::vector<BYTE> buffer(1 << 20);
    ULONG length = 0;
    LONG status = kInfoLengthMismatch;
    while (status == kInfoLengthMismatch) {
        status = query(kSystemHandleInformation, buffer.data(), ULONG(buffer.size()), &length);
        if (status == kInfoLengthMismatch) buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return 0;
    const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entry = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
    DWORD count = 0;
    for (ULONG i = 0; i < entries; ++i) count += entry[i].ownerProcessId == processId;
    return count;
}
} // namespace testsupport
