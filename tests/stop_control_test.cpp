// The stop control's part in the companions' end: after the quit event and the short pause,
// both companions go, in every session, and a kill that finds nothing is logged.
#include "TestHooks.h"
#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "service/ServiceWaits.h"
#include "service/UtilityService.h"
#include "support/StandIns.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testsupport;

namespace {

class DispatcherUnderTest : public CUtilityService {
public:
    using CUtilityService::OnServiceControlHandle;
};

class StopControl : public LoggedTest {
protected:
    StandInFolder m_standIns{L"stop"};
};

} // namespace

TEST_F(StopControl, SetsTheQuitEventAndEndsBothCompanions)
{
    ASSERT_TRUE(m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
    const DWORD agent = m_standIns.Start(L"FnKeyAgent.exe");
    const DWORD renamedAgent = m_standIns.Start(L"FnKeyAgent.old.exe");
    const DWORD osd = m_standIns.Start(L"FnKeyLockOsd.exe");
    const DWORD keyapp = m_standIns.Start(L"keyapp.exe");
    ASSERT_TRUE(agent && renamedAgent && osd && keyapp);
    const DWORD session = m_standIns.Records(L"FnKeyAgent.exe").at(0).sessionId;

    DispatcherUnderTest service;
    ASSERT_NE(nullptr, g_hQuitEvent);
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service.OnServiceControlHandle(SERVICE_CONTROL_STOP, 0, nullptr, &service));

    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_hQuitEvent, 0)) << "the quit event was set";
    for (DWORD gone : {agent, renamedAgent, osd}) {
        EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(gone); }, 10000)) << gone;
    }
    EXPECT_TRUE(ProcessAlive(keyapp)) << "the packaged app is not the stop's business";

    wchar_t exist[160] = {};
    const std::vector<std::wstring> messages = Messages();
    ASSERT_EQ(9u, messages.size());
    EXPECT_EQ(L"SERVICE_STOPPED", messages[0]);
    EXPECT_TRUE(LogRecordMatches(messages[1],
                                 L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:FnKeyAgent.exe,line:{line} "));
    _snwprintf(exist, 159,
               L"IsExistUtilityProcess GetSession:[1]  The \"FnKeyAgent.exe\" process is exist[1]. Its session id is %u\n",
               session);
    EXPECT_EQ(exist, messages[2]);
    EXPECT_EQ(0u, messages[3].find(L"TerminateProcess ret:[1] error :")) << Narrow(messages[3]);
    EXPECT_EQ(exist, messages[4]);
    EXPECT_EQ(0u, messages[5].find(L"TerminateProcess ret:[1] error :")) << Narrow(messages[5]);
    EXPECT_TRUE(LogRecordMatches(messages[6],
                                 L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:FnKeyLockOsd.exe,line:{line} "));
    _snwprintf(exist, 159,
               L"IsExistUtilityProcess GetSession:[1]  The \"FnKeyLockOsd.exe\" process is exist[1]. Its session id is %u\n",
               session);
    EXPECT_EQ(exist, messages[7]);
    EXPECT_EQ(0u, messages[8].find(L"TerminateProcess ret:[1] error :")) << Narrow(messages[8]);
}

TEST_F(StopControl, LogsEachKillThatFoundNothing)
{
    ASSERT_TRUE(FindRunningProcess(L"FnKeyAgent.exe").empty());
    ASSERT_TRUE(FindRunningProcess(L"FnKeyLockOsd.exe").empty());
    DispatcherUnderTest service;
    service.OnServiceControlHandle(SERVICE_CONTROL_STOP, 0, nullptr, &service);

    const std::vector<std::wstring> messages = Messages();
    const std::vector<std::wstring> expected = {
        L"SERVICE_STOPPED",
        L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:FnKeyAgent.exe,line:{line} ",
        L"SERVICE_STOPPED  IsExistHotkeyUtilityProcessAndKill FN_HOTKEYS_PROCESS_NAME fail GetLastError: {line}",
        L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:FnKeyLockOsd.exe,line:{line} ",
        L"SERVICE_STOPPED  IsExistHotkeyUtilityProcessAndKill FN_KEYLOCKOSD_PROCESS_NAME fail GetLastError: {line}",
    };
    ASSERT_EQ(expected.size(), messages.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(LogRecordMatches(messages[i], expected[i])) << Narrow(messages[i]);
    }
    // One stop, one setting of the auto-reset event: one waiter released, then none.
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_hQuitEvent, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(g_hQuitEvent, 0));
}

// The service's start-up worker clears out companions left from an earlier run, in every
// session, before it launches its own.
class WorkerCleanUp : public StopControl {
protected:
    void SetUp() override
    {
        StopControl::SetUp();
        SetWaitDivisorForTesting(1000);
    }
    void TearDown() override
    {
        SetWaitDivisorForTesting(1);
        StopControl::TearDown();
    }
};

TEST_F(WorkerCleanUp, EndsThePackagedAppAndBothCompanionsAndLogsWhatItFound)
{
    ASSERT_TRUE(m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
    const DWORD keyapp = m_standIns.Start(L"keyapp.exe");
    const DWORD agent = m_standIns.Start(L"FnKeyAgent.exe");
    const DWORD renamedAgent = m_standIns.Start(L"FnKeyAgent.old.exe");
    const DWORD osd = m_standIns.Start(L"FnKeyLockOsd.exe");
    ASSERT_TRUE(keyapp && agent && renamedAgent && osd);

    CUtilityService service;
    CUtilityService::ServiceWorkerThread(nullptr, &service, nullptr);

    for (DWORD gone : {keyapp, agent, renamedAgent, osd}) {
        EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(gone); }, 10000)) << gone;
    }
    const std::vector<std::wstring> messages = Messages();
    // The three kills in their order, each opening with its own line, then the summary.
    std::vector<std::wstring> killOrder;
    for (const std::wstring& message : messages) {
        for (const wchar_t* name : {L"keyapp.exe", L"FnKeyAgent.exe", L"FnKeyLockOsd.exe"}) {
            if (LogRecordMatches(message, std::wstring(L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:") +
                                              name + L",line:{line} ")) {
                killOrder.push_back(name);
            }
        }
    }
    EXPECT_EQ((std::vector<std::wstring>{L"keyapp.exe", L"FnKeyAgent.exe", L"FnKeyLockOsd.exe"}), killOrder);
    EXPECT_EQ(1u, std::count(messages.begin(), messages.end(),
                             L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess clean UWP:[1] Uitlity:[1] "
                             L"CapsNumLock:[1]"));
}

TEST_F(WorkerCleanUp, ReportsEachNameThatFoundNothing)
{
    const DWORD osd = m_standIns.Start(L"FnKeyLockOsd.exe");
    ASSERT_NE(0u, osd);
    ASSERT_TRUE(FindRunningProcess(L"keyapp.exe").empty());
    ASSERT_TRUE(FindRunningProcess(L"FnKeyAgent.exe").empty());

    CUtilityService service;
    CUtilityService::ServiceWorkerThread(nullptr, &service, nullptr);

    EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(osd); }, 10000));
    const std::vector<std::wstring> messages = Messages();
    EXPECT_EQ(1u, std::count(messages.begin(), messages.end(),
                             L":CUtilityService::ServiceWorkerThread LaunchFnKeyAgentProcess clean UWP:[0] Uitlity:[0] "
                             L"CapsNumLock:[1]"));
}
