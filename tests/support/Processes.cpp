#include "support/Processes.h"

#include "support/TestSupport.h"

#include <tlhelp32.h>

namespace testsupport {

namespace {

template <typename Visit>
void WalkProcesses(Visit visit)
{
    const win::UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        visit(entry);
    }
}

template <typename Visit>
void WalkThreads(DWORD processId, Visit visit)
{
    const win::UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == processId) visit(entry.th32ThreadID);
    }
}

double FileTimeSeconds(FILETIME time)
{
    return double((ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
}

} // namespace

std::vector<DWORD> ProcessIds(const wchar_t* fileName)
{
    std::vector<DWORD> ids;
    WalkProcesses([&](const PROCESSENTRY32W& entry) {
        if (_wcsicmp(entry.szExeFile, fileName) == 0) ids.push_back(entry.th32ProcessID);
    });
    return ids;
}

bool BothCompanionsRun()
{
    return !ProcessIds(L"FnKeyAgent.exe").empty() && !ProcessIds(L"FnKeyLockOsd.exe").empty();
}

DWORD ThreadCount(DWORD processId)
{
    DWORD count = 0;
    WalkThreads(processId, [&](DWORD) { ++count; });
    return count;
}

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

CpuWindow::CpuWindow(DWORD processId) : m_processId(processId)
{
    Sample(true);
}

void CpuWindow::SampleFor(double seconds, DWORD intervalMs)
{
    const double end = Now() + seconds;
    while (Now() < end) {
        ::Sleep(intervalMs);
        Sample();
    }
}

double CpuWindow::Seconds() const
{
    double sum = 0;
    for (const auto& thread : m_threads) sum += thread.second.last - thread.second.first;
    return sum;
}

double CpuWindow::ThreadsTotal() const
{
    double sum = 0;
    for (const auto& thread : m_threads) sum += thread.second.last;
    return sum;
}

void CpuWindow::Sample(bool baseline)
{
    WalkThreads(m_processId, [&](DWORD threadId) {
        const win::UniqueHandle thread(::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId));
        FILETIME creation, exit, kernel, user;
        if (!thread || !::GetThreadTimes(thread.get(), &creation, &exit, &kernel, &user)) return;
        const double seconds = FileTimeSeconds(kernel) + FileTimeSeconds(user);
        const auto found = m_threads.find(threadId);
        if (found != m_threads.end()) {
            found->second.last = seconds;
            return;
        }
        m_threads[threadId] = {baseline ? seconds : 0, seconds};
        if (!baseline) ++m_started;
    });
}

} // namespace testsupport
