#include "service/CompanionSupervision.h"

#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "process/SessionLaunch.h"
#include "service/ServiceWaits.h"
#include "service/SessionThreads.h"
#include "trust/OsmiraAssemblyHelper.h"
#include "win/Threads.h"

#include <optional>
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

// What one validated start of a companion logs and how it starts the program.
struct CompanionStart {
    const wchar_t* name;
    bool elevated;              // StartProcessElevated; otherwise the user's own token
    DWORD showWindow;           // elevated only
    // The refusal, with the name and the code; or, without refusalNamesFile, with the code and the
    // fixed line number (a format that shows only the code leaves the number unread).
    const wchar_t* refusalLine;
    bool refusalNamesFile;
    const wchar_t* pathLine;    // with the path (and the switch, when pathLineShowsSwitch); null: none
    bool pathLineShowsSwitch;
    const wchar_t* startedLine; // with the name and "success."
    const wchar_t* failedLine;  // null: a failed start is logged by the launch way alone
};

constexpr wchar_t kStartUpPathLine[] = L"LaunchFnKeyAgentProcess wsAppPathAndCmd is \"%s\"\n";
constexpr wchar_t kStartUpStartedLine[] = L"LaunchFnKeyAgentProcess Create \"%s\" process %s\n";

const CompanionStart kStartUpLockOsd = {
    kLockOsdName, true, 0,
    L"LaunchFnKeyAgentProcess::OsmiraAssemblyValidation ValidateAssembly,name1:%s, code:%d", true,
    kStartUpPathLine, false, kStartUpStartedLine, nullptr};
const CompanionStart kStartUpAgent = {
    kAgentName, false, 0,
    L"LaunchFnKeyAgentProcess::OsmiraAssemblyValidation ValidateAssembly,name:%s, code:%d", true,
    kStartUpPathLine, false, kStartUpStartedLine, nullptr};
// The name is the caller's.
const CompanionStart kUserProgram = {
    nullptr, false, 0,
    L" LaunchUserProcess::OsmiraAssemblyValidation ValidateAssembly:%d", false,
    L"LaunchUserProcess wsAppPathAndCmd is \"%s\"\n", true, L"LaunchOsmiraUtilityAppx Create \"%s\" process %s\n",
    nullptr};
const CompanionStart kSupervisedAgent = {
    kAgentName, false, 0,
    L"_ThreadCheckRunningUtility::OsmiraAssemblyValidation ValidateAssembly,name:%s, code:%d", true,
    nullptr, false, L"_ThreadCheckRunningUtility Create \"%s\" process %s\n", nullptr};
const CompanionStart kScreenSnipping = {
    kLockOsdName, true, 1,
    L" OsmiraUtilityService::OsmiraAssemblyValidation::ValidateAssembly:%d, line:%d", false,
    nullptr, false, L"OsmiraUtilityService StartProcessFirstElevcatedSession success",
    L"OsmiraUtilityService StartProcessFirstElevcatedSession failed"};

enum class StartOutcome { Refused, NotStarted, Started };

// Validates the companion in the directory and, when accepted, starts it with the switch. The
// validation object goes into *check and stays with the caller, so that the file stays locked
// against writing until the caller lets it go, at the earliest after the start.
StartOutcome StartValidated(const std::wstring& directory, const CompanionStart& start, const wchar_t* switchText,
                            std::optional<COsmiraAssemblyHelper>* check)
{
    const std::wstring path = directory + start.name;
    check->emplace(path.c_str());
    const int code = static_cast<int>((*check)->Code());
    if (code != 0) {
        if (start.refusalNamesFile) {
            WriteLog(start.refusalLine, start.name, code);
        } else {
            WriteLog(start.refusalLine, code, kSnippingRefusedLine);
        }
        return StartOutcome::Refused;
    }
    // Departs from starting whatever passed its check: a check may wait on a held file past the stop, and nothing
    // may start for a service that has gone.
    if (ServiceIsQuitting()) {
        WriteLog(L"%s not started: the service stops", path.c_str());
        return StartOutcome::NotStarted;
    }
    if (start.pathLine != nullptr) {
        WriteLog(start.pathLine, (start.pathLineShowsSwitch ? path + switchText : path).c_str());
    }
    const BOOL started = start.elevated ? StartProcessElevated(path.c_str(), switchText, start.showWindow)
                                        : CreateProcessInUserSession(path.c_str(), switchText);
    if (started) {
        WriteLog(start.startedLine, start.name, L"success.");
    } else if (start.failedLine != nullptr) {
        WriteLog(start.failedLine);
    }
    return started ? StartOutcome::Started : StartOutcome::NotStarted;
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

ProcessTarget CompanionTarget(const wchar_t* name, CompanionSessions sessions)
{
    std::wstring directory;
    // Without the service's own path nothing is ours: the bare name equals no image's full path.
    GetServiceDirectory(&directory);
    ProcessTarget target{name, directory + name};
    if (sessions == CompanionSessions::Console) target.sessionId = ::WTSGetActiveConsoleSessionId();
    return target;
}

BOOL LaunchFnKeyAgentProcess(DWORD* returnCode)
{
    std::lock_guard<std::mutex> lock(g_launchMutex);
    WriteLog(L"CreateThreadForCheckRunningUtilityTimes begin line:%d", kCheckRunningBeginLine);
    if (g_nCheckRunning.load() < 1) {
        if (win::StartDetachedThread(&_ThreadCheckRunningUtility)) {
            WriteLog(
                L"CreateThreadForCheckRunningUtilityTimes CreateThread _ThreadCheckRunningUtility success, line:%d",
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
        // Both files stay locked against writing until both launches are done; a refusal skips
        // the closing pause.
        std::optional<COsmiraAssemblyHelper> osdCheck;
        std::optional<COsmiraAssemblyHelper> agentCheck;
        const StartOutcome osd = StartValidated(directory, kStartUpLockOsd, L"", &osdCheck);
        if (osd == StartOutcome::Refused) return FALSE;
        const StartOutcome agent = StartValidated(directory, kStartUpAgent, L"", &agentCheck);
        if (agent == StartOutcome::Refused) return FALSE;
        result = osd == StartOutcome::Started || agent == StartOutcome::Started;
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
    std::optional<COsmiraAssemblyHelper> check;
    return StartValidated(directory, kStartUpLockOsd, switchText, &check) == StartOutcome::Started;
}

BOOL LaunchUserProcess(DWORD* returnCode, const wchar_t* programName, const wchar_t* switchText)
{
    if (returnCode != nullptr) *returnCode = 0;
    std::wstring directory;
    if (!GetServiceDirectory(&directory)) {
        WriteLog(L"LaunchOsmiraUtilityAppx QueryFullProcessImageName() return fail, error: %d", ::GetLastError());
        return FALSE;
    }
    CompanionStart start = kUserProgram;
    start.name = programName;
    std::optional<COsmiraAssemblyHelper> check;
    return StartValidated(directory, start, switchText, &check) == StartOutcome::Started;
}

DWORD WINAPI _ThreadCheckRunningAndLaunch(LPVOID)
{
    for (int left = kSupervisionPasses; left > 0;) {
        ServiceSleep(kPassMilliseconds);
        --left;
        WriteLog(L"_ThreadCheckRunningAndLaunch run times leave:%d", left);
        // Departs from counting any program of the name: a user's program of that name must not stand for ours.
        const bool agentMissing = FindRunningProcess(CompanionTarget(kAgentName)).empty();
        const bool osdMissing = FindRunningProcess(CompanionTarget(kLockOsdName)).empty();
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
        // Departs from counting and ending any program of the name: only ours, so that nobody's program outlives it.
        const ProcessTarget ourAgent = CompanionTarget(kAgentName);
        std::vector<DWORD> agents = FindRunningProcess(ourAgent);
        if (agents.size() < 2) continue;
        WriteLog(L"_ThreadCheckRunningUtility::RunningProcess1 count:%llu, line:%d",
                 static_cast<unsigned long long>(agents.size()), kFirstCountLine);
        KillProcessesExceptNewest(agents, ourAgent);
        ServiceSleep(100);
        agents = FindRunningProcess(ourAgent);
        WriteLog(L"_ThreadCheckRunningUtility::RunningProcess2 count:%llu, line:%d",
                 static_cast<unsigned long long>(agents.size()), kSecondCountLine);
        if (agents.size() < 2) continue;

        // Agents started at the same instant cannot be told apart: all go, one comes back.
        KillProcessesByName(ourAgent);
        WriteLog(L"_ThreadCheckRunningUtility kill all running FnKeyAgent.exe line:%d", kKillAllLine);
        ServiceSleep(50);
        std::wstring directory;
        GetServiceDirectory(&directory);
        std::optional<COsmiraAssemblyHelper> check;
        StartValidated(directory, kSupervisedAgent, L"", &check);
    }
    g_nCheckRunning.store(0);
    WriteLog(L"_ThreadCheckRunningUtility g_nCheckRunning = 0,line:%d", kCheckRunningEndLine);
    return 0;
}

DWORD WINAPI ThreadRunScreenSnipping(LPVOID)
{
    std::wstring directory;
    GetServiceDirectory(&directory);
    std::optional<COsmiraAssemblyHelper> check;
    // The only start of the lock indicator that shows its window.
    StartValidated(directory, kScreenSnipping, L" -CSREENCUT", &check);
    return 0;
}

DWORD WINAPI ThreadMETRICS_ON(LPVOID)
{
    return ThreadMetrics(L" -UIMERTICSON",
                         L":CUtilityService::OnServiceControlHandle ThreadMETRICS_ON return fail, error: %d");
}

DWORD WINAPI ThreadMETRICS_OFF(LPVOID)
{
    return ThreadMetrics(L" -UIMERTICSOFF",
                         L":CUtilityService::OnServiceControlHandle ThreadMETRICS_OFF return fail, error: %d");
}
