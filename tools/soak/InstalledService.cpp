// The installed service under its manager: start/stop cycles, and the agent killed over and
// over while the supervision window is open.
#include "ServiceSoak.h"

#include "log/ConsolePrint.h"
#include "process/ProcessToolkit.h"
#include "service/CompanionSupervision.h"
#include "service/ControlCodes.h"
#include "win/Owners.h"

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

bool BothCompanionsRun() { return !FindRunningProcess(kAgentName).empty() && !FindRunningProcess(kLockOsdName).empty(); }

// The companions start about 9.5 s after the service; a loaded machine may take a while longer.
constexpr double kCompanionsWithin = 30;

double Median(std::vector<double> values)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int RunCycles(DWORD cycles, DWORD stayEvery, DWORD seed)
{
    Service svc;
    if (!svc.Open()) return 1;
    std::mt19937 random(seed);
    int violations = 0;
    std::vector<double> stopTimes;
    DWORD stays = 0, companionsLeft = 0;
    for (DWORD cycle = 1; cycle <= cycles; ++cycle) {
        if (!svc.Start()) return violations + 1;
        // Settings and LED codes through the manager, as the companions send them; launches
        // are left to the storm and the chaos.
        const DWORD settingCodes[] = {141, 142, 144, 145, 146, 147, 148, 149, 150, 151, 154, 155, 156, 157, 160, 161, 130, 200, 255};
        for (int i = 0; i < 50; ++i) {
            SERVICE_STATUS status = {};
            ::ControlService(svc.service.get(), settingCodes[random() % std::size(settingCodes)], &status);
        }
        if (svc.State() != SERVICE_RUNNING) {
            ConsolePrint(L"VIOLATION cycle %u: the service left RUNNING under the codes\n", cycle);
            ++violations;
        }
        // Some cycles stay until both companions run, so that the stop has them to end.
        if (stayEvery != 0 && cycle % stayEvery == 0) {
            ++stays;
            const double start = Now();
            while (!BothCompanionsRun() && Now() - start < kCompanionsWithin) ::Sleep(50);
            if (!BothCompanionsRun()) {
                ConsolePrint(L"VIOLATION cycle %u: the agent and the lock indicator did not both run within %.0f s\n", cycle,
                             kCompanionsWithin);
                ++violations;
            }
        }

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
    ConsolePrint(L"cycles: %u start/stop cycles, %u of them staying for both companions; stop to STOPPED median %.0f ms, "
                 L"worst %.0f ms; %u companions after the stops\n",
                 cycles, stays, Median(stopTimes) * 1000, *std::max_element(stopTimes.begin(), stopTimes.end()) * 1000,
                 companionsLeft);
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
        ::DeleteFileW(m_path.c_str()); // records of an earlier run would count as this one's
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

// The supervision pass that notices a missing agent and starts its relaunch, and the end of the window.
const wchar_t* const kPass = L"_ThreadCheckRunningAndLaunch run times leave:";
const wchar_t* const kWindowEnd = L"_ThreadCheckRunningAndLaunch  exit";

bool StartSettled(SC_HANDLE service)
{
    const ServiceLog log;
    StopService(service);
    const double start = Now();
    if (!EnsureRunning(service)) return false;
    while (log.Count(kWindowEnd) == 0 && Now() - start < 90) ::Sleep(100);
    return log.Count(kWindowEnd) != 0;
}

int RunChaos(DWORD killEveryMilliseconds)
{
    const ServiceLog log;
    const std::wstring pass = kPass, windowEnd = kWindowEnd;
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
    while (log.Count(pass) + 2 < kPasses && log.Count(windowEnd) == 0) {
        ::Sleep(killEveryMilliseconds);
        // The agents are killed by id and held by handle until they have ended, so that a kill
        // that failed cannot pass for a return, nor a reused id for a new agent.
        const std::vector<DWORD> killed = FindRunningProcess(kAgentName);
        const double killedAt = Now();
        size_t ended = 0;
        for (DWORD id : killed) {
            const win::UniqueHandle agent(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
            ended += agent && ::TerminateProcess(agent.get(), 1) && ::WaitForSingleObject(agent.get(), 5000) == WAIT_OBJECT_0;
        }
        const auto back = [&] {
            const std::vector<DWORD> now = FindRunningProcess(kAgentName);
            return std::any_of(now.begin(), now.end(), [&](DWORD id) { return std::count(killed.begin(), killed.end(), id) == 0; });
        };
        while (!back() && Now() - killedAt < 10) ::Sleep(10);
        returns.push_back(Now() - killedAt);
        if (killed.empty() || ended != killed.size() || returns.back() > kBackWithin || !back()) {
            ConsolePrint(L"VIOLATION chaos: %u of %u agent(s) killed; a new agent after %.2f s: %s\n", static_cast<unsigned>(ended),
                         static_cast<unsigned>(killed.size()), returns.back(), back() ? L"yes" : L"none");
            ++violations;
        }
    }
    const double waitEnd = Now();
    while (log.Count(windowEnd) == 0 && Now() - waitEnd < 60) ::Sleep(100);
    ::Sleep(500);
    const size_t agents = FindRunningProcess(kAgentName).size();
    ConsolePrint(L"chaos: %u kills every %u ms during the window, each confirmed; a new agent back after median %.2f s, "
                 L"worst %.2f s (bound %.1f s: one 2 s pass and the relaunch's own waits); %u agent(s) after the window\n",
                 static_cast<unsigned>(returns.size()), killEveryMilliseconds, Median(returns),
                 returns.empty() ? 0 : *std::max_element(returns.begin(), returns.end()), kBackWithin, static_cast<unsigned>(agents));
    if (log.Count(windowEnd) == 0 || returns.size() < 3) {
        ConsolePrint(L"VIOLATION chaos: the supervision window did not end, or fewer than 3 kills fell inside it\n");
        ++violations;
    }
    if (agents != 1) {
        ConsolePrint(L"VIOLATION chaos: %u agents run after the window, not one\n", static_cast<unsigned>(agents));
        ++violations;
    }
    StopService(svc.service.get());
    return violations;
}
