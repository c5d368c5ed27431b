// The service as an operator meets it: its command line, its registration with the
// service control manager, its start and stop, the controls it takes, and its log.
#include "E2eSupport.h"

#include "win/Owners.h"

#include <regex>

using namespace e2e;
using testsupport::Narrow;

namespace {

const std::string kUsage =
    "Parameters:\n"
    " -install  to install the service.\n"
    " -remove   to remove the service.\n"
    " -console  to run in console mode.\n";

bool IsDefaultLine(const std::wstring& message, DWORD code)
{
    const std::wregex pattern(L"OsmiraUtilityService default event !Line:[0-9]+  dwCtrl : " +
                              std::to_wstring(code) + L" ");
    return std::regex_match(message, pattern);
}

size_t CountDefaultLines(DWORD code)
{
    size_t count = 0;
    for (const std::wstring& message : ServiceLogMessages()) count += IsDefaultLine(message, code) ? 1 : 0;
    return count;
}

// Messages logged since the first record that equals `from`.
std::vector<std::wstring> MessagesFrom(const std::wstring& from)
{
    std::vector<std::wstring> all = ServiceLogMessages();
    auto start = std::find(all.begin(), all.end(), from);
    return std::vector<std::wstring>(start, all.end());
}

} // namespace

class CommandLine : public ServiceTest {};

TEST_F(CommandLine, UnknownSwitchesPrintExactlyTheUsageAndExitZero)
{
    for (const wchar_t* arguments : {L"-help", L"--install", L"-installs", L"/", L"-", L"-remove-now"}) {
        const testsupport::ProcessResult result = RunServiceExe(arguments);
        EXPECT_EQ(kUsage, result.output) << Narrow(arguments);
        EXPECT_EQ(0u, result.exitCode) << Narrow(arguments);
    }
    EXPECT_FALSE(IsServiceInstalled());
}

TEST_F(CommandLine, ConsoleSwitchPrintsNothingInAnyLetterCase)
{
    for (const wchar_t* arguments : {L"-console", L"/CONSOLE", L"-Console extra words"}) {
        const testsupport::ProcessResult result = RunServiceExe(arguments);
        EXPECT_EQ("", result.output) << Narrow(arguments);
        EXPECT_EQ(0u, result.exitCode) << Narrow(arguments);
    }
}

TEST_F(CommandLine, StartFromAConsoleReportsTheMissingServiceControllerThenUsage)
{
    for (const wchar_t* arguments : {L"", L"remove"}) {
        const testsupport::ProcessResult result = RunServiceExe(arguments);
        EXPECT_EQ("Service failed to run w/err 0x00000427\n" + kUsage, result.output) << Narrow(arguments);
        EXPECT_EQ(0u, result.exitCode);
    }
}

TEST_F(CommandLine, SwitchesAreCaseInsensitiveAfterDashOrSlash)
{
    testsupport::ProcessResult result = RunServiceExe(L"/Install with extra words");
    EXPECT_EQ("OsmiraUtilityService is installed.\n", result.output);
    EXPECT_TRUE(IsServiceInstalled());

    result = RunServiceExe(L"/REMOVE");
    EXPECT_EQ("OsmiraUtilityService is removed.\n", result.output);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_TRUE(testsupport::WaitUntil([] { return !IsServiceInstalled(); }, 10000));

    result = RunServiceExe(L"-INSTALL");
    EXPECT_EQ("OsmiraUtilityService is installed.\n", result.output);
}

TEST_F(CommandLine, ArbitraryTextNeverCrashesAndAlwaysExitsZero)
{
    const std::wstring longWord(5000, L'x');
    const std::wstring inputs[] = {
        L"-" + longWord,
        L"/" + longWord + L" " + longWord,
        L"-%s%s%s%n%d",
        L"/\u00e9\u4e2d\u6587",
        L"\"-install\"extra",
        L"-\t",
        L"-install\x01",
    };
    for (const std::wstring& arguments : inputs) {
        const testsupport::ProcessResult result = RunServiceExe(arguments);
        EXPECT_FALSE(result.timedOut) << Narrow(arguments.substr(0, 40));
        EXPECT_EQ(0u, result.exitCode) << Narrow(arguments.substr(0, 40));
        EXPECT_EQ(kUsage, result.output) << Narrow(arguments.substr(0, 40));
    }
    EXPECT_FALSE(IsServiceInstalled());
}

class Installation : public ServiceTest {};

TEST_F(Installation, RegistersAnOwnProcessDemandStartLocalSystemService)
{
    ASSERT_TRUE(InstallService());

    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::UniqueServiceHandle service(::OpenServiceW(manager.get(), L"OsmiraUtilityService", SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service);
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(::QueryServiceConfigW(service.get(), config, needed, &needed));

    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config->dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config->dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
    EXPECT_EQ(L"Osmira Utility Service", std::wstring(config->lpDisplayName));
    EXPECT_EQ(L"LocalSystem", std::wstring(config->lpServiceStartName));
    EXPECT_EQ(0, _wcsicmp(ServiceExePath().c_str(), config->lpBinaryPathName)) << Narrow(config->lpBinaryPathName);
    EXPECT_EQ(L"", std::wstring(config->lpLoadOrderGroup ? config->lpLoadOrderGroup : L""));
    // Installing does not start the service.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryStatus().dwCurrentState);
}

TEST_F(Installation, InstallingTwiceReportsTheExistingService)
{
    ASSERT_TRUE(InstallService());
    const testsupport::ProcessResult result = RunServiceExe(L"-install");
    EXPECT_EQ("CreateService failed w/err 0x00000431\n", result.output);
    EXPECT_EQ(0u, result.exitCode);
}

TEST_F(Installation, RemovingAServiceThatIsNotInstalledReportsIt)
{
    const testsupport::ProcessResult result = RunServiceExe(L"-remove");
    EXPECT_EQ("OpenService failed w/err 0x00000424\n", result.output);
    EXPECT_EQ(0u, result.exitCode);
}

TEST_F(Installation, RemovingAStoppedServiceOnlyRemovesIt)
{
    ASSERT_TRUE(InstallService());
    const testsupport::ProcessResult result = RunServiceExe(L"-remove");
    EXPECT_EQ("OsmiraUtilityService is removed.\n", result.output);
}

TEST_F(Installation, RemovingARunningServiceStopsItFirst)
{
    ASSERT_TRUE(InstallService());
    ASSERT_TRUE(StartService());
    const testsupport::ProcessResult result = RunServiceExe(L"-remove");
    // The service stops within the first second, so no dots stand between the lines.
    EXPECT_EQ("Stopping OsmiraUtilityService.\nOsmiraUtilityService is stopped.\nOsmiraUtilityService is removed.\n",
              result.output);
    EXPECT_TRUE(WaitForLogMessage(L"CUtilityService::OnStop enter.\n", 5000));
    EXPECT_TRUE(testsupport::WaitUntil([] { return !IsServiceInstalled(); }, 10000));
}

namespace {

// Registers the slow-stopping stand-in under the service's name and starts it.
void InstallStoppingService(const wchar_t* mode)
{
    const std::wstring binary = L"\"" + testsupport::ModuleFolder() + L"\\StoppingService.exe\" " + mode;
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    win::UniqueServiceHandle service(::CreateServiceW(manager.get(), L"OsmiraUtilityService", L"Osmira Utility Service",
                                                      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                      SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                                      nullptr, nullptr));
    ASSERT_TRUE(service) << ::GetLastError();
    ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 20000));
}

} // namespace

TEST_F(Installation, RemovalPrintsADotForEverySecondTheServiceIsStopping)
{
    InstallStoppingService(L"slow-stop");
    const testsupport::ProcessResult result = RunServiceExe(L"-remove");
    const std::regex expected("Stopping OsmiraUtilityService\\.\\.+\nOsmiraUtilityService is stopped\\.\n"
                              "OsmiraUtilityService is removed\\.\n");
    EXPECT_TRUE(std::regex_match(result.output, expected)) << result.output;
}

TEST_F(Installation, RemovalReportsAServiceThatDidNotStopAndStillMarksItForDeletion)
{
    InstallStoppingService(L"refuse-stop");
    const DWORD processId = QueryStatus().dwProcessId;
    const testsupport::ProcessResult result = RunServiceExe(L"-remove");
    const std::regex expected("Stopping OsmiraUtilityService\\.\\.+\nOsmiraUtilityService failed to stop\\.\n"
                              "OsmiraUtilityService is removed\\.\n");
    EXPECT_TRUE(std::regex_match(result.output, expected)) << result.output;
    // The registration goes once its process is gone.
    win::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    ASSERT_TRUE(process);
    ::TerminateProcess(process.get(), 0);
    ::WaitForSingleObject(process.get(), 10000);
    EXPECT_TRUE(testsupport::WaitUntil([] { return !IsServiceInstalled(); }, 20000));
}

class Lifecycle : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        ASSERT_TRUE(InstallService());
    }
};

TEST_F(Lifecycle, AStopWithinEightSecondsEndsTheWorkerBeforeItLaunches)
{
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitForLogMessage(L"UtilityService::OnStart enter.\n", 5000));
    ASSERT_TRUE(StopService());

    const std::vector<std::wstring> fromStop = MessagesFrom(L"SERVICE_STOPPED");
    ASSERT_FALSE(fromStop.empty()) << "no stop record";
    EXPECT_EQ(1u, CountLogMessages(L"Sleep But Svc Quit !!! "));
    const std::wregex lineMessage(L"CUtilityService ServiceWorkerThread line: [0-9]+\n");
    size_t lineMessages = 0;
    for (const std::wstring& message : ServiceLogMessages()) lineMessages += std::regex_match(message, lineMessage);
    EXPECT_EQ(1u, lineMessages);
    EXPECT_EQ(0u, CountLogMessages(L"Sleep When Svc Not Quit end! "));
    EXPECT_EQ(1u, CountLogMessages(L"CUtilityService::OnStop enter.\n"));
    for (const std::wstring& message : ServiceLogMessages()) {
        EXPECT_EQ(std::wstring::npos, message.find(L"launch hotkey")) << Narrow(message);
    }
}

TEST_F(Lifecycle, TheWorkerWakesAfterEightSecondsAndChecksTheConsoleSession)
{
    const ULONGLONG started = ::GetTickCount64();
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitForLogMessage(L"Sleep When Svc Not Quit end! ", 20000));
    const ULONGLONG woke = ::GetTickCount64() - started;
    EXPECT_GE(woke, 7500u) << "the worker woke after " << woke << " ms";
    EXPECT_TRUE(WaitForLogMessage(L"CUtilityService launch hotkey by ServiceWorkerThread  error: 0\n", 5000));
    // Wine always has a console session, so the session check passes silently.
    EXPECT_EQ(0u, CountLogMessages(L":CUtilityService::ServiceWorkerThread WTSGetActiveConsoleSessionId return 0xFFFFFFFF"));
    EXPECT_EQ(0u, CountLogMessages(L"Sleep But Svc Quit !!! "));
    ASSERT_TRUE(StopService());
}

TEST_F(Lifecycle, StartAndStopReportTheirStatesToTheManager)
{
    ASSERT_TRUE(StartService());
    const SERVICE_STATUS_PROCESS running = QueryStatus();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), running.dwCurrentState);
    EXPECT_EQ(0u, running.dwCheckPoint);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE),
              running.dwControlsAccepted);
    ASSERT_TRUE(StopService());
    const SERVICE_STATUS_PROCESS stopped = QueryStatus();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), stopped.dwCurrentState);
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
    const std::vector<std::wstring> fromStop = MessagesFrom(L"SERVICE_STOPPED");
    ASSERT_GE(fromStop.size(), 2u);
    EXPECT_EQ(L"CUtilityService::OnStop enter.\n", fromStop.back());
}

TEST_F(Lifecycle, NothingIsLoggedWhileTheSwitchKeyIsMissingAndLoggingResumesWithIt)
{
    testsupport::SetLogSwitch(false);
    ASSERT_TRUE(StartService());
    ASSERT_EQ(0u, SendControl(200));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 1000));
    EXPECT_FALSE(testsupport::FileExists(ServiceLogPath()));

    testsupport::SetLogSwitch(true);
    ASSERT_EQ(0u, SendControl(201));
    EXPECT_TRUE(testsupport::WaitUntil([] { return CountDefaultLines(201) == 1; }, 5000));
    EXPECT_EQ(0u, CountDefaultLines(200));
    ASSERT_TRUE(StopService());
}

class Controls : public Lifecycle {};

TEST_F(Controls, EveryCustomCodeAndInterrogateLeaveTheServiceRunning)
{
    ASSERT_TRUE(StartService());
    // Codes that start programs or write settings are taken by their own units; the ones
    // without a row must each leave exactly one default line.
    const DWORD withoutRow[] = {128, 138, 143, 152, 153, 159, 162, 169, 200, 255};
    for (DWORD code : withoutRow) EXPECT_EQ(0u, SendControl(code)) << code;
    EXPECT_EQ(0u, SendControl(SERVICE_CONTROL_INTERROGATE));
    for (DWORD code : withoutRow) {
        EXPECT_TRUE(testsupport::WaitUntil([&] { return CountDefaultLines(code) == 1; }, 5000)) << code;
    }
    EXPECT_TRUE(testsupport::WaitUntil([] { return CountDefaultLines(SERVICE_CONTROL_INTERROGATE) == 1; }, 5000));

    // Every code but stop, in a scrambled order and more than once: the custom codes are
    // delivered, the others refused by the manager itself, and the service runs on.
    for (int round = 0; round < 2; ++round) {
        for (DWORD i = 0; i < 256; ++i) {
            const DWORD code = (i * 37 + round * 11) % 256;
            if (code == SERVICE_CONTROL_STOP) continue;
            const DWORD result = SendControl(code);
            if (code >= 128) {
                EXPECT_EQ(0u, result) << code;
            }
        }
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), QueryStatus().dwCurrentState);
    }
    EXPECT_NE(0u, SendControl(0));
    EXPECT_NE(0u, SendControl(SERVICE_CONTROL_PAUSE));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), QueryStatus().dwCurrentState);
    ASSERT_TRUE(StopService());
    EXPECT_EQ(0u, QueryStatus().dwWin32ExitCode);
}
