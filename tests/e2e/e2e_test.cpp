// The installed service from outside (scripts/e2e: a fresh prefix, the package installed): its command line,
// start and stop, defaults, log, and one or two controls a family (each row's effect is a unit test's).
#include "support/RegistryTestSupport.h"

using namespace testsupport;

namespace {
const wchar_t* const kName = L"OsmiraUtilityService";
const std::wstring kLog = L"C:\\Windows\\Temp\\_OsmiraUtility_\\_FnHotkeySvcUtility.log";
const std::string kUsage = "Parameters:\n -install  to install the service.\n -remove   to remove the service.\n -console  to run in console mode.\n";
std::string Exe(const wchar_t* program, const std::wstring& arguments, DWORD exitCode = 0)
{
    const ProcessResult result = RunAndCapture(L"\"C:\\Program Files\\Osmira\\FnKey\\" + std::wstring(program) + L"\" " + arguments);
    EXPECT_EQ(exitCode, result.exitCode) << Narrow(arguments.substr(0, 30));
    return result.output;
}
size_t Count(const std::wstring& pattern)
{
    const std::vector<std::wstring> records = ReadLogMessages(kLog);
    return std::count_if(records.begin(), records.end(), [&](const std::wstring& r) { return regtest::RecordMatches(r, pattern); });
}
std::wstring DefaultLine(DWORD code) { return L"OsmiraUtilityService default event !Line:%d  dwCtrl : " + std::to_wstring(code) + L" "; }
class Installed : public ::testing::Test { // logging on, an empty log, the service installed by itself
protected:
    void SetUp() override { SetLogSwitch(true), ::DeleteFileW(kLog.c_str()); ASSERT_EQ("OsmiraUtilityService is installed.\n", Exe(kName, L"-install")); }
    TestService m_service{kName, L""};
};
} // namespace
TEST(CommandLine, SwitchesInAnyCaseAfterDashOrSlashAndUsageForAllElse)
{
    TestService service(kName, L"");
    const struct Case { std::wstring arguments; std::string output; bool installed, startFirst = false; } cases[] = {
        {L"-help", kUsage, false},
        {L"-Console extra words", "", false},
        {L"-%s%s%n%d " + std::wstring(5000, L'x'), kUsage, false},
        {L"-remove", "OpenService failed w/err 0x00000424\n", false},
        {L"/Install with extra words", "OsmiraUtilityService is installed.\n", true},
        {L"-INSTALL", "CreateService failed w/err 0x00000431\n", true},
        {L"/REMOVE", "OsmiraUtilityService is removed.\n", false},
        {L"-install", "OsmiraUtilityService is installed.\n", true},
        {L"-remove", "Stopping OsmiraUtilityService.\nOsmiraUtilityService is stopped.\nOsmiraUtilityService is removed.\n", false, true},
        {L"", "Service failed to run w/err 0x00000427\n" + kUsage, false}, // no manager behind a console
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(!c.startFirst || service.Start());
        EXPECT_EQ(c.output, Exe(kName, c.arguments));
        EXPECT_TRUE(WaitUntil([&] { return service.Installed() == c.installed; }, 10000)) << Narrow(c.arguments);
    }
}
TEST_F(Installed, StartWritesTheDefaultsAndAStopAtOnceEndsTheWorkerBeforeItsLaunch)
{
    const RegistryTreeGuard serviceKey(regkeys::kServiceKey), hotkeyKey(regkeys::kHotkeyKey);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), m_service.Status().dwCurrentState);
    ASSERT_TRUE(m_service.Start());
    EXPECT_EQ(DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE), m_service.Status().dwControlsAccepted);
    ASSERT_TRUE(WaitUntil([] { return Count(L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d") == 1; }, 30000));
    EXPECT_EQ(1u, Count(L"InstallRegHelper StartAddRegHelper done."));
    regtest::ExpectExactlyTheDefaults({L"IsGameMachine", L"GameMachineVesion", L"IsUserChangedCapsNumLKStatus"});
    ASSERT_TRUE(m_service.Stop());
    EXPECT_EQ(0u, m_service.Status().dwWin32ExitCode);
    EXPECT_EQ(1u, Count(L"Sleep But Svc Quit !!! "));
    EXPECT_EQ(0u, Count(L"CUtilityService launch hotkey by ServiceWorkerThread  error: %d\n"));
    EXPECT_EQ(1u, Count(L"CUtilityService::OnStop enter.\n"));
}
TEST_F(Installed, ControlsOfEachFamilyReachTheirRowsAndTheLogFollowsItsSwitch)
{
    ASSERT_TRUE(m_service.Start());
    SetLogSwitch(false);
    EXPECT_EQ(0u, m_service.Control(200));
    SetLogSwitch(true);
    for (DWORD code : {201, SERVICE_CONTROL_INTERROGATE}) EXPECT_EQ(0u, m_service.Control(code));
    EXPECT_EQ((std::vector<size_t>{0, 1, 1}), (std::vector<size_t>{Count(DefaultLine(200)), Count(DefaultLine(201)), Count(DefaultLine(4))}));
    EXPECT_EQ("fnkeyctl: sending 147 (pexaro-capslock-off) to OsmiraUtilityService\nfnkeyctl: success, service state 4\n",
              Exe(L"fnkeyctl.exe", L"pexaro-capslock-off"));
    EXPECT_TRUE(regtest::IsDword(regtest::ReadRaw(regkeys::kToastKey, L"ShowCapslkOSD"), 0));
    EXPECT_EQ(1u, Count(L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF"));
    // The manager keeps shutdown to itself; fnkeyctl passes its refusal on.
    EXPECT_NE(std::string::npos, Exe(L"fnkeyctl.exe", L"5", 1).find("\nfnkeyctl: ControlService failed: error 87 ("));
    EXPECT_EQ(DWORD(SERVICE_RUNNING), m_service.Status().dwCurrentState);
}
TEST_F(Installed, StatusReadsWithoutWritingAndLogOnOffSwitchesTheKey)
{
    const RegistryTreeGuard serviceKey(regkeys::kServiceKey), hotkeyKey(regkeys::kHotkeyKey);
    const std::wstring folder = L"C:\\Windows\\Temp\\_OsmiraUtility_", switchKey = L"Software\\Osmira\\OsmiraUtility\\log";
    SetLogSwitch(false), RemoveFolderTree(folder);
    const auto shows = [](const std::string& output, const std::vector<std::string>& lines) {
        for (const std::string& line : lines) EXPECT_NE(std::string::npos, output.find("\n" + line + "\n")) << line << "\nin:\n" << output;
    };
    shows(Exe(L"fnkeyctl.exe", L"status"), {"  State         STOPPED", "  Start type    demand", "Logging         off", "  no log file",
                                              "  PexaroToast     ShowNumlkOSD                    (not set)"});
    EXPECT_FALSE(FileExists(folder)); // nothing made: neither the log folder nor the switch key
    EXPECT_FALSE(regtest::KeyExists(switchKey));

    EXPECT_EQ("fnkeyctl: logging switched on: created HKLM\\Software\\Osmira\\OsmiraUtility\\log\n", Exe(L"fnkeyctl.exe", L"log on"));
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitUntil([] { return Count(L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d") == 1; }, 30000));
    Exe(L"fnkeyctl.exe", L"pexaro-numlock-off");
    const std::string status = Exe(L"fnkeyctl.exe", L"status");
    const std::string records = status.substr(status.find("\nLast log records\n"), status.find("\nCompanions\n") - status.find("\nLast log records\n"));
    EXPECT_NE(std::string::npos, records.find("] SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF\n")) << records;
    shows(status, {"  State         RUNNING, process " + std::to_string(m_service.Status().dwProcessId), "Logging         on",
                   "  Log file      " + Narrow(kLog), "  PexaroToast     ShowNumlkOSD                    0",
                   "  VID_7A7A&PID_0101           VID 7A7A  PID 0101  not attached", "  VID_7A7A&PID_0102           VID 7A7A  PID 0102  not attached",
                   "  VID_7B7B&PID_0201           VID 7B7B  PID 0201  not attached"});

    {
        const regtest::KeyAccessGuard locked(switchKey + L"\\child", L"D:(A;;WD;;;WD)"); // a child that cannot be opened keeps the key
        EXPECT_EQ("fnkeyctl: deleting the logging switch key failed: error 5 (Access denied.)\n", Exe(L"fnkeyctl.exe", L"log off", 1));
    }
    EXPECT_EQ("fnkeyctl: logging switched off: deleted HKLM\\Software\\Osmira\\OsmiraUtility\\log\n", Exe(L"fnkeyctl.exe", L"log off"));
    EXPECT_FALSE(regtest::KeyExists(switchKey));
}
