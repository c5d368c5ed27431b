// Attacks that an unprivileged user can play against the installed service, one row each (SECURITY.md
// lists them with their guards). A row plants what the attacker can write, lets the running service meet
// it, and checks that the target is untouched; every row also requires that the service stayed RUNNING
// and still stops within a second. scripts/e2e runs this program in a fresh prefix.
#include "FirmwareStandIn.h"
#include "KeyboardStandIn.h"
#include "registry/DeviceWatch.h"
#include "registry/RegistryKeys.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>

using namespace testsupport;

namespace {

const wchar_t* const kName = L"OsmiraUtilityService";
const std::wstring kPackage = L"C:\\Program Files\\Osmira\\FnKey\\";
const std::wstring kLogFolder = L"C:\\Windows\\Temp\\_OsmiraUtility_";

struct Attack {
    const char* name;
    // As the attacker, before the service is started; may be null.
    void (*plant)();
    // As the attacker, against the running service; may be null.
    void (*provoke)(TestService& service);
    // The attack's target is untouched and nothing was started for the attacker.
    void (*verify)();
};

// Rows: each section adds its functions above the table and its rows in it.

// A hung firmware or keyboard: the firmware stand-in serves the locator and keyboard 7A7A/0101 (in the
// defaults' list) is attached; either every firmware call or every keyboard write never ends.
void ServeHung(bool firmwareHung)
{
    const wchar_t* const locator = L"Software\\Classes\\CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, locator, nullptr, REG_SZ, FN_TEST_FIRMWARE_DLL, sizeof FN_TEST_FIRMWARE_DLL);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, firmware::kBehaviourKey);
    for (const wchar_t* method : {L"\\OSMIRA_UTILITY_DATA\\SetFeature", L"\\OSMIRA_TELRUNE_DATA\\GetProductInfo",
                                  L"\\OSMIRA_TELRUNE_DATA\\GetVersion"}) {
        const std::wstring key = firmware::kBehaviourKey + std::wstring(method);
        const DWORD hold = firmwareHung ? firmware::kHoldForever : 0;
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), firmware::kHold, REG_DWORD, &hold, sizeof hold);
    }
    ASSERT_EQ(0u, kbdstandin::HoldWrites(0x7A7A, 0x0101, !firmwareHung));
    ASSERT_EQ(0u, kbdstandin::AttachKeyboard(0x7A7A, 0x0101, kPackage + FN_KBD_DRIVER_FILE));
}

// Sends a code once the keyboard list is there, and waits for the firmware to be asked for the input.
void SendWhenListed(TestService& service, DWORD code, const wchar_t* input)
{
    const std::wstring listed = std::wstring(regkeys::kKeyboardListKey) + L"\\VID_7A7A&PID_0101";
    ASSERT_TRUE(WaitUntil([&] { return regtest::KeyExists(listed); }, 20000));
    EXPECT_EQ(0u, service.Control(code));
    const auto asked = [&](const firmware::CallRecord& call) { return call.input == input; };
    EXPECT_TRUE(WaitUntil([&] { const auto calls = firmware::ReadCallRecords();
                                return std::any_of(calls.begin(), calls.end(), asked); }, 10000)) << code;
}

// The speaker call never returns, yet the mic-mute call is made and the keyboard gets its report.
void LedCodesPastAHungFirmware(TestService& service)
{
    SendWhenListed(service, 154, L"featuretype=\"4\"");
    SendWhenListed(service, 160, L"featuretype=\"1\"");
    EXPECT_TRUE(WaitUntil([] { const auto reports = kbdstandin::ReadReports(0x7A7A, 0x0101);
                               return reports == std::vector<std::vector<unsigned char>>{{9, 0x74, 2}}; }, 10000));
}

// The keyboard never takes its report, yet both mic-mute states reach the firmware.
void FirmwarePastAHungKeyboard(TestService& service)
{
    SendWhenListed(service, 160, L"featuretype=\"1\"");
    SendWhenListed(service, 161, L"featuretype=\"2\"");
    const auto missed = [](const std::wstring& record) { return regtest::RecordMatches(record,
        L"CHidKBLedInterface::SetHidKBLedStatus write not taken within 1000 ms, cancelled line:%d"); };
    EXPECT_TRUE(WaitUntil([&] { const auto records = ReadLogMessages(kLogFolder + L"\\_FnHotkeySvcUtility.log");
                                return std::any_of(records.begin(), records.end(), missed); }, 10000)) << "deadline";
    EXPECT_TRUE(kbdstandin::ReadReports(0x7A7A, 0x0101).empty());
    kbdstandin::HoldWrites(0x7A7A, 0x0101, false);
}

// ---- Squatted named events; storms of codes that start threads or processes ----

win::UniqueHandle g_squatted[4]; // the service's quit and LED events, made and set by the attacker first

std::vector<StandInRecord> Started(const wchar_t* name) { return StandInRecordsIn(kPackage + L".", name); }

// Through Tool Help: Wine answers another process's handle count and times with 0.
DWORD ThreadsOf(DWORD processId)
{
    DWORD threads = 0;
    win::UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        threads += entry.th32OwnerProcessID == processId;
    }
    return threads;
}

void SquatEvents()
{
    const wchar_t* const names[] = {L"_CreateForQuitSvericeEvent_", L"31E6BDD1-18E4-4B84-B28E-0D6CFB1978F9_FNHOTKEY",
                                    L"EF55FD20-D641-4B65-A7C5-F93618116671", L"EDCDA4EE-C605-4BA8-95ED-D93A91EDA7ED"};
    for (size_t i = 0; i < 4; ++i) g_squatted[i].reset(::CreateEventW(nullptr, FALSE, TRUE, names[i]));
}

// The first launch happens, and once the three LED workers have slept the squatted events are
// still set: no wait of the service took them.
void LaunchAndWakeTheLedWorkers(TestService& service)
{
    ASSERT_TRUE(WaitUntil([] { return Started(L"FnKeyAgent.exe").size() == 1; }, 20000));
    for (DWORD code : {154u, 160u}) service.Control(code);
    ::Sleep(5000);
    for (const win::UniqueHandle& event : g_squatted) EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event.get(), 0));
}

// 10,000 codes that start lock indicators (163-168, 139, 140, 158) or threads (139, 140, 151, 158),
// 1,000 of each in turn, through one handle as fast as the manager takes them (scripts/bench sends 100,000).
void StormOfStartingCodes(TestService& service)
{
    ASSERT_TRUE(WaitUntil([] { return Started(L"FnKeyLockOsd.exe").size() == 1; }, 20000)) << "the start-up launch";
    ::Sleep(1000);
    const DWORD processId = service.Status().dwProcessId;
    const DWORD threadsBefore = ThreadsOf(processId);
    const win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const win::UniqueServiceHandle target(::OpenServiceW(manager.get(), kName, SERVICE_USER_DEFINED_CONTROL));
    const DWORD codes[] = {163, 164, 165, 166, 167, 168, 139, 140, 151, 158};
    const int kCodesEach = 1000;
    DWORD peakThreads = 0;
    const ULONGLONG start = ::GetTickCount64();
    for (int i = 1; i <= 10 * kCodesEach; ++i) {
        SERVICE_STATUS status = {};
        ::ControlService(target.get(), codes[(i - 1) / kCodesEach], &status);
        if (i % 500 != 0) continue;
        peakThreads = std::max(peakThreads, ThreadsOf(processId));
        ASSERT_LE(peakThreads, threadsBefore + 4 + 2) << i << " codes: one per thread code, and two for Wine's own";
        const size_t switchStarts = Started(L"FnKeyLockOsd.exe").size() - 1;
        // One start per 500 ms of the block's code, and one when a block begins.
        ASSERT_LE(switchStarts, (::GetTickCount64() - start) / 500 + (i - 1) / kCodesEach + 1) << i;
    }
    printf("storm: %llu ms; threads %lu before, %lu at most; %zu lock indicators started\n", ::GetTickCount64() - start,
           threadsBefore, peakThreads, Started(L"FnKeyLockOsd.exe").size() - 1);
}

// The service path and the device check.
namespace pathanddevice {

const std::wstring kProgramExe = L"C:\\Program.exe";
const std::wstring kLog = kLogFolder + L"\\_FnHotkeySvcUtility.log";
const wchar_t* const kRemoval = L" service will Uninstall ";

const std::wstring kDeviceTool = L"\"" + ModuleFolder() + L"\\..\\..\\tools\\devices\\fn_hotkey_device.exe\" ";
bool Logged(const wchar_t* start) { return HasRecord(ReadLogMessages(kLog), start, true); }
DWORD Device(const wchar_t* verb) { return RunAndCapture(kDeviceTool + verb).exitCode; }

// A stand-in that records itself where the manager would find it for an unquoted path with a space.
void PlantProgramExe() { ASSERT_TRUE(::CopyFileW((kPackage + L"keyapp.exe").c_str(), kProgramExe.c_str(), FALSE)); }

void ProgramExeNeverStarted()
{
    EXPECT_TRUE(StandInRecordsIn(L"C:\\").empty());
    ::DeleteFileW(kProgramExe.c_str());
}

// The device stays registered for the later rows; their services watch it untouched.
void PlantDevice()
{
    ::DeleteFileW(kLog.c_str());
    ASSERT_EQ(0u, Device(L"create"));
    ASSERT_TRUE(WaitUntil([] { return FindHotkeyDevice(nullptr) != FALSE; }, 9000)) << "taken up by plug and play";
}

// Its record unreadable to the device list (values can still be set), touched until the watch decides.
void UnreadableDeviceRecord(TestService&)
{
    const regtest::KeyAccessGuard unlisted(L"System\\CurrentControlSet\\Enum\\ACPI\\ZNT4082\\0",
                                           L"D:(A;;0x6001B;;;WD)");
    const auto decided = [] { return Logged(L"_Thread_HotkeyDeviceWatch check undecided") || Logged(kRemoval); };
    EXPECT_TRUE(WaitUntil([&] { return Device(L"touch") == 0 && decided(); }, 20000, 500));
}

void PackageKept()
{
    EXPECT_FALSE(Logged(kRemoval));
    EXPECT_TRUE(regtest::KeyExists(regkeys::kServiceKey));
}

} // namespace pathanddevice

// ---- The log folder and its files ----

// The attacker's file, named as the log and due for rotation: a record, a rotation or an emptying shows in its size.
const std::wstring kOutside = L"C:\\fnkey_outside", kOutsideLog = kOutside + L"\\_FnHotkeySvcUtility.log";
const std::wstring kLogFile = kLogFolder + L"\\_FnHotkeySvcUtility.log";
const std::wstring kFirstSlot = kLogFolder + L"\\_FnHotkeySvcUtility_1.log";

// Under Wine a user may run the host's programs, and make so the folder links that Windows code cannot.
void OnHost(const std::wstring& command) { RunAndCapture(L"Z:\\bin\\sh -c \"" + command + L"\""); }

void PlantLogFolderLink()
{
    ::CreateDirectoryW(kOutside.c_str(), nullptr);
    WriteFileBytes(kOutsideLog, std::vector<unsigned char>(2097153, 'o'));
    RemoveFolderTree(kLogFolder);
    OnHost(L"ln -s $WINEPREFIX/drive_c/fnkey_outside $WINEPREFIX/drive_c/windows/temp/_OsmiraUtility_");
    ASSERT_NE(0u, ::GetFileAttributesW(kLogFolder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

void VerifyLogFolderLink()
{
    EXPECT_EQ(2097153u, ReadFileBytes(kOutsideLog).size());
    const std::string out = RunAndCapture(L"\"" + kPackage + L"fnkeyctl.exe\" status").output;
    EXPECT_NE(std::string::npos, out.find("  log folder not trusted: a link to another place (reparse point)")) << out;
    OnHost(L"rm $WINEPREFIX/drive_c/windows/temp/_OsmiraUtility_"); // a Windows call would delete the target instead
}

// The current log a hard link to the attacker's file and the first backup slot a folder: a rotation by name would fail
// to move the log and then empty it.
void PlantLogHardLink()
{
    ::CreateDirectoryW(kOutside.c_str(), nullptr);
    WriteFileBytes(kOutsideLog, std::vector<unsigned char>(2097153, 'o'));
    ::DeleteFileW(kLogFile.c_str());
    ::CreateDirectoryW(kFirstSlot.c_str(), nullptr);
    ASSERT_TRUE(::CreateHardLinkW(kLogFile.c_str(), kOutsideLog.c_str(), nullptr));
}

void VerifyLogHardLink()
{
    EXPECT_EQ(2097153u, ReadFileBytes(kOutsideLog).size());
    ::DeleteFileW(kLogFile.c_str());
    ::RemoveDirectoryW(kFirstSlot.c_str());
}

const Attack kAttacks[] = {
    {"LogFolderIsALink", PlantLogFolderLink, nullptr, VerifyLogFolderLink}, // the service logs from its start
    {"LogFileIsAHardLink", PlantLogHardLink, nullptr, VerifyLogHardLink},
    {"HungFirmware", [] { ServeHung(true); }, &LedCodesPastAHungFirmware, [] {}},
    {"HungKeyboard", [] { ServeHung(false); }, &FirmwarePastAHungKeyboard,
     [] { EXPECT_EQ(0u, kbdstandin::DetachKeyboard(0x7A7A, 0x0101)) << "the held write ends with the keyboard"; }},
    {"SquattedServiceEvents", &SquatEvents, &LaunchAndWakeTheLedWorkers,
     [] { for (win::UniqueHandle& event : g_squatted) event.reset(); }},
    {"StormOfThreadAndLaunchCodes", nullptr, &StormOfStartingCodes, [] {}},
    {"UnquotedServicePath", pathanddevice::PlantProgramExe, nullptr, pathanddevice::ProgramExeNeverStarted},
    {"DeviceCheckFails", pathanddevice::PlantDevice, pathanddevice::UnreadableDeviceRecord,
     pathanddevice::PackageKept},
};

class AttackTable : public ::testing::TestWithParam<Attack> {
protected:
    void SetUp() override
    {
        SetLogSwitch(true);
        RemoveFolderTree(kPackage + L"records");
        ASSERT_EQ(0u, RunAndCapture(L"\"" + kPackage + L"OsmiraUtilityService.exe\" -install").exitCode);
    }
    TestService m_service{kName, L""};
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
