// What the running service costs while nothing happens and whether it grows under load, in a
// prefix with the firmware stand-in registered and the service installed:
//  - CPU time over an idle window (default 60 s), companions up, the three LED workers started
//    and the companions' supervision window over, against one core;
//  - working set and thread count after 10,000 mixed codes (setting, LED and unknown codes;
//    no code that launches a program), against the same taken after the first LED codes.
// Prints figure rows; asserts nothing.   footprint_bench [idle seconds] [codes]
#include "BenchFigures.h"
#include "BenchMeasures.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

#include <psapi.h>

#include <cstdlib>

using namespace testsupport;

namespace {

struct Footprint {
    double workingSetKiB = 0;
    DWORD threads = 0;
};

Footprint Measure(HANDLE process, DWORD processId)
{
    Footprint footprint;
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(process, &counters, sizeof counters))
        footprint.workingSetKiB = counters.WorkingSetSize / 1024.0;
    footprint.threads = ThreadCount(processId);
    return footprint;
}

// Waits until the firmware has recorded `count` calls and the LED workers have gone back to sleep.
void SettleLeds(size_t count)
{
    WaitUntil([&] { return firmware::ReadCallRecords().size() >= count; }, 30000);
    ::Sleep(2500);  // a worker pass lasts at most one 2-s wait beyond its last call
}

// The codes that change settings (141-150, 156, 157), switch LEDs (154, 155, 160, 161) or mean
// nothing to the service (129, 200, 255); never one that launches a program.
constexpr DWORD kMixedCodes[] = {141, 160, 142, 144, 129, 145, 154, 146, 147, 161, 148, 200,
                                 149, 150, 155, 156, 157, 255};

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int idleSeconds = argc > 1 ? std::max(1, _wtoi(argv[1])) : 60;
    const int codes = argc > 2 ? std::max(100, _wtoi(argv[2])) : 10000;
    const wchar_t* idleFigure = L"idle CPU, companions up, LED workers started";
    const wchar_t* idleGoal = L"<= 0.1% of a core";
    const std::wstring memoryFigure = Format(L"working set after %d mixed codes", codes);
    const std::wstring threadFigure = Format(L"threads after %d mixed codes", codes);
    SetLogSwitch(false);  // the shipped default

    TestService service(L"OsmiraUtilityService");
    service.Stop();  // a start of its own, so that the supervision window can be timed
    const double started = Now();
    if (!service.EnsureRunning()) {
        PrintUnmeasured(idleFigure, L"the service does not start", idleGoal);
        return 1;
    }
    const DWORD processId = service.ProcessId();
    const win::UniqueServiceHandle serviceHandle = service.Open();
    win::UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!WaitUntil(BothCompanionsRun, 60000)) ConsolePrint(L"the companions did not both start within 60 s\n");
    SERVICE_STATUS status = {};
    // The first LED codes: one for each firmware worker (the mic-mute code starts the HID
    // worker too), so that later codes start no thread that the reference lacks.
    const size_t firstCalls = firmware::ReadCallRecords().size();
    ::ControlService(serviceHandle.get(), 160, &status);
    ::ControlService(serviceHandle.get(), 154, &status);
    SettleLeds(firstCalls + 2);
    WaitOutSupervision(started);
    const Footprint reference = Measure(process.get(), processId);

    CpuWindow window(processId);
    const double windowStart = Now();
    window.SampleFor(idleSeconds);
    const double share = window.Seconds() / (Now() - windowStart);
    ConsolePrint(L"idle window: %.3f s CPU in %.1f s over the service's threads, %d threads started in it; "
                 L"those threads have used %.3f s CPU since they began\n",
                 window.Seconds(), Now() - windowStart, window.ThreadsStarted(), window.ThreadsTotal());
    if (window.ThreadsTotal() <= 0) {
        // Threads that never used any CPU since they began mean that their times cannot be read here.
        PrintUnmeasured(idleFigure, L"the service's thread times read zero", idleGoal);
    } else {
        PrintFigure(idleFigure, Format(L"%.4f%% (%.3f s CPU in %d s)", share * 100, window.Seconds(), idleSeconds),
                    L"1 core (100%)", share, idleGoal, share <= 0.001);
    }

    const size_t beforeCodes = firmware::ReadCallRecords().size();
    int failed = 0;
    // The working set at each fifth of the codes tells steady growth from a one-time step.
    std::wstring growth;
    const double burst = Now();
    for (int i = 0; i < codes; ++i) {
        const DWORD code = kMixedCodes[i % (sizeof kMixedCodes / sizeof kMixedCodes[0])];
        if (!::ControlService(serviceHandle.get(), code, &status))
            ++failed;
        if ((i + 1) % (codes / 5) == 0)
            growth += Format(L" %d: %.0f KiB;", i + 1, Measure(process.get(), processId).workingSetKiB);
    }
    const double sent = Now() - burst;
    ConsolePrint(L"working set during the codes:%s\n", growth.c_str());
    SettleLeds(beforeCodes + 1);
    const Footprint after = Measure(process.get(), processId);
    ConsolePrint(L"%d mixed codes sent in %.2f s (%d refused), %d firmware calls; working set %.0f -> %.0f KiB, "
                 L"threads %d -> %d\n",
                 codes, sent, failed, static_cast<int>(firmware::ReadCallRecords().size() - beforeCodes),
                 reference.workingSetKiB, after.workingSetKiB, static_cast<int>(reference.threads),
                 static_cast<int>(after.threads));
    if (reference.workingSetKiB <= 0) {
        PrintUnmeasured(memoryFigure.c_str(), L"the working set could not be read", L"<= 1.05x");
    } else {
        const double ratio = after.workingSetKiB / reference.workingSetKiB;
        PrintFigure(memoryFigure.c_str(), Format(L"%.0f KiB", after.workingSetKiB),
                    Format(L"%.0f KiB (after the first LED codes)", reference.workingSetKiB), ratio, L"<= 1.05x",
                    ratio <= 1.05);
    }
    PrintFigure(threadFigure.c_str(), Format(L"%d threads", static_cast<int>(after.threads)),
                Format(L"%d threads (after the first LED codes)", static_cast<int>(reference.threads)),
                reference.threads ? static_cast<double>(after.threads) / reference.threads : 0, L"equal",
                reference.threads != 0 && after.threads == reference.threads);
    service.Stop();
    return 0;
}
