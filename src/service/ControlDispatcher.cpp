#include "service/ControlDispatcher.h"

#include "service/ControlCodes.h"
#include "service/UtilityService.h"

#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "service/ServiceWaits.h"
#include "service/SettingControls.h"

#include <wtsapi32.h>

namespace {

void OnStopControl()
{
    WriteLog(L"SERVICE_STOPPED");
    ::SetEvent(g_hQuitEvent);
    // Gives the waiting threads a moment to see the quit event before their companions go.
    ServiceSleep(10);
    // The companions must not outlive the service; a failed kill does not hold up the stop.
    if (!IsExistHotkeyUtilityProcessAndKill(L"FnKeyAgent.exe")) {
        WriteLog(L"SERVICE_STOPPED  IsExistHotkeyUtilityProcessAndKill FN_HOTKEYS_PROCESS_NAME fail GetLastError: %d",
                 ::GetLastError());
    }
    if (!IsExistHotkeyUtilityProcessAndKill(L"FnKeyLockOsd.exe")) {
        WriteLog(L"SERVICE_STOPPED  IsExistHotkeyUtilityProcessAndKill FN_KEYLOCKOSD_PROCESS_NAME fail GetLastError: %d",
                 ::GetLastError());
    }
}

void OnSessionChange(DWORD eventType)
{
    switch (eventType) {
    case WTS_CONSOLE_CONNECT:
        WriteLog(L"::OnServiceControlHandle User Session WTS_CONSOLE_CONNECT\n");
        break;
    case WTS_CONSOLE_DISCONNECT:
        WriteLog(L"::OnServiceControlHandle User Session WTS_CONSOLE_DISCONNECT\n");
        break;
    case WTS_SESSION_LOGON:
        WriteLog(L"::OnServiceControlHandle User Logged on\n");
        break;
    case WTS_SESSION_LOGOFF:
        WriteLog(L"::OnServiceControlHandle User Logged off\n");
        break;
    case WTS_SESSION_LOCK:
        WriteLog(L"::OnServiceControlHandle User Session Locked\n");
        break;
    case WTS_SESSION_UNLOCK:
        WriteLog(L"::OnServiceControlHandle User Session Unlocked\n");
        break;
    default:
        WriteLog(L"dwEvent::OnServiceControlHandle User Session %d\n", eventType);
        break;
    }
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
    default:
        WriteLog(L"OsmiraUtilityService default event !Line:%d  dwCtrl : %d ", __LINE__, control);
        break;
    }
    return NO_ERROR;
}
