// How soon the installed service has both companions running after its start control, against
// the 8 s it is meant to wait, and what one supervision pass (its process snapshots and checks)
// costs. Prints figures; asserts nothing. Run in a prefix with the service installed:
//   companion_bench [starts]
#include "BenchProbes.h"
#include "process/ProcessToolkit.h"
#include "win/Owners.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

// Seconds from the start control until both companions run, or a negative value.
double TimeToCompanions(SC_HANDLE service)
{
    const double start = Now();
    if (!::StartServiceW(service, 0, nullptr)) return -1;
    return WaitFor(BothCompanionsRun, 60) ? Now() - start : -1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int starts = argc > 1 ? std::max(1, _wtoi(argv[1])) : 3;
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    win::UniqueServiceHandle service(::OpenServiceW(manager.get(), L"OsmiraUtilityService", SERVICE_ALL_ACCESS));
    if (!service) {
        ConsolePrint(L"the service is not installed (error %d)\n", static_cast<int>(::GetLastError()));
        return 1;
    }
    std::vector<double> delays;
    for (int i = 0; i < starts; ++i) {
        const double delay = TimeToCompanions(service.get());
        if (delay >= 0) delays.push_back(delay);
        StopService(service.get());
    }
    if (delays.empty()) {
        ConsolePrint(L"start control to both companions running: never, in %d starts\n", starts);
    } else {
        const double median = Percentile(delays, 0.5);
        ConsolePrint(L"start control to both companions running: median %.3f s of %d starts (%.3f x the 8 s wait)\n",
                     median, static_cast<int>(delays.size()), median / 8.0);
    }

    // One pass of each supervision thread: two snapshots for the check-and-launch watch, one
    // for the agent's watch.
    constexpr int kPasses = 100;
    const double begin = Now();
    size_t seen = 0;
    for (int i = 0; i < kPasses; ++i) {
        seen += FindRunningProcess(L"FnKeyAgent.exe").size() + FindRunningProcess(L"FnKeyLockOsd.exe").size();
        seen += FindRunningProcess(L"FnKeyAgent.exe").size();
    }
    ConsolePrint(L"one supervision pass (3 snapshots and checks): %.0f us, mean of %d (%d processes seen)\n",
                 (Now() - begin) * 1e6 / kPasses, kPasses, static_cast<int>(seen));
    return 0;
}
