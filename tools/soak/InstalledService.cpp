// The installed service under its manager: start/stop cycles, and the agent killed over and
// over while the supervision window is open.
#include "ServiceSoak.h"

#include "log/ConsolePrint.h"
#include "process/ProcessToolkit.h"
#include "service/CompanionSupervision.h"
#include "service/ControlCodes.h"
#include "win/Owners.h"

#include <tlhelp32.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

struct Service {
    win::UniqueServiceHandle manager, service;

    bool Open()
    {
        manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (manager) service.reset(::OpenServiceW(manager.get(), L"OsmiraUtilityService", SERVICE_ALL_ACCESS));
        if (!service) ConsolePrint(L"the service is not installed (error %u)\n", ::GetLastError());
        return static_cast<bool>(service);
    }

    bool Start()
    {
        if (EnsureRunning(service.get())) return true;
        ConsolePrint(L"VIOLATION: the service did not start (error %u)\n", ::GetLastError());
        return false;
    }

    DWORD State()
    {
        SERVICE_STATUS status = {};
        return ::QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
    }
};

size_t CompanionCount()
{
    return FindRunningProcess(kAgentName).size() + FindRunningProcess(kLockOsdName).size() +
           FindRunningProcess(kPackagedAppName).size();
}

DWORD ThreadCount(DWORD processId)
{
    win::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    DWORD count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == processId) ++count;
    }
    return count;
}

// The process's handles, from the system's handle table: under Wine GetProcessHandleCount
// answers 0 for every process, while the table is kept exactly.
DWORD HandleCount(DWORD processId)
{
    struct Entry {
        ULONG ownerProcessId;
        BYTE objectType, flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<BYTE> buffer(1 << 20);
    ULONG length = 0;
    LONG status = kInfoLengthMismatch;
    while (query != nullptr && (status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &length)) ==
                                   kInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (query == nullptr || status != 0) return 0;
    const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entry = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
    DWORD count = 0;
    for (ULONG i = 0; i < entries; ++i) count += entry[i].ownerProcessId == processId;
    return count;
}

// A count grows when every one of the last third of the cycles is above every one of the
// first third: a steady climb, not the jitter of threads that come and go.
bool Grows(const std::vector<DWORD>& counts)
{
    const size_t third = counts.size() / 3;
    if (third < 3) return false; // too few cycles to tell a climb from jitter
    return *std::min_element(counts.end() - third, counts.end()) > *std::max_element(counts.begin(), counts.begin() + third);
}

std::wstring Series(const std::vector<DWORD>& counts)
{
    std::wstring text;
    for (DWORD c : counts) text += (text.empty() ? L"" : L" ") + std::to_wstring(c);
    return text;
}

double Median(std::vector<double> values)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int RunCycles(DWORD cycles, DWORD dwellMilliseconds, DWORD dwellEvery, DWORD seed)
{
    Service svc;
    if (!svc.Open()) return 1;
    std::mt19937 random(seed);
    int violations = 0;
    std::vector<DWORD> handles, threads;
    std::vector<double> stopTimes;
    DWORD codesRefused = 0, companionsSeen = 0, companionsLeft = 0;
    for (DWORD cycle = 1; cycle <= cycles; ++cycle) {
        if (!svc.Start()) return violations + 1;
        // Settings and LED codes through the manager, as the companions send them; launches
        // are left to the storm and the chaos.
        const DWORD settingCodes[] = {141, 142, 144, 145, 146, 147, 148, 149, 150, 151, 154, 155, 156, 157, 160, 161, 130, 200, 255};
        for (int i = 0; i < 50; ++i) {
            SERVICE_STATUS status = {};
            if (!::ControlService(svc.service.get(), settingCodes[random() % std::size(settingCodes)], &status)) ++codesRefused;
        }
        if (svc.State() != SERVICE_RUNNING) {
            ConsolePrint(L"VIOLATION cycle %u: the service left RUNNING under the codes\n", cycle);
            ++violations;
        }
        // Counted at the same early point of every cycle, before the companions' start-up wait
        // ends, so that one cycle compares with the next.
        const DWORD pid = ServiceProcessId(svc.service.get());
        handles.push_back(HandleCount(pid));
        threads.push_back(ThreadCount(pid));
        // Some cycles stay long enough for the companions to start, so that the stop has them to end.
        if (dwellEvery != 0 && cycle % dwellEvery == 0) ::Sleep(dwellMilliseconds);
        companionsSeen += static_cast<DWORD>(CompanionCount());

        SERVICE_STATUS status = {};
        const double stopAt = Now();
        // Under Wine the stopping process may end before the manager reads the stop's answer,
        // which it reports as a broken pipe: the stop happened, and the state says so below.
        if (!::ControlService(svc.service.get(), SERVICE_CONTROL_STOP, &status) && ::GetLastError() != ERROR_BROKEN_PIPE) {
            ConsolePrint(L"VIOLATION cycle %u: the stop control failed (error %u)\n", cycle, ::GetLastError());
            return violations + 1;
        }
        while (svc.State() != SERVICE_STOPPED && Now() - stopAt < 10) ::Sleep(2);
        const double stopTime = Now() - stopAt;
        stopTimes.push_back(stopTime);
        if (stopTime > 1.0) {
            ConsolePrint(L"VIOLATION cycle %u: STOPPED after %.2f s\n", cycle, stopTime);
            ++violations;
        }
        if (const size_t left = CompanionCount()) {
            companionsLeft += static_cast<DWORD>(left);
            ConsolePrint(L"VIOLATION cycle %u: %u companions still run after the stop\n", cycle, static_cast<unsigned>(left));
            ++violations;
            for (const wchar_t* name : {kAgentName, kLockOsdName, kPackagedAppName}) KillProcessesByName(name);
        }
    }
    ConsolePrint(L"cycles: %u start/stop cycles, every %u. one staying %u s; stop to STOPPED median %.0f ms, worst %.0f ms; %u companions ran "
                 L"before the stops, %u after; %u of %u codes refused by the manager\n",
                 cycles, dwellEvery, dwellMilliseconds / 1000, Median(stopTimes) * 1000, *std::max_element(stopTimes.begin(), stopTimes.end()) * 1000,
                 companionsSeen, companionsLeft, codesRefused, cycles * 50);
    ConsolePrint(L"cycles: service handles per cycle: %s\ncycles: service threads per cycle: %s\n", Series(handles).c_str(),
                 Series(threads).c_str());
    for (const auto& [name, counts] : {std::pair{L"handle", &handles}, std::pair{L"thread", &threads}}) {
        if (!Grows(*counts)) continue;
        ConsolePrint(L"VIOLATION cycles: the service's %s count grows from cycle to cycle\n", name);
        ++violations;
    }
    return violations;
}

// The service's log as text, for counting its supervision passes; logging is switched on for
// the chaos run. The file is read whole each time: it stays far below its rotation size.
class ServiceLog {
public:
    ServiceLog()
    {
        wchar_t windows[MAX_PATH] = {};
        ::GetWindowsDirectoryW(windows, MAX_PATH);
        m_path = std::wstring(1, windows[0]) + L":\\Windows\\Temp\\_OsmiraUtility_\\_FnHotkeySvcUtility.log";
        m_created = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, nullptr, 0, KEY_READ, nullptr, m_key.put(), &m_disposition) ==
                    ERROR_SUCCESS;
    }
    ~ServiceLog()
    {
        if (m_created && m_disposition == REG_CREATED_NEW_KEY) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSwitchKey);
    }

    size_t Count(const std::wstring& needle) const
    {
        win::UniqueHandle file(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        LARGE_INTEGER size = {};
        if (!file || !::GetFileSizeEx(file.get(), &size)) return 0;
        std::wstring text(static_cast<size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
        DWORD read = 0;
        ::ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
        size_t count = 0;
        for (size_t at = text.find(needle); at != std::wstring::npos; at = text.find(needle, at + 1)) ++count;
        return count;
    }

private:
    static constexpr const wchar_t* kSwitchKey = L"Software\\Osmira\\OsmiraUtility\\log";
    std::wstring m_path;
    win::UniqueRegKey m_key;
    DWORD m_disposition = 0;
    bool m_created = false;
};

int RunChaos(DWORD killEveryMilliseconds)
{
    const ServiceLog log;
    // The supervision pass that notices a missing agent and starts its relaunch.
    const std::wstring pass = L"_ThreadCheckRunningAndLaunch run times leave:";
    const std::wstring windowEnd = L"_ThreadCheckRunningAndLaunch  exit";
    Service svc;
    if (!svc.Open() || !svc.Start()) return 1;
    const double start = Now();
    while (FindRunningProcess(kAgentName).empty() && Now() - start < 60) ::Sleep(10);
    if (FindRunningProcess(kAgentName).empty()) {
        ConsolePrint(L"VIOLATION chaos: no agent within 60 s of the start\n");
        return 1;
    }
    // The window is 15 passes; the kills stop two passes before its end so that each killed
    // agent still has a pass to come back in.
    constexpr size_t kPasses = 15;
    // The first pass after a kill notices it (at most 2 s later) and starts a relaunch, which
    // waits 1.5 s by design before it validates and starts the companions; 2 s more let Wine
    // do that. A killed agent later than that was missed by its pass.
    constexpr double kBackWithin = 2 + 1.5 + 2;
    int violations = 0;
    std::vector<double> returns;
    std::vector<size_t> passesTaken;
    while (log.Count(pass) + 2 < kPasses && log.Count(windowEnd) == 0) {
        ::Sleep(killEveryMilliseconds);
        KillProcessesByName(kAgentName);
        const double killedAt = Now();
        const size_t passesBefore = log.Count(pass);
        while (FindRunningProcess(kAgentName).empty() && Now() - killedAt < 10) ::Sleep(10);
        returns.push_back(Now() - killedAt);
        passesTaken.push_back(log.Count(pass) - passesBefore);
        if (returns.back() > kBackWithin || FindRunningProcess(kAgentName).empty()) {
            ConsolePrint(L"VIOLATION chaos: a killed agent came back after %.2f s and %u passes\n", returns.back(),
                         static_cast<unsigned>(passesTaken.back()));
            ++violations;
        }
    }
    const double waitEnd = Now();
    while (log.Count(windowEnd) == 0 && Now() - waitEnd < 60) ::Sleep(100);
    ::Sleep(500);
    const size_t agents = FindRunningProcess(kAgentName).size();
    ConsolePrint(L"chaos: %u kills every %u ms during the window; each agent back after at most %u pass record(s), median %.2f s, "
                 L"worst %.2f s (bound %.1f s: one 2 s pass and the relaunch's own waits); %u agent(s) after the window\n",
                 static_cast<unsigned>(returns.size()), killEveryMilliseconds,
                 static_cast<unsigned>(passesTaken.empty() ? 0 : *std::max_element(passesTaken.begin(), passesTaken.end())),
                 Median(returns), returns.empty() ? 0 : *std::max_element(returns.begin(), returns.end()), kBackWithin,
                 static_cast<unsigned>(agents));
    if (log.Count(windowEnd) == 0) {
        ConsolePrint(L"VIOLATION chaos: the supervision window did not end\n");
        ++violations;
    }
    if (agents != 1) {
        ConsolePrint(L"VIOLATION chaos: %u agents run after the window, not one\n", static_cast<unsigned>(agents));
        ++violations;
    }
    StopService(svc.service.get());
    return violations;
}
