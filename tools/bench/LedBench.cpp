// The LED path's figures, in a prefix with the firmware stand-in registered, the service
// installed and keyboard VID_7A7A&PID_0101 attached (of the three the defaults register):
//  - latency from code 160 sent to the stamp of the service's "SetFeature" record, median and
//    95th percentile, against the same legs without the service's own work, each ending at the
//    receiving side's own stamp as the service's sample does: code 160 sent to the minimal
//    reference service up to its control hook's stamp of the code's arrival, plus the same
//    firmware call made here directly up to its record's stamp. Both stamps are on the clock and
//    at the resolution of the firmware's record stamps. The samples alternate (service, minimal
//    service, direct call), so that the machine's drift falls on both; a code whose call never
//    comes within 2 s is a miss and the figure says "missed";
//  - coalescing: with every firmware call taking a fixed time, 1,000 alternating mic-mute
//    codes make at most (time the codes took ÷ call time + 1) calls, and the last code wins;
//  - one WriteStatusToHIDKeyboard with three registered keyboards, one attached (a detail line).
// Prints figure rows; asserts nothing.   led_bench <bench_minimal_service.exe> [codes]
#include "BenchFigures.h"
#include "BenchMeasures.h"
#include "hardware/HidKbLed.h"
#include "hardware/QvkWmi.h"
#include "support/TestSupport.h"

#include <objbase.h>

#include <cmath>
#include <cstdlib>

using namespace testsupport;

namespace {

constexpr const wchar_t* kMicOn = L"featuretype=\"1\"";
constexpr const wchar_t* kMicOff = L"featuretype=\"2\"";
constexpr DWORD kCallMilliseconds = 20;  // the firmware's call time for the coalescing figure

// Sets (or with 0 removes) the stand-in's fixed call time of SetFeature.
void SetCallTime(DWORD milliseconds)
{
    const std::wstring key = std::wstring(firmware::kBehaviourKey) + L"\\" + firmware::kUtilityClass + L"\\SetFeature";
    if (milliseconds == 0) {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), firmware::kCallMilliseconds);
    } else {
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), firmware::kCallMilliseconds, REG_DWORD, &milliseconds,
                          sizeof milliseconds);
    }
}

// Polls the tail every 2 ms for up to `limitMs` for a SetFeature record of `processId` with `input`,
// stamped at or after `sentMs`; its stamp (LocalMilliseconds scale), or -1.
double WaitForSetFeature(FirmwareCallTail& tail, DWORD processId, const wchar_t* input, double sentMs, DWORD limitMs)
{
    double stamp = -1;
    WaitUntil([&] {
        for (const firmware::CallRecord& record : tail.Read()) {
            const double at = StampMilliseconds(record.time);
            const bool wanted = record.method == L"SetFeature" && record.processId == processId;
            if (wanted && record.input == input && at + 0.5 >= sentMs) stamp = at;
        }
        return stamp >= 0;
    }, limitMs, 2);
    return stamp;
}

// Milliseconds from `sentMs` to the minimal service's stamp of the code's arrival, or -1 when none comes in 2 s.
double WaitForArrival(double sentMs)
{
    double stamp = -1;
    WaitUntil([&] {
        stamp = ReadArrivalStamp();
        return stamp >= 0 && stamp + 0.5 >= sentMs;
    }, 2000, 2);
    return stamp >= 0 && stamp + 0.5 >= sentMs ? stamp - sentMs : -1;
}

void LatencyFigure(const wchar_t* figure, double share, const std::vector<double>& service,
                   const std::vector<double>& reference, int misses)
{
    const wchar_t* goal = L"<= 1.30x, every code arrives";
    if (service.empty() || reference.empty()) {
        PrintUnmeasured(figure, L"no SetFeature call was recorded", goal);
        return;
    }
    const double ratio = Percentile(service, share) / Percentile(reference, share);
    const std::wstring missed = misses > 0 ? Format(L", %d codes never arrived", misses) : L"";
    const std::wstring referenceText =
        Format(L"%.2f ms (arrival at minimal service + direct call)", Percentile(reference, share));
    PrintFigure(figure, Format(L"%.2f ms%s", Percentile(service, share), missed.c_str()), referenceText, ratio, goal,
                ratio <= 1.3 && misses == 0);
}

// The burst of `codes` alternating 160/161 codes with the firmware's call time fixed.
void CoalescingFigure(SC_HANDLE service, DWORD processId, int codes)
{
    const wchar_t* figure = L"LED coalescing, 1,000 alternating mic-mute codes, 20 ms per firmware call";
    const wchar_t* goal = L"calls <= burst / call time + 1, final = last code";
    SetCallTime(kCallMilliseconds);
    ::Sleep(500);  // a call of the latency samples still under way ends first
    FirmwareCallTail tail;
    SERVICE_STATUS status = {};
    int refused = 0;
    const double start = Now();
    for (int i = 0; i < codes; ++i) {
        if (!::ControlService(service, i % 2 == 0 ? 160 : 161, &status)) ++refused;
    }
    const double burst = Now() - start;
    // Calls until none has come for two seconds (at most a minute): a late call still counts.
    size_t calls = 0;
    double quietSince = Now();
    while (Now() - quietSince < 2 && Now() - start < 60) {
        for (const firmware::CallRecord& record : tail.Read()) {
            if (record.method == L"SetFeature" && record.processId == processId &&
                (record.input == kMicOn || record.input == kMicOff)) {
                ++calls;
                quietSince = Now();
            }
        }
        ::Sleep(20);
    }
    SetCallTime(0);
    const DWORD lastWants = (codes - 1) % 2 == 0 ? 1 : 0;  // 160 switches the LED on, 161 off
    const DWORD final = firmware::ReadLedState(firmware::kMicMuteLed);
    const double bound = std::floor(burst * 1000 / kCallMilliseconds) + 1;
    ConsolePrint(L"%d alternating mic-mute codes sent in %.3f s (%d refused): %d firmware calls of %d ms, "
                 L"final state %d (the last code wants %d)\n", codes, burst, refused, static_cast<int>(calls),
                 static_cast<int>(kCallMilliseconds), static_cast<int>(final), static_cast<int>(lastWants));
    PrintFigureRow(figure,
                   Format(L"%d calls, final %s", static_cast<int>(calls), final == lastWants ? L"= last" : L"wrong"),
                   Format(L"%.0f calls (%.3f s burst / 20 ms + 1)", bound, burst),
                   Format(L"%.3fx", static_cast<double>(calls) / bound), goal,
                   calls >= 1 && static_cast<double>(calls) <= bound && final == lastWants && refused == 0);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        ConsolePrint(L"usage: led_bench <bench_minimal_service.exe> [codes]\n");
        return 2;
    }
    const int codes = argc > 2 ? std::max(10, _wtoi(argv[2])) : 200;
    SetLogSwitch(false);  // the figures with logging off
    SetCallTime(0);
    TestService service(L"OsmiraUtilityService");
    if (!service.EnsureRunning()) {
        ConsolePrint(L"the service is not installed or does not start (error %d)\n",
                     static_cast<int>(::GetLastError()));
        return 1;
    }
    // Registered for the run and deleted at its end.
    TestService minimal(L"OsmiraBenchMinimalService", L"\"" + std::wstring(argv[1]) + L"\"");
    if (!minimal.Start()) {
        ConsolePrint(L"the minimal service does not start (error %d)\n", static_cast<int>(::GetLastError()));
        service.Stop();
        return 1;
    }
    const DWORD processId = service.ProcessId();
    const win::UniqueServiceHandle serviceHandle = service.Open();
    const win::UniqueServiceHandle minimalHandle = minimal.Open();
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // the direct calls in one apartment, as the LED workers make them
    SERVICE_STATUS status = {};
    FirmwareCallTail tail;
    std::vector<double> serviceLatency, reference, arrivals, direct, controlReturned;
    int misses = 0, referenceFailures = 0;
    for (int i = 0; i < codes; ++i) {
        tail.Skip();
        const double sent = LocalMilliseconds(), returnedFrom = Now();
        ::ControlService(serviceHandle.get(), kStampedCode, &status);
        controlReturned.push_back((Now() - returnedFrom) * 1000);
        const double stamp = WaitForSetFeature(tail, processId, kMicOn, sent, 2000);
        if (stamp < 0) {
            ++misses;
            ::Sleep(2000);  // a late call must not end the next sample
            continue;
        }
        serviceLatency.push_back(stamp - sent);
        ::Sleep(100);  // the HID write that follows the call ends before the reference's samples

        const double minimalSent = LocalMilliseconds();
        const BOOL arrived = ::ControlService(minimalHandle.get(), kStampedCode, &status);
        const double arrival = arrived ? WaitForArrival(minimalSent) : -1;
        tail.Skip();
        const double called = LocalMilliseconds();
        INT32 data = 0;
        const BOOL ok = CQvkWmi().QVK_SetFeature(SET_KBD_MIC_LED_ON, &data);
        const double directStamp = ok ? WaitForSetFeature(tail, ::GetCurrentProcessId(), kMicOn, called, 2000) : -1;
        if (arrival < 0 || directStamp < 0) {
            ++referenceFailures;
            continue;
        }
        arrivals.push_back(arrival);
        direct.push_back(directStamp - called);
        reference.push_back(arrival + directStamp - called);
        ::Sleep(10);
    }
    minimal.Stop();
    ConsolePrint(L"LED latency: %d of %d codes reached the firmware (%d never did), %d reference samples (%d failed); "
                 L"medians: ControlService of code 160 returned after %.2f ms, code 160 to the minimal service's "
                 L"arrival stamp %.2f ms, the direct call to its record %.2f ms\n",
                 static_cast<int>(serviceLatency.size()), codes, misses, static_cast<int>(reference.size()),
                 referenceFailures, Percentile(controlReturned, 0.5), Percentile(arrivals, 0.5),
                 Percentile(direct, 0.5));
    LatencyFigure(L"LED latency, code 160 to SetFeature (median)", 0.5, serviceLatency, reference, misses);
    LatencyFigure(L"LED latency, code 160 to SetFeature (95th percentile)", 0.95, serviceLatency, reference, misses);

    CoalescingFigure(serviceHandle.get(), processId, 1000);

    std::vector<double> writes;
    const std::vector<std::wstring> registered = {L"VID_7A7A&PID_0101", L"VID_7A7A&PID_0102", L"VID_7B7B&PID_0201"};
    for (int i = 0; i < 50; ++i) {
        const double start = Now();
        if (CMicMuteStatusGuard::WriteStatusToHIDKeyboard(i % 2 == 0, registered)) writes.push_back(Now() - start);
    }
    ConsolePrint(
        L"WriteStatusToHIDKeyboard, 3 keyboards registered, 1 attached: median %.2f ms, 95th percentile %.2f ms "
        L"(%d of 50 succeeded)\n",
        Percentile(writes, 0.5) * 1000, Percentile(writes, 0.95) * 1000, static_cast<int>(writes.size()));
    ::CoUninitialize();
    service.Stop();
    return 0;
}
