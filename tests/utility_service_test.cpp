// The utility service in process: its named events, the start-up worker, and the control
// rows that only log or that end the companions (the stop), seen through the log, the
// events and the stand-in companions.
#include "TestHooks.h"
#include "service/ControlDispatcher.h"
#include "service/UtilityService.h"
#include "support/StandIns.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <wtsapi32.h>

using namespace testsupport;

namespace {

bool EventExists(const wchar_t* name) { return static_cast<bool>(win::UniqueHandle(::OpenEventW(SYNCHRONIZE, FALSE, name))); }

class UtilityService : public LoggedTest {
protected:
    void TearDown() override
    {
        SetWaitDivisorForTesting(1);
        LoggedTest::TearDown();
    }
    // Every record matches its pattern, where "{line}" stands for digits; a failure lists them.
    void ExpectRecords(const std::vector<std::wstring>& patterns)
    {
        const std::vector<std::wstring> records = Messages();
        bool same = records.size() == patterns.size();
        for (size_t i = 0; same && i < records.size(); ++i) same = LogRecordMatches(records[i], patterns[i]);
        EXPECT_TRUE(same) << "records:\n" << [&] { std::string all; for (auto& r : records) all += Narrow(r) + "|\n"; return all; }();
    }
    StandInFolder m_standIns{L"service"};
};

} // namespace

TEST_F(UtilityService, TheLedEventsExistAtLoadAndTheQuitEventLivesWithTheService)
{
    for (const wchar_t* name : {kSpeakerLedEventName, kMicMuteLedEventName, kHidMicMuteLedEventName}) EXPECT_TRUE(EventExists(name));
    EXPECT_FALSE(EventExists(kQuitEventName));
    {
        CUtilityService service;
        EXPECT_TRUE(EventExists(kQuitEventName));
    }
    EXPECT_FALSE(EventExists(kQuitEventName));
    EXPECT_EQ(nullptr, g_hQuitEvent);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(UtilityService, RowsThatOnlyLog)
{
    CUtilityService service;
    const struct Case { DWORD control, eventType; std::wstring record; } cases[] = {
        {SERVICE_CONTROL_SHUTDOWN, 0, L"::OnServiceControlHandle Syetem Shutdown\n"},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF, L"::OnServiceControlHandle User Logged off\n"},
    };
    std::vector<std::wstring> expected;
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(c.control, c.eventType, nullptr));
        expected.push_back(c.record);
    }
    for (DWORD code : {0, 4, 128, 129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 143, 152, 153, 159, 162, 169, 200, 255}) {
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(code, 0, nullptr));
        expected.push_back(L"OsmiraUtilityService default event !Line:{line}  dwCtrl : " + std::to_wstring(code) + L" ");
    }
    ExpectRecords(expected);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(g_hQuitEvent, 0)) << "only the stop sets it";
}

// The stop sets the quit event, gives its waiters a moment and only then ends both companions,
// whatever their file name after the agent's, but not the packaged app.
TEST_F(UtilityService, StopReleasesTheWaitersBeforeItEndsTheCompanions)
{
    const std::wstring kill = L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:";
    const std::wstring found = L"IsExistUtilityProcess GetSession:[1]  The \"";
    const std::wstring end = L"\" process is exist[1]. Its session id is {line}\n", ended = L"TerminateProcess ret:[1] error :{line} , sessionid={line}";
    const std::wstring failed = L"SERVICE_STOPPED  IsExistHotkeyUtilityProcessAndKill ";
    for (const bool companions : {true, false}) {
        SCOPED_TRACE(companions);
        ClearLog();
        ASSERT_TRUE(!companions || m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
        const DWORD agent = companions ? m_standIns.Start(L"FnKeyAgent.exe") : 0;
        const DWORD others[] = {companions ? m_standIns.Start(L"FnKeyAgent.old.exe") : 0, companions ? m_standIns.Start(L"FnKeyLockOsd.exe") : 0};
        const DWORD keyapp = companions ? m_standIns.Start(L"keyapp.exe") : 0;
        ASSERT_EQ(companions, agent && others[0] && others[1] && keyapp);
        CUtilityService service;
        std::atomic<int> agentAliveAtWake{-1};
        std::atomic<bool> waiting{false};
        std::thread waiter([&] {
            waiting = true;
            if (::WaitForSingleObject(g_hQuitEvent, 30000) == WAIT_OBJECT_0) agentAliveAtWake = ProcessAlive(agent);
        });
        ASSERT_TRUE(WaitUntil([&] { return waiting.load(); }, 5000));
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(SERVICE_CONTROL_STOP, 0, nullptr));
        waiter.join();
        EXPECT_EQ(companions ? 1 : 0, agentAliveAtWake.load()) << "-1: the quit event was not set";
        if (companions) {
            for (DWORD gone : {agent, others[0], others[1]}) EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(gone); }, 10000));
            EXPECT_TRUE(ProcessAlive(keyapp));
            ExpectRecords({L"SERVICE_STOPPED", kill + L"FnKeyAgent.exe,line:{line} ", found + L"FnKeyAgent.exe" + end, ended,
                           found + L"FnKeyAgent.exe" + end, ended, kill + L"FnKeyLockOsd.exe,line:{line} ",
                           found + L"FnKeyLockOsd.exe" + end, ended});
        } else {
            ExpectRecords({L"SERVICE_STOPPED", kill + L"FnKeyAgent.exe,line:{line} ", failed + L"FN_HOTKEYS_PROCESS_NAME fail GetLastError: {line}",
                           kill + L"FnKeyLockOsd.exe,line:{line} ", failed + L"FN_KEYLOCKOSD_PROCESS_NAME fail GetLastError: {line}"});
        }
    }
}

// The start-up worker: a stop within its first wait ends it; else it checks the console
// session and clears out the packaged app and both companions left from an earlier run. Each
// case runs in a process of its own: the supervision that the worker starts goes on after it.
struct WorkerCase {
    std::vector<const wchar_t*> running;
    std::vector<std::wstring> first;
    std::wstring summary;
};
class StartUpWorker : public UtilityService, public ::testing::WithParamInterface<WorkerCase> {};

TEST_P(StartUpWorker, EndsAtTheQuitEventOrClearsOutTheCompanions)
{
    const WorkerCase& c = GetParam();
    SetWaitDivisorForTesting(1000);
    ASSERT_TRUE(m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
    std::vector<DWORD> started;
    for (const wchar_t* name : c.running) started.push_back(m_standIns.Start(name));
    CUtilityService service;
    if (c.summary.empty()) ::SetEvent(g_hQuitEvent);
    CUtilityService::ServiceWorkerThread(nullptr, &service, nullptr);
    for (DWORD gone : started) EXPECT_TRUE(WaitUntil([&] { return gone != 0 && !ProcessAlive(gone); }, 10000));
    const std::vector<std::wstring> records = Messages();
    ASSERT_GE(records.size(), 2u);
    EXPECT_TRUE(LogRecordMatches(records[0], c.first[0]) && LogRecordMatches(records[1], c.first[1])) << Narrow(records[1]);
    if (c.summary.empty()) {
        EXPECT_EQ(2u, records.size());
        return;
    }
    // The three kills in their order, then the summary.
    std::wstring kills;
    const auto summary = std::find(records.begin(), records.end(), c.summary);
    for (auto r = records.begin(); r != summary; ++r) {
        if (r->rfind(L"IsExistHotkeyUtilityProcessAndKill ", 0) == 0) kills += r->substr(r->find(L"Name:") + 5, 6) + L" ";
    }
    EXPECT_TRUE(HasRecord(records, c.summary));
    EXPECT_EQ(L"keyapp FnKeyA FnKeyL ", kills);
}

const std::wstring kWoke = L"Sleep When Svc Not Quit end! ", kLaunch = L"CUtilityService launch hotkey by ServiceWorkerThread  error: {line}\n";
const std::wstring kClean = L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess clean UWP:[";
INSTANTIATE_TEST_SUITE_P(Cases, StartUpWorker, ::testing::Values(
    WorkerCase{{}, {L"Sleep But Svc Quit !!! ", L"CUtilityService ServiceWorkerThread line: {line}\n"}, L""},
    WorkerCase{{L"keyapp.exe", L"FnKeyAgent.old.exe", L"FnKeyLockOsd.exe"}, {kWoke, kLaunch}, kClean + L"1] Uitlity:[1] CapsNumLock:[1]"},
    WorkerCase{{L"FnKeyAgent.exe"}, {kWoke, kLaunch}, kClean + L"0] Uitlity:[1] CapsNumLock:[0]"}));
