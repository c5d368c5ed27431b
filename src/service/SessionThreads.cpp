#include "service/SessionThreads.h"

#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "service/CompanionSupervision.h"
#include "service/ServiceWaits.h"

namespace {

// Quietly: a snapshot that cannot be taken counts as "not running", which leads to a relaunch. Departs from
// counting any program of the name: a user's program of that name must not keep ours from coming back.
bool IsRunning(const wchar_t* name)
{
    return TargetIsRunning(CompanionTarget(name));
}

// The lock indicator is looked for only once the agent is found.
bool BothCompanionsRun()
{
    return IsRunning(kAgentName) && IsRunning(kLockOsdName);
}

BOOL Launch()
{
    DWORD code = 0;
    return LaunchFnKeyAgentProcess(&code);
}

// The packaged app is only ever ended, never started or counted on, so it is still matched by its name alone.
BOOL KillPackagedApp()
{
    return IsExistHotkeyUtilityProcessAndKill(kPackagedAppName);
}

// Departs from ending any program of the name in any session: only ours, in the console session.
BOOL KillOurs(const wchar_t* name)
{
    return IsExistHotkeyUtilityProcessAndKill(CompanionTarget(name));
}

// A wait that ends the thread when the service stops: true when the caller must end.
bool QuitDuring(DWORD milliseconds, const wchar_t* quitLine, int line)
{
    if (!SleepUnlessQuit(milliseconds)) return false;
    WriteLog(quitLine, line);
    return true;
}

constexpr wchar_t kConnectQuitLine[] = L"CUtilityService  OnServiceControlHandle sleep quit 2 line: %d\n";

void LaunchForUnlock()
{
    if (!Launch()) {
        WriteLog(L":_Thread_HotkeyUtilityProcessCheckAndCreate::OnServiceControlHandle FN_HOTKEYS_PROCESS_NAME LaunchFnKeyAgentProcess return fail, error: %d",
                 ::GetLastError());
    }
}

void LogUnlockMissing(int line)
{
    WriteLog(
        L"_Thread_HotkeyUtilityProcessCheckAndCreate::FN_HOTKEYS_PROCESS_NAME is not exist! Line: %d  GetLastError: %d",
        line, ::GetLastError());
}

} // namespace

DWORD WINAPI Thread_HotkeyUtilityProcessKillAndCreate(LPVOID)
{
    ServiceSleep(100);
    WriteLog(L"Thread_HotkeyUtilityProcessKillAndCreate by Event line:|%d", __LINE__);
    // The agent is relaunched even when it runs: it may belong to the session that went away.
    const BOOL appKilled = KillPackagedApp();
    const BOOL agentKilled = KillOurs(kAgentName);
    WriteLog(L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess clean UWP:[%d] Uitlity:[%d]", appKilled,
             agentKilled);
    if (!Launch()) {
        WriteLog(L":CUtilityService::OnServiceControlHandle LaunchFnKeyAgentProcess return fail, error: %d",
                 ::GetLastError());
    }

    if (QuitDuring(1000, kConnectQuitLine, __LINE__) || IsRunning(kAgentName)) return 0;
    WriteLog(L"CUtilityService::FN_HOTKEYS_PROCESS_NAME 11 is not exist! Line: %d  GetLastError: %d", __LINE__,
             ::GetLastError());
    if (!Launch()) {
        WriteLog(L":CUtilityService::OnServiceControlHandle FN_HOTKEYS_PROCESS_NAME 2 LaunchFnKeyAgentProcess return fail, error: %d",
                 ::GetLastError());
    }

    if (QuitDuring(1000, kConnectQuitLine, __LINE__) || IsRunning(kAgentName)) return 0;
    WriteLog(L"CUtilityService::FN_HOTKEYS_PROCESS_NAME 22 is not exist! Line: %d  GetLastError: %d", __LINE__,
             ::GetLastError());
    BOOL killed = KillPackagedApp();
    if (!Launch()) {
        WriteLog(L":CUtilityService::OnServiceControlHandle FN_HOTKEYS_PROCESS_NAM E3 LaunchFnKeyAgentProcess return fail, kill:[%d] error: %d",
                 killed, ::GetLastError());
    }

    if (QuitDuring(20000, kConnectQuitLine, __LINE__) || IsRunning(kAgentName)) return 0;
    WriteLog(L"CUtilityService::FN_HOTKEYS_PROCESS_NAME 33 is not exist! Line: %d  GetLastError: %d", __LINE__,
             ::GetLastError());
    killed = KillPackagedApp();
    const BOOL launched = Launch();
    WriteLog(L":CUtilityService::OnServiceControlHandle FN_HOTKEYS_PROCESS_NAME KILL:[%d] Launch:[%d]", killed,
             launched);
    if (!launched) {
        WriteLog(L":CUtilityService::OnServiceControlHandle FN_HOTKEYS_PROCESS_NAME 4 LaunchFnKeyAgentProcess return fail, error: %d",
                 ::GetLastError());
    }

    if (QuitDuring(30000, L"CUtilityService  OnServiceControlHandle sleep 3 quit line: %d\n", __LINE__)) return 0;
    // The last pass clears the packaged app whether or not the agent runs.
    killed = KillPackagedApp();
    const bool running = IsRunning(kAgentName);
    WriteLog(L":CUtilityService::FN_HOTKEYS_PROCESS_NAME  KILL:[%d] IsExists:[%d]", killed, running ? 1 : 0);
    if (running) return 0;
    WriteLog(L"CUtilityService::FN_HOTKEYS_PROCESS_NAME is not exist! Line: %d  GetLastError: %d", __LINE__,
             ::GetLastError());
    if (!Launch()) {
        WriteLog(L":CUtilityService::OnServiceControlHandle FN_HOTKEYS_PROCESS_NAME LaunchFnKeyAgentProcess return fail, error: %d",
                 ::GetLastError());
    }
    return 0;
}

DWORD WINAPI _Thread_HotkeyUtilityProcessCheckAndCreate(LPVOID)
{
    ServiceSleep(1500);
    WriteLog(L"CUtilityService|%d _Thread_HotkeyUtilityProcessCheckAndCreate first ", __LINE__);
    KillPackagedApp();

    if (BothCompanionsRun()) return 0;
    LogUnlockMissing(__LINE__);
    LaunchForUnlock();

    if (QuitDuring(5000, L"OnServiceControlHandle sleep quit line: %d\n", __LINE__) || BothCompanionsRun()) return 0;
    LogUnlockMissing(__LINE__);
    KillPackagedApp();
    LaunchForUnlock();

    // This pause does not watch the quit event.
    ServiceSleep(10000);
    if (BothCompanionsRun()) return 0;
    LogUnlockMissing(__LINE__);
    KillPackagedApp();
    LaunchForUnlock();
    return 0;
}

DWORD WINAPI _Thread_HotkeyUtilityProcessAndKill(LPVOID)
{
    const BOOL agentKilled = KillOurs(kAgentName);
    const BOOL osdKilled = KillOurs(kLockOsdName);
    WriteLog(L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess clean CapsLock:[%d] Uitlity:[%d]",
             osdKilled, agentKilled);
    return 0;
}
