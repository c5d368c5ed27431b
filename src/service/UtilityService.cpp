#include "service/UtilityService.h"

#include "service/ProductInfoSettings.h"
#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "registry/InstallRegHelper.h"
#include "service/CompanionSupervision.h"
#include "service/ControlDispatcher.h"
#include "service/ServiceWaits.h"
#include "win/Threads.h"

const wchar_t* const kServiceName = L"OsmiraUtilityService";

const wchar_t* const kQuitEventName = L"_CreateForQuitSvericeEvent_";
const wchar_t* const kSpeakerLedEventName = L"31E6BDD1-18E4-4B84-B28E-0D6CFB1978F9_FNHOTKEY";
const wchar_t* const kMicMuteLedEventName = L"EF55FD20-D641-4B65-A7C5-F93618116671";
const wchar_t* const kHidMicMuteLedEventName = L"EDCDA4EE-C605-4BA8-95ED-D93A91EDA7ED";

HANDLE g_hQuitEvent = nullptr;
// Created in every run of the executable and left to end with the process.
HANDLE g_hSpeakerLedEvent = ::CreateEventW(nullptr, FALSE, FALSE, kSpeakerLedEventName);
HANDLE g_hMicMuteLedEvent = ::CreateEventW(nullptr, FALSE, FALSE, kMicMuteLedEventName);
HANDLE g_hHidMicMuteLedEvent = ::CreateEventW(nullptr, FALSE, FALSE, kHidMicMuteLedEventName);

bool SleepUnlessQuit(DWORD milliseconds)
{
    // A missing quit event makes the wait fail at once, which counts as time run out.
    if (::WaitForSingleObject(g_hQuitEvent, ScaledWaitMilliseconds(milliseconds)) == WAIT_OBJECT_0) {
        WriteLog(L"Sleep But Svc Quit !!! ");
        return true;
    }
    WriteLog(L"Sleep When Svc Not Quit end! ");
    return false;
}

CUtilityService::CUtilityService()
    : CServiceBase(kServiceName), m_quitEvent(::CreateEventW(nullptr, FALSE, FALSE, kQuitEventName))
{
    if (!m_quitEvent) {
        WriteLog(L"CUtilityService::CUtilityService CreateEvent quit event fail, error: %d", ::GetLastError());
    }
    g_hQuitEvent = m_quitEvent.get();
}

CUtilityService::~CUtilityService()
{
    g_hQuitEvent = nullptr;
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
        // Companions left from an earlier run of the service, in any session, go first.
        const BOOL uwpCleaned = IsExistHotkeyUtilityProcessAndKill(kPackagedAppName);
        const BOOL agentCleaned = IsExistHotkeyUtilityProcessAndKill(kAgentName);
        const BOOL osdCleaned = IsExistHotkeyUtilityProcessAndKill(kLockOsdName);
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
            WriteLog(L"CreateThreadForCheckAndLaunchTimes CreateThread _ThreadCheckRunningAndLaunch fail GetLastError: %d",
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
