// The service under load and faults: the control storm through the manager with the service's handles and threads
// sampled, and the agent and the lock indicator killed in turn during the supervision window. (What each code writes:
// the setting controls' unit test; the session events' threads: the supervision unit test.)
#include "Soak.h"

#include "log/ConsolePrint.h"
#include "service/CompanionSupervision.h"
#include "service/ControlCodes.h"
#include "support/Processes.h"
#include "support/RegistryTestSupport.h"

#include <algorithm>
#include <random>

namespace soak {

using namespace testsupport;

namespace {

bool IsLaunchCode(DWORD code)
{
    return code == SVC_CTL_SEND_UI_METRICS_ON_VER || code == SVC_CTL_SEND_UI_METRICS_OFF_VER ||
           code == SVC_CTL_SCREEN_SNIPPING || (code >= SVC_CTL_AIRPLANE_SWITCH && code <= SVC_CTL_SET_KEYBOARD_LAYOUT);
}

// A steady climb, not the jitter of threads that come and go.
bool Climbs(const std::vector<DWORD>& counts)
{
    const size_t third = counts.size() / 3;
    const DWORD lowestLate = *std::min_element(counts.end() - third, counts.end());
    return lowestLate > *std::max_element(counts.begin(), counts.begin() + third);
}

// The supervision pass that notices a missing agent, and the end of the supervision window.
const wchar_t* const kPass = L"_ThreadCheckRunningAndLaunch run times leave:%d";

bool WindowEnded()
{
    return regtest::CountLogged(L"_ThreadCheckRunningAndLaunch  exit,line:%d") != 0;
}

// The installed service started afresh with logging on, so that its supervision passes can be counted.
bool StartFresh(TestService& service)
{
    SetLogSwitch(true);
    service.Stop();
    ::DeleteFileW(kServiceLog); // records of an earlier run would count as this one's
    return service.EnsureRunning();
}

} // namespace

void Storm(DWORD codes, DWORD seed)
{
    TestService installed(L"OsmiraUtilityService");
    if (!StartFresh(installed) || !WaitUntil(WindowEnded, 90000, 100)) {
        Violation(L"storm: the installed service does not start and settle");
        return;
    }
    SetLogSwitch(false);
    const win::UniqueServiceHandle service = installed.Open();
    const DWORD processId = installed.ProcessId();
    std::mt19937 random(seed);
    // Launches start real processes: at most one every two seconds keeps the machine usable.
    std::vector<DWORD> handles;
    std::vector<DWORD> threads;
    DWORD sent = 0;
    double lastLaunch = -2.0;
    while (sent < codes) {
        const DWORD code = random() % 256;
        if (code == SERVICE_CONTROL_STOP) continue;
        if (IsLaunchCode(code)) {
            if (Now() - lastLaunch < 2.0) continue;
            lastLaunch = Now();
        }
        if (++sent % 1000 == 0) {
            handles.push_back(HandleCount(processId));
            threads.push_back(ThreadCount(processId));
        }
        SERVICE_STATUS status = {};
        if (!::ControlService(service.get(), code, &status) && code >= 128) {
            Violation(L"storm: the manager refused custom code %u (%lu)", code, ::GetLastError());
        }
    }
    ConsolePrint(L"storm: %u codes from seed %u\n", sent, seed);
    if (handles.size() < 9 || Climbs(handles) || Climbs(threads)) {
        Violation(L"storm: the service's handles or threads climb, or too few samples to tell");
    }
}

void Chaos(DWORD killEveryMs)
{
    TestService installed(L"OsmiraUtilityService");
    if (!StartFresh(installed) || !WaitUntil(BothCompanionsRun, 60000, 10)) {
        Violation(L"chaos: the service did not start, or not both companions within 60 s of the start");
        return;
    }
    // The next pass (at most 2 s later), the relaunch's own wait and Wine's start; the kills leave each a pass.
    constexpr double kBackWithin = 2 + 1.5 + 2;
    // The lock indicators go first, when no earlier relaunch is under way, and last: their relaunch starts a second
    // agent too, which the supervision must end. An agent's kill leaves room (three passes) for the next.
    unsigned kills = 0;
    size_t indicatorsEnded = 0;
    while (regtest::CountLogged(kPass) + 2 + (kills % 2 == 1 ? 3 : 0) < 15 && !WindowEnded()) {
        ::Sleep(killEveryMs);
        const wchar_t* const victim = kills++ % 2 == 0 ? kLockOsdName : kAgentName;
        // Held by handle until ended: a failed kill cannot pass for a return, and any process after it is new.
        const std::vector<DWORD> killed = ProcessIds(victim);
        const double killedAt = Now();
        size_t ended = 0;
        for (DWORD id : killed) {
            const win::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
            ended += process && ::TerminateProcess(process.get(), 1) &&
                     ::WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
        }
        indicatorsEnded += victim == kLockOsdName ? ended : 0;
        const bool back = WaitUntil([&] { return !ProcessIds(victim).empty(); }, 10000, 10) &&
                          Now() - killedAt <= kBackWithin;
        if (killed.empty() || ended != killed.size() || !back) {
            Violation(L"chaos: kill %u: %u of %u %s ended, a new one in time: %d", kills, unsigned(ended),
                      unsigned(killed.size()), victim, back);
        }
    }
    // The relaunch of a late kill may begin another window of the agent's supervision: every one must end.
    const auto supervisionEnded = [] {
        return WindowEnded() && regtest::CountLogged(L"_ThreadCheckRunningUtility g_nCheckRunning = 0,line:%d") ==
                                    regtest::CountLogged(L"CreateThreadForCheckRunningUtilityTimes CreateThread "
                                                         L"_ThreadCheckRunningUtility success, line:%d");
    };
    const bool windowEnded = WaitUntil(supervisionEnded, 90000, 100);
    const size_t agents = ProcessIds(kAgentName).size();
    // Only the agent is kept to one: each relaunch starts both companions, and passes 2 s apart may both relaunch.
    // Every lock indicator that the service started and the soak did not end still runs.
    const size_t indicators = ProcessIds(kLockOsdName).size();
    const size_t indicatorStarts =
        regtest::CountLogged(L"LaunchFnKeyAgentProcess Create \"FnKeyLockOsd.exe\" process success.\n");
    if (!windowEnded || kills < 3 || kills % 2 == 0 || agents != 1 || indicators + indicatorsEnded != indicatorStarts) {
        Violation(L"chaos: %u kills inside the window, its supervision ended: %d, %u agents after it, %u lock "
                  L"indicators of %u started and %u ended", kills, windowEnded, unsigned(agents), unsigned(indicators),
                  unsigned(indicatorStarts), unsigned(indicatorsEnded));
    }
    installed.Stop();
    SetLogSwitch(false);
}

} // namespace soak
