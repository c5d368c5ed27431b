// The installed service from outside (scripts/e2e: a fresh prefix, the package installed): its command line and
// registration, the defaults of its start, a setting code and the log through fnkeyctl (each row's effect is a
// unit test's).
#include "Installed.h"

using namespace e2e;

namespace {

const std::string kUsage = "Parameters:\n -install  to install the service.\n -remove   to remove the service.\n"
                           " -console  to run in console mode.\n";

// Each line shows whole in the output.
void ExpectLines(const std::string& output, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        EXPECT_NE(std::string::npos, output.find("\n" + line + "\n")) << line << "\nin:\n" << output;
    }
}

} // namespace

// Switches in any case after a dash or a slash, usage for all else; installed again, the service accepts its
// controls and its start writes the defaults; -remove stops it first.
TEST_F(Installed, CommandLineRegistersTheServiceWhoseStartWritesTheDefaults)
{
    const struct Case {
        std::wstring arguments;
        std::string output;
        bool installed;
    } cases[] = {
        {L"-INSTALL", "CreateService failed w/err 0x00000431\n", true},
        {L"/REMOVE", "OsmiraUtilityService is removed.\n", false},
        {L"-remove", "OpenService failed w/err 0x00000424\n", false},
        {L"-help", kUsage, false},
        {L"-Console extra words", "", false},
        {L"-%s%s%n%d " + std::wstring(5000, L'x'), kUsage, false},
        {L"/Install with extra words", "OsmiraUtilityService is installed.\n", true},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(row.output, RunPackaged(L"OsmiraUtilityService.exe", row.arguments));
        EXPECT_TRUE(WaitUntil([&] { return m_service.Installed() == row.installed; }, 10000)) << Narrow(row.arguments);
    }
    ASSERT_TRUE(m_service.Start());
    const DWORD accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE;
    EXPECT_EQ(accepted, m_service.Status().dwControlsAccepted);
    ASSERT_TRUE(WaitForRecord(kKeyboardsWritten, 30000));
    ASSERT_TRUE(WaitForRecord(L"InstallRegHelper StartAddRegHelper done.", 30000));
    regtest::ExpectExactlyTheDefaults({L"IsGameMachine", L"GameMachineVesion", L"IsUserChangedCapsNumLKStatus"});
    const std::string stopAndRemove =
        "Stopping OsmiraUtilityService.\nOsmiraUtilityService is stopped.\nOsmiraUtilityService is removed.\n";
    EXPECT_EQ(stopAndRemove, RunPackaged(L"OsmiraUtilityService.exe", L"-remove"));
    EXPECT_FALSE(m_service.Installed());
    // Without a manager behind a console; under Wine this answers at once only after a service has run.
    const std::string noManager = "Service failed to run w/err 0x00000427\n" + kUsage;
    EXPECT_EQ(noManager, RunPackaged(L"OsmiraUtilityService.exe", L""));
}

// fnkeyctl against the service: its status reads without making anything, log on makes the service record, a
// setting code reaches its row, log off takes the switch away.
TEST_F(Installed, FnkeyctlSwitchesTheLogAndSendsASettingCode)
{
    const std::wstring switchKey = L"Software\\Osmira\\OsmiraUtility\\log";
    SetLogSwitch(false);
    RemoveFolderTree(kLogFolder);
    const std::string stopped = RunPackaged(L"fnkeyctl.exe", L"status");
    ExpectLines(stopped, {"  State         STOPPED", "Logging         off", "  no log file"});
    EXPECT_FALSE(FileExists(kLogFolder));
    EXPECT_FALSE(regtest::KeyExists(switchKey));

    EXPECT_EQ("fnkeyctl: logging switched on: created HKLM\\Software\\Osmira\\OsmiraUtility\\log\n",
              RunPackaged(L"fnkeyctl.exe", L"log on"));
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitForRecord(kKeyboardsWritten, 30000));
    const std::string sent = "fnkeyctl: sending 149 (pexaro-numlock-off) to OsmiraUtilityService\n"
                             "fnkeyctl: success, service state 4\n";
    EXPECT_EQ(sent, RunPackaged(L"fnkeyctl.exe", L"pexaro-numlock-off"));
    const std::string status = RunPackaged(L"fnkeyctl.exe", L"status");
    ExpectLines(status, {"  State         RUNNING, process " + std::to_string(m_service.Status().dwProcessId),
                         "Logging         on", "  Log file      " + Narrow(kServiceLog),
                         "  PexaroToast     ShowNumlkOSD                    0"});
    EXPECT_NE(std::string::npos, status.find("] SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF\n")) << status;
    EXPECT_EQ("fnkeyctl: logging switched off: deleted HKLM\\Software\\Osmira\\OsmiraUtility\\log\n",
              RunPackaged(L"fnkeyctl.exe", L"log off"));
    EXPECT_FALSE(regtest::KeyExists(switchKey));
}
