// The LED path's figures, in a prefix with the firmware stand-in registered, the service
// installed and keyboard VID_7A7A&PID_0101 attached (of the three the defaults register):
//  - latency from code 160 sent to the firmware recording "SetFeature", median and 95th
//    percentile, against the same COM sequence (CQvkWmi) made here directly;
//  - firmware calls per LED worker pass over 1,000 alternating mic-mute codes, and the final
//    LED state against the last code;
//  - one WriteStatusToHIDKeyboard with three registered keyboards, one attached (a detail line).
// Prints figure rows; asserts nothing.   led_bench [codes]
#include "BenchProbes.h"
#include "hardware/HidKbLed.h"
#include "hardware/QvkWmi.h"
#include "win/Owners.h"

#include <objbase.h>

#include <cstdlib>
#include <thread>

namespace {

// The service's log files (current and the five backups) in its folder under the Windows folder.
std::vector<std::wstring> LogFiles()
{
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring base = std::wstring(windows) + L"\\Temp\\_OsmiraUtility_\\_FnHotkeySvcUtility";
    std::vector<std::wstring> files = {base + L".log"};
    for (int slot = 1; slot <= 5; ++slot) files.push_back(base + L"_" + std::to_wstring(slot) + L".log");
    return files;
}

std::wstring ReadUtf16(const std::wstring& path)
{
    win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return {};
    std::wstring text(::GetFileSize(file.get(), nullptr) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    ::ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
    text.resize(read / sizeof(wchar_t));
    return text;
}

// The passes of the firmware mic-mute worker that applied a request. The worker writes one
// record per such pass, after its firmware conversation and whatever that conversation did
// ("...SVC_CTL_MICMUTE_LED_ON ,line:" or "..._OFF ,line:"; the HID worker's records say
// "To HID" and the dispatcher's say "event"). This counts passes from outside without
// trusting the firmware records that the calls are counted from, and unlike a held firmware
// call it leaves the worker's timing alone, apart from the cost of logging itself. A pass that
// applied nothing makes no call and writes nothing, so it does not count either way.
size_t CountWorkerPasses()
{
    size_t passes = 0;
    for (const std::wstring& file : LogFiles()) {
        const std::wstring text = ReadUtf16(file);
        for (const wchar_t* line : {L"SVC_CTL_MICMUTE_LED_ON ,line:", L"SVC_CTL_MICMUTE_LED_OFF ,line:"}) {
            for (size_t at = text.find(line); at != std::wstring::npos; at = text.find(line, at + 1)) ++passes;
        }
    }
    return passes;
}

// `codes` direct SetFeature calls (the whole CQvkWmi sequence), each one's seconds.
std::vector<double> DirectCalls(int codes)
{
    std::vector<double> seconds;
    for (int i = 0; i < codes; ++i) {
        const double start = Now();
        CQvkWmi wmi;
        INT32 data = 0;
        if (wmi.QVK_SetFeature(SET_KBD_MIC_LED_ON, &data)) seconds.push_back(Now() - start);
    }
    return seconds;
}

void LatencyFigure(const wchar_t* figure, double share, const std::vector<double>& service, const std::vector<double>& direct)
{
    const wchar_t* goal = L"<= 1.50x";
    if (service.empty() || direct.empty()) {
        PrintUnmeasured(figure, L"no SetFeature call was recorded", goal);
        return;
    }
    const double ratio = Percentile(service, share) / Percentile(direct, share);
    PrintFigure(figure, Format(L"%.2f ms", Percentile(service, share) * 1000),
                Format(L"%.2f ms (direct call)", Percentile(direct, share) * 1000), ratio, goal, ratio <= 1.5);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int codes = argc > 1 ? std::max(10, _wtoi(argv[1])) : 200;
    SwitchServiceLogging(false);  // latency with logging off
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    win::UniqueServiceHandle service(::OpenServiceW(manager.get(), L"OsmiraUtilityService", SERVICE_ALL_ACCESS));
    if (!service || !EnsureRunning(service.get())) {
        ConsolePrint(L"the service is not installed or does not start (error %d)\n", static_cast<int>(::GetLastError()));
        return 1;
    }
    SERVICE_STATUS status = {};

    std::vector<double> serviceLatency, directLatency, controlReturned;
    for (int i = 0; i < codes; ++i) {
        const size_t before = firmware::ReadCallRecords().size();
        const double sent = Now();
        ::ControlService(service.get(), 160, &status);
        controlReturned.push_back(Now() - sent);
        if (WaitForFirmwareCalls(before + 1)) serviceLatency.push_back(Now() - sent);
    }
    // A detail, not the reference: the same calls from a thread without a COM apartment of its
    // own, so that each CQvkWmi enters and leaves one, as on a thread that never initialised COM.
    std::vector<double> ownApartment;
    std::thread([&] { ownApartment = DirectCalls(codes); }).join();
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    directLatency = DirectCalls(codes);
    ConsolePrint(L"the same direct call, each in an apartment of its own: median %.2f ms, 95th percentile %.2f ms\n",
                 Percentile(ownApartment, 0.5) * 1000, Percentile(ownApartment, 0.95) * 1000);
    ConsolePrint(L"LED latency: %d of %d codes reached the firmware, %d of %d direct calls succeeded; "
                 L"ControlService itself returned after %.2f ms (median)\n",
                 static_cast<int>(serviceLatency.size()), codes, static_cast<int>(directLatency.size()), codes,
                 Percentile(controlReturned, 0.5) * 1000);
    LatencyFigure(L"LED latency, code 160 to SetFeature (median)", 0.5, serviceLatency, directLatency);
    LatencyFigure(L"LED latency, code 160 to SetFeature (95th percentile)", 0.95, serviceLatency, directLatency);

    // The burst, with logging on so that the worker's passes can be counted; the log starts empty.
    for (const std::wstring& file : LogFiles()) ::DeleteFileW(file.c_str());
    SwitchServiceLogging(true);
    const size_t before = firmware::ReadCallRecords().size();
    const double burst = Now();
    constexpr int kBurst = 1000;
    for (int i = 0; i < kBurst; ++i) ::ControlService(service.get(), i % 2 == 0 ? 160 : 161, &status);
    const double sent = Now() - burst;
    const DWORD lastCode = (kBurst - 1) % 2 == 0 ? 1 : 0;  // 160 switches the LED on, 161 off
    WaitFor([&] { return firmware::ReadLedState(firmware::kMicMuteLed) == lastCode; }, 30);
    const double settled = Now() - burst;
    ::Sleep(4500);  // two more idle worker passes, so that a late call or pass still counts
    const DWORD finalState = firmware::ReadLedState(firmware::kMicMuteLed);
    SwitchServiceLogging(false);
    const size_t calls = firmware::ReadCallRecords().size() - before;
    const size_t passes = CountWorkerPasses();
    ConsolePrint(L"1,000 alternating mic-mute codes sent in %.2f s: %d firmware calls in %d worker passes, "
                 L"final state %d (last code wants %d) after %.2f s\n",
                 sent, static_cast<int>(calls), static_cast<int>(passes), static_cast<int>(finalState),
                 static_cast<int>(lastCode), settled);
    const wchar_t* figure = L"firmware calls per LED worker pass, 1,000 alternating codes";
    const wchar_t* goal = L"<= 1 call/pass, final = last code";
    if (passes == 0) {
        PrintUnmeasured(figure, Format(L"%d calls, no pass in the log", static_cast<int>(calls)).c_str(), goal);
    } else {
        const double ratio = static_cast<double>(calls) / static_cast<double>(passes);
        PrintFigure(figure, Format(L"%d calls, final %s", static_cast<int>(calls), finalState == lastCode ? L"= last" : L"wrong"),
                    Format(L"%d passes", static_cast<int>(passes)), ratio, goal, ratio <= 1.0 && finalState == lastCode);
    }

    std::vector<double> writes;
    const std::vector<std::wstring> registered = {L"VID_7A7A&PID_0101", L"VID_7A7A&PID_0102", L"VID_7B7B&PID_0201"};
    for (int i = 0; i < 50; ++i) {
        const double start = Now();
        if (CMicMuteStatusGuard::WriteStatusToHIDKeyboard(i % 2 == 0, registered)) writes.push_back(Now() - start);
    }
    ConsolePrint(L"WriteStatusToHIDKeyboard, 3 keyboards registered, 1 attached: median %.2f ms, 95th percentile %.2f ms "
                 L"(%d of 50 succeeded)\n", Percentile(writes, 0.5) * 1000, Percentile(writes, 0.95) * 1000,
                 static_cast<int>(writes.size()));
    ::CoUninitialize();
    StopService(service.get());
    return 0;
}
