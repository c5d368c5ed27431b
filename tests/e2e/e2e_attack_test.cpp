// Attacks that an unprivileged user can play against the installed service, one row each (SECURITY.md
// lists them with their guards). A row plants what the attacker can write before the start, provokes the
// running service, and verifies that the attack's target is untouched; every row also requires that the
// service stayed RUNNING and still stops within a second. scripts/e2e runs this program in a fresh prefix.
#include "FirmwareStandIn.h"
#include "KeyboardStandIn.h"
#include "registry/DeviceWatch.h"
#include "registry/RegistryKeys.h"
#include "support/Processes.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"

#include <algorithm>

using namespace testsupport;

namespace {

const wchar_t* const kServiceName = L"OsmiraUtilityService";
const std::wstring kPackage = L"C:\\Program Files\\Osmira\\FnKey\\";
const std::wstring kLogFolder = L"C:\\Windows\\Temp\\_OsmiraUtility_";
const std::wstring kLogFile = kLogFolder + L"\\_FnHotkeySvcUtility.log";
const unsigned kVendor = 0x7A7A;
const unsigned kListedProduct = 0x0101; // in the defaults' keyboard list
const std::vector<unsigned char> kMutedReport = {0x09, 0x74, 0x02};

struct Attack {
    const char* name;
    void (*plant)();                  // as the attacker, before the start; may be null
    void (*provoke)(TestService&);    // as the attacker, against the running service; may be null
    void (*verify)();                 // the target is untouched; then the attacker's things go
};

// ---- Shared by the rows ----

bool WaitForRecord(const std::wstring& pattern, DWORD timeoutMs)
{
    return WaitUntil([&] { return regtest::CountLogged(pattern) != 0; }, timeoutMs);
}

bool Logged(const std::wstring& pattern) { return WaitForRecord(pattern, 0); }

// The companions that stand-ins of the name started in the folder.
std::vector<StandInRecord> Started(const wchar_t* name, const std::wstring& folder = kPackage)
{
    return StandInRecordsIn(folder + L".", name);
}

DWORD RunTool(const std::wstring& commandLine) { return RunAndCapture(commandLine).exitCode; }

// Under Wine a user may run the host's programs, and make so the folder links that Windows code cannot.
void OnHost(const std::wstring& command) { RunAndCapture(L"Z:\\bin\\sh -c \"" + command + L"\""); }

// The firmware stand-in serves the locator, every method held as asked.
void ServeFirmware(DWORD hold)
{
    const wchar_t* const locator = L"Software\\Classes\\CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, locator, nullptr, REG_SZ, FN_TEST_FIRMWARE_DLL, sizeof FN_TEST_FIRMWARE_DLL);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, firmware::kBehaviourKey);
    for (const wchar_t* method : {L"\\OSMIRA_UTILITY_DATA\\SetFeature", L"\\OSMIRA_TELRUNE_DATA\\GetProductInfo",
                                  L"\\OSMIRA_TELRUNE_DATA\\GetVersion"}) {
        const std::wstring key = firmware::kBehaviourKey + std::wstring(method);
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), firmware::kHold, REG_DWORD, &hold, sizeof hold);
    }
}

void AttachListedKeyboard(bool writesHeld)
{
    ASSERT_EQ(0u, kbdstandin::HoldWrites(kVendor, kListedProduct, writesHeld));
    ASSERT_EQ(0u, kbdstandin::AttachKeyboard(kVendor, kListedProduct, kPackage + FN_KBD_DRIVER_FILE));
}

// Sends a code once the keyboard list is there, and waits for the firmware to be asked for the input.
void SendAndAwaitFirmware(TestService& service, DWORD code, const wchar_t* input)
{
    const std::wstring listed = std::wstring(regkeys::kKeyboardListKey) + L"\\VID_7A7A&PID_0101";
    ASSERT_TRUE(WaitUntil([&] { return regtest::KeyExists(listed); }, 20000));
    EXPECT_EQ(0u, service.Control(code));
    const auto asked = [&](const firmware::CallRecord& call) { return call.input == input; };
    EXPECT_TRUE(WaitUntil([&] {
        const std::vector<firmware::CallRecord> calls = firmware::ReadCallRecords();
        return std::any_of(calls.begin(), calls.end(), asked);
    }, 10000)) << code;
}

// ---- The log folder and its files ----

// The attacker's file, named as the log and due for rotation: a record, a rotation or an emptying shows in its size.
const std::wstring kOutside = L"C:\\fnkey_outside";
const std::wstring kOutsideLog = kOutside + L"\\_FnHotkeySvcUtility.log";
const size_t kOutsideLogSize = 2097153;
const std::wstring kFirstBackupSlot = kLogFolder + L"\\_FnHotkeySvcUtility_1.log";

void PlantOutsideLog()
{
    ::CreateDirectoryW(kOutside.c_str(), nullptr);
    WriteFileBytes(kOutsideLog, std::vector<unsigned char>(kOutsideLogSize, 'o'));
}

// The service logs from its start, so the plant alone meets it.
void PlantLogFolderLink()
{
    PlantOutsideLog();
    RemoveFolderTree(kLogFolder);
    OnHost(L"ln -s $WINEPREFIX/drive_c/fnkey_outside $WINEPREFIX/drive_c/windows/temp/_OsmiraUtility_");
    ASSERT_NE(0u, ::GetFileAttributesW(kLogFolder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

void VerifyLogFolderLink()
{
    EXPECT_EQ(kOutsideLogSize, ReadFileBytes(kOutsideLog).size());
    const std::string status = RunAndCapture(L"\"" + kPackage + L"fnkeyctl.exe\" status").output;
    EXPECT_NE(std::string::npos, status.find("  log folder not trusted: a link to another place (reparse point)"))
        << status;
    OnHost(L"rm $WINEPREFIX/drive_c/windows/temp/_OsmiraUtility_"); // a Windows call would delete the target instead
}

// The current log a hard link to the attacker's file and the first backup slot a folder: a rotation by name
// would fail to move the log and then empty it.
void PlantLogHardLink()
{
    PlantOutsideLog();
    ::DeleteFileW(kLogFile.c_str());
    ::CreateDirectoryW(kFirstBackupSlot.c_str(), nullptr);
    ASSERT_TRUE(::CreateHardLinkW(kLogFile.c_str(), kOutsideLog.c_str(), nullptr));
}

void VerifyLogHardLink()
{
    EXPECT_EQ(kOutsideLogSize, ReadFileBytes(kOutsideLog).size());
    ::DeleteFileW(kLogFile.c_str());
    ::RemoveDirectoryW(kFirstBackupSlot.c_str());
}

// ---- A firmware or keyboard that never answers ----

void PlantHungFirmware()
{
    ServeFirmware(firmware::kHoldForever);
    AttachListedKeyboard(false);
}

// The speaker call never returns; the mic-mute call after it must still be made.
void SpeakerThenMicMute(TestService& service)
{
    SendAndAwaitFirmware(service, 154, L"featuretype=\"4\"");
    SendAndAwaitFirmware(service, 160, L"featuretype=\"1\"");
}

void VerifyKeyboardMuted()
{
    const std::vector<std::vector<unsigned char>> muted = {kMutedReport};
    EXPECT_TRUE(WaitUntil([&] { return kbdstandin::ReadReports(kVendor, kListedProduct) == muted; }, 10000));
    EXPECT_EQ(0u, kbdstandin::DetachKeyboard(kVendor, kListedProduct));
}

void PlantHungKeyboard()
{
    ServeFirmware(0);
    AttachListedKeyboard(true);
}

// The keyboard never takes its report; both mic-mute states must still reach the firmware.
void MicMuteOnAndOff(TestService& service)
{
    SendAndAwaitFirmware(service, 160, L"featuretype=\"1\"");
    SendAndAwaitFirmware(service, 161, L"featuretype=\"2\"");
}

void VerifyHeldWriteCancelled()
{
    EXPECT_TRUE(WaitForRecord(
        L"CHidKBLedInterface::SetHidKBLedStatus write not taken within 1000 ms, cancelled line:%d", 10000));
    EXPECT_TRUE(kbdstandin::ReadReports(kVendor, kListedProduct).empty());
    EXPECT_EQ(0u, kbdstandin::HoldWrites(kVendor, kListedProduct, false));
    EXPECT_EQ(0u, kbdstandin::DetachKeyboard(kVendor, kListedProduct)) << "the held write ends with the keyboard";
}

// ---- Squatted named events; storms of codes that start threads or processes ----

// The service's quit and LED events, made and set by the attacker first.
win::UniqueHandle g_squattedEvents[4];

void PlantSquattedEvents()
{
    ServeFirmware(0);
    const wchar_t* const names[] = {L"_CreateForQuitSvericeEvent_", L"31E6BDD1-18E4-4B84-B28E-0D6CFB1978F9_FNHOTKEY",
                                    L"EF55FD20-D641-4B65-A7C5-F93618116671", L"EDCDA4EE-C605-4BA8-95ED-D93A91EDA7ED"};
    for (size_t index = 0; index < std::size(names); ++index) {
        g_squattedEvents[index].reset(::CreateEventW(nullptr, FALSE, TRUE, names[index]));
    }
}

// The first launch happens and two LED workers wake and call the firmware.
void LaunchThenWakeTheLedWorkers(TestService& service)
{
    ASSERT_TRUE(WaitUntil([] { return Started(L"FnKeyAgent.exe").size() == 1; }, 20000));
    SpeakerThenMicMute(service);
}

// No wait of the service took the squatted events.
void VerifySquattedEventsSet()
{
    for (win::UniqueHandle& event : g_squattedEvents) {
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event.get(), 0));
        event.reset();
    }
}

struct StormFigures {
    DWORD threadsBefore = 0;
    DWORD peakThreads = 0;
    size_t mostSwitchStartsOverTheLimit = 0; // 0 while the lock indicator's starts stay within their limit
};
StormFigures g_storm;

// 10,000 codes that start lock indicators (163-168, 139, 140, 158) or threads (139, 140, 151, 158), 1,000 of
// each in turn, through one handle as fast as the manager takes them (the benchmark sends 100,000).
void StormOfStartingCodes(TestService& service)
{
    ASSERT_TRUE(WaitUntil([] { return Started(L"FnKeyLockOsd.exe").size() == 1; }, 20000)) << "the start-up launch";
    ASSERT_TRUE(WaitForRecord(L"InstallRegHelper StartAddRegHelper done.", 20000)) << "the start-up writer";
    const DWORD processId = service.Status().dwProcessId;
    g_storm = {ThreadCount(processId), 0, 0};
    const win::UniqueServiceHandle target = service.Open();
    const DWORD codes[] = {163, 164, 165, 166, 167, 168, 139, 140, 151, 158};
    const int codesEach = 1000;
    const ULONGLONG start = ::GetTickCount64();
    for (int sent = 1; sent <= int(std::size(codes)) * codesEach; ++sent) {
        SERVICE_STATUS status = {};
        ::ControlService(target.get(), codes[(sent - 1) / codesEach], &status);
        if (sent % 500 != 0) continue;
        g_storm.peakThreads = std::max(g_storm.peakThreads, ThreadCount(processId));
        // One start per 500 ms of the block's code, and one when a block begins.
        const size_t limit = (::GetTickCount64() - start) / 500 + (sent - 1) / codesEach + 1;
        const size_t switchStarts = Started(L"FnKeyLockOsd.exe").size() - 1;
        const size_t over = switchStarts > limit ? switchStarts - limit : 0;
        g_storm.mostSwitchStartsOverTheLimit = std::max(g_storm.mostSwitchStartsOverTheLimit, over);
    }
}

void VerifyStormBounded()
{
    EXPECT_LE(g_storm.peakThreads, g_storm.threadsBefore + 4 + 2) << "one per thread code, and two for Wine's own";
    EXPECT_EQ(0u, g_storm.mostSwitchStartsOverTheLimit) << "lock indicator starts beyond one per 500 ms";
}

// ---- The service's path and the device check ----

const std::wstring kProgramExe = L"C:\\Program.exe";
const wchar_t* const kRemovalRecord = L" service will Uninstall ";

// A stand-in that records itself where the manager would find it for an unquoted path with a space.
void PlantProgramExe() { ASSERT_TRUE(::CopyFileW((kPackage + L"keyapp.exe").c_str(), kProgramExe.c_str(), FALSE)); }

void VerifyProgramExeNotStarted()
{
    EXPECT_TRUE(Started(L"", L"C:\\").empty());
    ::DeleteFileW(kProgramExe.c_str());
}

// The device stays registered after the row; later services would watch it untouched.
void PlantDevice()
{
    ::DeleteFileW(kLogFile.c_str());
    ASSERT_EQ(0u, RunTool(FN_TEST_DEVICE_TOOL L" create"));
    ASSERT_TRUE(WaitUntil([] { return FindHotkeyDevice(nullptr) != FALSE; }, 9000)) << "taken up by plug and play";
}

// Its record unreadable to the device list (values can still be set), touched until the watch decides.
void UnreadableDeviceRecord(TestService&)
{
    const regtest::KeyAccessGuard unlisted(L"System\\CurrentControlSet\\Enum\\ACPI\\ZNT4082\\0",
                                           L"D:(A;;0x6001B;;;WD)");
    const std::wstring undecided =
        L"_Thread_HotkeyDeviceWatch check undecided, CM_Locate_DevNodeW: %d; the device counts as present";
    const auto decided = [&] { return Logged(undecided) || Logged(kRemovalRecord); };
    EXPECT_TRUE(WaitUntil([&] { return RunTool(FN_TEST_DEVICE_TOOL L" touch") == 0 && decided(); }, 20000, 500));
}

void VerifyPackageKept()
{
    EXPECT_FALSE(Logged(kRemovalRecord));
    EXPECT_TRUE(regtest::KeyExists(regkeys::kServiceKey));
}

const Attack kAttacks[] = {
    {"LogFolderIsALink", &PlantLogFolderLink, nullptr, &VerifyLogFolderLink},
    {"LogFileIsAHardLink", &PlantLogHardLink, nullptr, &VerifyLogHardLink},
    {"HungFirmware", &PlantHungFirmware, &SpeakerThenMicMute, &VerifyKeyboardMuted},
    {"HungKeyboard", &PlantHungKeyboard, &MicMuteOnAndOff, &VerifyHeldWriteCancelled},
    {"SquattedServiceEvents", &PlantSquattedEvents, &LaunchThenWakeTheLedWorkers, &VerifySquattedEventsSet},
    {"StormOfThreadAndLaunchCodes", nullptr, &StormOfStartingCodes, &VerifyStormBounded},
    {"UnquotedServicePath", &PlantProgramExe, nullptr, &VerifyProgramExeNotStarted},
    {"DeviceCheckFails", &PlantDevice, &UnreadableDeviceRecord, &VerifyPackageKept},
};

class AttackTable : public ::testing::TestWithParam<Attack> {
protected:
    void SetUp() override
    {
        SetLogSwitch(true);
        RemoveFolderTree(kPackage + L"records");
        ASSERT_EQ(0u, RunTool(L"\"" + kPackage + L"OsmiraUtilityService.exe\" -install"));
    }
    TestService m_service{kServiceName, L""};
};

} // namespace

TEST_P(AttackTable, HoldsAndTheServiceStaysRunning)
{
    const Attack& attack = GetParam();
    if (attack.plant) attack.plant();
    ASSERT_TRUE(m_service.Start());
    if (attack.provoke) attack.provoke(m_service);
    attack.verify();
    EXPECT_EQ(DWORD(SERVICE_RUNNING), m_service.Status().dwCurrentState);
    EXPECT_TRUE(m_service.Stop(1000)) << "STOPPED within a second";
}

INSTANTIATE_TEST_SUITE_P(Rows, AttackTable, ::testing::ValuesIn(kAttacks),
                         [](const ::testing::TestParamInfo<Attack>& info) { return std::string(info.param.name); });
