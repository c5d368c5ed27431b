#include "service/CompanionSupervision.h"

#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "process/SessionLaunch.h"
#include "service/ServiceWaits.h"
#include "service/SessionThreads.h"
#include "trust/OsmiraAssemblyHelper.h"
#include "win/Threads.h"

#include <vector>

std::mutex& g_launchMutex = *new std::mutex;
std::atomic<LONG> g_nCheckRunning{0};

namespace {

constexpr int kSupervisionPasses = 15;
constexpr DWORD kPassMilliseconds = 2000;
constexpr DWORD kImagePathChars = 260;

// The supervision messages carry fixed numbers rather than source lines: support's log
// readers look for them.
constexpr int kCheckRunningBeginLine = 1121;
constexpr int kCheckRunningStartedLine = 1133;
constexpr int kFirstCountLine = 1084;
constexpr int kSecondCountLine = 1091;
constexpr int kKillAllLine = 1095;
constexpr int kCheckRunningEndLine = 1115;
constexpr int kCheckAndLaunchEndLine = 158;
constexpr int kSnippingRefusedLine = 1047;

void LogStarted(const wchar_t* format, const wchar_t* name)
{
    WriteLog(format, name, L"success.");
}

DWORD WINAPI ThreadMetrics(const wchar_t* switchText, const wchar_t* failure)
{
    DWORD code = 0;
    // The switches go to the lock indicator, the companion that carries out every action
    // switch and the one the callers name: a launcher that ignored the name it is given
    // would surprise whoever reads the call.
    if (!LaunchUserProcess(&code, kLockOsdName, switchText)) WriteLog(failure, ::GetLastError());
    return 0;
}

} // namespace

BOOL GetServiceDirectory(std::wstring* directory)
{
    directory->clear();
    wchar_t path[kImagePathChars] = {};
    DWORD length = kImagePathChars;
    if (!::QueryFullProcessImageNameW(::GetCurrentProcess(), 0, path, &length)) return FALSE;
    std::wstring image(path, length);
    const size_t slash = image.find_last_of(L'\\');
    if (slash != std::wstring::npos) directory->assign(image, 0, slash + 1);
    return TRUE;
}

BOOL LaunchFnKeyAgentProcess(DWORD* returnCode)
{
    std::lock_guard<std::mutex> lock(g_launchMutex);
    WriteLog(L"CreateThreadForCheckRunningUtilityTimes begin line:%d", kCheckRunningBeginLine);
    if (g_nCheckRunning.load() < 1) {
        if (win::StartDetachedThread(&_ThreadCheckRunningUtility)) {
            WriteLog(L"CreateThreadForCheckRunningUtilityTimes CreateThread _ThreadCheckRunningUtility success, line:%d",
                     kCheckRunningStartedLine);
        } else {
            WriteLog(L"CreateThreadForCheckRunningUtilityTimes CreateThread _ThreadCheckRunningUtility fail GetLastError: %d",
                     ::GetLastError());
        }
    }
    if (returnCode != nullptr) *returnCode = 0;

    BOOL result = FALSE;
    std::wstring directory;
    if (!GetServiceDirectory(&directory)) {
        WriteLog(L"LaunchFnKeyAgentProcess QueryFullProcessImageName return fail, error: %d", ::GetLastError());
    } else {
        const std::wstring osdPath = directory + kLockOsdName;
        const COsmiraAssemblyHelper osdCheck(osdPath.c_str());
        if (osdCheck.Code() != 0) {
            WriteLog(L"LaunchFnKeyAgentProcess::OsmiraAssemblyValidation ValidateAssembly,name1:%s, code:%d", kLockOsdName,
                     static_cast<int>(osdCheck.Code()));
            return FALSE; // a refusal skips the closing pause
        }
        WriteLog(L"LaunchFnKeyAgentProcess wsAppPathAndCmd is \"%s\"\n", osdPath.c_str());
        if (StartProcessElevated(osdPath.c_str(), L"", 0)) {
            LogStarted(L"LaunchFnKeyAgentProcess Create \"%s\" process %s\n", kLockOsdName);
            result = TRUE;
        }

        // Both files stay locked against writing until both launches are done.
        const std::wstring agentPath = directory + kAgentName;
        const COsmiraAssemblyHelper agentCheck(agentPath.c_str());
        if (agentCheck.Code() != 0) {
            WriteLog(L"LaunchFnKeyAgentProcess::OsmiraAssemblyValidation ValidateAssembly,name:%s, code:%d", kAgentName,
                     static_cast<int>(agentCheck.Code()));
            return FALSE;
        }
        WriteLog(L"LaunchFnKeyAgentProcess wsAppPathAndCmd is \"%s\"\n", agentPath.c_str());
        if (CreateProcessInUserSession(agentPath.c_str(), L"")) {
            LogStarted(L"LaunchFnKeyAgentProcess Create \"%s\" process %s\n", kAgentName);
            result = TRUE;
        }
    }
    // Keeps two start-up launches at least this far apart.
    ServiceSleep(1000);
    return result;
}

BOOL LaunchFnKeyAgentProcess(const wchar_t* switchText, DWORD* returnCode)
{
    if (returnCode != nullptr) *returnCode = 0;
    std::wstring directory;
    if (!GetServiceDirectory(&directory)) {
        WriteLog(L"LaunchFnKeyAgentProcess QueryFullProcessImageName return fail, error: %d", ::GetLastError());
        return FALSE;
    }
    const std::wstring osdPath = directory + kLockOsdName;
    const COsmiraAssemblyHelper osdCheck(osdPath.c_str());
    if (osdCheck.Code() != 0) {
        WriteLog(L"LaunchFnKeyAgentProcess::OsmiraAssemblyValidation ValidateAssembly,name1:%s, code:%d", kLockOsdName,
                 static_cast<int>(osdCheck.Code()));
        return FALSE;
    }
    WriteLog(L"LaunchFnKeyAgentProcess wsAppPathAndCmd is \"%s\"\n", osdPath.c_str());
    if (!StartProcessElevated(osdPath.c_str(), switchText, 0)) return FALSE;
    LogStarted(L"LaunchFnKeyAgentProcess Create \"%s\" process %s\n", kLockOsdName);
    return TRUE;
}

BOOL LaunchUserProcess(DWORD* returnCode, const wchar_t* programName, const wchar_t* switchText)
{
    if (returnCode != nullptr) *returnCode = 0;
    std::wstring directory;
    if (!GetServiceDirectory(&directory)) {
        WriteLog(L"LaunchOsmiraUtilityAppx QueryFullProcessImageName() return fail, error: %d", ::GetLastError());
        return FALSE;
    }
    const std::wstring path = directory + programName;
    const COsmiraAssemblyHelper check(path.c_str());
    if (check.Code() != 0) {
        WriteLog(L" LaunchUserProcess::OsmiraAssemblyValidation ValidateAssembly:%d", static_cast<int>(check.Code()));
        return FALSE;
    }
    WriteLog(L"LaunchUserProcess wsAppPathAndCmd is \"%s\"\n", (path + switchText).c_str());
    if (!CreateProcessInUserSession(path.c_str(), switchText)) return FALSE;
    LogStarted(L"LaunchOsmiraUtilityAppx Create \"%s\" process %s\n", programName);
    return TRUE;
}

DWORD WINAPI _ThreadCheckRunningAndLaunch(LPVOID)
{
    for (int left = kSupervisionPasses; left > 0;) {
        ServiceSleep(kPassMilliseconds);
        --left;
        WriteLog(L"_ThreadCheckRunningAndLaunch run times leave:%d", left);
        const bool agentMissing = FindRunningProcess(kAgentName).empty();
        const bool osdMissing = FindRunningProcess(kLockOsdName).empty();
        // Each pass may start another relaunch thread while earlier ones still run.
        if ((agentMissing || osdMissing) && !win::StartDetachedThread(&_Thread_HotkeyUtilityProcessCheckAndCreate)) {
            continue;
        }
        WriteLog(L"_ThreadCheckRunningAndLaunch run times  finished:%d", left);
    }
    WriteLog(L"_ThreadCheckRunningAndLaunch  exit,line:%d", kCheckAndLaunchEndLine);
    return 0;
}

DWORD WINAPI _ThreadCheckRunningUtility(LPVOID)
{
    if (g_nCheckRunning.exchange(1) > 0) return 0; // another supervision already runs

    for (int left = kSupervisionPasses; left > 0;) {
        ServiceSleep(kPassMilliseconds);
        --left;
        WriteLog(L"_ThreadCheckRunningUtility run times leave:%d", left);
        std::vector<DWORD> agents = FindRunningProcess(kAgentName);
        if (agents.size() < 2) continue;
        WriteLog(L"_ThreadCheckRunningUtility::RunningProcess1 count:%llu, line:%d",
                 static_cast<unsigned long long>(agents.size()), kFirstCountLine);
        KillProcessesExceptNewest(agents);
        ServiceSleep(100);
        agents = FindRunningProcess(kAgentName);
        WriteLog(L"_ThreadCheckRunningUtility::RunningProcess2 count:%llu, line:%d",
                 static_cast<unsigned long long>(agents.size()), kSecondCountLine);
        if (agents.size() < 2) continue;

        // Agents started at the same instant cannot be told apart: all go, one comes back.
        KillProcessesByName(kAgentName);
        WriteLog(L"_ThreadCheckRunningUtility kill all running FnKeyAgent.exe line:%d", kKillAllLine);
        ServiceSleep(50);
        std::wstring directory;
        GetServiceDirectory(&directory);
        const std::wstring path = directory + kAgentName;
        const COsmiraAssemblyHelper check(path.c_str());
        if (check.Code() != 0) {
            WriteLog(L"_ThreadCheckRunningUtility::OsmiraAssemblyValidation ValidateAssembly,name:%s, code:%d", kAgentName,
                     static_cast<int>(check.Code()));
            continue;
        }
        if (CreateProcessInUserSession(path.c_str(), L"")) {
            LogStarted(L"_ThreadCheckRunningUtility Create \"%s\" process %s\n", kAgentName);
        }
    }
    g_nCheckRunning.store(0);
    WriteLog(L"_ThreadCheckRunningUtility g_nCheckRunning = 0,line:%d", kCheckRunningEndLine);
    return 0;
}

DWORD WINAPI ThreadRunScreenSnipping(LPVOID)
{
    std::wstring directory;
    GetServiceDirectory(&directory);
    const std::wstring path = directory + kLockOsdName;
    const COsmiraAssemblyHelper check(path.c_str());
    if (check.Code() != 0) {
        WriteLog(L" OsmiraUtilityService::OsmiraAssemblyValidation::ValidateAssembly:%d, line:%d",
                 static_cast<int>(check.Code()), kSnippingRefusedLine);
        return 0;
    }
    // The only start of the lock indicator that shows its window.
    if (StartProcessElevated(path.c_str(), L" -CSREENCUT", 1)) {
        WriteLog(L"OsmiraUtilityService StartProcessFirstElevcatedSession success");
    } else {
        WriteLog(L"OsmiraUtilityService StartProcessFirstElevcatedSession failed");
    }
    return 0;
}

DWORD WINAPI ThreadMETRICS_ON(LPVOID)
{
    return ThreadMetrics(L" -UIMERTICSON", L":CUtilityService::OnServiceControlHandle ThreadMETRICS_ON return fail, error: %d");
}

DWORD WINAPI ThreadMETRICS_OFF(LPVOID)
{
    return ThreadMetrics(L" -UIMERTICSOFF",
                         L":CUtilityService::OnServiceControlHandle ThreadMETRICS_OFF return fail, error: %d");
}
