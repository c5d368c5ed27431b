// The utility service in process: its events, the rows that only log, the launcher, the stop, a launch's hold on
// its companion and the start-up worker, seen through the log, the events and the companion stand-ins.
#include "ValidationCodes.h"
#include "service/CompanionSupervision.h"
#include "service/ControlDispatcher.h"
#include "service/Launcher.h"
#include "service/ServiceWaits.h"
#include "service/UtilityService.h"
#include "support/RegistryTestSupport.h"
#include "support/Seams.h"
#include "support/StandIns.h"

#include <wtsapi32.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace testsupport;

namespace {

const std::wstring kKillLine = L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:";

struct UtilityService : LoggedTest {
    StandInFolder m_standIns{L"service"}; // not the service's: it looks for its own beside itself
    StandInFolder m_ours;
};

// The stop's thread at its pause: the waiter that the quit event released has woken, and the agent still runs.
std::atomic<DWORD> g_stopThread{0};
std::atomic<DWORD> g_agent{0};
std::atomic<bool> g_waiterWoke{false};
std::atomic<int> g_agentAtPause{-1};
void AtTheStopsPause()
{
    if (::GetCurrentThreadId() != g_stopThread.load()) return;
    g_agentAtPause = WaitUntil([] { return g_waiterWoke.load(); }, 5000) && ProcessAlive(g_agent.load());
}

} // namespace

TEST_F(UtilityService, EventsAndRowsThatOnlyLog)
{
    const auto exists = [](const wchar_t* name) { return bool(win::UniqueHandle(::OpenEventW(SYNCHRONIZE, 0, name))); };
    for (const wchar_t* name : {L"31E6BDD1-18E4-4B84-B28E-0D6CFB1978F9_FNHOTKEY",
                                L"EF55FD20-D641-4B65-A7C5-F93618116671", L"EDCDA4EE-C605-4BA8-95ED-D93A91EDA7ED"}) {
        EXPECT_TRUE(exists(name)) << Narrow(name);
    }
    const wchar_t* const quitEventName = L"_CreateForQuitSvericeEvent_";
    EXPECT_FALSE(exists(quitEventName));
    {
        CUtilityService service; // the quit event lives with the service
        EXPECT_TRUE(exists(quitEventName));
        std::vector<std::wstring> expected = {L"::OnServiceControlHandle Syetem Shutdown\n",
                                              L"::OnServiceControlHandle User Logged off\n"};
        DispatchServiceControl(SERVICE_CONTROL_SHUTDOWN, 0, nullptr);
        DispatchServiceControl(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF, nullptr);
        const std::wstring defaultLine = L"OsmiraUtilityService default event !Line:%d  dwCtrl : ";
        for (int code : {0, 4, 128, 138, 143, 152, 153, 159, 162, 169, 255}) { // codes without a row
            EXPECT_EQ(DWORD(NO_ERROR), DispatchServiceControl(code, 0, nullptr));
            expected.push_back(defaultLine + std::to_wstring(code) + L" ");
        }
        EXPECT_TRUE(regtest::RecordsMatch(Messages(), expected));
        EXPECT_EQ(DWORD(WAIT_TIMEOUT), ::WaitForSingleObject(ServiceQuitEvent(), 0)) << "only the stop sets it";
    }
    // A thread that wakes after the service has gone finds quit, on an event that is still open.
    EXPECT_TRUE(SleepUnlessQuit(30000));
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), ::WaitForSingleObject(ServiceQuitEvent(), 0));
}

// Per code the launcher starts in arrival order, 500 ms apart, with two requests waiting at most (the drops of a
// run logged once); the stop drops the waiting ones, so that a later request is the next to run.
TEST_F(UtilityService, LaunchesWaitTheirTurnUpToTwoAndTheStopDropsTheWaiting)
{
    static std::mutex lock;
    static std::vector<DWORD> ran;
    const LaunchJob job = [](DWORD control, const void*) {
        std::lock_guard<std::mutex> guard(lock);
        ran.push_back(control);
    };
    const auto ranSoFar = [] {
        std::lock_guard<std::mutex> guard(lock);
        return ran;
    };
    {
        CUtilityService service;
        ASSERT_TRUE(QueueLaunch(1, job, nullptr));
        ASSERT_TRUE(WaitUntil([&] { return ranSoFar().size() == 1; }, 5000));
        std::vector<BOOL> queued;
        for (DWORD control : {1, 1, 1, 1, 2}) queued.push_back(QueueLaunch(control, job, nullptr));
        EXPECT_EQ((std::vector<BOOL>{TRUE, TRUE, FALSE, FALSE, TRUE}), queued);
        EXPECT_TRUE(WaitUntil([&] { return ranSoFar().size() == 4; }, 5000));
        EXPECT_TRUE(QueueLaunch(1, job, nullptr)) << "waits 500 ms behind the last";
        DispatchServiceControl(SERVICE_CONTROL_STOP, 0, nullptr);
        EXPECT_FALSE(QueueLaunch(2, job, nullptr));
    }
    CUtilityService next;
    ASSERT_TRUE(QueueLaunch(3, job, nullptr));
    EXPECT_TRUE(WaitUntil([&] { return ranSoFar().back() == 3; }, 5000));
    EXPECT_EQ((std::vector<DWORD>{1, 1, 1, 2, 3}), ranSoFar());
    EXPECT_EQ(1u, CountRecords(Messages(), L"OsmiraUtilityService dwCtrl : 1 dropped: ", true));
    EXPECT_EQ(1u, CountRecords(Messages(), L"OsmiraUtilityService 1 waiting launches dropped: the service stops"));
}

// The stop sets the auto-reset quit event once, so that it releases one waiter, and pauses for it before it ends
// both companions, but neither the packaged app nor an agent elsewhere. (Which processes a kill matches: the process
// toolkit's table.)
TEST_F(UtilityService, StopPausesForAReleasedWaiterBeforeItEndsTheCompanions)
{
    std::vector<DWORD> companions; // the agent first
    for (const wchar_t* name : {L"FnKeyAgent.exe", L"FnKeyLockOsd.exe"}) {
        companions.push_back(m_ours.Start(name));
        ASSERT_NE(0u, companions.back()) << Narrow(name);
    }
    const DWORD packagedApp = m_standIns.Start(L"keyapp.exe");
    const DWORD agentElsewhere = m_standIns.Start(L"FnKeyAgent.exe");
    CUtilityService service;
    std::thread waiter([] { g_waiterWoke = ::WaitForSingleObject(ServiceQuitEvent(), 30000) == WAIT_OBJECT_0; });
    g_stopThread = ::GetCurrentThreadId();
    g_agent = companions[0];
    SetWaitObserverForTesting(&AtTheStopsPause);
    EXPECT_EQ(DWORD(NO_ERROR), DispatchServiceControl(SERVICE_CONTROL_STOP, 0, nullptr));
    SetWaitObserverForTesting(nullptr);
    waiter.join();
    EXPECT_EQ(1, g_agentAtPause.load()) << "-1: no pause on the stop's thread; 0: no waiter woke, or no agent ran";
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), ::WaitForSingleObject(ServiceQuitEvent(), 0)) << "it released a second waiter";
    for (DWORD companion : companions) {
        EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(companion); }, 10000)) << companion;
    }
    EXPECT_TRUE(ProcessAlive(packagedApp));
    EXPECT_TRUE(ProcessAlive(agentElsewhere));
}

// A companion is held from its check to its start: written to while its check runs (1.5 s here, as when a user
// holds the file), it refuses with a sharing violation, and the program that starts is the file checked. The
// launches look beside this program; the first one's start marks the beginning of the second one's check.
TEST_F(UtilityService, LaunchHoldsTheCompanionFromItsCheckToItsStart)
{
    const StandInFolder held(L"held", ModuleFolder());
    const std::wstring below = held.Path().substr(ModuleFolder().size() + 1) + L"\\";
    const std::wstring agent = held.Program(L"FnKeyAgent.exe");
    const RegistryTreeGuard behaviour(kValidationBehaviourKey);
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, kValidationBehaviourKey, kCheckMilliseconds, 1500));
    std::atomic<BOOL> started{FALSE};
    std::thread launch([&] {
        DWORD code = 0;
        LaunchUserProcess(&code, (below + L"keyapp.exe").c_str(), L"");
        started = LaunchUserProcess(&code, (below + L"FnKeyAgent.exe").c_str(), L" -HELD");
    });
    const auto firstStarted = [&] { return CountRecords(Messages(), L"LaunchOsmiraUtilityAppx Create", true) == 1; };
    EXPECT_TRUE(WaitUntil(firstStarted, 20000));
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win::UniqueHandle writer(::CreateFileW(agent.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0,
                                                 nullptr));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), writer ? DWORD(ERROR_SUCCESS) : ::GetLastError());
    if (writer) ::SetEndOfFile(writer.get()); // what would start then is no longer the file checked
    launch.join();
    EXPECT_TRUE(started.load());
    std::vector<StandInRecord> records;
    const auto recorded = [&] { return (records = StandInRecordsIn(held.Path(), L"FnKeyAgent.exe")).size() == 1; };
    ASSERT_TRUE(WaitUntil(recorded, 10000));
    EXPECT_EQ(Narrow(agent + L" -HELD"), Narrow(records[0].image + records[0].commandLine));
}

// The start-up worker: the packaged app and both companions left from an earlier run go, in
// that order, before its own launch; an agent elsewhere stays. (A stop within its first wait: the end-to-end tests.)
TEST_F(UtilityService, StartUpWorkerClearsOutTheCompanionsOfAnEarlierRun)
{
    SetWaitDivisorForTesting(1000);
    std::vector<DWORD> earlierRun;
    for (const wchar_t* name : {L"keyapp.exe", L"FnKeyAgent.exe", L"FnKeyLockOsd.exe"}) {
        earlierRun.push_back(m_ours.Start(name));
        ASSERT_NE(0u, earlierRun.back()) << Narrow(name);
    }
    const DWORD agentElsewhere = m_standIns.Start(L"FnKeyAgent.exe");
    ASSERT_NE(0u, agentElsewhere);
    CUtilityService service;
    CUtilityService::ServiceWorkerThread(nullptr, &service, nullptr);
    SetWaitDivisorForTesting(1);
    for (DWORD companion : earlierRun) {
        EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(companion); }, 10000)) << companion;
    }
    // The worker's own launch: its two companions go with the folder once they have recorded themselves.
    EXPECT_TRUE(WaitUntil([&] { return m_ours.Records().size() == earlierRun.size() + 2; }, 10000));
    EXPECT_TRUE(ProcessAlive(agentElsewhere));
    // The kills' order, up to the worker's summary line; the launch and the supervision follow.
    std::wstring killed;
    for (const std::wstring& record : Messages()) {
        if (record.rfind(L":CUtilityService::ServiceWorkerThread", 0) == 0) break;
        const size_t name = kKillLine.size();
        if (record.rfind(kKillLine, 0) == 0) killed += record.substr(name, record.find(L',') - name) + L" ";
    }
    EXPECT_EQ(L"keyapp.exe FnKeyAgent.exe FnKeyLockOsd.exe ", killed);
}
