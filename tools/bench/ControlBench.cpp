// The control round trip of a custom code: ControlService with code 200, which the utility
// service takes through its whole dispatcher (logging off) and answers without acting, against
// the same call on a minimal service of the same framework whose control hook does nothing.
// Both run in the same prefix; the calls alternate in blocks of 100, so that drift of the
// machine's load falls on both. Prints one figure row; asserts nothing. Run in a prefix with the
// utility service installed:   control_bench <bench_minimal_service.exe> [calls]
#include "BenchFigures.h"
#include "BenchMeasures.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <string>

using namespace testsupport;

namespace {

constexpr DWORD kCustomCode = 200;  // in the custom range 128-255; no row of the service acts on it
constexpr const wchar_t* kMinimalName = L"OsmiraBenchMinimalService";

// Seconds of each of `count` round trips, appended to `samples`.
void RoundTrips(SC_HANDLE service, int count, std::vector<double>& samples, int& failures)
{
    for (int i = 0; i < count; ++i) {
        SERVICE_STATUS status = {};
        const double start = Now();
        const BOOL ok = ::ControlService(service, kCustomCode, &status);
        const double seconds = Now() - start;
        if (ok) samples.push_back(seconds); else ++failures;
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* figure = L"control round trip, custom code 200, logging off (median)";
    const wchar_t* goal = L"<= 1.10x";
    if (argc < 2) {
        ConsolePrint(L"usage: control_bench <bench_minimal_service.exe> [calls]\n");
        return 2;
    }
    const int calls = argc > 2 ? std::max(100, _wtoi(argv[2])) : 2000;
    // The figure is meant with logging off: the switch key goes, if it was there.
    SetLogSwitch(false);

    TestService service(L"OsmiraUtilityService");
    if (!service.EnsureRunning()) {
        PrintUnmeasured(figure, L"the service does not start", goal);
        return 1;
    }
    // Registered for the run and deleted at its end.
    TestService minimal(kMinimalName, L"\"" + std::wstring(argv[1]) + L"\"");
    if (!minimal.Start()) {
        PrintUnmeasured(figure, L"the minimal service does not start", goal);
        service.Stop();
        return 1;
    }
    const win::UniqueServiceHandle serviceHandle = service.Open();
    const win::UniqueServiceHandle minimalHandle = minimal.Open();

    std::vector<double> serviceTrips, minimalTrips;
    int serviceFailures = 0, minimalFailures = 0;
    RoundTrips(serviceHandle.get(), 100, serviceTrips, serviceFailures);  // warm-up, not counted
    RoundTrips(minimalHandle.get(), 100, minimalTrips, minimalFailures);
    serviceTrips.clear();
    minimalTrips.clear();
    serviceFailures = minimalFailures = 0;
    for (int done = 0; done < calls; done += 100) {
        const int block = std::min(100, calls - done);
        RoundTrips(serviceHandle.get(), block, serviceTrips, serviceFailures);
        RoundTrips(minimalHandle.get(), block, minimalTrips, minimalFailures);
    }
    service.Stop();

    if (serviceTrips.empty() || minimalTrips.empty()) {
        PrintUnmeasured(figure, L"every ControlService call failed", goal);
        return 1;
    }
    const double serviceMedian = Percentile(serviceTrips, 0.5), minimalMedian = Percentile(minimalTrips, 0.5);
    ConsolePrint(L"control round trip: service median %.1f us, 95th percentile %.1f us (%d calls, %d failed); "
                 L"minimal service median %.1f us, 95th percentile %.1f us (%d calls, %d failed)\n",
                 serviceMedian * 1e6, Percentile(serviceTrips, 0.95) * 1e6, calls, serviceFailures,
                 minimalMedian * 1e6, Percentile(minimalTrips, 0.95) * 1e6, calls, minimalFailures);
    const double ratio = serviceMedian / minimalMedian;
    PrintFigure(figure, Format(L"%.1f us", serviceMedian * 1e6),
                Format(L"%.1f us (minimal service)", minimalMedian * 1e6), ratio, goal,
                ratio <= 1.10 && serviceFailures == 0);
    return 0;
}
