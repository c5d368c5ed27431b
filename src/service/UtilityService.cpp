#include "service/UtilityService.h"

#include "service/ProductInfoSettings.h"
#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "registry/InstallRegHelper.h"
#include "service/CompanionSupervision.h"
#include "service/ControlDispatcher.h"
#include "service/ServiceWaits.h"
#include "win/Threads.h"

#include <atomic>

const wchar_t* const kServiceName = L"OsmiraUtilityService";

const wchar_t* const kQuitEventName = L"_CreateForQuitSvericeEvent_";
const wchar_t* const kSpeakerLedEventName = L"31E6BDD1-18E4-4B84-B28E-0D6CFB1978F9_FNHOTKEY";
const wchar_t* const kMicMuteLedEventName = L"EF55FD20-D641-4B65-A7C5-F93618116671";
const wchar_t* const kHidMicMuteLedEventName = L"EDCDA4EE-C605-4BA8-95ED-D93A91EDA7ED";

namespace {

// Why each LED event could not be the named one (ERROR_SUCCESS when it is); the static
// initialisers run before the log can be written, so the service object logs these.
DWORD g_ledEventFallbacks[3] = {};
std::atomic<bool> g_ledFallbacksLogged{false};
// Set by the stop control and by the end of the service object; trivially destructible, so
// a thread that wakes while the process exits still reads it.
std::atomic<bool> g_quitting{false};

void LogEventFallback(const wchar_t* name, DWORD error)
{
    if (error == ERROR_SUCCESS) return;
    WriteLog(L"CUtilityService event \"%s\" is not the service's own, error: %d; an unnamed event takes its place",
             name, error);
}

} // namespace

HANDLE CreateOwnEvent(const wchar_t* name, DWORD* fallbackError)
{
    ::SetLastError(ERROR_SUCCESS);
    HANDLE named = ::CreateEventW(nullptr, FALSE, FALSE, name);
    *fallbackError = ::GetLastError();
    if (named == nullptr && *fallbackError == ERROR_SUCCESS) *fallbackError = ERROR_INVALID_HANDLE;
    if (named != nullptr && *fallbackError != ERROR_ALREADY_EXISTS) {
        *fallbackError = ERROR_SUCCESS;
        return named;
    }
    // Departs from the named event: whoever made it first could set it at will (cancel the
    // launches, spin the LED workers); nothing outside the process opens these events.
    if (named != nullptr) ::CloseHandle(named);
    return ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

HANDLE g_hQuitEvent = nullptr;
// Created in every run of the executable and left to end with the process.
HANDLE g_hSpeakerLedEvent = CreateOwnEvent(kSpeakerLedEventName, &g_ledEventFallbacks[0]);
HANDLE g_hMicMuteLedEvent = CreateOwnEvent(kMicMuteLedEventName, &g_ledEventFallbacks[1]);
HANDLE g_hHidMicMuteLedEvent = CreateOwnEvent(kHidMicMuteLedEventName, &g_ledEventFallbacks[2]);

bool SleepUnlessQuit(DWORD milliseconds)
{
    // A missing quit event makes the wait fail at once, which counts as time run out. After the
    // stop every wait says quit, not only the one that consumed the set: a thread that wakes
    // late must not act for a service that has gone.
    const DWORD wait = g_quitting.load() ? WAIT_OBJECT_0
                                         : ::WaitForSingleObject(g_hQuitEvent, ScaledWaitMilliseconds(milliseconds));
    if (wait == WAIT_OBJECT_0 || g_quitting.load()) {
        WriteLog(L"Sleep But Svc Quit !!! ");
        return true;
    }
    WriteLog(L"Sleep When Svc Not Quit end! ");
    return false;
}

void SignalServiceQuit()
{
    g_quitting.store(true);
    ::SetEvent(g_hQuitEvent);
}

CUtilityService::CUtilityService() : CServiceBase(kServiceName)
{
    // One quit event for the process, never closed (departs from closing it with the object):
    // a detached thread that wakes after the stop must still wait on a live quit event.
    if (g_hQuitEvent == nullptr) {
        DWORD fallbackError = ERROR_SUCCESS;
        g_hQuitEvent = CreateOwnEvent(kQuitEventName, &fallbackError);
        if (g_hQuitEvent == nullptr) {
            WriteLog(L"CUtilityService::CUtilityService CreateEvent quit event fail, error: %d", ::GetLastError());
        }
        LogEventFallback(kQuitEventName, fallbackError);
    } else {
        ::ResetEvent(g_hQuitEvent);
    }
    g_quitting.store(false);
    if (g_ledFallbacksLogged.exchange(true)) return;
    LogEventFallback(kSpeakerLedEventName, g_ledEventFallbacks[0]);
    LogEventFallback(kMicMuteLedEventName, g_ledEventFallbacks[1]);
    LogEventFallback(kHidMicMuteLedEventName, g_ledEventFallbacks[2]);
}

CUtilityService::~CUtilityService()
{
    // The service is gone: whatever wakes from now on ends.
    g_quitting.store(true);
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
