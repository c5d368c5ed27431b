#include "service/ControlDispatcher.h"

#include "service/ControlCodes.h"
#include "service/UtilityService.h"

#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "service/CompanionSupervision.h"
#include "service/LedWorkers.h"
#include "service/ServiceWaits.h"
#include "service/SessionThreads.h"
#include "service/SettingControls.h"
#include "win/Threads.h"

#include <wtsapi32.h>

#include <type_traits>

RequestGate::Verdict RequestGate::Enter(ULONGLONG nowMilliseconds)
{
    const bool tooSoon = m_admittedBefore && nowMilliseconds - m_lastAdmitted < m_spacing;
    if (tooSoon || m_busy.exchange(true)) {
        const bool first = !m_dropLogged;
        m_dropLogged = true;
        return first ? DroppedFirst : Dropped;
    }
    m_admittedBefore = true;
    m_dropLogged = false;
    m_lastAdmitted = nowMilliseconds;
    return Admitted;
}

namespace {

// A detached thread may still leave its gate while the process exits.
static_assert(std::is_trivially_destructible<RequestGate>::value, "gates outlive the static destructors");

// Departs from a thread or a launch per code: a storm of the codes below is held to at most one
// thread each for 139, 140, 151 and 158 (four in all), and to at most one lock-indicator start
// per code per 500 ms for the nine codes that start one (139, 140, 158, 163-168): 18 a second.
constexpr ULONGLONG kLaunchSpacingMilliseconds = 500;

struct GatedThread {
    LPTHREAD_START_ROUTINE routine;
    RequestGate gate;
};

GatedThread g_metricsOn{&ThreadMETRICS_ON, RequestGate(kLaunchSpacingMilliseconds)};
GatedThread g_metricsOff{&ThreadMETRICS_OFF, RequestGate(kLaunchSpacingMilliseconds)};
GatedThread g_screenSnipping{&ThreadRunScreenSnipping, RequestGate(kLaunchSpacingMilliseconds)};
GatedThread g_keyboardConnect{&ThreadBlueKeyBoardConnect, RequestGate()}; // starts no process
RequestGate g_switchGates[] = {RequestGate(kLaunchSpacingMilliseconds), RequestGate(kLaunchSpacingMilliseconds),
                               RequestGate(kLaunchSpacingMilliseconds), RequestGate(kLaunchSpacingMilliseconds),
                               RequestGate(kLaunchSpacingMilliseconds), RequestGate(kLaunchSpacingMilliseconds)};

bool Admit(DWORD control, RequestGate& gate)
{
    const RequestGate::Verdict verdict = gate.Enter(::GetTickCount64());
    if (verdict == RequestGate::DroppedFirst) {
        WriteLog(L"OsmiraUtilityService dwCtrl : %d dropped: the previous one is still at work or less than 500 ms old;"
                 L" repeats are dropped unlogged until one is carried out",
                 control);
    }
    return verdict == RequestGate::Admitted;
}

DWORD WINAPI RunGatedThread(LPVOID parameter)
{
    GatedThread* thread = static_cast<GatedThread*>(parameter);
    const DWORD result = thread->routine(nullptr);
    thread->gate.Leave();
    return result;
}

void OnStopControl()
{
    WriteLog(L"SERVICE_STOPPED");
    SignalServiceQuit();
    // Gives the waiting threads a moment to see the quit event before their companions go.
    ServiceSleep(10);
    // The companions must not outlive the service; a failed kill does not hold up the stop.
    if (!IsExistHotkeyUtilityProcessAndKill(kAgentName)) {
        WriteLog(L"SERVICE_STOPPED  IsExistHotkeyUtilityProcessAndKill FN_HOTKEYS_PROCESS_NAME fail GetLastError: %d",
                 ::GetLastError());
    }
    if (!IsExistHotkeyUtilityProcessAndKill(kLockOsdName)) {
        WriteLog(L"SERVICE_STOPPED  IsExistHotkeyUtilityProcessAndKill FN_KEYLOCKOSD_PROCESS_NAME fail GetLastError: %d",
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

// The caller has been admitted by the thread's gate.
void StartActionThread(GatedThread& thread, const wchar_t* failure)
{
    if (win::StartDetachedThread(&RunGatedThread, &thread)) return;
    const DWORD error = ::GetLastError();
    thread.gate.Leave();
    WriteLog(failure, error);
}

// The action codes start the lock indicator with their switch on the control thread; the
// logged return code is the one the launch clears, not its result.
struct SwitchRow {
    DWORD control;
    const wchar_t* switchText;
    const wchar_t* message;
};

const SwitchRow kSwitchRows[] = {
    {SVC_CTL_AIRPLANE_SWITCH, L" -SWITCH_AIRPLANE",
     L"OsmiraUtilityService SVC_CTL_AIRPLANE_SWITCH event !Line:%d  dwCtrl: %d dwRetCode:%d "},
    {SVC_CTL_TOUCHPAD_CONTROL, L" -TOUCHPAD_SWITCH",
     L"OsmiraUtilityService SVC_CTL_TOUCHPAD_CONTROL event !Line:%d  dwCtrl: %d dwRetCode:%d "},
    {SVC_CTL_VOIPCONTRL_TEAMS_CALL, L" -VOIP_TEAMS_CALL",
     L"OsmiraUtilityService SVC_CTL_VOIPCONTRL_TEAMS_CALL event !Line:%d  dwCtrl: %d dwRetCode:%d "},
    {SVC_CTL_VOIPCONTRL_TEAMS_END, L" -VOIP_TEAMS_END",
     L"OsmiraUtilityService SVC_CTL_VOIPCONTRL_TEAMS_END event !Line:%d  dwCtrl: %d dwRetCode:%d "},
    {SVC_CTL_CALL_SMART_CONNECT, L" -CALL_SMART_CONNECT",
     L"OsmiraUtilityService SVC_CTL_CALL_SMART_CONNECT event !Line:%d  dwCtrl: %d dwRetCode:%d "},
    {SVC_CTL_SET_KEYBOARD_LAYOUT, L" -CALL_SET_LAYOUT",
     L"OsmiraUtilityService SVC_CTL_SET_KEYBOARD_LAYOUT event !Line:%d  dwCtrl: %d dwRetCode:%d "},
};

void OnSwitchControl(const SwitchRow& row, RequestGate& gate)
{
    if (!Admit(row.control, gate)) return;
    DWORD returnCode = 0;
    LaunchFnKeyAgentProcess(row.switchText, &returnCode);
    gate.Leave();
    WriteLog(row.message, __LINE__, row.control, returnCode);
}

} // namespace

DWORD DispatchServiceControl(DWORD control, DWORD eventType, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        OnStopControl();
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        WriteLog(L"::OnServiceControlHandle Syetem Shutdown\n");
        break;
    case SERVICE_CONTROL_SESSIONCHANGE:
        OnSessionChange(eventType);
        break;
    case SVC_CTL_SEND_UI_METRICS_ON_VER:
        if (!Admit(control, g_metricsOn.gate)) break;
        WriteLog(L" Osmira utility svc  SVC_CTL_SEND_UI_METRICS_ON_VER  inter\n");
        StartActionThread(g_metricsOn,
                          L"OnServiceControlHandle CreateThread SVC_CTL_SEND_UI_METRICS_ON_VER fail GetLastError: %d");
        break;
    case SVC_CTL_SEND_UI_METRICS_OFF_VER:
        if (!Admit(control, g_metricsOff.gate)) break;
        WriteLog(L" Osmira utility svc   SVC_CTL_SEND_UI_METRICS_OFF_VER  inter\n");
        StartActionThread(g_metricsOff,
                          L"OnServiceControlHandle CreateThread SVC_CTL_SEND_UI_METRICS_OFF_VER fail GetLastError: %d");
        break;
    case SVC_CTL_SCREEN_SNIPPING:
        if (!Admit(control, g_screenSnipping.gate)) break;
        WriteLog(L"OsmiraUtilityService Receive SVC_CTL_SCREEN_SNIPPING");
        StartActionThread(g_screenSnipping,
                          L"OnServiceControlHandle CreateThread ThreadRunScreenSnipping fail GetLastError: %d");
        break;
    case SVC_CTL_AIRPLANE_SWITCH:
    case SVC_CTL_TOUCHPAD_CONTROL:
    case SVC_CTL_VOIPCONTRL_TEAMS_CALL:
    case SVC_CTL_VOIPCONTRL_TEAMS_END:
    case SVC_CTL_CALL_SMART_CONNECT:
    case SVC_CTL_SET_KEYBOARD_LAYOUT:
        OnSwitchControl(kSwitchRows[control - SVC_CTL_AIRPLANE_SWITCH],
                        g_switchGates[control - SVC_CTL_AIRPLANE_SWITCH]);
        break;
    case SVC_CTL_SEND_UI_CAPSLOCK_ON:
        ControlSendUiCapsLockOn();
        break;
    case SVC_CTL_SEND_UI_CAPSLOCK_OFF:
        ControlSendUiCapsLockOff();
        break;
    case SVC_CTL_PEXARO_POP_TOAST_SUCCESS:
        ControlPexaroPopToastSuccess();
        break;
    case SVC_CTL_PEXARO_NEVER_POP_TOAST:
        ControlPexaroNeverPopToast();
        break;
    case SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON:
        ControlPexaroCapsLockOn();
        break;
    case SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF:
        ControlPexaroCapsLockOff();
        break;
    case SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON:
        ControlPexaroNumLockOn();
        break;
    case SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF:
        ControlPexaroNumLockOff();
        break;
    case SVC_CTL_TRIGER_PEXARO_POP_TOAST:
        ControlTriggerPexaroPopToast();
        break;
    case SVC_CTL_OCR_CAPABILITY_PRC:
        ControlOcrCapabilityPrc(control);
        break;
    case SVC_CTL_OCR_CAPABILITY_ROW:
        ControlOcrCapabilityRow(control);
        break;
    case SVC_CTL_BLUE_KB_CONNECT:
        if (!Admit(control, g_keyboardConnect.gate)) break;
        WriteLog(L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT event !Line:%d  dwCtrl : %d ", __LINE__, control);
        StartActionThread(g_keyboardConnect,
                          L"OnServiceControlHandle CreateThread ThreadBlueKeyBoardConnect fail GetLastError: %d");
        break;
    case SVC_CTL_SPEAKER_LED_ON:
        WriteLog(L"OsmiraUtilityService SVC_CTL_SPEAKER_LED_ON event !Line:%d  dwCtrl : %d ", __LINE__, control);
        WriteSpeakerLedStatus(1);
        break;
    case SVC_CTL_SPEAKER_LED_OFF:
        WriteLog(L"OsmiraUtilityService SVC_CTL_SPEAKER_LED_OFF event !Line:%d  dwCtrl : %d ", __LINE__, control);
        WriteSpeakerLedStatus(0);
        break;
    case SVC_CTL_MICMUTE_LED_ON:
        WriteLog(L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_ON event !Line:%d  dwCtrl : %d ", __LINE__, control);
        WriteMicMuteLedStatusForConnected(1);
        break;
    case SVC_CTL_MICMUTE_LED_OFF:
        WriteLog(L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_OFF event !Line:%d  dwCtrl : %d ", __LINE__, control);
        WriteMicMuteLedStatusForConnected(0);
        break;
    default:
        WriteLog(L"OsmiraUtilityService default event !Line:%d  dwCtrl : %d ", __LINE__, control);
        break;
    }
    return NO_ERROR;
}
