// The service framework under Wine's real service control manager, through a probe
// service whose hooks record, wait and throw as each test asks, and in process for what
// the manager cannot show.
#include "service/ServiceBase.h"
#include "support/TestSupport.h"
#include "win/Owners.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace testsupport;

namespace {

constexpr const wchar_t* kProbeName = L"FnKeyFrameworkProbe";

std::vector<std::string> ReadLines(const std::wstring& path)
{
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    std::vector<std::string> lines;
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ProbeServiceTest : public ::testing::Test {
protected:
    ProbeServiceTest() : m_folder(L"probe"), m_records(m_folder.File(L"records.txt")) {}

    void SetUp() override
    {
        m_manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(m_manager);
        DeleteProbe();
        const std::wstring binary = L"\"" + ModuleFolder() + L"\\FrameworkProbeService.exe\" \"" + m_records + L"\"";
        m_service.reset(::CreateServiceW(m_manager.get(), kProbeName, kProbeName, SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(m_service) << ::GetLastError();
        m_release.reset(::CreateEventW(nullptr, FALSE, FALSE, L"Global\\FnKeyProbeRelease"));
    }

    void TearDown() override
    {
        ::SetEvent(m_release.get());
        SERVICE_STATUS status = {};
        if (::ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status)) {
            ::SetEvent(m_release.get());
            WaitForState(SERVICE_STOPPED);
        }
        WaitForProcessEnd();
        DeleteProbe();
    }

    void DeleteProbe()
    {
        win::UniqueServiceHandle old(::OpenServiceW(m_manager.get(), kProbeName, SERVICE_ALL_ACCESS));
        if (old) {
            SERVICE_STATUS status = {};
            ::ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
            ::DeleteService(old.get());
        }
        old.reset();
        m_service.reset();
        WaitUntil([&] { return !win::UniqueServiceHandle(::OpenServiceW(m_manager.get(), kProbeName, SERVICE_QUERY_STATUS)); }, 10000);
    }

    void Start(std::vector<const wchar_t*> arguments)
    {
        ASSERT_TRUE(::StartServiceW(m_service.get(), static_cast<DWORD>(arguments.size()),
                                    arguments.empty() ? nullptr : arguments.data()))
            << ::GetLastError();
    }

    SERVICE_STATUS_PROCESS Status()
    {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        ::QueryServiceStatusEx(m_service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                               sizeof status, &needed);
        if (status.dwProcessId != 0) m_processId = status.dwProcessId;
        return status;
    }

    bool WaitForState(DWORD state)
    {
        return WaitUntil([&] { return Status().dwCurrentState == state; }, 20000);
    }

    void WaitForProcessEnd()
    {
        if (m_processId == 0) return;
        win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, m_processId));
        if (process) ::WaitForSingleObject(process.get(), 10000);
    }

    bool WaitForRecord(const std::string& line)
    {
        return WaitUntil([&] {
            const std::vector<std::string> lines = ReadLines(m_records);
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        }, 20000);
    }

    DWORD Control(DWORD code)
    {
        SERVICE_STATUS status = {};
        return ::ControlService(m_service.get(), code, &status) ? 0 : ::GetLastError();
    }

    ScratchFolder m_folder;
    std::wstring m_records;
    win::UniqueServiceHandle m_manager;
    win::UniqueServiceHandle m_service;
    win::UniqueHandle m_release;
    DWORD m_processId = 0;
};

} // namespace

TEST_F(ProbeServiceTest, StartReportsPendingWithCheckPointOneThenRunningWithZero)
{
    Start({L"wait-start"});
    ASSERT_TRUE(WaitForRecord("waiting"));
    const SERVICE_STATUS_PROCESS pending = Status();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), pending.dwCurrentState);
    EXPECT_EQ(1u, pending.dwCheckPoint);
    EXPECT_EQ(0u, pending.dwWaitHint);
    EXPECT_EQ(0x85u, pending.dwControlsAccepted);

    ::SetEvent(m_release.get());
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    const SERVICE_STATUS_PROCESS running = Status();
    EXPECT_EQ(0u, running.dwCheckPoint);
    EXPECT_EQ(0x85u, running.dwControlsAccepted);

    const std::vector<std::string> lines = ReadLines(m_records);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("event level=2 result=0 text=Service trying to start.", lines[0]);
    EXPECT_EQ("OnStart state=START_PENDING checkpoint=1", lines[1]);
}

TEST_F(ProbeServiceTest, StopRunsTheControlHookFirstThenPendingOnStopAndStopped)
{
    // The hooks record the status record as it was last reported; the manager itself
    // cannot be asked while a handler runs (Wine answers status queries only after it).
    Start({});
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    const SERVICE_STATUS_PROCESS stopped = Status();
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
    EXPECT_EQ(0u, stopped.dwCheckPoint);
    const std::vector<std::string> expected = {
        "event level=2 result=0 text=Service trying to start.",
        "OnStart state=START_PENDING checkpoint=1",
        "control 1 event=0 data=null context=self state=RUNNING",
        "OnStop state=STOP_PENDING checkpoint=2",
    };
    EXPECT_EQ(expected, ReadLines(m_records));
}

TEST_F(ProbeServiceTest, InterrogateAndCustomCodesReachOnlyTheControlHook)
{
    Start({});
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    for (DWORD code : {4u, 128u, 150u, 255u}) EXPECT_EQ(0u, Control(code)) << code;
    ASSERT_TRUE(WaitForRecord("control 255 event=0 data=null context=self state=RUNNING"));
    const std::vector<std::string> expected = {
        "event level=2 result=0 text=Service trying to start.",
        "OnStart state=START_PENDING checkpoint=1",
        "control 4 event=0 data=null context=self state=RUNNING",
        "control 128 event=0 data=null context=self state=RUNNING",
        "control 150 event=0 data=null context=self state=RUNNING",
        "control 255 event=0 data=null context=self state=RUNNING",
    };
    EXPECT_EQ(expected, ReadLines(m_records));
    const SERVICE_STATUS_PROCESS running = Status();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), running.dwCurrentState);
    EXPECT_EQ(0u, running.dwCheckPoint);
}

TEST_F(ProbeServiceTest, OnStartThrowingACodeStopsWithThatExitCode)
{
    Start({L"throw-start=5"});
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    EXPECT_EQ(5u, Status().dwWin32ExitCode);
    EXPECT_TRUE(WaitForRecord("event level=2 result=0 text=Service Start failed w/err 0x00000005"));
}

TEST_F(ProbeServiceTest, OnStartThrowingAnythingElseStopsCleanly)
{
    Start({L"throw-start=other"});
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    EXPECT_EQ(0u, Status().dwWin32ExitCode);
    EXPECT_TRUE(WaitForRecord("event level=2 result=0 text=Service failed to start."));
}

TEST_F(ProbeServiceTest, OnStopThrowingACodeReportsTheStateBeforeTheStop)
{
    Start({L"throw-stop=1051"});
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(WaitForRecord("event level=2 result=0 text=Service Stop failed w/err 0x0000041b"));
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(0u, Status().dwCheckPoint);
}

namespace {

// The framework in process, with no service control manager behind it: the status handle
// stays null, so every sequence runs without reports.
class InProcessService : public CServiceBase {
public:
    InProcessService() : CServiceBase(L"FnKeyInProcess") {}
    std::vector<std::wstring> calls;
    DWORD throwOnStart = 0;

    ULONG WriteServiceEvent(const wchar_t* message, UCHAR level) override
    {
        calls.push_back(L"event " + std::to_wstring(level) + L" " + message);
        return CServiceBase::WriteServiceEvent(message, level);
    }

protected:
    void OnStart(DWORD, LPWSTR*) override
    {
        calls.push_back(L"OnStart");
        if (throwOnStart != 0) throw throwOnStart;
    }
    void OnStop() override { calls.push_back(L"OnStop"); }
    void OnShutdown() override { calls.push_back(L"OnShutdown"); }
    DWORD OnServiceControlHandle(DWORD control, DWORD, LPVOID, LPVOID) override
    {
        calls.push_back(L"control " + std::to_wstring(control));
        return 1;
    }
};

} // namespace

TEST(ServiceFramework, EventProviderRegistersAndEventsAreWritten)
{
    InProcessService service;
    EXPECT_NE(0u, service.EventRegistrationHandle());
    EXPECT_NE(~static_cast<REGHANDLE>(0), service.EventRegistrationHandle());
    EXPECT_EQ(static_cast<ULONG>(ERROR_SUCCESS), service.WriteServiceEvent(L"a test event", 4));
}

TEST(ServiceFramework, HandlerReturnsNoErrorForEveryCodeAndActsOnlyOnItsOwn)
{
    InProcessService service;
    service.Start(0, nullptr);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.StatusSnapshot().dwCurrentState);
    for (DWORD code = 0; code <= 255; ++code) {
        if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN || code == SERVICE_CONTROL_PAUSE ||
            code == SERVICE_CONTROL_CONTINUE) {
            continue;
        }
        service.calls.clear();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), CServiceBase::ServiceCtrlHandlerEx(code, 0, nullptr, &service));
        EXPECT_EQ(std::vector<std::wstring>{L"control " + std::to_wstring(code)}, service.calls) << code;
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.StatusSnapshot().dwCurrentState) << code;
    }
    // A null context is logged and answered with NO_ERROR as well.
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), CServiceBase::ServiceCtrlHandlerEx(150, 0, nullptr, nullptr));
}

TEST(ServiceFramework, SequencesRunWithoutAStatusHandle)
{
    InProcessService service;
    service.Start(0, nullptr);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.StatusSnapshot().dwCurrentState);
    service.calls.clear();
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), CServiceBase::ServiceCtrlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, &service));
    EXPECT_EQ((std::vector<std::wstring>{L"control 1", L"OnStop"}), service.calls);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.StatusSnapshot().dwCurrentState);

    service.calls.clear();
    CServiceBase::ServiceCtrlHandlerEx(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, &service);
    EXPECT_EQ((std::vector<std::wstring>{L"control 5", L"OnShutdown"}), service.calls);

    InProcessService failing;
    failing.throwOnStart = 1066;
    failing.Start(0, nullptr);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), failing.StatusSnapshot().dwCurrentState);
    EXPECT_EQ(1066u, failing.StatusSnapshot().dwWin32ExitCode);
    EXPECT_EQ(L"event 2 Service Start failed w/err 0x0000042a", failing.calls.back());
}
