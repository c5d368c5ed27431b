// The utility service in process: its events, the interruptible sleep, the deferred worker
// and the control hook's frame, observed through the log and the named events.
#include "TestHooks.h"
#include "log/UtilityLog.h"
#include "service/ServiceWaits.h"
#include "service/UtilityService.h"
#include "support/TestSupport.h"
#include "win/Owners.h"

#include <gtest/gtest.h>

#include <regex>
#include <wtsapi32.h>

using namespace testsupport;

namespace {

// Exposes the hooks that the service control manager would call.
class ServiceUnderTest : public CUtilityService {
public:
    using CUtilityService::OnServiceControlHandle;
    using CUtilityService::OnStop;
};

bool EventExists(const wchar_t* name)
{
    return static_cast<bool>(win::UniqueHandle(::OpenEventW(SYNCHRONIZE, FALSE, name)));
}

// The service's waits run a thousand times faster here.
class UtilityServiceTest : public LoggedTest {
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        SetWaitDivisorForTesting(1000);
    }
    void TearDown() override
    {
        SetWaitDivisorForTesting(1);
        LoggedTest::TearDown();
    }
};

std::wstring DefaultLine(const std::wstring& message)
{
    static const std::wregex pattern(L"OsmiraUtilityService default event !Line:[0-9]+  dwCtrl : ([0-9]+) ");
    std::wsmatch match;
    return std::regex_match(message, match, pattern) ? match[1].str() : L"";
}

} // namespace

TEST_F(UtilityServiceTest, LedWakeEventsExistBeforeAnyServiceObject)
{
    EXPECT_TRUE(EventExists(kSpeakerLedEventName));
    EXPECT_TRUE(EventExists(kMicMuteLedEventName));
    EXPECT_TRUE(EventExists(kHidMicMuteLedEventName));
    EXPECT_NE(nullptr, g_hSpeakerLedEvent);
}

TEST_F(UtilityServiceTest, ConstructionCreatesTheQuitEventAndDestructionClosesIt)
{
    EXPECT_FALSE(EventExists(kQuitEventName));
    {
        CUtilityService service;
        EXPECT_TRUE(EventExists(kQuitEventName));
        EXPECT_NE(nullptr, g_hQuitEvent);
    }
    EXPECT_FALSE(EventExists(kQuitEventName));
    EXPECT_EQ(nullptr, g_hQuitEvent);
    // Construction and destruction alone run nothing that logs.
    EXPECT_TRUE(Messages().empty());
}

TEST_F(UtilityServiceTest, SleepUnlessQuitConsumesOneSignal)
{
    CUtilityService service;
    EXPECT_FALSE(SleepUnlessQuit(10));
    ::SetEvent(g_hQuitEvent);
    EXPECT_TRUE(SleepUnlessQuit(60000));
    EXPECT_FALSE(SleepUnlessQuit(10));
    const std::vector<std::wstring> expected = {L"Sleep When Svc Not Quit end! ", L"Sleep But Svc Quit !!! ",
                                                L"Sleep When Svc Not Quit end! "};
    EXPECT_EQ(expected, Messages());
}

TEST_F(UtilityServiceTest, WorkerQuitsWithoutLaunchingWhenStoppedFirst)
{
    CUtilityService service;
    ::SetEvent(g_hQuitEvent);
    CUtilityService::ServiceWorkerThread(nullptr, &service, nullptr);
    const std::vector<std::wstring> messages = Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ(L"Sleep But Svc Quit !!! ", messages[0]);
    EXPECT_TRUE(std::regex_match(messages[1], std::wregex(L"CUtilityService ServiceWorkerThread line: [0-9]+\n")))
        << Narrow(messages[1]);
}

TEST_F(UtilityServiceTest, WorkerWakesAndLogsItsLaunchLine)
{
    CUtilityService service;
    ::SetLastError(0);
    CUtilityService::ServiceWorkerThread(nullptr, &service, nullptr);
    const std::vector<std::wstring> messages = Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(L"Sleep When Svc Not Quit end! ", messages[0]);
    EXPECT_TRUE(std::regex_match(messages[1],
                                 std::wregex(L"CUtilityService launch hotkey by ServiceWorkerThread  error: [0-9]+\n")))
        << Narrow(messages[1]);
    // Wine always has a console session.
    for (const std::wstring& message : messages) EXPECT_EQ(std::wstring::npos, message.find(L"0xFFFFFFFF"));
}

TEST_F(UtilityServiceTest, CodesWithoutARowLogTheDefaultLineWithTheirCode)
{
    ServiceUnderTest service;
    std::vector<DWORD> codes = {0, SERVICE_CONTROL_INTERROGATE, 143, 152, 153, 159, 162};
    for (DWORD code = 128; code <= 138; ++code) codes.push_back(code);
    for (DWORD code = 169; code <= 255; ++code) codes.push_back(code);
    for (DWORD code : codes) EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service.OnServiceControlHandle(code, 0, nullptr, &service));

    const std::vector<std::wstring> messages = Messages();
    ASSERT_EQ(codes.size(), messages.size());
    for (size_t i = 0; i < codes.size(); ++i) EXPECT_EQ(std::to_wstring(codes[i]), DefaultLine(messages[i])) << Narrow(messages[i]);
}

TEST_F(UtilityServiceTest, SessionChangesLogTheirLines)
{
    ServiceUnderTest service;
    // Lock and logoff start nothing; the other types' threads are checked where they are built.
    const std::pair<DWORD, std::wstring> quiet[] = {
        {WTS_SESSION_LOGOFF, L"::OnServiceControlHandle User Logged off\n"},
        {WTS_SESSION_LOCK, L"::OnServiceControlHandle User Session Locked\n"},
        {WTS_REMOTE_CONNECT, L"dwEvent::OnServiceControlHandle User Session 3\n"},
        {WTS_REMOTE_DISCONNECT, L"dwEvent::OnServiceControlHandle User Session 4\n"},
        {WTS_SESSION_REMOTE_CONTROL, L"dwEvent::OnServiceControlHandle User Session 9\n"},
        {77, L"dwEvent::OnServiceControlHandle User Session 77\n"},
    };
    for (const auto& entry : quiet) {
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service.OnServiceControlHandle(SERVICE_CONTROL_SESSIONCHANGE, entry.first, nullptr, &service));
    }
    std::vector<std::wstring> expected;
    for (const auto& entry : quiet) expected.push_back(entry.second);
    EXPECT_EQ(expected, Messages());

    const std::pair<DWORD, std::wstring> starting[] = {
        {WTS_CONSOLE_CONNECT, L"::OnServiceControlHandle User Session WTS_CONSOLE_CONNECT\n"},
        {WTS_CONSOLE_DISCONNECT, L"::OnServiceControlHandle User Session WTS_CONSOLE_DISCONNECT\n"},
        {WTS_SESSION_LOGON, L"::OnServiceControlHandle User Logged on\n"},
        {WTS_SESSION_UNLOCK, L"::OnServiceControlHandle User Session Unlocked\n"},
    };
    for (const auto& entry : starting) {
        ClearLog();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service.OnServiceControlHandle(SERVICE_CONTROL_SESSIONCHANGE, entry.first, nullptr, &service));
        const std::vector<std::wstring> messages = Messages();
        ASSERT_FALSE(messages.empty()) << entry.first;
        EXPECT_EQ(entry.second, messages.front());
    }
}

TEST_F(UtilityServiceTest, ShutdownOnlyLogs)
{
    ServiceUnderTest service;
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service.OnServiceControlHandle(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, &service));
    EXPECT_EQ(std::vector<std::wstring>{L"::OnServiceControlHandle Syetem Shutdown\n"}, Messages());
    EXPECT_FALSE(SleepUnlessQuit(0));
}

TEST_F(UtilityServiceTest, StopSetsTheQuitEventExactlyOnce)
{
    ServiceUnderTest service;
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service.OnServiceControlHandle(SERVICE_CONTROL_STOP, 0, nullptr, &service));
    const std::vector<std::wstring> messages = Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(L"SERVICE_STOPPED", messages.front());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(g_hQuitEvent, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(g_hQuitEvent, 0));
}

TEST_F(UtilityServiceTest, OnStopOnlyLogs)
{
    ServiceUnderTest service;
    service.OnStop();
    EXPECT_EQ(std::vector<std::wstring>{L"CUtilityService::OnStop enter.\n"}, Messages());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(g_hQuitEvent, 0));
}
