// The installed service under a storm of the codes that start threads or programs, sent through
// the manager: codes cycling through 139, 140, 151, 158 (each starts a thread; 158's starts
// FnKeyLockOsd.exe) and 163-168 (each starts FnKeyLockOsd.exe with an action switch). One
// sampler takes a process snapshot every 20 ms during the storm: the service's threads and the
// lock-indicator and agent processes. The figures, each missed when any code never arrived:
//  - codes accepted, the service RUNNING at every sample;
//  - peak threads against the most seen in the second before the storm (goal: at most one more
//    per thread-starting code);
//  - peak FnKeyLockOsd.exe processes (goal: the companion and one per launching code);
//  - the stop right after the storm (goal: STOPPED within 1 s).
// The storm ends early, and every figure is missed, when it passes its time limit (600 s unless
// told) or when the companions pass 40 processes: a service that does not bound its launches
// would fill the machine. Prints figure rows; asserts nothing.   storm_bench [codes] [seconds]
#include "BenchFigures.h"
#include "BenchMeasures.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

#include <atomic>
#include <cstdlib>
#include <thread>

using namespace testsupport;

namespace {

constexpr DWORD kStormCodes[] = {139, 163, 140, 164, 151, 165, 158, 166, 167, 168};
constexpr int kThreadStarters = 4;   // 139, 140, 151, 158
constexpr int kLaunchingCodes = 7;   // 158, 163-168
constexpr int kCompanionCap = 40;

struct Sample {
    int threads = 0, lockIndicators = 0, agents = 0;
};

Sample Take(DWORD processId)
{
    Sample sample;
    sample.threads = processId != 0 ? static_cast<int>(ThreadCount(processId)) : 0;
    sample.lockIndicators = static_cast<int>(ProcessIds(L"FnKeyLockOsd.exe").size());
    sample.agents = static_cast<int>(ProcessIds(L"FnKeyAgent.exe").size());
    return sample;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int codes = argc > 1 ? std::max(10, _wtoi(argv[1])) : 100000;
    const double limit = argc > 2 ? std::max(10, _wtoi(argv[2])) : 600;
    const std::wstring acceptedFigure =
        Format(L"storm of %d thread- and program-starting codes: codes accepted", codes);
    SetLogSwitch(false);
    TestService service(L"OsmiraUtilityService");
    service.Stop();  // a start of its own, so that the supervision window can be timed
    const double started = Now();
    if (!service.EnsureRunning()) {
        PrintUnmeasured(acceptedFigure.c_str(), L"the service does not start", L"all, RUNNING throughout");
        return 1;
    }
    const DWORD processId = service.ProcessId();
    const win::UniqueServiceHandle serviceHandle = service.Open();
    if (!WaitUntil(BothCompanionsRun, 60000)) ConsolePrint(L"the companions did not both start within 60 s\n");
    WaitOutSupervision(started); // the supervision's threads are no part of the bound
    Sample before;
    for (int i = 0; i < 50; ++i, ::Sleep(20)) before.threads = std::max(before.threads, Take(processId).threads);
    before.lockIndicators = Take(processId).lockIndicators;

    std::atomic<bool> stormOver(false);
    std::atomic<int> companions(0);
    Sample peak;
    int samples = 0, notRunning = 0;
    std::thread sampler([&] {
        while (!stormOver) {
            const Sample now = Take(processId);
            peak.threads = std::max(peak.threads, now.threads);
            peak.lockIndicators = std::max(peak.lockIndicators, now.lockIndicators);
            peak.agents = std::max(peak.agents, now.agents);
            companions = now.lockIndicators + now.agents;
            SERVICE_STATUS state = {};
            if (!::QueryServiceStatus(serviceHandle.get(), &state) || state.dwCurrentState != SERVICE_RUNNING) {
                ++notRunning;
            }
            ++samples;
            ::Sleep(20);
        }
    });
    SERVICE_STATUS status = {};
    int sent = 0, refused = 0;
    const double stormStart = Now();
    const wchar_t* cutShort = nullptr;
    for (; sent < codes; ++sent) {
        if (Now() - stormStart > limit) cutShort = L"time limit";
        if (companions > kCompanionCap) cutShort = L"companion cap";
        if (cutShort) break;
        const DWORD code = kStormCodes[sent % (sizeof kStormCodes / sizeof kStormCodes[0])];
        if (!::ControlService(serviceHandle.get(), code, &status))
            ++refused;
    }
    const double storm = Now() - stormStart;
    stormOver = true;
    sampler.join();

    const double stopStart = Now();
    ::ControlService(serviceHandle.get(), SERVICE_CONTROL_STOP, &status);
    const bool stopped = WaitUntil([&] {
        SERVICE_STATUS now = {};
        return ::QueryServiceStatus(serviceHandle.get(), &now) && now.dwCurrentState == SERVICE_STOPPED;
    }, 10000, 1);
    const double stop = Now() - stopStart;
    ::Sleep(500);
    const Sample after = Take(0);

    ConsolePrint(L"storm: %d of %d codes sent in %.1f s (%.0f a second)%s%s, %d refused; %d samples, %d not RUNNING; "
                 L"threads %d before, peak %d; FnKeyLockOsd.exe %d before, peak %d; FnKeyAgent.exe peak %d; "
                 L"stop %s after %.3f s; %d lock-indicator and %d agent processes left after the stop\n",
                 sent, codes, storm, sent / storm, cutShort ? L", cut short: " : L"", cutShort ? cutShort : L"",
                 refused, samples, notRunning, before.threads, peak.threads, before.lockIndicators, peak.lockIndicators,
                 peak.agents, stopped ? L"STOPPED" : L"not STOPPED", stop, after.lockIndicators, after.agents);
    const int lost = codes - sent + refused;  // a code never sent or refused never arrived
    const std::wstring lostText = lost > 0 ? Format(L", %d codes never arrived", lost) : L"";
    const bool whole = lost == 0;
    PrintFigureRow(acceptedFigure.c_str(), Format(L"%d accepted, %d samples not RUNNING", sent - refused, notRunning),
                   Format(L"%d codes", codes), Format(L"%.3fx", static_cast<double>(sent - refused) / codes),
                   L"all, RUNNING throughout", whole && notRunning == 0);
    const int threadBound = before.threads + kThreadStarters;
    PrintFigureRow(L"storm: peak threads of the service", Format(L"%d threads%s", peak.threads, lostText.c_str()),
                   Format(L"%d threads before the storm", before.threads),
                   Format(L"+%d", peak.threads - before.threads),
                   Format(L"<= %d (+1 per thread-starting code)", threadBound), whole && peak.threads <= threadBound);
    const int processBound = 1 + kLaunchingCodes;
    PrintFigureRow(
        L"storm: peak FnKeyLockOsd.exe processes", Format(L"%d processes%s", peak.lockIndicators, lostText.c_str()),
        Format(L"%d before the storm", before.lockIndicators),
        Format(L"+%d", peak.lockIndicators - before.lockIndicators),
        Format(L"<= %d (companion +1 per launching code)", processBound), whole && peak.lockIndicators <= processBound);
    PrintFigureRow(L"storm: stop right after the storm", stopped ? Format(L"%.0f ms%s", stop * 1000, lostText.c_str())
                                                                 : Format(L"not STOPPED in 10 s%s", lostText.c_str()),
                   L"1 s", Format(L"%.3fx", stop), L"STOPPED <= 1 s", whole && stopped && stop <= 1.0);
    return 0;
}
