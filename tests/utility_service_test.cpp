// The utility service in process: its named events, the rows that only log, the stop (quit
// event, then the companions' end) and the start-up worker, seen through the log, the events
// and the companion stand-ins.
#include "TestHooks.h"
#include "service/ControlDispatcher.h"
#include "service/UtilityService.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <wtsapi32.h>

using namespace testsupport;
using regtest::RecordsMatch;

namespace {
bool EventExists(const wchar_t* name) { return bool(win::UniqueHandle(::OpenEventW(SYNCHRONIZE, FALSE, name))); }
class UtilityService : public LoggedTest {
protected:
    StandInFolder m_standIns{L"service"};
};
} // namespace

TEST_F(UtilityService, EventsAndRowsThatOnlyLog)
{
    for (const wchar_t* name : {kSpeakerLedEventName, kMicMuteLedEventName, kHidMicMuteLedEventName}) EXPECT_TRUE(EventExists(name));
    EXPECT_FALSE(EventExists(kQuitEventName));
    {
        CUtilityService service; // the quit event lives with the service
        EXPECT_TRUE(EventExists(kQuitEventName));
        std::vector<std::wstring> expected = {L"::OnServiceControlHandle Syetem Shutdown\n", L"::OnServiceControlHandle User Logged off\n"};
        DispatchServiceControl(SERVICE_CONTROL_SHUTDOWN, 0, nullptr);
        DispatchServiceControl(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF, nullptr);
        for (DWORD code : {0, 4, 128, 129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 143, 152, 153, 159, 162, 169, 200, 255}) {
            EXPECT_EQ(DWORD(NO_ERROR), DispatchServiceControl(code, 0, nullptr));
            expected.push_back(L"OsmiraUtilityService default event !Line:%d  dwCtrl : " + std::to_wstring(code) + L" ");
        }
        EXPECT_TRUE(RecordsMatch(Messages(), expected));
        EXPECT_EQ(DWORD(WAIT_TIMEOUT), ::WaitForSingleObject(g_hQuitEvent, 0)) << "only the stop sets it";
    }
    EXPECT_FALSE(EventExists(kQuitEventName));
    EXPECT_EQ(nullptr, g_hQuitEvent);
}

// The stop sets the quit event, gives its waiters a moment and only then ends both companions,
// whatever follows the agent's name, but not the packaged app.
TEST_F(UtilityService, StopReleasesTheWaitersBeforeItEndsTheCompanions)
{
    const std::wstring kill = L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:", failed = L"SERVICE_STOPPED  " + kill.substr(0, 35);
    const std::wstring found = L"IsExistUtilityProcess GetSession:[1]  The \"", ended = L"TerminateProcess ret:[1] error :%d , sessionid=%d";
    const auto exists = [&](const wchar_t* name) { return found + name + L"\" process is exist[1]. Its session id is %d\n"; };
    ASSERT_TRUE(m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
    for (const bool companions : {true, false}) {
        SCOPED_TRACE(companions);
        ClearLog();
        std::vector<DWORD> ids; // the agent first, the packaged app last
        for (const wchar_t* name : {L"FnKeyAgent.exe", L"FnKeyAgent.old.exe", L"FnKeyLockOsd.exe", L"keyapp.exe"}) {
            if (companions) ids.push_back(m_standIns.Start(name));
        }
        ASSERT_EQ(companions ? 4 : 0, std::count_if(ids.begin(), ids.end(), [](DWORD id) { return id != 0; }));
        CUtilityService service;
        std::atomic<int> agentAliveAtWake{-1};
        std::atomic<bool> waiting{false};
        std::thread waiter([&] {
            waiting = true;
            if (::WaitForSingleObject(g_hQuitEvent, 30000) == WAIT_OBJECT_0) agentAliveAtWake = companions && ProcessAlive(ids[0]);
        });
        ASSERT_TRUE(WaitUntil([&] { return waiting.load(); }, 5000));
        EXPECT_EQ(DWORD(NO_ERROR), DispatchServiceControl(SERVICE_CONTROL_STOP, 0, nullptr));
        waiter.join();
        EXPECT_EQ(companions ? 1 : 0, agentAliveAtWake.load()) << "-1: the quit event was not set";
        if (!companions) {
            EXPECT_TRUE(RecordsMatch(Messages(), {L"SERVICE_STOPPED", kill + L"FnKeyAgent.exe,line:%d ", failed + L"FN_HOTKEYS_PROCESS_NAME fail GetLastError: %d",
                                                  kill + L"FnKeyLockOsd.exe,line:%d ", failed + L"FN_KEYLOCKOSD_PROCESS_NAME fail GetLastError: %d"}));
            continue;
        }
        for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(ids[i]); }, 10000)) << i;
        EXPECT_TRUE(ProcessAlive(ids[3]));
        EXPECT_TRUE(RecordsMatch(Messages(), {L"SERVICE_STOPPED", kill + L"FnKeyAgent.exe,line:%d ", exists(L"FnKeyAgent.exe"), ended,
                                              exists(L"FnKeyAgent.exe"), ended, kill + L"FnKeyLockOsd.exe,line:%d ", exists(L"FnKeyLockOsd.exe"), ended}));
    }
}

// The start-up worker: a stop within its first wait ends it; else it clears out the packaged app
// and both companions left from an earlier run. One process a case: the supervision that the
// worker starts goes on after it.
struct WorkerCase {
    std::vector<const wchar_t*> running;
    std::wstring summary; // empty: the stop came first
};
class StartUpWorker : public UtilityService, public ::testing::WithParamInterface<WorkerCase> {};

TEST_P(StartUpWorker, EndsAtTheQuitEventOrClearsOutTheCompanions)
{
    SetWaitDivisorForTesting(1000);
    ASSERT_TRUE(m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
    std::vector<DWORD> started;
    for (const wchar_t* name : GetParam().running) started.push_back(m_standIns.Start(name));
    CUtilityService service;
    if (GetParam().summary.empty()) ::SetEvent(g_hQuitEvent);
    CUtilityService::ServiceWorkerThread(nullptr, &service, nullptr);
    SetWaitDivisorForTesting(1);
    for (DWORD gone : started) EXPECT_TRUE(WaitUntil([&] { return gone != 0 && !ProcessAlive(gone); }, 10000));
    std::vector<std::wstring> records = Messages();
    if (GetParam().summary.empty()) {
        EXPECT_TRUE(RecordsMatch(records, {L"Sleep But Svc Quit !!! ", L"CUtilityService ServiceWorkerThread line: %d\n"}));
        return;
    }
    const auto summary = std::find(records.begin(), records.end(), GetParam().summary);
    ASSERT_NE(records.end(), summary) << Narrow(regtest::Join(records));
    records.erase(std::remove_if(records.begin() + 2, summary, [](const std::wstring& r) { return r.rfind(L"IsExistHotkey", 0) != 0; }), records.end());
    const std::wstring kill = L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:";
    EXPECT_TRUE(RecordsMatch(records, {L"Sleep When Svc Not Quit end! ", L"CUtilityService launch hotkey by ServiceWorkerThread  error: %d\n",
                                       kill + L"keyapp.exe,line:%d ", kill + L"FnKeyAgent.exe,line:%d ", kill + L"FnKeyLockOsd.exe,line:%d "}));
}

INSTANTIATE_TEST_SUITE_P(Cases, StartUpWorker, ::testing::Values(
    WorkerCase{{}, L""},
    WorkerCase{{L"keyapp.exe", L"FnKeyAgent.old.exe", L"FnKeyLockOsd.exe"},
               L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess clean UWP:[1] Uitlity:[1] CapsNumLock:[1]"},
    WorkerCase{{L"FnKeyAgent.exe"}, L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess clean UWP:[0] Uitlity:[1] CapsNumLock:[0]"}));
