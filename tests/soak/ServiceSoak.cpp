// The service under load and faults: the control storm against a model of the settings and LEDs, start/stop
// cycles of the installed service, and the agent killed during its supervision window.
#include "Soak.h"

#include "FirmwareStandIn.h"
#include "log/ConsolePrint.h"
#include "process/ProcessToolkit.h"
#include "registry/RegistryKeys.h"
#include "service/CompanionSupervision.h"
#include "service/ControlCodes.h"
#include "service/ControlDispatcher.h"
#include "service/ServiceWaits.h"
#include "service/UtilityService.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

#include <wtsapi32.h>

#include <algorithm>
#include <optional>
#include <random>

namespace soak {

using namespace testsupport;

namespace {

using Value = std::optional<DWORD>;

// The settings that codes write, in the order of Model::values.
enum Setting { kCaps, kNum, kCombined, kNeverToast, kSuccessCount, kPopCount, kOcr, kUserChanged, kSettings };
const struct {
    const wchar_t* key;
    const wchar_t* name;
} kSettingValues[kSettings] = {
    {regkeys::kToastKey, regkeys::kShowCapslkOsd},          {regkeys::kToastKey, regkeys::kShowNumlkOsd},
    {regkeys::kOsdKey, regkeys::kShowCapsNumlkOsd},         {regkeys::kToastKey, regkeys::kNeverPopToast},
    {regkeys::kToastKey, regkeys::kCountTimesPopToast},     {regkeys::kToastKey, regkeys::kPopToast},
    {regkeys::kCapabilityKey, regkeys::kOcrSnippingKey},    {regkeys::kCapabilityKey, regkeys::kIsUserChangedCapsNumLk},
};

// What the service must have left after a sequence of codes; a value never written keeps what it was.
struct Model {
    Value values[kSettings];
    DWORD micMute = firmware::kLedNeverSet;
    DWORD speaker = firmware::kLedNeverSet;

    static Model Read()
    {
        Model model;
        for (int setting = 0; setting < kSettings; ++setting) {
            DWORD data = 0;
            DWORD size = sizeof data;
            const LONG status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kSettingValues[setting].key,
                                               kSettingValues[setting].name, RRF_RT_REG_DWORD, nullptr, &data, &size);
            if (status == ERROR_SUCCESS) model.values[setting] = data;
        }
        model.micMute = firmware::ReadLedState(firmware::kMicMuteLed);
        model.speaker = firmware::ReadLedState(firmware::kSpeakerLed);
        return model;
    }

    // True when the code changes a setting.
    bool Apply(DWORD code);
};

// What each setting code writes: a value, the counter plus one (an unreadable counter counting as 3), or
// the combined indicator on when the other lock indicator is on (a missing one counting as off).
constexpr int kBump = -1;
constexpr int kOnWhenNumOn = -2;
constexpr int kOnWhenCapsOn = -3;
const struct {
    DWORD code;
    Setting setting;
    int value;
} kEffects[] = {
    {SVC_CTL_SEND_UI_CAPSLOCK_ON, kCaps, 1},           {SVC_CTL_SEND_UI_CAPSLOCK_ON, kNum, 1},
    {SVC_CTL_SEND_UI_CAPSLOCK_ON, kCombined, 1},       {SVC_CTL_SEND_UI_CAPSLOCK_ON, kUserChanged, 1},
    {SVC_CTL_SEND_UI_CAPSLOCK_OFF, kCaps, 0},          {SVC_CTL_SEND_UI_CAPSLOCK_OFF, kNum, 0},
    {SVC_CTL_SEND_UI_CAPSLOCK_OFF, kCombined, 0},      {SVC_CTL_PEXARO_POP_TOAST_SUCCESS, kSuccessCount, kBump},
    {SVC_CTL_PEXARO_POP_TOAST_SUCCESS, kNeverToast, 1}, {SVC_CTL_PEXARO_NEVER_POP_TOAST, kNeverToast, 1},
    {SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON, kCaps, 1},    {SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON, kUserChanged, 1},
    {SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON, kCombined, kOnWhenNumOn},
    {SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF, kCaps, 0},   {SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF, kCombined, 0},
    {SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON, kNum, 1},     {SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON, kUserChanged, 1},
    {SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON, kCombined, kOnWhenCapsOn},
    {SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF, kNum, 0},    {SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF, kCombined, 0},
    {SVC_CTL_TRIGER_PEXARO_POP_TOAST, kPopCount, kBump}, {SVC_CTL_OCR_CAPABILITY_PRC, kOcr, 1},
    {SVC_CTL_OCR_CAPABILITY_ROW, kOcr, 2},
};

bool Model::Apply(DWORD code)
{
    if (code == SVC_CTL_MICMUTE_LED_ON || code == SVC_CTL_MICMUTE_LED_OFF) micMute = code == SVC_CTL_MICMUTE_LED_ON;
    if (code == SVC_CTL_SPEAKER_LED_ON || code == SVC_CTL_SPEAKER_LED_OFF) speaker = code == SVC_CTL_SPEAKER_LED_ON;
    bool changed = false;
    for (const auto& effect : kEffects) {
        if (effect.code != code) continue;
        Value& value = values[effect.setting];
        const Setting other = effect.value == kOnWhenNumOn ? kNum : kCaps;
        if (effect.value >= 0) value = DWORD(effect.value);
        if (effect.value == kBump) value = value.value_or(3) + 1;
        if (effect.value <= kOnWhenNumOn && values[other].value_or(0) >= 1) value = 1;
        changed = true;
    }
    return changed;
}

std::wstring Text(const Value& value)
{
    return value ? std::to_wstring(*value) : L"(none)";
}

void CompareSettings(const Model& model, DWORD afterCode)
{
    const Model found = Model::Read();
    for (int setting = 0; setting < kSettings; ++setting) {
        if (model.values[setting] == found.values[setting]) continue;
        Violation(L"storm: after code %u %s is %s, the codes say %s", afterCode, kSettingValues[setting].name,
                  Text(found.values[setting]).c_str(), Text(model.values[setting]).c_str());
    }
}

bool IsLaunchCode(DWORD code)
{
    return code == SVC_CTL_SEND_UI_METRICS_ON_VER || code == SVC_CTL_SEND_UI_METRICS_OFF_VER ||
           code == SVC_CTL_SCREEN_SNIPPING || (code >= SVC_CTL_AIRPLANE_SWITCH && code <= SVC_CTL_SET_KEYBOARD_LAYOUT);
}

// A count climbs when every one of the last third of the samples is above every one of the first third:
// a steady climb, not the jitter of threads that come and go.
bool Climbs(const std::vector<DWORD>& counts)
{
    const size_t third = counts.size() / 3;
    const DWORD lowestLate = *std::min_element(counts.end() - third, counts.end());
    return lowestLate > *std::max_element(counts.begin(), counts.begin() + third);
}

// The supervision pass that notices a missing agent, and the end of the supervision window.
const wchar_t* const kPass = L"_ThreadCheckRunningAndLaunch run times leave:";
const wchar_t* const kWindowEnd = L"_ThreadCheckRunningAndLaunch  exit";

size_t ServiceLogCount(const wchar_t* recordStart)
{
    return CountRecords(ReadLogMessages(kServiceLog), recordStart, true);
}

// Starts the installed service afresh with logging on and returns once its supervision window has ended:
// from then on its handles and threads hold steady unless something leaks.
bool StartSettled(TestService& service)
{
    const bool logWasOn = SetLogSwitch(true);
    service.Stop();
    ::DeleteFileW(kServiceLog);
    const auto windowEnded = [] { return ServiceLogCount(kWindowEnd) != 0; };
    const bool settled = service.EnsureRunning() && WaitUntil(windowEnded, 90000, 100);
    SetLogSwitch(logWasOn);
    return settled;
}

// The session threads and supervision windows that the in-process events started wait on the quit event;
// each set releases one waiter, so it is set until every window has closed.
void EndSessionWork()
{
    WaitUntil([] {
        ::SetEvent(ServiceQuitEvent());
        return g_nCheckRunning.load() == 0;
    }, 120000, 50);
    for (int i = 0; i < 40; ++i) {
        ::SetEvent(ServiceQuitEvent());
        ::Sleep(50);
    }
    for (const wchar_t* name : {kAgentName, kLockOsdName, kPackagedAppName}) KillProcessesByName(name);
}

} // namespace

void Storm(DWORD codes, DWORD seed, bool throughManager)
{
    // The stop (1) ends the service and is the cycles' business; every other code goes in. In-process the
    // dispatcher must take whatever reaches it, and session events come in between (the manager sends
    // them to no one but itself); through the manager it may refuse its own codes, never a custom one.
    const wchar_t* const lane = throughManager ? L"storm through the manager" : L"storm in-process";
    TestService installed(L"OsmiraUtilityService");
    std::optional<CUtilityService> inProcess;
    if (!throughManager) {
        inProcess.emplace();
    } else if (!StartSettled(installed)) {
        Violation(L"%s: the installed service does not start and settle", lane);
        return;
    }
    const win::UniqueServiceHandle service = installed.Open();
    const DWORD processId = throughManager ? installed.ProcessId() : 0;
    std::mt19937 random(seed);
    const DWORD sessionEvents[] = {WTS_CONSOLE_CONNECT, WTS_CONSOLE_DISCONNECT, WTS_SESSION_LOGON, WTS_SESSION_LOGOFF,
                                   WTS_SESSION_LOCK,    WTS_SESSION_UNLOCK,     3, 4, 9, 10};
    WTSSESSION_NOTIFICATION notification = {sizeof notification, 1};
    // True when the code reached the dispatcher, which has carried it out when this returns.
    const auto deliver = [&](DWORD code) {
        if (throughManager) {
            SERVICE_STATUS status = {};
            return ::ControlService(service.get(), code, &status) != FALSE;
        }
        DispatchServiceControl(code, code == SERVICE_CONTROL_SESSIONCHANGE ? sessionEvents[random() % 10] : 0,
                               &notification);
        return true;
    };
    // Launches start real processes: at most one every two seconds keeps the machine usable. In-process, a
    // session event every second and at least one in every 5,000 codes.
    constexpr double kLaunchGap = 2.0;
    constexpr DWORD kCodesPerSessionEvent = 5000;

    Model model = Model::Read();
    // One process lives through the managed storm: its handles and threads, every 1,000 codes, must not climb.
    std::vector<DWORD> handles;
    std::vector<DWORD> threads;
    DWORD sent = 0;
    double lastLaunch = -kLaunchGap;
    double lastEvent = Now();
    while (sent < codes) {
        const DWORD code = random() % 256;
        if (code == SERVICE_CONTROL_STOP) continue;
        if (IsLaunchCode(code) || code == SERVICE_CONTROL_SESSIONCHANGE) {
            if (Now() - lastLaunch < kLaunchGap) continue;
            lastLaunch = Now();
        }
        ++sent;
        if (throughManager && sent % 1000 == 0) {
            if (installed.Status().dwCurrentState != SERVICE_RUNNING) {
                Violation(L"%s: the service left RUNNING after %u codes", lane, sent - 1);
                return;
            }
            handles.push_back(HandleCount(processId));
            threads.push_back(ThreadCount(processId));
        }
        if (!deliver(code)) {
            if (code >= 128) Violation(L"%s: the manager refused custom code %u (%lu)", lane, code, ::GetLastError());
            continue;
        }
        // The dispatcher writes before it returns: a setting code is checked at once.
        if (model.Apply(code)) CompareSettings(model, code);
        if (!throughManager && (Now() - lastEvent >= 1.0 || sent % kCodesPerSessionEvent == 0)) {
            lastEvent = Now();
            deliver(SERVICE_CONTROL_SESSIONCHANGE);
        }
    }
    ConsolePrint(L"%s: %u codes from seed %u\n", lane, sent, seed);
    // The LED workers take the newest request at their own pace.
    const auto ledsAsModel = [&] {
        const Model found = Model::Read();
        return found.micMute == model.micMute && found.speaker == model.speaker;
    };
    if (!WaitUntil(ledsAsModel, 15000)) Violation(L"%s: the firmware's LEDs differ from the last codes", lane);
    for (const auto& [name, counts] : {std::pair{L"handle", &handles}, std::pair{L"thread", &threads}}) {
        if (!throughManager) continue;
        if (counts->size() < 9 || Climbs(*counts)) {
            Violation(L"%s: the service's %s count climbs, or too few samples to tell", lane, name);
        }
    }
    if (inProcess) EndSessionWork();
}

void Cycles(DWORD cycles, DWORD stayEvery, DWORD seed)
{
    TestService installed(L"OsmiraUtilityService");
    std::mt19937 random(seed);
    // Settings and LED codes through the manager, as the companions send them; launches are the storm's.
    const DWORD settingCodes[] = {141, 142, 144, 145, 146, 147, 148, 149, 150, 151,
                                  154, 155, 156, 157, 160, 161, 130, 200, 255};
    for (DWORD cycle = 1; cycle <= cycles; ++cycle) {
        if (!installed.EnsureRunning()) {
            Violation(L"cycle %u: the service did not start", cycle);
            return;
        }
        for (int i = 0; i < 50; ++i) installed.Control(settingCodes[random() % std::size(settingCodes)]);
        if (installed.Status().dwCurrentState != SERVICE_RUNNING) {
            Violation(L"cycle %u: the service left RUNNING under the codes", cycle);
        }
        // Some cycles stay until both companions run (about 9.5 s after the start), so that the stop has
        // them to end.
        if (stayEvery != 0 && cycle % stayEvery == 0) {
            if (!WaitUntil(BothCompanionsRun, 30000, 50)) {
                Violation(L"cycle %u: the agent and the lock indicator did not both run within 30 s", cycle);
            }
        }
        const double stopAt = Now();
        if (installed.Control(SERVICE_CONTROL_STOP) != 0) {
            Violation(L"cycle %u: the stop control failed (%lu)", cycle, ::GetLastError());
            return;
        }
        installed.WaitForState(SERVICE_STOPPED, 10000);
        const double stopped = Now() - stopAt;
        if (stopped > 1.0) Violation(L"cycle %u: STOPPED after %.2f s", cycle, stopped);
        for (const wchar_t* name : {kAgentName, kLockOsdName, kPackagedAppName}) {
            if (ProcessIds(name).empty()) continue;
            Violation(L"cycle %u: %s still runs after the stop", cycle, name);
            KillProcessesByName(name);
        }
    }
}

void Chaos(DWORD killEveryMs)
{
    TestService installed(L"OsmiraUtilityService");
    const bool logWasOn = SetLogSwitch(true);
    installed.Stop();
    ::DeleteFileW(kServiceLog); // records of an earlier run would count as this one's
    if (!installed.EnsureRunning() || !WaitUntil([] { return !ProcessIds(kAgentName).empty(); }, 60000, 10)) {
        Violation(L"chaos: the service did not start, or no agent within 60 s of the start");
        return;
    }
    // The window is 15 passes; the kills stop two passes before its end so that each killed agent still
    // has a pass to come back in. The first pass after a kill notices it (at most 2 s later) and starts a
    // relaunch, which waits 1.5 s by design; 2 s more let Wine start the agent.
    constexpr size_t kPasses = 15;
    constexpr double kBackWithin = 2 + 1.5 + 2;
    unsigned kills = 0;
    while (ServiceLogCount(kPass) + 2 < kPasses && ServiceLogCount(kWindowEnd) == 0) {
        ::Sleep(killEveryMs);
        // Killed by id and held by handle until ended, so that a failed kill cannot pass for a return,
        // nor a reused id for a new agent.
        const std::vector<DWORD> killed = ProcessIds(kAgentName);
        const double killedAt = Now();
        size_t ended = 0;
        for (DWORD id : killed) {
            const win::UniqueHandle agent(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
            ended += agent && ::TerminateProcess(agent.get(), 1) &&
                     ::WaitForSingleObject(agent.get(), 5000) == WAIT_OBJECT_0;
        }
        const auto newAgent = [&] {
            const std::vector<DWORD> now = ProcessIds(kAgentName);
            return std::any_of(now.begin(), now.end(), [&](DWORD id) {
                return std::find(killed.begin(), killed.end(), id) == killed.end();
            });
        };
        const bool back = WaitUntil(newAgent, 10000, 10);
        const double backAfter = Now() - killedAt;
        ++kills;
        if (killed.empty() || ended != killed.size() || !back || backAfter > kBackWithin) {
            Violation(L"chaos: %u of %u agents killed; a new agent after %.2f s: %s", unsigned(ended),
                      unsigned(killed.size()), backAfter, back ? L"yes" : L"none");
        }
    }
    const bool windowEnded = WaitUntil([] { return ServiceLogCount(kWindowEnd) != 0; }, 60000, 100);
    ::Sleep(500);
    const size_t agents = ProcessIds(kAgentName).size();
    if (!windowEnded || kills < 3) {
        Violation(L"chaos: the supervision window did not end, or fewer than 3 kills fell inside it");
    }
    if (agents != 1) Violation(L"chaos: %u agents run after the window, not one", unsigned(agents));
    installed.Stop();
    SetLogSwitch(logWasOn);
}

} // namespace soak
