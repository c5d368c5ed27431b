// The companions kept alive, in-process: this program lies beside the companion stand-ins and the validation
// library, as the service does, and runs the service's passes with a divided time scale.
#include "process/ProcessToolkit.h"
#include "service/CompanionSupervision.h"
#include "service/ControlDispatcher.h"
#include "service/ServiceWaits.h"
#include "service/SessionThreads.h"
#include "service/UtilityService.h"
#include "support/Processes.h"
#include "support/Seams.h"
#include "support/StandIns.h"
#include "support/TestSupport.h"

#include <wtsapi32.h>

#include <algorithm>
#include <regex>
#include <thread>

using namespace testsupport;

namespace {

std::wstring Folder() { return ModuleFolder() + L"\\"; }

std::vector<StandInRecord> RecordsOf(const std::wstring& name) { return StandInRecordsIn(ModuleFolder(), name); }

const std::wstring kLaunchBegins = L"CreateThreadForCheckRunningUtilityTimes begin";
constexpr DWORD kNoShowState = 0xFFFF; // STARTF_USESHOWWINDOW clear
const std::wstring kPackagedAppKill = L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:keyapp.exe";
const std::wstring kAgentsAllKilled = L"_ThreadCheckRunningUtility kill all running FnKeyAgent.exe";

// One letter per record in log order that starts with a given text.
std::wstring EventOrder(const std::vector<std::wstring>& messages,
                        const std::vector<std::pair<std::wstring, wchar_t>>& letters)
{
    std::wstring order;
    for (const std::wstring& m : messages) {
        for (const auto& [start, letter] : letters) order += m.rfind(start, 0) == 0 ? std::wstring(1, letter) : L"";
    }
    return order;
}

class Supervision : public LoggedTest {
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        SetWaitDivisorForTesting(10);
        ClearLog();
        RemoveFolderTree(Folder() + L"records");
        RemoveFolderTree(Folder() + L"unsigned\\records");
    }
    void TearDown() override
    {
        // A supervision thread of an earlier launch must not act on the next test's processes.
        ASSERT_TRUE(WaitUntil([] { return g_nCheckRunning.load() == 0; }, 30000));
        EndCompanions();
        ::DeleteFileW((Folder() + kAgentName + L".ends-at-once").c_str());
        SetWaitDivisorForTesting(1);
        LoggedTest::TearDown();
    }
    static void EndCompanions()
    {
        for (const wchar_t* name : {kAgentName, kLockOsdName, kPackagedAppName}) KillProcessesByName(name);
        WaitUntil([] { return ProcessIds(kAgentName).empty() && ProcessIds(kLockOsdName).empty(); }, 10000);
    }
    static DWORD Start(const wchar_t* name)
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        win::UniqueProcessInformation info;
        EXPECT_TRUE(::CreateProcessW((Folder() + name).c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &startup, info.put()));
        return info.get().dwProcessId;
    }
};

TEST_F(Supervision, SessionThreadsKillAndLaunchPassByPass)
{
    // Per row: the body; before it, our agent (a) and lock indicator (o) running, an unsigned agent elsewhere (f),
    // our agent ending at once whenever started (e); the kills of the packaged app (K) and of all agents (X) and the
    // launches (L), in order; the agents of ours left (the test's own lock indicator follows the agent).
    const std::tuple<const char*, LPTHREAD_START_ROUTINE, std::wstring, const wchar_t*, size_t> cases[] = {
        {"connect, agent never stays up", &Thread_HotkeyUtilityProcessKillAndCreate, L"fe", L"KLLKLKLKL", 0},
        {"unlock, both running", &_Thread_HotkeyUtilityProcessCheckAndCreate, L"ao", L"K", 1},
        {"disconnect", &_Thread_HotkeyUtilityProcessAndKill, L"aof", L"", 0},
        // A pass may start a second relaunch while the first one's launch is under way.
        {"supervision, the agent runs elsewhere only", &_ThreadCheckRunningAndLaunch, L"of", L"KL[KL]*", 1},
    };
    for (const auto& [name, body, before, pattern, agentsLeft] : cases) {
        SCOPED_TRACE(name);
        TearDown();
        SetUp();
        const std::wstring letters = before;
        const auto runs = [&](wchar_t letter) { return letters.find(letter) != std::wstring::npos; };
        if (runs(L'e')) WriteFileBytes(Folder() + kAgentName + L".ends-at-once", {});
        const DWORD agentElsewhere = runs(L'f') ? Start(L"unsigned\\FnKeyAgent.exe") : 0;
        const DWORD lockOsd = runs(L'o') ? Start(kLockOsdName) : 0;
        if (runs(L'a')) Start(kAgentName);
        const size_t ours = size_t(runs(L'a')) + size_t(runs(L'o'));
        ASSERT_TRUE(WaitUntil([&] { return StandInRecordsIn(ModuleFolder()).size() == ours; }, 30000));
        SetWaitDivisorForTesting(4); // leaves an agent that ends at once the time to end
        body(nullptr);
        const std::wstring order =
            EventOrder(Messages(), {{kPackagedAppKill, L'K'}, {kAgentsAllKilled, L'X'}, {kLaunchBegins, L'L'}});
        EXPECT_TRUE(std::regex_match(order, std::wregex(pattern))) << Narrow(order);
        const std::vector<StandInRecord> agents = RecordsOf(kAgentName);
        const auto alive = [](const StandInRecord& record) { return ProcessAlive(record.processId); };
        EXPECT_EQ(agentsLeft, size_t(std::count_if(agents.begin(), agents.end(), alive)));
        EXPECT_EQ(runs(L'o') && agentsLeft > 0, ProcessAlive(lockOsd));
        EXPECT_EQ(runs(L'f'), ProcessAlive(agentElsewhere)) << "an agent elsewhere is not ours";
    }
}

// Each event that starts a thread is told by the record its thread leaves when the quit event ends it.
TEST_F(Supervision, SessionEventsStartTheirThreadsAndTheQuitEventEndsThem)
{
    CUtilityService service; // the quit event
    const std::wstring logonThreadEnd = L"CUtilityService  OnServiceControlHandle sleep quit 2 line: ";
    const std::pair<DWORD, std::wstring> cases[] = {
        {WTS_CONSOLE_CONNECT, logonThreadEnd},
        {WTS_SESSION_LOGON, logonThreadEnd},
        {WTS_SESSION_UNLOCK, L"OnServiceControlHandle sleep quit line: "},
        {WTS_CONSOLE_DISCONNECT, L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess clean CapsLock:"},
    };
    for (const auto& [event, threadEnd] : cases) {
        SCOPED_TRACE(event);
        EndCompanions();
        ClearLog();
        ::SetEvent(ServiceQuitEvent()); // the thread ends at its first wait that watches it
        DispatchServiceControl(SERVICE_CONTROL_SESSIONCHANGE, event, nullptr);
        EXPECT_TRUE(WaitUntil([&] { return CountRecords(Messages(), threadEnd, true) > 0; }, 30000));
        ::ResetEvent(ServiceQuitEvent());
    }
}

TEST_F(Supervision, ActionCodesStartTheLockIndicatorWithTheirSwitch)
{
    const std::tuple<DWORD, std::wstring, DWORD> cases[] = {
        {163, L" -SWITCH_AIRPLANE", SW_HIDE}, {164, L" -TOUCHPAD_SWITCH", SW_HIDE},
        {165, L" -VOIP_TEAMS_CALL", SW_HIDE}, {166, L" -VOIP_TEAMS_END", SW_HIDE},
        {167, L" -CALL_SMART_CONNECT", SW_HIDE}, {168, L" -CALL_SET_LAYOUT", SW_HIDE},
        {158, L" -CSREENCUT", SW_SHOW}, {139, L" -UIMERTICSON", kNoShowState}, {140, L" -UIMERTICSOFF", kNoShowState},
    };
    for (const auto& [control, commandLine, showWindow] : cases) {
        SCOPED_TRACE(control);
        RemoveFolderTree(Folder() + L"records");
        DispatchServiceControl(control, 0, nullptr);
        ASSERT_TRUE(WaitUntil([] { return !RecordsOf(kLockOsdName).empty(); }, 30000));
        const StandInRecord record = RecordsOf(kLockOsdName).front();
        EXPECT_EQ(commandLine, record.commandLine);
        EXPECT_EQ(showWindow, (record.startupFlags & STARTF_USESHOWWINDOW) ? record.showWindow : kNoShowState);
    }
}

TEST_F(Supervision, StartUpLaunchesAreSerialisedAndSuperviseOnce)
{
    const auto launch = [] {
        DWORD code = 7;
        LaunchFnKeyAgentProcess(&code);
    };
    std::thread first(launch);
    std::thread second(launch);
    first.join();
    second.join();
    const std::vector<std::wstring> messages = Messages();
    // The second launch begins only after the first has started both companions.
    EXPECT_EQ(L"LKKLKK", EventOrder(messages, {{kLaunchBegins, L'L'}, {L"LaunchFnKeyAgentProcess Create ", L'K'}}));
    const std::wstring supervisionStarted =
        L"CreateThreadForCheckRunningUtilityTimes CreateThread _ThreadCheckRunningUtility success";
    // Started once; that it keeps one agent is the service soak's chaos run's.
    EXPECT_EQ(1u, CountRecords(messages, supervisionStarted, true));
}

TEST_F(Supervision, RefusedCompanionIsNeverStarted)
{
    const std::wstring agent = Folder() + kAgentName;
    const std::wstring signedAgent = Folder() + L"signed-agent.exe";
    ASSERT_TRUE(::CopyFileW(agent.c_str(), signedAgent.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW((Folder() + L"unsigned\\" + kAgentName).c_str(), agent.c_str(), FALSE));
    DWORD code = 7;
    const BOOL launched = LaunchFnKeyAgentProcess(&code);
    ::MoveFileExW(signedAgent.c_str(), agent.c_str(), MOVEFILE_REPLACE_EXISTING);
    EXPECT_FALSE(launched);
    EXPECT_EQ(0u, code);
    const std::wstring refusal = L"LaunchFnKeyAgentProcess::OsmiraAssemblyValidation ValidateAssembly,"
                                 L"name:FnKeyAgent.exe, code:" + std::to_wstring(FN_TEST_UNSIGNED_REFUSAL);
    EXPECT_EQ(1u, CountRecords(Messages(), refusal));
    EXPECT_TRUE(WaitUntil([] { return RecordsOf(kLockOsdName).size() == 1; }, 30000)) << "lock indicator accepted";
    EXPECT_TRUE(RecordsOf(kAgentName).empty());
}

} // namespace
