// The installed service from outside (scripts/e2e: a fresh prefix, the package installed): its command line,
// start and stop, defaults, log, and one or two controls a family (each row's effect is a unit test's).
#include "support/RegistryTestSupport.h"

using namespace testsupport;
using regtest::CountLogged;

namespace {

const wchar_t* const kName = L"OsmiraUtilityService";
const std::string kUsage = "Parameters:\n -install  to install the service.\n -remove   to remove the service.\n"
                           " -console  to run in console mode.\n";
const std::string kInstalled = "OsmiraUtilityService is installed.\n";
const wchar_t* const kKeyboardsWritten = L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d";

// The output of a program of the package, whose exit code must be the one given.
std::string Exe(const wchar_t* program, const std::wstring& arguments, DWORD exitCode = 0)
{
    const std::wstring path = L"C:\\Program Files\\Osmira\\FnKey\\" + std::wstring(program);
    const ProcessResult result = RunAndCapture(L"\"" + path + L"\" " + arguments);
    EXPECT_EQ(exitCode, result.exitCode) << Narrow(arguments.substr(0, 30));
    return result.output;
}

// Each line shows whole in the output.
void ExpectLines(const std::string& output, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        EXPECT_NE(std::string::npos, output.find("\n" + line + "\n")) << line << "\nin:\n" << output;
    }
}

// Logging on, an empty log, the service installed by itself.
class Installed : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLogSwitch(true);
        ::DeleteFileW(kServiceLog);
        ASSERT_EQ(kInstalled, Exe(kName, L"-install"));
    }
    TestService m_service{kName, L""};
};

} // namespace

TEST(CommandLine, SwitchesInAnyCaseAfterDashOrSlashAndUsageForAllElse)
{
    TestService service(kName, L"");
    const std::string stopAndRemove =
        "Stopping OsmiraUtilityService.\nOsmiraUtilityService is stopped.\nOsmiraUtilityService is removed.\n";
    const struct Case {
        std::wstring arguments;
        std::string output;
        bool installed;
        bool startFirst = false;
    } cases[] = {
        {L"-help", kUsage, false},
        {L"-Console extra words", "", false},
        {L"-%s%s%n%d " + std::wstring(5000, L'x'), kUsage, false},
        {L"-remove", "OpenService failed w/err 0x00000424\n", false},
        {L"/Install with extra words", kInstalled, true},
        {L"-INSTALL", "CreateService failed w/err 0x00000431\n", true},
        {L"/REMOVE", "OsmiraUtilityService is removed.\n", false},
        {L"-install", kInstalled, true},
        {L"-remove", stopAndRemove, false, true},
        {L"", "Service failed to run w/err 0x00000427\n" + kUsage, false}, // no manager behind a console
    };
    for (const Case& row : cases) {
        EXPECT_TRUE(!row.startFirst || service.Start());
        EXPECT_EQ(row.output, Exe(kName, row.arguments));
        EXPECT_TRUE(WaitUntil([&] { return service.Installed() == row.installed; }, 10000)) << Narrow(row.arguments);
    }
}

TEST_F(Installed, StartWritesTheDefaultsAndAStopAtOnceEndsTheWorkerBeforeItsLaunch)
{
    const RegistryTreeGuard serviceKey(regkeys::kServiceKey);
    const RegistryTreeGuard hotkeyKey(regkeys::kHotkeyKey);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), m_service.Status().dwCurrentState);
    ASSERT_TRUE(m_service.Start());
    const DWORD accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE;
    EXPECT_EQ(accepted, m_service.Status().dwControlsAccepted);
    ASSERT_TRUE(WaitUntil([] { return CountLogged(kKeyboardsWritten) == 1; }, 30000));
    EXPECT_EQ(1u, CountLogged(L"InstallRegHelper StartAddRegHelper done."));
    regtest::ExpectExactlyTheDefaults({L"IsGameMachine", L"GameMachineVesion", L"IsUserChangedCapsNumLKStatus"});
    ASSERT_TRUE(m_service.Stop());
    EXPECT_EQ(0u, m_service.Status().dwWin32ExitCode);
    EXPECT_EQ(1u, CountLogged(L"Sleep But Svc Quit !!! "));
    EXPECT_EQ(0u, CountLogged(L"CUtilityService launch hotkey by ServiceWorkerThread  error: %d\n"));
    EXPECT_EQ(1u, CountLogged(L"CUtilityService::OnStop enter.\n"));
}

// fnkeyctl against the service: its status reads without writing, a setting code reaches its row, and log on
// and off switch the key.
TEST_F(Installed, FnkeyctlStatusControlsAndLogSwitch)
{
    const RegistryTreeGuard serviceKey(regkeys::kServiceKey);
    const RegistryTreeGuard hotkeyKey(regkeys::kHotkeyKey);
    const std::wstring folder = L"C:\\Windows\\Temp\\_OsmiraUtility_";
    const std::wstring switchKey = L"Software\\Osmira\\OsmiraUtility\\log";
    SetLogSwitch(false);
    RemoveFolderTree(folder);
    ExpectLines(Exe(L"fnkeyctl.exe", L"status"),
                {"  State         STOPPED", "  Start type    demand", "Logging         off", "  no log file",
                 "  PexaroToast     ShowNumlkOSD                    (not set)"});
    EXPECT_FALSE(FileExists(folder)); // nothing made: neither the log folder nor the switch key
    EXPECT_FALSE(regtest::KeyExists(switchKey));

    EXPECT_EQ("fnkeyctl: logging switched on: created HKLM\\Software\\Osmira\\OsmiraUtility\\log\n",
              Exe(L"fnkeyctl.exe", L"log on"));
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitUntil([] { return CountLogged(kKeyboardsWritten) == 1; }, 30000));
    const std::string sent = "fnkeyctl: sending 149 (pexaro-numlock-off) to OsmiraUtilityService\n"
                             "fnkeyctl: success, service state 4\n";
    EXPECT_EQ(sent, Exe(L"fnkeyctl.exe", L"pexaro-numlock-off"));
    // The manager keeps shutdown to itself; fnkeyctl passes its refusal on.
    EXPECT_NE(std::string::npos, Exe(L"fnkeyctl.exe", L"5", 1).find("\nfnkeyctl: ControlService failed: error 87 ("));
    const std::string status = Exe(L"fnkeyctl.exe", L"status");
    const size_t recordsBegin = status.find("\nLast log records\n");
    const std::string records = status.substr(recordsBegin, status.find("\nCompanions\n") - recordsBegin);
    EXPECT_NE(std::string::npos, records.find("] SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF\n")) << records;
    ExpectLines(status, {"  State         RUNNING, process " + std::to_string(m_service.Status().dwProcessId),
                         "Logging         on", "  Log file      " + Narrow(kServiceLog),
                         "  PexaroToast     ShowNumlkOSD                    0",
                         "  VID_7A7A&PID_0101           VID 7A7A  PID 0101  not attached",
                         "  VID_7A7A&PID_0102           VID 7A7A  PID 0102  not attached",
                         "  VID_7B7B&PID_0201           VID 7B7B  PID 0201  not attached"});
    {
        // A child that cannot be opened keeps the key.
        const regtest::KeyAccessGuard locked(switchKey + L"\\child", L"D:(A;;WD;;;WD)");
        EXPECT_EQ("fnkeyctl: deleting the logging switch key failed: error 5 (Access denied.)\n",
                  Exe(L"fnkeyctl.exe", L"log off", 1));
    }
    EXPECT_EQ("fnkeyctl: logging switched off: deleted HKLM\\Software\\Osmira\\OsmiraUtility\\log\n",
              Exe(L"fnkeyctl.exe", L"log off"));
    EXPECT_FALSE(regtest::KeyExists(switchKey));
}
