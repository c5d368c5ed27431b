// The installed service driven from outside, as an operator meets it: its command line and
// installer, its start and stop through the manager, the defaults it writes, its log, and one
// or two controls of each family sent with fnkeyctl (each row's effect is a unit test's).
// scripts/e2e runs it in a fresh prefix with the package under C:\Program Files\Osmira\FnKey.
#include "registry/RegistryKeys.h"
#include "support/RegistryTestSupport.h"
#include "win/Owners.h"

#include <regex>

using namespace testsupport;

namespace {

const wchar_t* const kName = L"OsmiraUtilityService";
const std::wstring kLog = L"C:\\Windows\\Temp\\_OsmiraUtility_\\_FnHotkeySvcUtility.log";
const std::string kUsage = "Parameters:\n -install  to install the service.\n -remove   to remove the service.\n"
                           " -console  to run in console mode.\n";

ProcessResult Exe(const wchar_t* program, const std::wstring& arguments)
{
    return RunAndCapture(L"\"C:\\Program Files\\Osmira\\FnKey\\" + std::wstring(program) + L"\" " + arguments);
}

std::wstring DefaultLine(DWORD code) { return L"OsmiraUtilityService default event !Line:%d  dwCtrl : " + std::to_wstring(code) + L" "; }

size_t Count(const std::wstring& pattern)
{
    const std::vector<std::wstring> records = ReadLogMessages(kLog);
    return std::count_if(records.begin(), records.end(), [&](const std::wstring& r) { return regtest::RecordMatches(r, pattern); });
}

// Logging on, an empty log, the service installed by its own installer and removed at the end.
class Installed : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLogSwitch(true);
        ::DeleteFileW(kLog.c_str());
        ASSERT_EQ("OsmiraUtilityService is installed.\n", Exe(kName, L"-install").output);
    }
    TestService m_service{kName, L""};
};

} // namespace

TEST(CommandLine, SwitchesInAnyCaseAfterDashOrSlashAndUsageForAllElse)
{
    const TestService service(kName, L"");
    const struct Case { std::wstring arguments; std::string output; bool installed; } cases[] = {
        {L"-help", kUsage, false},
        {L"-Console extra words", "", false},
        {L"-%s%s%n%d " + std::wstring(5000, L'x'), kUsage, false},
        {L"-remove", "OpenService failed w/err 0x00000424\n", false},
        {L"/Install with extra words", "OsmiraUtilityService is installed.\n", true},
        {L"-INSTALL", "CreateService failed w/err 0x00000431\n", true},
        {L"/REMOVE", "OsmiraUtilityService is removed.\n", false},
        {L"", "Service failed to run w/err 0x00000427\n" + kUsage, false}, // no manager behind a console
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.arguments.substr(0, 30)));
        const ProcessResult result = Exe(kName, c.arguments);
        EXPECT_EQ(c.output, result.output);
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_TRUE(WaitUntil([&] { return service.Installed() == c.installed; }, 10000));
    }
}

// The removal stops a running service first, printing a dot for every second it stays
// STOP_PENDING; the probe service plays one that is slow to stop or refuses to.
TEST(Removal, StopsARunningServiceFirstAndWaitsWhileItIsStopping)
{
    const struct Case { const wchar_t* probe; bool start; const char* output; } cases[] = {
        {nullptr, false, ""},
        {nullptr, true, "Stopping OsmiraUtilityService\\.\nOsmiraUtilityService is stopped\\.\n"},
        {L"slow-stop", true, "Stopping OsmiraUtilityService\\.\\.+\nOsmiraUtilityService is stopped\\.\n"},
        {L"refuse-stop", true, "Stopping OsmiraUtilityService\\.\\.+\nOsmiraUtilityService failed to stop\\.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        TestService service(kName, c.probe ? L"\"" + ModuleFolder() + L"\\..\\FrameworkProbeService.exe\"" : L"");
        if (!c.probe) ASSERT_EQ("OsmiraUtilityService is installed.\n", Exe(kName, L"-install").output);
        if (c.start) ASSERT_TRUE(service.Start(c.probe ? std::vector<const wchar_t*>{c.probe} : std::vector<const wchar_t*>{}));
        const DWORD processId = service.Status().dwProcessId;
        const std::string output = Exe(kName, L"-remove").output;
        EXPECT_TRUE(std::regex_match(output, std::regex(c.output + std::string("OsmiraUtilityService is removed\\.\n")))) << output;
        const win::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
        if (c.probe && c.probe == std::wstring(L"refuse-stop")) ::TerminateProcess(process.get(), 0);
        EXPECT_TRUE(!process || ::WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0);
        EXPECT_TRUE(WaitUntil([&] { return !service.Installed(); }, 10000));
    }
}

TEST_F(Installed, StartWritesTheDefaultsAndAStopAtOnceEndsTheWorkerBeforeItsLaunch)
{
    const RegistryTreeGuard serviceKey(regkeys::kServiceKey), hotkeyKey(regkeys::kHotkeyKey);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), m_service.Status().dwCurrentState);
    ASSERT_TRUE(m_service.Start());
    const SERVICE_STATUS_PROCESS running = m_service.Status();
    EXPECT_EQ(0u, running.dwCheckPoint);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE), running.dwControlsAccepted);
    ASSERT_TRUE(WaitUntil([] { return Count(L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d") == 1; }, 30000));
    EXPECT_EQ(1u, Count(L"InstallRegHelper StartAddRegHelper done."));
    regtest::ExpectExactlyTheDefaults({L"IsGameMachine", L"GameMachineVesion", L"IsUserChangedCapsNumLKStatus"});

    ASSERT_TRUE(m_service.Stop());
    EXPECT_EQ(0u, m_service.Status().dwWin32ExitCode);
    const std::vector<std::wstring> records = ReadLogMessages(kLog);
    EXPECT_TRUE(HasRecord(records, L"Sleep But Svc Quit !!! "));
    EXPECT_EQ(0u, Count(L"CUtilityService launch hotkey by ServiceWorkerThread  error: %d\n"));
    EXPECT_EQ(L"CUtilityService::OnStop enter.\n", records.back());
}

TEST_F(Installed, ControlsOfEachFamilyReachTheirRowsAndTheLogFollowsItsSwitch)
{
    ASSERT_TRUE(m_service.Start());
    SetLogSwitch(false);
    EXPECT_EQ(0u, m_service.Control(200));
    SetLogSwitch(true);
    EXPECT_EQ(0u, m_service.Control(201));
    EXPECT_EQ(0u, m_service.Control(SERVICE_CONTROL_INTERROGATE));
    EXPECT_EQ(0u, Count(DefaultLine(200)));
    EXPECT_EQ(1u, Count(DefaultLine(201)));
    EXPECT_EQ(1u, Count(DefaultLine(SERVICE_CONTROL_INTERROGATE)));

    const ProcessResult sent = Exe(L"fnkeyctl.exe", L"pexaro-capslock-off");
    EXPECT_EQ("fnkeyctl: sending 147 (pexaro-capslock-off) to OsmiraUtilityService\nfnkeyctl: success, service state 4\n", sent.output);
    EXPECT_TRUE(regtest::IsDword(regtest::ReadRaw(regkeys::kToastKey, L"ShowCapslkOSD"), 0));
    EXPECT_EQ(1u, Count(L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF"));

    const ProcessResult refused = Exe(L"fnkeyctl.exe", L"5"); // the manager keeps shutdown to itself
    EXPECT_EQ(1u, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.output.find("fnkeyctl: ControlService failed: error 87 (")) << refused.output;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), m_service.Status().dwCurrentState);
}
