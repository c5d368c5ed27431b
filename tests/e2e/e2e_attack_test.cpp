// Attacks that an unprivileged user can play against the installed service, one row each (SECURITY.md lists them
// with their guards); after each the service must stay RUNNING and still stop within a second.
#include "Installed.h"
#include "KeyboardStandIn.h"
#include "ValidationCodes.h"
#include "registry/DeviceWatch.h"
#include "support/Processes.h"

#include <algorithm>

using namespace e2e;

namespace {

const unsigned kVendor = 0x7A7A;
const unsigned kListedProduct = 0x0101; // in the defaults' keyboard list
const unsigned kSecondListedProduct = 0x0102;
const std::vector<std::vector<unsigned char>> kMuted = {{0x09, 0x74, 0x02}};

struct Attack {
    const char* name;
    void (*plant)();             // as the attacker, before the start (the firmware served); may be null
    void (*meet)(TestService&);  // provokes the running service, verifies the target, removes the attacker's things
};

// Under Wine a user may run the host's programs, and make so the folder links that Windows code cannot.
void OnHost(const std::wstring& command) { RunAndCapture(L"Z:\\bin\\sh -c \"" + command + L"\""); }

template <DWORD firmwareHold, bool keyboardHolds>
void PlantDevices()
{
    for (const wchar_t* method : {L"OSMIRA_UTILITY_DATA\\SetFeature", L"OSMIRA_TELRUNE_DATA\\GetProductInfo",
                                  L"OSMIRA_TELRUNE_DATA\\GetVersion"}) {
        Behave(method, firmware::kHold, firmwareHold);
    }
    ASSERT_EQ(0u, kbdstandin::HoldWrites(kVendor, kListedProduct, keyboardHolds));
    ASSERT_EQ(0u, kbdstandin::AttachKeyboard(kVendor, kListedProduct, kPackage + FN_KBD_DRIVER_FILE));
}

// Whether the firmware is asked for the feature type within the time.
bool FirmwareAsked(wchar_t feature, DWORD timeoutMs)
{
    const std::wstring input = L"featuretype=\"" + std::wstring(1, feature) + L"\"";
    return WaitUntil([&] {
        const std::vector<firmware::CallRecord> calls = firmware::ReadCallRecords();
        return std::any_of(calls.begin(), calls.end(), [&](const auto& call) { return call.input == input; });
    }, timeoutMs);
}

// LED codes sent once the keyboard list is written, each awaited until the firmware is asked for its feature type.
void SendLedCodes(TestService& service, std::initializer_list<std::pair<DWORD, wchar_t>> codesAndFeatures)
{
    ASSERT_TRUE(WaitForRecord(kKeyboardsWritten, 20000));
    for (const auto& [code, feature] : codesAndFeatures) {
        EXPECT_EQ(0u, service.Control(code));
        EXPECT_TRUE(FirmwareAsked(feature, 10000)) << code;
    }
}

// The mic-mute call behind a speaker call that never returns is still made and reaches the keyboard. Then two
// keyboards connect together, the second while the first one's replay waits on the firmware: both are replayed.
void MuteBehindAHungSpeakerCall(TestService& service)
{
    SendLedCodes(service, {{154, L'4'}, {160, L'1'}});
    EXPECT_TRUE(WaitUntil([&] { return kbdstandin::ReadReports(kVendor, kListedProduct) == kMuted; }, 10000));
    EXPECT_EQ(0u, service.Control(151));
    ASSERT_EQ(0u, kbdstandin::AttachKeyboard(kVendor, kSecondListedProduct, kPackage + FN_KBD_DRIVER_FILE));
    EXPECT_EQ(0u, service.Control(151));
    // Each replay reports to every keyboard attached when it runs: the second one at least once, the first twice.
    const auto onlyMuted = [](unsigned product, size_t least) {
        const auto reports = kbdstandin::ReadReports(kVendor, product);
        return reports.size() >= least && std::count(reports.begin(), reports.end(), kMuted[0]) == long(reports.size());
    };
    EXPECT_TRUE(WaitUntil([&] { return onlyMuted(kSecondListedProduct, 1) && onlyMuted(kListedProduct, 2); }, 10000));
    for (unsigned product : {kListedProduct, kSecondListedProduct}) {
        EXPECT_EQ(0u, kbdstandin::DetachKeyboard(kVendor, product));
    }
}

// The keyboard never takes its report: both mic-mute states still reach the firmware, the write is given up.
void MuteAndUnmuteAHungKeyboard(TestService& service)
{
    SendLedCodes(service, {{160, L'1'}, {161, L'2'}});
    EXPECT_TRUE(WaitForRecord(
        L"CHidKBLedInterface::SetHidKBLedStatus write not taken within 1000 ms, cancelled line:%d", 10000));
    EXPECT_EQ(0u, kbdstandin::DetachKeyboard(kVendor, kListedProduct)) << "the held write ends with the keyboard";
}

// The attacker's file named as the log and due for rotation: a record, a rotation or an emptying shows in its size.
const std::wstring kOutsideLog = L"C:\\fnkey_outside\\_FnHotkeySvcUtility.log";
const size_t kOutsideLogSize = 2097153;
const std::wstring kFirstBackupSlot = kLogFolder + L"\\_FnHotkeySvcUtility_1.log";
const std::wstring kLinkedFolder = L"$WINEPREFIX/drive_c/windows/temp/_OsmiraUtility_";

void PlantOutsideLog()
{
    ::CreateDirectoryW(L"C:\\fnkey_outside", nullptr);
    WriteFileBytes(kOutsideLog, std::vector<unsigned char>(kOutsideLogSize, 'o'));
}

// The log folder a link to the attacker's folder; the service logs from its start, so the plant alone meets it.
void PlantLogFolderLink()
{
    PlantOutsideLog();
    RemoveFolderTree(kLogFolder);
    OnHost(L"ln -s $WINEPREFIX/drive_c/fnkey_outside " + kLinkedFolder);
    ASSERT_NE(0u, ::GetFileAttributesW(kLogFolder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The current log a hard link to the attacker's file and the first backup slot a folder: a rotation by name
// would fail to move the log and then empty it.
void PlantLogHardLink()
{
    PlantOutsideLog();
    ::CreateDirectoryW(kFirstBackupSlot.c_str(), nullptr);
    ASSERT_TRUE(::CreateHardLinkW(kServiceLog, kOutsideLog.c_str(), nullptr));
}

// The folder link goes by the host first: a Windows call would delete its target instead.
void ExpectOutsideLogKept(TestService&)
{
    EXPECT_EQ(kOutsideLogSize, ReadFileBytes(kOutsideLog).size());
    OnHost(L"rm -f " + kLinkedFolder);
    ::DeleteFileW(kServiceLog);
    ::RemoveDirectoryW(kFirstBackupSlot.c_str());
}

// The service's quit and LED events, made and set by the attacker first.
std::vector<win::UniqueHandle> g_squattedEvents;

void PlantSquattedEvents()
{
    for (const wchar_t* name : {L"_CreateForQuitSvericeEvent_", L"31E6BDD1-18E4-4B84-B28E-0D6CFB1978F9_FNHOTKEY",
                                L"EF55FD20-D641-4B65-A7C5-F93618116671", L"EDCDA4EE-C605-4BA8-95ED-D93A91EDA7ED"}) {
        g_squattedEvents.emplace_back(::CreateEventW(nullptr, FALSE, TRUE, name));
    }
}

// The first companion launch still happens and two LED workers wake, and no wait took the squatted events.
void LaunchAndLedWorkersBesideSquattedEvents(TestService& service)
{
    ASSERT_TRUE(WaitUntil([] { return Started(L"FnKeyAgent.exe").size() == 1; }, 20000));
    SendLedCodes(service, {{154, L'4'}, {160, L'1'}});
    for (const win::UniqueHandle& event : g_squattedEvents) {
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event.get(), 0));
    }
    g_squattedEvents.clear();
}

// The lock indicator's starts by the switch each code gives it, in the order they came.
std::vector<std::wstring> SwitchesStarted()
{
    std::vector<StandInRecord> records = Started(L"FnKeyLockOsd.exe");
    std::sort(records.begin(), records.end(), [](auto& a, auto& b) { return a.startTime < b.startTime; });
    std::vector<std::wstring> switches;
    for (const StandInRecord& record : records) {
        const size_t at = record.commandLine.find(L" -");
        if (at != std::wstring::npos) switches.push_back(record.commandLine.substr(at));
    }
    return switches;
}

// 10,000 codes that start lock indicators (163-168, 139, 140, 158) or replays (151), 1,000 of each, with every
// firmware call held: the threads stay bounded and every replay reaches the keyboard. (A code's starts 500 ms apart,
// two waiting: the launcher's unit test.)
void StormOfStartingCodes(TestService& service)
{
    ASSERT_TRUE(WaitUntil([] { return Started(L"FnKeyLockOsd.exe").size() == 1; }, 20000)) << "the start-up launch";
    ASSERT_TRUE(WaitForRecord(L"InstallRegHelper StartAddRegHelper done.", 20000)) << "the start-up writer";
    const DWORD processId = service.Status().dwProcessId;
    const DWORD threadsBefore = ThreadCount(processId);
    const win::UniqueServiceHandle target = service.Open();
    for (DWORD code : {163, 164, 165, 166, 167, 168, 139, 140, 151, 158}) {
        for (int sent = 0; sent < 1000; ++sent) {
            SERVICE_STATUS status = {};
            ASSERT_TRUE(::ControlService(target.get(), code, &status)) << code;
        }
        EXPECT_LE(ThreadCount(processId), threadsBefore + 3 + 2) << "launcher, replay, its firmware call; Wine's two";
    }
    ::Sleep(1500); // the two waiting requests of each code start within a second
    EXPECT_LE(ThreadCount(processId), threadsBefore + 3) << "settled: the launcher, one held firmware call, Wine's";
    const std::wstring replayed = L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT MicMute:not muted ,line:%d";
    EXPECT_TRUE(WaitUntil([&] {
        return kbdstandin::ReadReports(kVendor, kListedProduct).size() == regtest::CountLogged(replayed);
    }, 10000)) << "every replay writes the keyboard";
    EXPECT_EQ(0u, kbdstandin::DetachKeyboard(kVendor, kListedProduct));
}

// A double press of the touchpad key and the metrics On, Off, On: each press acts, in the order pressed.
void EveryPressActsInOrder(TestService& service)
{
    for (DWORD code : {164, 164, 139, 140, 139}) EXPECT_EQ(0u, service.Control(code));
    const std::vector<std::wstring> pressed = {L" -TOUCHPAD_SWITCH", L" -TOUCHPAD_SWITCH", L" -UIMERTICSON",
                                               L" -UIMERTICSOFF", L" -UIMERTICSON"};
    EXPECT_TRUE(WaitUntil([&] { return SwitchesStarted() == pressed; }, 10000));
}

// Every check of a companion takes 5 s, as when a user holds its file open: the launch waits, the controls do not.
void PlantSlowChecks()
{
    const DWORD milliseconds = 5000;
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kValidationBehaviourKey, kCheckMilliseconds, REG_DWORD, &milliseconds,
                      sizeof milliseconds);
}

void ControlsAnswerBesideAHeldLaunch(TestService& service)
{
    for (DWORD code : {163, 200, 160}) {
        const ULONGLONG sent = ::GetTickCount64();
        EXPECT_EQ(0u, service.Control(code));
        EXPECT_LT(::GetTickCount64() - sent, 1000u) << code;
    }
    EXPECT_TRUE(FirmwareAsked(L'1', 2000)) << "the mic-mute call while the launch waits";
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kValidationBehaviourKey);
}

// A profiler variable in the user's profile, as any unelevated program of the user may set it: the agent, started
// with the user's own token, carries it; the lock indicator, started elevated, does not.
const wchar_t kProfiler[] = L"{F00DF00D-0000-0000-0000-000000000001}";

void PlantProfilerVariable()
{
    ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Environment", L"COR_PROFILER", REG_SZ, kProfiler, sizeof kProfiler);
}

void ElevatedStartsLeaveTheUsersVariablesOut(TestService& service)
{
    ASSERT_TRUE(WaitUntil([] { return Started(L"FnKeyAgent.exe").size() == 1; }, 20000));
    EXPECT_EQ(0u, service.Control(163));
    ASSERT_TRUE(WaitUntil([] { return SwitchesStarted().size() == 1; }, 10000));
    EXPECT_NE(std::wstring::npos, Started(L"FnKeyAgent.exe")[0].loaderVariables.find(kProfiler));
    for (const StandInRecord& record : Started(L"FnKeyLockOsd.exe")) {
        EXPECT_EQ(std::wstring::npos, record.loaderVariables.find(L"COR_")) << Narrow(record.commandLine);
    }
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Environment", L"COR_PROFILER");
}

void PlantProgramExe() { ASSERT_TRUE(::CopyFileW((kPackage + L"keyapp.exe").c_str(), L"C:\\Program.exe", FALSE)); }

void ExpectProgramExeNotStarted(TestService&)
{
    EXPECT_TRUE(Started(L"", L"C:\\").empty());
    ::DeleteFileW(L"C:\\Program.exe");
}

// The device stays registered after the row; later services would watch it untouched.
void PlantDevice()
{
    ASSERT_EQ(0u, RunAndCapture(FN_TEST_DEVICE_TOOL L" create").exitCode);
    ASSERT_TRUE(WaitUntil([] { return FindHotkeyDevice(nullptr) != FALSE; }, 9000)) << "taken up by plug and play";
}

// Its record unreadable to the device list (values can still be set), touched until the watch decides: present (a
// removal would log no undecided check).
void UnreadableDeviceRecordKeepsThePackage(TestService&)
{
    const regtest::KeyAccessGuard unlisted(L"System\\CurrentControlSet\\Enum\\ACPI\\ZNT4082\\0",
                                           L"D:(A;;0x6001B;;;WD)");
    const std::wstring undecided =
        L"_Thread_HotkeyDeviceWatch check undecided, CM_Locate_DevNodeW: %d; the device counts as present";
    const auto touched = [] { return RunAndCapture(FN_TEST_DEVICE_TOOL L" touch").exitCode == 0; };
    EXPECT_TRUE(WaitUntil([&] { return touched() && WaitForRecord(undecided, 0); }, 20000, 500));
    EXPECT_TRUE(regtest::KeyExists(regkeys::kServiceKey));
}

const Attack kAttacks[] = {
    {"LogFolderIsALink", &PlantLogFolderLink, &ExpectOutsideLogKept},
    {"LogFileIsAHardLink", &PlantLogHardLink, &ExpectOutsideLogKept},
    {"HungFirmware", &PlantDevices<firmware::kHoldForever, false>, &MuteBehindAHungSpeakerCall},
    {"HungKeyboard", &PlantDevices<0, true>, &MuteAndUnmuteAHungKeyboard},
    {"SquattedServiceEvents", &PlantSquattedEvents, &LaunchAndLedWorkersBesideSquattedEvents},
    {"StormOfThreadAndLaunchCodes", &PlantDevices<firmware::kHoldForever, false>, &StormOfStartingCodes},
    {"EveryPressActsInOrder", nullptr, &EveryPressActsInOrder},
    {"HeldCompanionFile", &PlantSlowChecks, &ControlsAnswerBesideAHeldLaunch},
    {"UserVariablesInElevatedStarts", &PlantProfilerVariable, &ElevatedStartsLeaveTheUsersVariablesOut},
    {"UnquotedServicePath", &PlantProgramExe, &ExpectProgramExeNotStarted},
    {"DeviceCheckFails", &PlantDevice, &UnreadableDeviceRecordKeepsThePackage},
};

class AttackTable : public Installed, public ::testing::WithParamInterface<Attack> {};

} // namespace

TEST_P(AttackTable, HoldsAndTheServiceStaysRunning)
{
    const Attack& attack = GetParam();
    ServeFirmware();
    if (attack.plant) attack.plant();
    ASSERT_TRUE(m_service.Start());
    attack.meet(m_service);
    EXPECT_EQ(DWORD(SERVICE_RUNNING), m_service.Status().dwCurrentState);
    const double stopSent = Now(); // the stop handler runs inside the request: its time counts
    EXPECT_TRUE(m_service.Stop(1000) && Now() - stopSent < 1.0) << "STOPPED within a second";
}

INSTANTIATE_TEST_SUITE_P(Rows, AttackTable, ::testing::ValuesIn(kAttacks),
                         [](const ::testing::TestParamInfo<Attack>& info) { return std::string(info.param.name); });
