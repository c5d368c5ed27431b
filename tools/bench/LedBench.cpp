// The LED path's figures, in a prefix with the firmware stand-in registered, the service
// installed and keyboard VID_7A7A&PID_0101 attached (of the three the defaults register):
//  - latency from code 160/161 sent to the firmware recording "SetFeature", median and 95th
//    percentile, against the same COM call made here directly;
//  - firmware calls per 1,000 alternating codes, and the time until the final state shows;
//  - one WriteStatusToHIDKeyboard with three registered keyboards, one attached.
// Prints figures; asserts nothing.   led_bench [codes]
#include "BenchClock.h"
#include "FirmwareStandIn.h"
#include "hardware/HidKbLed.h"
#include "hardware/QvkWmi.h"
#include "log/ConsolePrint.h"
#include "win/Owners.h"

#include <objbase.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

void PrintSpread(const wchar_t* what, std::vector<double> seconds)
{
    if (seconds.empty()) {
        ConsolePrint(L"%s: no sample\n", what);
        return;
    }
    std::sort(seconds.begin(), seconds.end());
    ConsolePrint(L"%s: median %.2f ms, 95th percentile %.2f ms (%d samples)\n", what, seconds[seconds.size() / 2] * 1000,
                 seconds[seconds.size() * 95 / 100] * 1000, static_cast<int>(seconds.size()));
}

bool WaitForCalls(size_t count, double limit = 10)
{
    const double start = Now();
    while (firmware::ReadCallRecords().size() < count) {
        if (Now() - start > limit) return false;
        ::Sleep(1);
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int codes = argc > 1 ? std::max(10, _wtoi(argv[1])) : 200;
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    win::UniqueServiceHandle service(::OpenServiceW(manager.get(), L"OsmiraUtilityService", SERVICE_ALL_ACCESS));
    if (!service || (!::StartServiceW(service.get(), 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) ||
        !WaitForState(service.get(), SERVICE_RUNNING)) {
        ConsolePrint(L"the service is not installed or does not start (error %d)\n", static_cast<int>(::GetLastError()));
        return 1;
    }
    SERVICE_STATUS status = {};

    std::vector<double> service_latency, direct_latency;
    for (int i = 0; i < codes; ++i) {
        const size_t before = firmware::ReadCallRecords().size();
        const double sent = Now();
        ::ControlService(service.get(), i % 2 == 0 ? 160 : 161, &status);
        if (WaitForCalls(before + 1)) service_latency.push_back(Now() - sent);
    }
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (int i = 0; i < codes; ++i) {
        const double start = Now();
        CQvkWmi wmi;
        INT32 data = 0;
        if (wmi.QVK_SetFeature(i % 2 == 0 ? SET_KBD_MIC_LED_ON : SET_KBD_MIC_LED_OFF, &data)) direct_latency.push_back(Now() - start);
    }
    PrintSpread(L"code sent to the firmware's SetFeature, through the service", service_latency);
    PrintSpread(L"the same SetFeature called here directly (whole CQvkWmi sequence)", direct_latency);

    const size_t before = firmware::ReadCallRecords().size();
    const double burst = Now();
    for (int i = 0; i < 1000; ++i) ::ControlService(service.get(), i % 2 == 0 ? 160 : 161, &status);
    const double sent = Now() - burst;
    while (firmware::ReadLedState(firmware::kMicMuteLed) != 0 && Now() - burst < 30) ::Sleep(1);
    const double settled = Now() - burst;
    ::Sleep(4500); // two more worker passes, to count any late call
    const size_t calls = firmware::ReadCallRecords().size() - before;
    // Each worker wake takes only the newest request, so the calls count the wakes, not the codes.
    ConsolePrint(L"1,000 alternating codes sent in %.2f s: %d firmware calls, final state after %.2f s\n", sent,
                 static_cast<int>(calls), settled);

    std::vector<double> writes;
    for (int i = 0; i < 50; ++i) {
        const double start = Now();
        if (CMicMuteStatusGuard::WriteStatusToHIDKeyboard(i % 2 == 0)) writes.push_back(Now() - start);
    }
    PrintSpread(L"WriteStatusToHIDKeyboard, 3 keyboards registered, 1 attached", writes);
    ::CoUninitialize();
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    return 0;
}
