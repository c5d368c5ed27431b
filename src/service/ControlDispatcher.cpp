#include "service/ControlDispatcher.h"

#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "service/CompanionSupervision.h"
#include "service/ControlCodes.h"
#include "service/Launcher.h"
#include "service/LedWorkers.h"
#include "service/ServiceWaits.h"
#include "service/SessionThreads.h"
#include "service/SettingControls.h"
#include "win/Threads.h"

#include <wtsapi32.h>

#include <type_traits>

namespace {

void OnStopControl()
{
    WriteLog(L"SERVICE_STOPPED");
    SignalServiceQuit();
    DropWaitingLaunches();
    // Gives the waiting threads a moment to see the quit event before their companions go.
    ServiceSleep(10);
    // The companions must not outlive the service; a failed kill does not hold up the stop. Departs from ending any
    // program of the name in any session: only ours, in the console session, where ours are started.
    if (!IsExistHotkeyUtilityProcessAndKill(CompanionTarget(kAgentName))) {
        WriteLog(L"SERVICE_STOPPED  IsExistHotkeyUtilityProcessAndKill FN_HOTKEYS_PROCESS_NAME fail GetLastError: %d",
                 ::GetLastError());
    }
    if (!IsExistHotkeyUtilityProcessAndKill(CompanionTarget(kLockOsdName))) {
        WriteLog(
            L"SERVICE_STOPPED  IsExistHotkeyUtilityProcessAndKill FN_KEYLOCKOSD_PROCESS_NAME fail GetLastError: %d",
            ::GetLastError());
    }
}

// The relaunch and kill threads are detached; only their creation is checked here.
void StartSessionThread(LPTHREAD_START_ROUTINE routine, const wchar_t* failure, DWORD eventType, bool logEvent)
{
    if (!win::StartDetachedThread(routine)) {
        WriteLog(failure, ::GetLastError());
    } else if (logEvent) {
        WriteLog(L"dwEvent::OnServiceControlHandle User Session %d\n", eventType);
    }
}

void OnSessionChange(DWORD eventType)
{
    switch (eventType) {
    case WTS_CONSOLE_CONNECT:
        WriteLog(L"::OnServiceControlHandle User Session WTS_CONSOLE_CONNECT\n");
        StartSessionThread(&Thread_HotkeyUtilityProcessKillAndCreate,
                           L"OnServiceControlHandle CreateThread _Thread_HotkeyUtilityProcessAndKill fail1 GetLastError: %d",
                           eventType, true);
        break;
    case WTS_CONSOLE_DISCONNECT:
        WriteLog(L"::OnServiceControlHandle User Session WTS_CONSOLE_DISCONNECT\n");
        StartSessionThread(&_Thread_HotkeyUtilityProcessAndKill,
                           L"OnServiceControlHandle CreateThread _Thread_HotkeyUtilityProcessAndKill fail2 GetLastError: %d",
                           eventType, true);
        break;
    case WTS_SESSION_LOGON:
        WriteLog(L"::OnServiceControlHandle User Logged on\n");
        StartSessionThread(&Thread_HotkeyUtilityProcessKillAndCreate,
                           L"OnServiceControlHandle CreateThread _Thread_HotkeyUtilityProcessAndKill fail4 GetLastError: %d",
                           eventType, false);
        break;
    case WTS_SESSION_LOGOFF:
        WriteLog(L"::OnServiceControlHandle User Logged off\n");
        break;
    case WTS_SESSION_LOCK:
        WriteLog(L"::OnServiceControlHandle User Session Locked\n");
        break;
    case WTS_SESSION_UNLOCK:
        WriteLog(L"::OnServiceControlHandle User Session Unlocked\n");
        StartSessionThread(&_Thread_HotkeyUtilityProcessCheckAndCreate,
                           L"OnServiceControlHandle CreateThread _Thread_HotkeyUtilityProcessAndKill fail3 GetLastError: %d",
                           eventType, false);
        break;
    default:
        WriteLog(L"dwEvent::OnServiceControlHandle User Session %d\n", eventType);
        break;
    }
}

template <void (*Setting)()>
void IgnoringCode(DWORD)
{
    Setting();
}

template <void (*Writer)(DWORD), DWORD State>
void WithState(DWORD)
{
    Writer(State);
}

// A lock-indicator start that a code asks for, on the launcher thread; the switch row's line follows its launch and
// carries the launch's return code, which the launch clears, not its result.
template <LPTHREAD_START_ROUTINE Routine>
void RunOnLauncher(DWORD, const void*)
{
    Routine(nullptr);
}

void LaunchSwitch(DWORD control, const void* context);

// One control code's work. A row's line is logged with the source line and the code, before its action and its
// launch; a switch row's line is logged by the launcher after its launch.
struct ControlRow {
    DWORD control;
    const wchar_t* line = nullptr;              // null: the row logs nothing itself
    void (*action)(DWORD control) = nullptr;    // null: none
    LaunchJob launch = nullptr;                 // handed to the launcher with the row; null: none
    const wchar_t* switchText = nullptr;        // the lock indicator's switch, for LaunchSwitch
};

const ControlRow kRows[] = {
    {SERVICE_CONTROL_SHUTDOWN, L"::OnServiceControlHandle Syetem Shutdown\n"},
    {SVC_CTL_SEND_UI_METRICS_ON_VER, L" Osmira utility svc  SVC_CTL_SEND_UI_METRICS_ON_VER  inter\n", nullptr,
     &RunOnLauncher<&ThreadMETRICS_ON>},
    {SVC_CTL_SEND_UI_METRICS_OFF_VER, L" Osmira utility svc   SVC_CTL_SEND_UI_METRICS_OFF_VER  inter\n", nullptr,
     &RunOnLauncher<&ThreadMETRICS_OFF>},
    {SVC_CTL_SEND_UI_CAPSLOCK_ON, nullptr, &IgnoringCode<&ControlSendUiCapsLockOn>},
    {SVC_CTL_SEND_UI_CAPSLOCK_OFF, nullptr, &IgnoringCode<&ControlSendUiCapsLockOff>},
    {SVC_CTL_PEXARO_POP_TOAST_SUCCESS, nullptr, &IgnoringCode<&ControlPexaroPopToastSuccess>},
    {SVC_CTL_PEXARO_NEVER_POP_TOAST, nullptr, &IgnoringCode<&ControlPexaroNeverPopToast>},
    {SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON, nullptr, &IgnoringCode<&ControlPexaroCapsLockOn>},
    {SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF, nullptr, &IgnoringCode<&ControlPexaroCapsLockOff>},
    {SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON, nullptr, &IgnoringCode<&ControlPexaroNumLockOn>},
    {SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF, nullptr, &IgnoringCode<&ControlPexaroNumLockOff>},
    {SVC_CTL_TRIGER_PEXARO_POP_TOAST, nullptr, &IgnoringCode<&ControlTriggerPexaroPopToast>},
    {SVC_CTL_BLUE_KB_CONNECT, L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT event !Line:%d  dwCtrl : %d ",
     &ReplayMicMuteForConnectedKeyboard},
    {SVC_CTL_SPEAKER_LED_ON, L"OsmiraUtilityService SVC_CTL_SPEAKER_LED_ON event !Line:%d  dwCtrl : %d ",
     &WithState<&WriteSpeakerLedStatus, 1>},
    {SVC_CTL_SPEAKER_LED_OFF, L"OsmiraUtilityService SVC_CTL_SPEAKER_LED_OFF event !Line:%d  dwCtrl : %d ",
     &WithState<&WriteSpeakerLedStatus, 0>},
    {SVC_CTL_OCR_CAPABILITY_PRC, nullptr, &ControlOcrCapabilityPrc},
    {SVC_CTL_OCR_CAPABILITY_ROW, nullptr, &ControlOcrCapabilityRow},
    {SVC_CTL_SCREEN_SNIPPING, L"OsmiraUtilityService Receive SVC_CTL_SCREEN_SNIPPING", nullptr,
     &RunOnLauncher<&ThreadRunScreenSnipping>},
    {SVC_CTL_MICMUTE_LED_ON, L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_ON event !Line:%d  dwCtrl : %d ",
     &WithState<&WriteMicMuteLedStatusForConnected, 1>},
    {SVC_CTL_MICMUTE_LED_OFF, L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_OFF event !Line:%d  dwCtrl : %d ",
     &WithState<&WriteMicMuteLedStatusForConnected, 0>},
    {SVC_CTL_AIRPLANE_SWITCH, L"OsmiraUtilityService SVC_CTL_AIRPLANE_SWITCH event !Line:%d  dwCtrl: %d dwRetCode:%d ",
     nullptr, &LaunchSwitch, L" -SWITCH_AIRPLANE"},
    {SVC_CTL_TOUCHPAD_CONTROL,
     L"OsmiraUtilityService SVC_CTL_TOUCHPAD_CONTROL event !Line:%d  dwCtrl: %d dwRetCode:%d ", nullptr,
     &LaunchSwitch, L" -TOUCHPAD_SWITCH"},
    {SVC_CTL_VOIPCONTRL_TEAMS_CALL,
     L"OsmiraUtilityService SVC_CTL_VOIPCONTRL_TEAMS_CALL event !Line:%d  dwCtrl: %d dwRetCode:%d ", nullptr,
     &LaunchSwitch, L" -VOIP_TEAMS_CALL"},
    {SVC_CTL_VOIPCONTRL_TEAMS_END,
     L"OsmiraUtilityService SVC_CTL_VOIPCONTRL_TEAMS_END event !Line:%d  dwCtrl: %d dwRetCode:%d ", nullptr,
     &LaunchSwitch, L" -VOIP_TEAMS_END"},
    {SVC_CTL_CALL_SMART_CONNECT,
     L"OsmiraUtilityService SVC_CTL_CALL_SMART_CONNECT event !Line:%d  dwCtrl: %d dwRetCode:%d ", nullptr,
     &LaunchSwitch, L" -CALL_SMART_CONNECT"},
    {SVC_CTL_SET_KEYBOARD_LAYOUT,
     L"OsmiraUtilityService SVC_CTL_SET_KEYBOARD_LAYOUT event !Line:%d  dwCtrl: %d dwRetCode:%d ", nullptr,
     &LaunchSwitch, L" -CALL_SET_LAYOUT"},
};

// The launcher may still run a row while the process exits.
static_assert(std::is_trivially_destructible<ControlRow>::value, "rows outlive the static destructors");

void LaunchSwitch(DWORD control, const void* context)
{
    const ControlRow* row = static_cast<const ControlRow*>(context);
    DWORD returnCode = 0;
    LaunchFnKeyAgentProcess(row->switchText, &returnCode);
    WriteLog(row->line, __LINE__, control, returnCode);
}

void RunRow(const ControlRow& row, DWORD control)
{
    if (row.line != nullptr && row.launch != &LaunchSwitch) WriteLog(row.line, __LINE__, control);
    if (row.action != nullptr) row.action(control);
    if (row.launch != nullptr) QueueLaunch(control, row.launch, &row);
}

} // namespace

DWORD DispatchServiceControl(DWORD control, DWORD eventType, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP) {
        OnStopControl();
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_SESSIONCHANGE) {
        OnSessionChange(eventType);
        return NO_ERROR;
    }
    for (const ControlRow& row : kRows) {
        if (row.control != control) continue;
        RunRow(row, control);
        return NO_ERROR;
    }
    WriteLog(L"OsmiraUtilityService default event !Line:%d  dwCtrl : %d ", __LINE__, control);
    return NO_ERROR;
}
