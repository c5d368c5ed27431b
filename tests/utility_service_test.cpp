// The utility service in process: its events, the rows that only log, the stop and the start-up
// worker, seen through the log, the events and the companion stand-ins.
#include "TestHooks.h"
#include "service/ControlDispatcher.h"
#include "service/UtilityService.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"

#include <algorithm>
#include <atomic>
#include <thread>

using namespace testsupport;
using regtest::RecordsMatch;
namespace {
bool EventExists(const wchar_t* name) { return bool(win::UniqueHandle(::OpenEventW(SYNCHRONIZE, FALSE, name))); }
struct UtilityService : LoggedTest { StandInFolder m_standIns{L"service"}; };
const std::wstring kKill = L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:";
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
        DispatchServiceControl(SERVICE_CONTROL_SESSIONCHANGE, 6 /* WTS_SESSION_LOGOFF */, nullptr);
        for (DWORD code : {0, 4, 128, 129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 143, 152, 153, 159, 162, 169, 200, 255}) {
            EXPECT_EQ(DWORD(NO_ERROR), DispatchServiceControl(code, 0, nullptr));
            expected.push_back(L"OsmiraUtilityService default event !Line:%d  dwCtrl : " + std::to_wstring(code) + L" ");
        }
        EXPECT_TRUE(RecordsMatch(Messages(), expected));
        EXPECT_EQ(DWORD(WAIT_TIMEOUT), ::WaitForSingleObject(g_hQuitEvent, 0)) << "only the stop sets it";
    }
    // A thread that wakes after the service has gone finds quit, on an event that is still open.
    EXPECT_TRUE(SleepUnlessQuit(30000));
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), ::WaitForSingleObject(g_hQuitEvent, 0));
}
// A code that starts a thread or a process: nothing while the last one works or within the
// spacing, and one log line for each run of drops.
TEST(RequestGate, DropsWhileBusyOrTooSoonAndFlagsTheFirstDropOfARun)
{
    constexpr auto A = RequestGate::Admitted, D = RequestGate::Dropped, F = RequestGate::DroppedFirst;
    const struct Step { ULONGLONG now; bool leaveFirst; RequestGate::Verdict verdict; } steps[] = {
        {1000, false, A}, {1001, false, F}, {1002, false, D}, {1499, true, D},
        {1500, false, A}, {2000, false, F}, {2001, true, A}};
    RequestGate gate(500);
    for (const Step& s : steps) {
        if (s.leaveFirst) gate.Leave();
        EXPECT_EQ(s.verdict, gate.Enter(s.now)) << s.now;
    }
}
// The stop sets the quit event, gives its waiters a moment and only then ends both companions,
// whatever follows the agent's name, but not the packaged app.
TEST_F(UtilityService, StopReleasesTheWaitersBeforeItEndsTheCompanions)
{
    const std::wstring failed = L"SERVICE_STOPPED  " + kKill.substr(0, 35), ended = L"TerminateProcess ret:[1] error :%d , sessionid=%d";
    const auto exists = [](const std::wstring& name) { return L"IsExistUtilityProcess GetSession:[1]  The \"" + name + L"\" process is exist[1]. Its session id is %d\n"; };
    ASSERT_TRUE(m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
    for (const bool companions : {true, false}) {
        SCOPED_TRACE(companions);
        ClearLog();
        std::vector<DWORD> ids; // the agent first, the packaged app last
        for (const wchar_t* name : {L"FnKeyAgent.exe", L"FnKeyAgent.old.exe", L"FnKeyLockOsd.exe", L"keyapp.exe"}) ids.push_back(companions ? m_standIns.Start(name) : 0);
        ASSERT_EQ(companions ? 4 : 0, std::count_if(ids.begin(), ids.end(), [](DWORD id) { return id != 0; }));
        CUtilityService service;
        std::atomic<int> agentAliveAtWake{-1};
        std::atomic<bool> waiting{false};
        std::thread waiter([&] { waiting = true, agentAliveAtWake = ::WaitForSingleObject(g_hQuitEvent, 30000) ? -1 : ProcessAlive(ids[0]); });
        EXPECT_TRUE(WaitUntil([&] { return waiting.load(); }, 5000));
        EXPECT_EQ(DWORD(NO_ERROR), DispatchServiceControl(SERVICE_CONTROL_STOP, 0, nullptr));
        waiter.join();
        EXPECT_EQ(companions ? 1 : 0, agentAliveAtWake.load()) << "-1: the quit event was not set";
        for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(ids[i]); }, 10000)) << i;
        EXPECT_EQ(companions, ProcessAlive(ids[3]));
        const std::wstring agent = kKill + L"FnKeyAgent.exe,line:%d ", osd = kKill + L"FnKeyLockOsd.exe,line:%d ";
        EXPECT_TRUE(RecordsMatch(Messages(), companions ? std::vector<std::wstring>{L"SERVICE_STOPPED", agent, exists(L"FnKeyAgent.exe"), ended,
                                                                                    exists(L"FnKeyAgent.exe"), ended, osd, exists(L"FnKeyLockOsd.exe"), ended}
                                                        : std::vector<std::wstring>{L"SERVICE_STOPPED", agent, failed + L"FN_HOTKEYS_PROCESS_NAME fail GetLastError: %d",
                                                                                    osd, failed + L"FN_KEYLOCKOSD_PROCESS_NAME fail GetLastError: %d"}));
    }
}
// The start-up worker: the packaged app and both companions left from an earlier run go, in
// that order, before its own launch. (A stop within its first wait: the end-to-end tests.)
TEST_F(UtilityService, StartUpWorkerClearsOutTheCompanionsOfAnEarlierRun)
{
    SetWaitDivisorForTesting(1000);
    ASSERT_TRUE(m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
    std::vector<DWORD> started;
    for (const wchar_t* name : {L"keyapp.exe", L"FnKeyAgent.old.exe", L"FnKeyLockOsd.exe"}) started.push_back(m_standIns.Start(name));
    CUtilityService service;
    CUtilityService::ServiceWorkerThread(nullptr, &service, nullptr);
    SetWaitDivisorForTesting(1);
    for (DWORD gone : started) EXPECT_TRUE(WaitUntil([&] { return gone != 0 && !ProcessAlive(gone); }, 10000));
    std::vector<std::wstring> records = Messages(); // then the launch and the supervision
    const auto summary = std::find(records.begin(), records.end(),
                                   L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess clean UWP:[1] Uitlity:[1] CapsNumLock:[1]");
    ASSERT_NE(records.end(), summary) << Narrow(regtest::Join(records));
    records.erase(std::remove_if(records.begin() + 2, summary, [](const std::wstring& r) { return r.rfind(L"IsExistHotkey", 0) != 0; }), records.end());
    EXPECT_TRUE(RecordsMatch(records, {L"Sleep When Svc Not Quit end! ", L"CUtilityService launch hotkey by ServiceWorkerThread  error: %d\n",
                                       kKill + L"keyapp.exe,line:%d ", kKill + L"FnKeyAgent.exe,line:%d ", kKill + L"FnKeyLockOsd.exe,line:%d "}));
}
