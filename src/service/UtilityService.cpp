#include "service/UtilityService.h"

#include "service/ProductInfoSettings.h"
#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "registry/DeviceWatch.h"
#include "registry/InstallRegHelper.h"
#include "service/CompanionSupervision.h"
#include "service/ControlDispatcher.h"
#include "service/LedWorkers.h"
#include "service/ServiceName.h"
#include "service/ServiceWaits.h"
#include "win/Threads.h"

CUtilityService::CUtilityService() : CServiceBase(kServiceName)
{
    BeginServiceWaits();
    LogLedEventFallbacks();
}

CUtilityService::~CUtilityService()
{
    EndServiceWaits();
}

void CUtilityService::OnControlHandlerRegistered()
{
    // The watch lives as long as the device, or the process; nobody joins it.
    if (!win::StartDetachedThread(&_Thread_HotkeyDeviceWatch)) {
        WriteLog(L"CServiceBase::ServiceMain CreateThread _Thread_HotkeyDeviceWatch fail GetLastError: %d",
                 ::GetLastError());
    }
}

void CUtilityService::OnStart(DWORD, LPWSTR*)
{
    InstallRegHelper::StartAddRegHelper();
    WriteLog(L"UtilityService::OnStart enter.\n");
    WriteServiceEvent(L"Hotkeys WindowsService in OnStart", 4);

    m_work.reset(::CreateThreadpoolWork(&CUtilityService::ServiceWorkerThread, this, nullptr));
    if (!m_work) {
        WriteServiceEvent(L"CreateThreadpoolWork failed", 2);
        WriteLog(L"CUtilityService::OnStart CreateThreadpoolWork() return fail, error: %d", ::GetLastError());
    }
    if (m_work) ::SubmitThreadpoolWork(m_work.get());
    MoniterProductInfoHelper::StartProductInfoMonitor();
    MoniterProductInfoHelper::StartCheckProductVersionMonitor();
}

void CALLBACK CUtilityService::ServiceWorkerThread(PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK)
{
    try {
        if (SleepUnlessQuit(8000)) {
            WriteLog(L"CUtilityService ServiceWorkerThread line: %d\n", __LINE__);
            return;
        }
        WriteLog(L"CUtilityService launch hotkey by ServiceWorkerThread  error: %d\n", ::GetLastError());

        if (::WTSGetActiveConsoleSessionId() == 0xFFFFFFFF) {
            WriteLog(L":CUtilityService::ServiceWorkerThread WTSGetActiveConsoleSessionId return 0xFFFFFFFF");
            return;
        }
        // Companions left from an earlier run of the service, in any session, go first. The packaged app is only
        // ever ended, so its name alone still marks it.
        const BOOL uwpCleaned = IsExistHotkeyUtilityProcessAndKill(kPackagedAppName);
        // Departs from ending any program of a companion's name: only ours, so that nobody's program takes our place.
        const ProcessTarget ourAgent = CompanionTarget(kAgentName, CompanionSessions::Any);
        const ProcessTarget ourLockOsd = CompanionTarget(kLockOsdName, CompanionSessions::Any);
        const BOOL agentCleaned = IsExistHotkeyUtilityProcessAndKill(ourAgent);
        const BOOL osdCleaned = IsExistHotkeyUtilityProcessAndKill(ourLockOsd);
        WriteLog(L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess clean UWP:[%d] Uitlity:[%d] CapsNumLock:[%d]",
                 uwpCleaned, agentCleaned, osdCleaned);

        DWORD returnCode = 0;
        if (LaunchFnKeyAgentProcess(&returnCode)) {
            WriteLog(L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess return success");
        } else {
            WriteLog(L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess return fail, error: %d",
                     ::GetLastError());
        }
        // One launch here; the supervision passes do the rest.
        WriteLog(L"CreateThreadForCheckAndLaunchTimes begin line:%d", __LINE__);
        if (win::StartDetachedThread(&_ThreadCheckRunningAndLaunch)) {
            WriteLog(L"CreateThreadForCheckAndLaunchTimes CreateThread _ThreadCheckRunningAndLaunch success, line:%d",
                     __LINE__);
        } else {
            WriteLog(
                L"CreateThreadForCheckAndLaunchTimes CreateThread _ThreadCheckRunningAndLaunch fail GetLastError: %d",
                ::GetLastError());
        }
    } catch (...) {
        WriteLog(L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess catch");
    }
}

DWORD CUtilityService::OnServiceControlHandle(DWORD control, DWORD eventType, LPVOID eventData, LPVOID)
{
    return DispatchServiceControl(control, eventType, eventData);
}

void CUtilityService::OnStop()
{
    WriteLog(L"CUtilityService::OnStop enter.\n");
    WriteServiceEvent(L"CppWindowsService in OnStop", 4);
}

ULONG CUtilityService::WriteServiceEvent(const wchar_t* message, UCHAR level)
{
    return CServiceBase::WriteServiceEvent(message, level);
}
