// The service's control hook: every control the manager delivers passes through here,
// one at a time on the control-dispatch thread, before the framework's own handling.
#include "service/ControlCodes.h"
#include "service/UtilityService.h"

#include "log/UtilityLog.h"
#include "service/ServiceWaits.h"

#include <wtsapi32.h>

namespace {

void OnStopControl()
{
    WriteLog(L"SERVICE_STOPPED");
    ::SetEvent(g_hQuitEvent);
    // Gives the waiting threads a moment to see the quit event before their companions go.
    ServiceSleep(10);
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

DWORD CUtilityService::OnServiceControlHandle(DWORD control, DWORD eventType, LPVOID, LPVOID)
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
    default:
        WriteLog(L"OsmiraUtilityService default event !Line:%d  dwCtrl : %d ", __LINE__, control);
        break;
    }
    return NO_ERROR;
}
