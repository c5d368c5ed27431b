// The control storm: random control codes 0 to 255 through the service's own dispatcher, one
// at a time as the manager's dispatch thread delivers them, with session events in between.
// A model of the settings and LEDs follows every code; at the end the registry and the
// firmware must hold exactly what the model says.
#include "ServiceSoak.h"

#include "FirmwareStandIn.h"
#include "log/ConsolePrint.h"
#include "process/ProcessToolkit.h"
#include "registry/RegistryKeys.h"
#include "service/CompanionSupervision.h"
#include "service/ControlCodes.h"
#include "service/ControlDispatcher.h"
#include "service/ServiceWaits.h"
#include "service/UtilityService.h"
#include "win/Owners.h"

#include <tlhelp32.h>
#include <wtsapi32.h>

#include <algorithm>
#include <optional>
#include <random>

namespace {

using Value = std::optional<DWORD>;

Value ReadValue(const wchar_t* key, const wchar_t* name)
{
    DWORD data = 0, size = sizeof data;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS) return std::nullopt;
    return data;
}

// What the service must have left behind after a sequence of codes; a value never written
// keeps what it was before the storm.
struct Expected {
    Value caps, num, combined, neverToast, successCount, popCount, ocr, userChanged;
    DWORD micMute = firmware::kLedNeverSet, speaker = firmware::kLedNeverSet;

    static Expected Current()
    {
        using namespace regkeys;
        return {ReadValue(kToastKey, kShowCapslkOsd),   ReadValue(kToastKey, kShowNumlkOsd),
                ReadValue(kOsdKey, kShowCapsNumlkOsd),  ReadValue(kToastKey, kNeverPopToast),
                ReadValue(kToastKey, kCountTimesPopToast), ReadValue(kToastKey, kPopToast),
                ReadValue(kCapabilityKey, kOcrSnippingKey), ReadValue(kCapabilityKey, kIsUserChangedCapsNumLk),
                firmware::ReadLedState(firmware::kMicMuteLed), firmware::ReadLedState(firmware::kSpeakerLed)};
    }

    // True when the code changes a setting.
    bool Apply(DWORD code)
    {
        // An unreadable counter counts as 3; a missing single indicator as off.
        auto bump = [](Value& counter) { counter = counter.value_or(3) + 1; };
        auto on = [](const Value& v) { return v.value_or(0) >= 1; };
        switch (code) {
        case SVC_CTL_SEND_UI_CAPSLOCK_ON: caps = num = combined = userChanged = 1; break;
        case SVC_CTL_SEND_UI_CAPSLOCK_OFF: caps = num = combined = 0; break;
        case SVC_CTL_PEXARO_POP_TOAST_SUCCESS: bump(successCount); neverToast = 1; break;
        case SVC_CTL_PEXARO_NEVER_POP_TOAST: neverToast = 1; break;
        case SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON: caps = userChanged = 1; if (on(num)) combined = 1; break;
        case SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF: caps = combined = 0; break;
        case SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON: num = userChanged = 1; if (on(caps)) combined = 1; break;
        case SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF: num = combined = 0; break;
        case SVC_CTL_TRIGER_PEXARO_POP_TOAST: bump(popCount); break;
        case SVC_CTL_OCR_CAPABILITY_PRC: ocr = 1; break;
        case SVC_CTL_OCR_CAPABILITY_ROW: ocr = 2; break;
        case SVC_CTL_MICMUTE_LED_ON: micMute = 1; return false;
        case SVC_CTL_MICMUTE_LED_OFF: micMute = 0; return false;
        case SVC_CTL_SPEAKER_LED_ON: speaker = 1; return false;
        case SVC_CTL_SPEAKER_LED_OFF: speaker = 0; return false;
        default: return false;
        }
        return true;
    }
};

std::wstring Text(const Value& v) { return v ? std::to_wstring(*v) : L"(none)"; }

// Prints the differences (at most a few per storm) and returns their number.
int CompareSettings(const Expected& want, const Expected& got, DWORD afterCode)
{
    static int printed = 0;
    struct Row { const wchar_t* name; const Value& want; const Value& got; };
    const Row rows[] = {
        {L"ShowCapslkOSD", want.caps, got.caps}, {L"ShowNumlkOSD", want.num, got.num},
        {L"ShowCapsNumlkOSD", want.combined, got.combined}, {L"NeverPopToast", want.neverToast, got.neverToast},
        {L"CountTimesPopToastCapsNumlkOSD", want.successCount, got.successCount},
        {L"PopToastCapsNumlkOSD", want.popCount, got.popCount}, {L"OcrSnippingKey", want.ocr, got.ocr},
        {L"IsUserChangedCapsNumLKStatus", want.userChanged, got.userChanged},
    };
    int violations = 0;
    for (const Row& row : rows) {
        if (row.want == row.got) continue;
        if (++printed <= 5) {
            ConsolePrint(L"VIOLATION storm: after code %u %s is %s, the codes say %s\n", afterCode, row.name, Text(row.got).c_str(),
                         Text(row.want).c_str());
        }
        ++violations;
    }
    return violations;
}

bool IsLaunchCode(DWORD code)
{
    return code == SVC_CTL_SEND_UI_METRICS_ON_VER || code == SVC_CTL_SEND_UI_METRICS_OFF_VER || code == SVC_CTL_SCREEN_SNIPPING ||
           (code >= SVC_CTL_AIRPLANE_SWITCH && code <= SVC_CTL_SET_KEYBOARD_LAYOUT);
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

// A count grows when every one of the last third of the samples is above every one of the
// first third: a steady climb, not the jitter of threads that come and go.
bool Grows(const std::vector<DWORD>& counts)
{
    const size_t third = counts.size() / 3;
    return *std::min_element(counts.end() - third, counts.end()) > *std::max_element(counts.begin(), counts.begin() + third);
}

// The session threads and supervision windows the events started wait on the quit event;
// each set releases one waiter, so it is set until every window has closed.
void EndSessionWork(HANDLE quit)
{
    const double start = Now();
    while (g_nCheckRunning.load() != 0 && Now() - start < 120) {
        ::SetEvent(quit);
        ::Sleep(50);
    }
    for (int i = 0; i < 40; ++i) {
        ::SetEvent(quit);
        ::Sleep(50);
    }
    for (const wchar_t* name : {kAgentName, kLockOsdName, kPackagedAppName}) KillProcessesByName(name);
}

} // namespace

int RunStorm(DWORD codes, DWORD seed, bool throughManager)
{
    // The stop (1) ends the service and is the cycles' business; every other code goes in,
    // the manager's own refusals (shutdown, session change) included: in-process the
    // dispatcher must take whatever reaches it, through the manager they are refused there.
    // Only in-process can session events come in between: the manager sends them to no one
    // but itself. The in-process lane owns a service object for the quit event that the
    // session threads wait on; the installed service has its own.
    std::optional<CUtilityService> inProcess;
    win::UniqueServiceHandle manager, service;
    if (throughManager) {
        manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (manager) service.reset(::OpenServiceW(manager.get(), L"OsmiraUtilityService", SERVICE_ALL_ACCESS));
        if (!service || !StartSettled(service.get())) {
            ConsolePrint(L"VIOLATION storm: the installed service does not start and settle (error %u)\n", ::GetLastError());
            return 1;
        }
    } else {
        inProcess.emplace();
    }
    const wchar_t* const lane = throughManager ? L"storm through the manager" : L"storm in-process";
    std::mt19937 random(seed);
    std::uniform_int_distribution<DWORD> anyCode(0, 255);
    const DWORD sessionEvents[] = {WTS_CONSOLE_CONNECT, WTS_CONSOLE_DISCONNECT, WTS_SESSION_LOGON, WTS_SESSION_LOGOFF,
                                   WTS_SESSION_LOCK, WTS_SESSION_UNLOCK, 3, 4, 9, 10};
    WTSSESSION_NOTIFICATION notification = {sizeof notification, 1};
    // True when the code reached the dispatcher, which has carried it out when this returns.
    auto deliver = [&](DWORD code, DWORD eventType) {
        if (!throughManager) {
            DispatchServiceControl(code, eventType, &notification);
            return true;
        }
        SERVICE_STATUS status = {};
        return ::ControlService(service.get(), code, &status) != FALSE;
    };
    // Launches start real processes: at most one every two seconds keeps the machine usable.
    constexpr double kLaunchGap = 2.0;
    // A session event every second, and at least one in every 5,000 codes for short runs.
    constexpr double kSessionEventGap = 1.0;
    constexpr DWORD kCodesPerSessionEvent = 5000;

    Expected expected = Expected::Current();
    // One process lives through the managed storm: its handles and threads, every 1,000 codes, must not climb.
    const DWORD processId = throughManager ? ServiceProcessId(service.get()) : 0;
    std::vector<DWORD> handles, threads;
    int violations = 0;
    DWORD launches = 0, launchesHeldBack = 0, events = 0, sent = 0, refused = 0;
    double lastLaunch = -kLaunchGap, lastEvent = Now();
    const double start = Now();
    while (sent < codes) {
        DWORD code = anyCode(random);
        if (code == SERVICE_CONTROL_STOP) continue;
        if (IsLaunchCode(code) || code == SERVICE_CONTROL_SESSIONCHANGE) {
            if (Now() - lastLaunch < kLaunchGap) {
                ++launchesHeldBack;
                continue;
            }
            lastLaunch = Now();
            ++launches;
        }
        ++sent;
        if (throughManager && sent % 1000 == 0) {
            SERVICE_STATUS status = {};
            if (!::QueryServiceStatus(service.get(), &status) || status.dwCurrentState != SERVICE_RUNNING) {
                ConsolePrint(L"VIOLATION %s: the service left RUNNING after %u codes\n", lane, sent - 1);
                return violations + 1;
            }
            handles.push_back(HandleCount(processId));
            threads.push_back(ThreadCount(processId));
        }
        if (!deliver(code, code == SERVICE_CONTROL_SESSIONCHANGE ? sessionEvents[random() % 10] : 0)) {
            ++refused;
            // The service accepts every custom code; the manager may refuse only its own.
            if (code >= 128) {
                ConsolePrint(L"VIOLATION %s: the manager refused custom code %u (error %u)\n", lane, code, ::GetLastError());
                ++violations;
            }
            continue;
        }
        // The dispatcher writes before it returns: a setting code is checked at once.
        if (expected.Apply(code)) violations += CompareSettings(expected, Expected::Current(), code);
        if (!throughManager && (Now() - lastEvent >= kSessionEventGap || sent % kCodesPerSessionEvent == 0)) {
            lastEvent = Now();
            deliver(SERVICE_CONTROL_SESSIONCHANGE, sessionEvents[random() % 10]);
            ++events;
        }
    }
    const double elapsed = Now() - start;
    ConsolePrint(L"%s: %u codes (seed %u) in %.1f s, %.0f codes/s; %u launch codes or session changes among them, %u held back "
                 L"for the launch gap; %u refused by the manager; %u session events between codes\n",
                 lane, sent, seed, elapsed, sent / elapsed, launches, launchesHeldBack, refused, events);

    violations += CompareSettings(expected, Expected::Current(), 0);
    // The workers take the newest request at their own pace: give them a moment to settle.
    const double settle = Now();
    Expected leds = Expected::Current();
    while ((leds.micMute != expected.micMute || leds.speaker != expected.speaker) && Now() - settle < 15) {
        ::Sleep(20);
        leds = Expected::Current();
    }
    ConsolePrint(L"%s: LEDs mic-mute %d speaker %d (last codes say %d and %d), settled %.2f s after the last code\n", lane,
                 static_cast<int>(leds.micMute), static_cast<int>(leds.speaker), static_cast<int>(expected.micMute),
                 static_cast<int>(expected.speaker), Now() - settle);
    if (leds.micMute != expected.micMute || leds.speaker != expected.speaker) {
        ConsolePrint(L"VIOLATION %s: the firmware's LEDs differ from the last codes\n", lane);
        ++violations;
    }
    for (const auto& [name, counts] : {std::pair{L"handle", &handles}, std::pair{L"thread", &threads}}) {
        if (!throughManager) continue;
        ConsolePrint(L"%s: the service's %ss over %u samples: first %u, last %u, most %u\n", lane, name,
                     static_cast<unsigned>(counts->size()), counts->empty() ? 0 : counts->front(), counts->empty() ? 0 : counts->back(),
                     counts->empty() ? 0 : *std::max_element(counts->begin(), counts->end()));
        if (counts->size() < 9 || Grows(*counts)) {
            ConsolePrint(L"VIOLATION %s: the service's %s count climbs, or too few samples to tell\n", lane, name);
            ++violations;
        }
    }
    if (inProcess) EndSessionWork(ServiceQuitEvent());
    return violations;
}
