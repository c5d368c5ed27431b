// The installed service from outside: its command line, the defaults of its start, fnkeyctl's log and a code.
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

// Switches in any case after a dash or a slash, usage for all else; the start writes the defaults; -remove stops it.
TEST_F(Installed, CommandLineRegistersTheServiceWhoseStartWritesTheDefaults)
{
    const struct Case {
        std::wstring arguments;
        std::string output;
        bool installed;
    } cases[] = {
        {L"-INSTALL", "CreateService failed w/err 0x00000431\n", true},
        {L"/REMOVE", "OsmiraUtilityService is removed.\n", false},
        {L"-Console extra words", "", false},
        {L"-%s%s%n%d " + std::wstring(5000, L'x'), kUsage, false},
        {L"/Install with extra words", "OsmiraUtilityService is installed.\n", true},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(row.output, RunPackaged(L"OsmiraUtilityService.exe", row.arguments));
        EXPECT_EQ(row.installed, m_service.Installed()) << Narrow(row.arguments); // the program has ended its calls
    }
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitForRecord(kKeyboardsWritten, 30000));
    ASSERT_TRUE(WaitForRecord(L"InstallRegHelper StartAddRegHelper done.", 30000));
    regtest::ExpectExactlyTheDefaults({L"IsGameMachine", L"GameMachineVesion", L"IsUserChangedCapsNumLKStatus"});
    const std::string stopAndRemove =
        "Stopping OsmiraUtilityService.\nOsmiraUtilityService is stopped.\nOsmiraUtilityService is removed.\n";
    EXPECT_EQ(stopAndRemove, RunPackaged(L"OsmiraUtilityService.exe", L"-remove"));
    EXPECT_FALSE(m_service.Installed());
}

// fnkeyctl against the service: its status reads without making anything, log on makes the service record, a
// setting code reaches its row, log off takes the switch away.
TEST_F(Installed, FnkeyctlSwitchesTheLogAndSendsASettingCode)
{
    const std::wstring switchKey = L"Software\\Osmira\\OsmiraUtility\\log";
    SetLogSwitch(false);
    RemoveFolderTree(kLogFolder);
    ExpectLines(RunPackaged(L"fnkeyctl.exe", L"status"), {"  State         STOPPED", "  no log file"});
    EXPECT_FALSE(FileExists(kLogFolder));
    EXPECT_FALSE(regtest::KeyExists(switchKey));
    RunPackaged(L"fnkeyctl.exe", L"log on");
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitForRecord(kKeyboardsWritten, 30000));
    RunPackaged(L"fnkeyctl.exe", L"pexaro-numlock-off");
    const std::string status = RunPackaged(L"fnkeyctl.exe", L"status");
    ExpectLines(status, {"  State         RUNNING, process " + std::to_string(m_service.Status().dwProcessId),
                         "  PexaroToast     ShowNumlkOSD                    0"});
    EXPECT_NE(std::string::npos, status.find("] SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF\n")) << status;
    RunPackaged(L"fnkeyctl.exe", L"log off");
    EXPECT_FALSE(regtest::KeyExists(switchKey));
}
