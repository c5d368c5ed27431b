// The installed service from outside: its command line, the defaults of its start, fnkeyctl's log and a code.
#include "Installed.h"
#include "KeyboardStandIn.h"

#include <cstdio>

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

// Switches in any case after a dash or a slash, usage for all else; the start writes the defaults; /REMOVE stops it.
TEST_F(Installed, CommandLineRegistersTheServiceWhoseStartWritesTheDefaults)
{
    const std::pair<std::wstring, std::string> cases[] = {
        {L"-INSTALL", "CreateService failed w/err 0x00000431\n"},
        {L"-Console extra words", ""},
        {L"-%s%s%n%d " + std::wstring(5000, L'x'), kUsage},
    };
    for (const auto& [arguments, output] : cases) {
        EXPECT_EQ(output, RunPackaged(L"OsmiraUtilityService.exe", arguments));
        EXPECT_TRUE(m_service.Installed()) << Narrow(arguments); // the program has ended its calls
    }
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitForRecord(kKeyboardsWritten, 30000));
    ASSERT_TRUE(WaitForRecord(L"InstallRegHelper StartAddRegHelper done.", 30000));
    regtest::ExpectExactlyTheDefaults({L"IsGameMachine", L"GameMachineVesion", L"IsUserChangedCapsNumLKStatus"});
    EXPECT_EQ("Stopping OsmiraUtilityService.\nOsmiraUtilityService is stopped.\nOsmiraUtilityService is removed.\n",
              RunPackaged(L"OsmiraUtilityService.exe", L"/REMOVE"));
    EXPECT_FALSE(m_service.Installed());
}

// fnkeyctl against the service: its status reads without making anything, log on makes the service record, a
// setting code reaches its row, the companions and keyboards show as they run and are attached, log off takes the
// switch away.
TEST_F(Installed, FnkeyctlSwitchesTheLogAndSendsASettingCode)
{
    const std::wstring switchKey = L"Software\\Osmira\\OsmiraUtility\\log";
    SetLogSwitch(false);
    RemoveFolderTree(kLogFolder);
    ExpectLines(RunPackaged(L"fnkeyctl.exe", L"status"), {"  State         STOPPED", "  no log file"});
    EXPECT_FALSE(FileExists(kLogFolder));
    EXPECT_FALSE(regtest::KeyExists(switchKey));
    RunPackaged(L"fnkeyctl.exe", L"log on");
    ASSERT_EQ(0u, kbdstandin::AttachKeyboard(0x7A7A, 0x0102, kPackage + FN_KBD_DRIVER_FILE));
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitForRecord(kKeyboardsWritten, 30000));
    RunPackaged(L"fnkeyctl.exe", L"pexaro-numlock-off");
    ASSERT_TRUE(WaitUntil([] { return Started(L"").size() >= 2; }, 20000)) << "the agent and the lock indicator";
    const std::string status = RunPackaged(L"fnkeyctl.exe", L"status");
    ExpectLines(status, {"  State         RUNNING, process " + std::to_string(m_service.Status().dwProcessId),
                         "  PexaroToast     ShowNumlkOSD                    0",
                         "  VID_7A7A&PID_0101           VID 7A7A  PID 0101  not attached",
                         "  VID_7A7A&PID_0102           VID 7A7A  PID 0102  attached"});
    EXPECT_NE(std::string::npos, status.find("] SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF\n")) << status;
    // Each companion in columns: file name, process id, session, command line.
    for (const StandInRecord& record : Started(L"")) {
        const std::string name = Narrow(record.image.substr(record.image.rfind(L'\\') + 1));
        char line[600];
        std::snprintf(line, sizeof line, "  %-18s%-9lu%-9lu%s", name.c_str(), record.processId, record.sessionId,
                      Narrow(record.commandLine).c_str());
        ExpectLines(status, {line});
    }
    RunPackaged(L"fnkeyctl.exe", L"log off");
    EXPECT_FALSE(regtest::KeyExists(switchKey));
}
